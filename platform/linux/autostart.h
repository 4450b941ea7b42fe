// autostart.h: the login-item service of Linux desktops, the XDG autostart entry.
//
// A desktop session starts every application that has an entry in
// $XDG_CONFIG_HOME/autostart/ (by default ~/.config/autostart/) when the user logs in. The
// service below owns exactly one file there, `<id>.desktop`: registering writes it (atomically:
// a temporary file in the same folder, flushed, then renamed into place), unregistering removes
// it, and the status is read from it. Nothing else is ever created, changed or removed, apart
// from the autostart folder itself when it is missing. The service keeps no state, so any
// number of threads may use one service, or several services, at the same time; concurrent
// registrations each write a temporary file of their own and the last rename wins whole.
#ifndef OSTREL_PLATFORM_LINUX_AUTOSTART_H_
#define OSTREL_PLATFORM_LINUX_AUTOSTART_H_

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/linux/environment.h"
#include "platform/login_item.h"

namespace ostrel {

// The folders and files the autostart service works with.
struct AutostartPaths {
  std::string config_home;  // $XDG_CONFIG_HOME or ~/.config; empty when it cannot be told
  std::string executable;   // absolute path of the program to start; empty when unknown
  std::string error;        // why one of the two is empty (for the error text)
};

// The paths for `env` and the executable `executable`.
AutostartPaths AutostartPathsFor(const Environment& env, std::string executable);

// The product's paths: this process's environment and /proc/self/exe, read now.
AutostartPaths CurrentAutostartPaths();

// The XDG autostart entry as a login-item service.
class XdgAutostartService final : public LoginItemService {
 public:
  // The write step, replaceable so tests can make a write fail midway. Same contract as
  // write(2).
  using WriteFn = std::function<ssize_t(int fd, const void* data, size_t size)>;

  // `id` names the entry file (`<id>.desktop`); `name` is its Name. `paths` is called at each
  // operation (CurrentAutostartPaths in the product).
  XdgAutostartService(std::string id, std::string name, std::function<AutostartPaths()> paths,
                      WriteFn write = nullptr);

  Status Register() override;
  Status Unregister() override;
  LoginItemStatus GetStatus() override;

  // The full path of the entry for `paths`.
  std::string EntryPath(const AutostartPaths& paths) const;
  // The entry file's text for the executable `executable`.
  std::string EntryText(const std::string& executable) const;

 private:
  const std::string id_;                         // the entry's file name without ".desktop"
  const std::string name_;                       // the entry's Name
  const std::function<AutostartPaths()> paths_;  // where things are, asked at each call
  const WriteFn write_;                          // write(2) in the product
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_AUTOSTART_H_
