// autostart.h: the login-item service of Linux desktops, the XDG autostart entry.
//
// A desktop session starts every application that has an entry in
// $XDG_CONFIG_HOME/autostart/ (by default ~/.config/autostart/) when the user logs in. The
// service below owns exactly one file there, `<id>.desktop`: registering writes it (atomically:
// a temporary file in the same folder, flushed, then renamed into place), unregistering removes
// it when it is the helper's own enabled entry, and the status is read from it. Nothing else is
// ever created, changed or removed, apart from the autostart folder itself when it is missing.
//
// Where the entry lives and which program it starts are fixed when the service is made (the
// product makes it once at start), so a request costs no look at the environment. The service
// keeps no other state, so any number of threads may use one service, or several services, at
// the same time; concurrent registrations each write a temporary file of their own and the last
// rename wins whole. Nothing here ever opens anything at the entry path but a regular file, so
// a FIFO or a device put there cannot block a request.
#ifndef OSTREL_PLATFORM_LINUX_AUTOSTART_H_
#define OSTREL_PLATFORM_LINUX_AUTOSTART_H_

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/linux/environment.h"
#include "platform/login_item.h"
#include "platform/status.h"

namespace ostrel {

// The folders and files the autostart service works with, each with why it is unknown.
struct AutostartPaths {
  StatusOr<std::string> config_home;  // $XDG_CONFIG_HOME or ~/.config
  StatusOr<std::string> executable;   // absolute path of the program to start
};

// The paths for `env` and the executable `executable`.
AutostartPaths AutostartPathsFor(const Environment& env, std::string executable);

// The program file named by `link_target`, what /proc/self/exe reads. Once the running
// program's file has been replaced (an upgrade renames the new file over the old one) or
// removed, the kernel reads it as "<path> (deleted)"; that suffix is dropped when no file has
// the name with the suffix and a file is at the path without it (the upgrade's new program).
// Empty when the suffix is there and neither exists (the program's file is gone).
std::string LiveExecutablePath(std::string link_target);

// The product's paths: this process's environment and program file (/proc/self/exe), read
// now. The product calls it once, when it makes the service.
AutostartPaths CurrentAutostartPaths();

// The XDG autostart entry as a login-item service.
class XdgAutostartService final : public LoginItemService {
 public:
  // The write step, replaceable so tests can make a write fail midway. Same contract as
  // write(2).
  using WriteFn = std::function<ssize_t(int fd, const void* data, size_t size)>;

  // `id` names the entry file (`<id>.desktop`); `name` is its Name; `paths` says where the
  // entry is and which program it starts, for the life of the service.
  XdgAutostartService(std::string id, std::string name, AutostartPaths paths,
                      WriteFn write = nullptr);

  // Writes the entry, whatever is at its path (a user's switched-off entry, another program's).
  Status Register() override;
  // Removes the entry only when it is the helper's own and enabled. The helper's own entry
  // switched off by the user (Hidden=true, X-GNOME-Autostart-enabled=false) is left as it is
  // and the call succeeds: it already keeps the helper from starting, and a Hidden entry also
  // hides a system-wide entry of the same name, which removing it would bring back. Anything
  // else at the path (another program's entry, text that is no desktop entry, a FIFO or a
  // folder) is left too, with a failure that says why; so is a missing entry.
  Status Unregister() override;
  LoginItemStatus GetStatus() override;

  // The full path of the entry.
  const std::string& EntryPath() const { return entry_; }
  // The entry file's text for the executable `executable`.
  std::string EntryText(const std::string& executable) const;

 private:
  // What is at the entry path: its status and, when it is not the helper's entry, why (a
  // "<entry>: <reason>" failure, for the unregister answer).
  struct Finding {
    LoginItemStatus status;  // as GetStatus answers
    Status why;              // ok for kEnabled and kRequiresApproval
  };
  Finding Inspect() const;
  // True when `program` (the first argument of an Exec line) is this service's executable.
  bool SameProgram(const std::string& program) const;

  const std::string id_;                // the entry's file name without ".desktop"
  const std::string name_;              // the entry's Name
  const AutostartPaths paths_;          // where things are, fixed at construction
  const std::string dir_;               // the autostart folder
  const std::string entry_;             // the entry file: dir_ + "/" + id_ + ".desktop"
  const std::string resolved_program_;  // paths_.executable with symlinks resolved, or ""
  const WriteFn write_;                 // write(2) in the product
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_AUTOSTART_H_
