// appkit_workspace.h: finding and opening applications and web pages on macOS, through
// NSWorkspace.
//
// An application is found by its bundle identifier (URLForApplicationWithBundleIdentifier:);
// its location is the file URL of the bundle as text. It is opened with
// openApplicationAtURL:configuration:completionHandler: with a new default
// NSWorkspaceOpenConfiguration and no completion handler; a web page with openURL:. Neither
// outcome is observed.
//
// Ownership: the texts made for the calls are released before each call returns; every other
// object is borrowed within the call's autorelease pool. Threads: any (NSWorkspace is safe for
// that); the product calls it from the main thread.
#ifndef OSTREL_PLATFORM_MACOS_APPKIT_WORKSPACE_H_
#define OSTREL_PLATFORM_MACOS_APPKIT_WORKSPACE_H_

#include "platform/macos/objc_runtime.h"
#include "platform/workspace.h"

namespace ostrel::macos {

class AppKitWorkspace final : public Workspace {
 public:
  // Looks up the classes and selectors now; `runtime` is borrowed. AppKit must be loaded.
  explicit AppKitWorkspace(const ObjcRuntime& runtime);

  std::optional<std::string> URLForApplication(const std::string& app_id) override;
  void OpenApplication(const std::string& location) override;
  void OpenURL(const std::string& url) override;

 private:
  // The shared workspace, or null without AppKit.
  id SharedWorkspace() const;
  // [NSURL URLWithString:text]: borrowed, or null when `text` can't be read as a URL.
  id URLWithString(const std::string& text) const;

  const ObjcRuntime& runtime_;  // borrowed
  Class workspace_class_;       // NSWorkspace
  Class url_class_;             // NSURL
  Class configuration_class_;   // NSWorkspaceOpenConfiguration
  SEL shared_workspace_, url_for_application_, absolute_string_, url_with_string_, configuration_,
      open_application_, open_url_;
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_APPKIT_WORKSPACE_H_
