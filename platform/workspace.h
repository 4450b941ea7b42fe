// workspace.h: finding and opening other applications and web pages on the desktop.
//
// An application is known by its identifier, a reverse-DNS name ("com.ostrel.Ostrel"). Opening
// does not wait for the application or page to appear and does not report whether it did.
// Each operating system has its own (platform/linux/xdg_workspace.h on Linux). Safe to call
// from any thread; the product calls it from the main thread.
#ifndef OSTREL_PLATFORM_WORKSPACE_H_
#define OSTREL_PLATFORM_WORKSPACE_H_

#include <optional>
#include <string>

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

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_WORKSPACE_H_
