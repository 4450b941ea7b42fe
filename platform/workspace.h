// workspace.h: finding and opening other applications and web pages on the desktop.
//
// An application is known by its identifier, a reverse-DNS name, which on Linux desktops names
// its desktop entry: `<id>.desktop` in the `applications` folder of one of the XDG data
// folders. Opening starts a launcher program (gio, gtk-launch or xdg-open) from an argument
// vector and does not wait for it; whether the application or page then appears is not
// observed. Safe to call from any thread; the product calls it from the main thread.
#ifndef OSTREL_PLATFORM_WORKSPACE_H_
#define OSTREL_PLATFORM_WORKSPACE_H_

#include <optional>
#include <string>

#include "platform/environment.h"
#include "platform/process.h"

namespace ostrel {

class Workspace {
 public:
  virtual ~Workspace() = default;
  // The location of the installed application `app_id`, or nullopt when it is not installed.
  virtual std::optional<std::string> URLForApplication(const std::string& app_id) = 0;
  // Launches the application at `location` (as returned above). The outcome is not reported.
  virtual void OpenApplication(const std::string& location) = 0;
  // Opens the web address `url` in the user's browser. The outcome is not reported.
  virtual void OpenURL(const std::string& url) = 0;
};

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

#endif  // OSTREL_PLATFORM_WORKSPACE_H_
