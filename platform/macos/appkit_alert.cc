// appkit_alert.cc: NSAlert, built from the alert's content.
#include "platform/macos/appkit_alert.h"

#include <limits.h>

namespace ostrel::macos {

AppKitAlertPresenter::AppKitAlertPresenter(const ObjcRuntime& runtime)
    : runtime_(runtime),
      application_class_(runtime.GetClass("NSApplication")),
      alert_class_(runtime.GetClass("NSAlert")),
      shared_application_(runtime.Selector("sharedApplication")),
      activate_(runtime.Selector("activateIgnoringOtherApps:")),
      alloc_(runtime.Selector("alloc")),
      init_(runtime.Selector("init")),
      set_alert_style_(runtime.Selector("setAlertStyle:")),
      set_message_text_(runtime.Selector("setMessageText:")),
      set_informative_text_(runtime.Selector("setInformativeText:")),
      add_button_(runtime.Selector("addButtonWithTitle:")),
      run_modal_(runtime.Selector("runModal")) {}

int AppKitAlertPresenter::RunModal(const AlertContent& content) {
  if (application_class_ == nullptr || alert_class_ == nullptr) return kAlertFirstButtonReturn;
  ObjcRuntime::AutoreleasePool pool(runtime_);
  runtime_.send_void_bool(runtime_.send_id(application_class_, shared_application_), activate_,
                          true);
  id alert = runtime_.send_id(runtime_.send_id(alert_class_, alloc_), init_);
  if (alert == nullptr) return kAlertFirstButtonReturn;
  runtime_.send_void_ulong(alert, set_alert_style_, static_cast<NSUInteger>(content.style));
  // Each text is made for its setter, which keeps its own copy, and released right after. A
  // text that is not UTF-8 can't be made and is left out (the setters refuse null).
  auto set_text = [&](SEL setter, const std::string& text) {
    id string = runtime_.NewString(text);
    if (string == nullptr) return;
    runtime_.send_void_id(alert, setter, string);
    runtime_.Release(string);
  };
  set_text(set_message_text_, content.message);
  set_text(set_informative_text_, content.informative);
  for (const std::string& title : content.buttons) {
    id string = runtime_.NewString(title);
    if (string == nullptr) continue;
    runtime_.send_id_id(alert, add_button_, string);  // the button is the alert's
    runtime_.Release(string);
  }
  const NSInteger response = runtime_.send_long(alert, run_modal_);
  runtime_.Release(alert);
  return response >= INT_MIN && response <= INT_MAX ? static_cast<int>(response)
                                                    : kAlertFirstButtonReturn;
}

}  // namespace ostrel::macos
