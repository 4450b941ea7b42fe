// appkit_workspace.cc: NSWorkspace lookups and launches.
#include "platform/macos/appkit_workspace.h"

namespace ostrel::macos {

AppKitWorkspace::AppKitWorkspace(const ObjcRuntime& runtime)
    : runtime_(runtime),
      workspace_class_(runtime.GetClass("NSWorkspace")),
      url_class_(runtime.GetClass("NSURL")),
      configuration_class_(runtime.GetClass("NSWorkspaceOpenConfiguration")),
      shared_workspace_(runtime.Selector("sharedWorkspace")),
      url_for_application_(runtime.Selector("URLForApplicationWithBundleIdentifier:")),
      absolute_string_(runtime.Selector("absoluteString")),
      url_with_string_(runtime.Selector("URLWithString:")),
      configuration_(runtime.Selector("configuration")),
      open_application_(runtime.Selector("openApplicationAtURL:configuration:completionHandler:")),
      open_url_(runtime.Selector("openURL:")) {}

id AppKitWorkspace::SharedWorkspace() const {
  if (workspace_class_ == nullptr || url_class_ == nullptr || configuration_class_ == nullptr) {
    return nullptr;
  }
  return runtime_.send_id(workspace_class_, shared_workspace_);
}

id AppKitWorkspace::URLWithString(const std::string& text) const {
  id string = runtime_.NewString(text);
  if (string == nullptr) return nullptr;
  id url = runtime_.send_id_id(url_class_, url_with_string_, string);
  runtime_.Release(string);
  return url;
}

std::optional<std::string> AppKitWorkspace::URLForApplication(const std::string& app_id) {
  ObjcRuntime::AutoreleasePool pool(runtime_);
  id workspace = SharedWorkspace();
  if (workspace == nullptr) return std::nullopt;
  id identifier = runtime_.NewString(app_id);
  if (identifier == nullptr) return std::nullopt;
  id url = runtime_.send_id_id(workspace, url_for_application_, identifier);
  runtime_.Release(identifier);
  if (url == nullptr) return std::nullopt;
  std::string location = runtime_.Text(runtime_.send_id(url, absolute_string_));
  if (location.empty()) return std::nullopt;
  return location;
}

void AppKitWorkspace::OpenApplication(const std::string& location) {
  ObjcRuntime::AutoreleasePool pool(runtime_);
  id workspace = SharedWorkspace();
  if (workspace == nullptr) return;
  id url = URLWithString(location);
  if (url == nullptr) return;
  id configuration = runtime_.send_id(configuration_class_, configuration_);
  runtime_.send_void_id_id_id(workspace, open_application_, url, configuration, nullptr);
}

void AppKitWorkspace::OpenURL(const std::string& url_text) {
  ObjcRuntime::AutoreleasePool pool(runtime_);
  id workspace = SharedWorkspace();
  if (workspace == nullptr) return;
  id url = URLWithString(url_text);
  if (url == nullptr) return;
  runtime_.send_bool_id(workspace, open_url_, url);  // whether it opened is not observed
}

}  // namespace ostrel::macos
