// appkit_alert.h: the modal alert on macOS, an NSAlert.
//
// Each alert activates the helper first (an accessory application is never in front by
// itself, and its alert would open behind other windows), then makes an NSAlert with the
// content's style (0 warning, 1 informational: NSAlert's own values), message, informative text
// and buttons in order, runs it modally and answers its result, which is already 1000 + the
// pressed button's index. NSAlert has no window title of its own, so the content's title is not
// shown.
//
// Ownership: the alert and the texts made for it are released before RunModal returns.
// Threads: main thread only (AppKit's rule), which is where the launch alert runs.
#ifndef OSTREL_PLATFORM_MACOS_APPKIT_ALERT_H_
#define OSTREL_PLATFORM_MACOS_APPKIT_ALERT_H_

#include "platform/alert.h"
#include "platform/macos/objc_runtime.h"

namespace ostrel::macos {

class AppKitAlertPresenter final : public AlertPresenter {
 public:
  // Looks up the classes and selectors now; `runtime` is borrowed. AppKit must be loaded (the
  // application object loads it).
  explicit AppKitAlertPresenter(const ObjcRuntime& runtime);

  // Without AppKit nothing is shown and the answer is the first button's.
  int RunModal(const AlertContent& alert) override;

 private:
  const ObjcRuntime& runtime_;  // borrowed
  Class application_class_;     // NSApplication
  Class alert_class_;           // NSAlert
  SEL shared_application_, activate_, alloc_, init_, set_alert_style_, set_message_text_,
      set_informative_text_, add_button_, run_modal_;
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_APPKIT_ALERT_H_
