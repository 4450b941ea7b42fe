// xdg_workspace.h: finding and opening applications and web pages on XDG desktops.
//
// An application's identifier names its desktop entry, `<id>.desktop`, in the `applications`
// folder of one of the XDG data folders. Opening starts a launcher program from an argument
// vector and does not wait for it. Keeps no state; safe on any thread (the product calls it
// from the main thread). The runner is borrowed from whoever made the workspace.
#ifndef OSTREL_PLATFORM_LINUX_XDG_WORKSPACE_H_
#define OSTREL_PLATFORM_LINUX_XDG_WORKSPACE_H_

#include <optional>
#include <string>

#include "platform/linux/environment.h"
#include "platform/linux/process.h"
#include "platform/workspace.h"

namespace ostrel {

// The XDG desktop: desktop entries in $XDG_DATA_HOME/applications (default
// ~/.local/share/applications), then in each of $XDG_DATA_DIRS (default
// /usr/local/share:/usr/share). The first entry file found decides: one that parses and is not
// Hidden=true is the application's location; one marked Hidden=true means the user removed the
// application. Applications are launched with `gio launch <entry file>`, or, where gio is
// missing, `gtk-launch <id>`; web pages are opened with `xdg-open <url>`.
class XdgWorkspace final : public Workspace {
 public:
  // `runner` is borrowed; `environment` is read anew at each call (Environment::Current in the
  // product).
  XdgWorkspace(ProcessRunner& runner, EnvironmentSource environment);

  std::optional<std::string> URLForApplication(const std::string& app_id) override;
  void OpenApplication(const std::string& location) override;
  void OpenURL(const std::string& url) override;

 private:
  ProcessRunner& runner_;          // starts the launchers
  EnvironmentSource environment_;  // the folders to search and the launchers' environment
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_XDG_WORKSPACE_H_
