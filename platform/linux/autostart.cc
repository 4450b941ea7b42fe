// autostart.cc: the XDG autostart entry, written atomically.
#include "platform/linux/autostart.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/desktop_entry.h"
#include "platform/status.h"

namespace ostrel {
namespace {

constexpr size_t kMaxEntryBytes = 64 * 1024;  // a larger "entry" is not one of ours

std::string AutostartDir(const AutostartPaths& paths) {
  std::string dir = paths.config_home.ok() ? *paths.config_home : "";
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + "autostart";
}

// Creates `dir` and any missing folder above it (mode 0700, as the XDG base directory rules
// ask). A failure names the folder that could not be made.
Status MakeFolders(const std::string& dir) {
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at != dir.size() && dir[at] != '/') continue;
    std::string prefix = dir.substr(0, at);
    if (mkdir(prefix.c_str(), 0700) == 0) continue;
    int err = errno;
    if (err == EEXIST) {
      struct stat st;
      if (stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
      err = ENOTDIR;  // something that is not a folder is in the way
    }
    return PosixError(prefix, err);
  }
  return Status::Ok();
}

// The whole regular file at `path` (following symlinks: dotfile managers keep autostart entries
// as links). A FIFO, device, socket or folder is never opened in the first place (stat first),
// and the open itself does not wait (O_NONBLOCK), should the path be swapped between the two;
// fstat then turns such a swap away too.
StatusOr<std::string> ReadEntryFile(const std::string& path) {
  auto not_regular = [&path] { return Status::Error(path + ": not a regular file"); };
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return PosixError(path, errno);
  if (!S_ISREG(st.st_mode)) return not_regular();
  if (st.st_size > static_cast<off_t>(kMaxEntryBytes)) return PosixError(path, EFBIG);
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return PosixError(path, errno);
  Status result;
  if (fstat(fd, &st) != 0) {
    result = PosixError(path, errno);
  } else if (!S_ISREG(st.st_mode)) {
    result = not_regular();
  }
  std::string text;
  char buf[4096];
  while (result.ok()) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = PosixError(path, errno);
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxEntryBytes) result = PosixError(path, EFBIG);
  }
  close(fd);
  if (!result.ok()) return result;
  return text;
}

// `path` with every symlink and "." or ".." resolved (the form /proc/self/exe names a program
// in), or "" when it cannot be.
std::string Resolved(const std::string& path) {
  char resolved[PATH_MAX];
  if (path.empty() || realpath(path.c_str(), resolved) == nullptr) return "";
  return resolved;
}

}  // namespace

AutostartPaths AutostartPathsFor(const Environment& env, std::string executable) {
  std::optional<std::string> home = XdgConfigHome(env);
  AutostartPaths paths{home
                           ? StatusOr<std::string>(std::move(*home))
                           : Status::Error("no configuration folder: HOME is not an absolute path"),
                       Status::Error("the autostart folder or this program cannot be located")};
  if (!executable.empty()) paths.executable = std::move(executable);
  return paths;
}

std::string LiveExecutablePath(std::string link_target) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (!link_target.ends_with(kDeleted)) return link_target;
  struct stat st;
  if (lstat(link_target.c_str(), &st) == 0) return link_target;  // a file really is named so
  link_target.resize(link_target.size() - kDeleted.size());
  if (stat(link_target.c_str(), &st) == 0) return link_target;
  return "";
}

AutostartPaths CurrentAutostartPaths() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  const int err = n < 0 ? errno : 0;
  std::string target = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  std::string executable = LiveExecutablePath(target);
  AutostartPaths paths = AutostartPathsFor(Environment::Current(), executable);
  if (executable.empty()) {
    paths.executable = target.empty() ? PosixError("/proc/self/exe", err)
                                      : Status::Error("this program's file is gone: " + target);
  }
  return paths;
}

XdgAutostartService::XdgAutostartService(std::string id, std::string name, AutostartPaths paths,
                                         WriteFn write)
    : id_(std::move(id)),
      name_(std::move(name)),
      paths_(std::move(paths)),
      dir_(AutostartDir(paths_)),
      entry_(dir_ + "/" + id_ + ".desktop"),
      resolved_program_(paths_.executable.ok() ? Resolved(*paths_.executable) : ""),
      write_(write ? std::move(write) : WriteFn(::write)) {}

std::string XdgAutostartService::EntryText(const std::string& executable) const {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" +
         EscapeDesktopValue(name_) +
         "\n"
         // TryExec is a plain path, not an Exec argument: desktops skip the entry quietly once
         // the program is gone (say, after its package was removed).
         "TryExec=" +
         EscapeDesktopValue(executable) +
         "\n"
         "Exec=" +
         EscapeDesktopValue(QuoteExecArgument(executable)) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

Status XdgAutostartService::Register() {
  if (!paths_.config_home.ok()) return paths_.config_home.status();
  if (!paths_.executable.ok()) return paths_.executable.status();
  if (Status made = MakeFolders(dir_); !made.ok()) return made;

  // A temporary file of a unique name in the same folder, so the rename below is atomic and
  // concurrent registrations never write into the same file. mkostemp creates it (O_EXCL), so
  // nothing already there, a FIFO or a link, is ever opened. A name beginning with '.' and not
  // ending in ".desktop" is never taken for an entry, should this process die before renaming.
  std::string temp = dir_ + "/." + id_ + ".desktop.XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return PosixError(dir_, errno);
  auto fail = [&](const std::string& path, int err) {
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    return PosixError(path, err);
  };
  const std::string text = EntryText(*paths_.executable);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write_(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(temp, errno);
    if (n == 0) return fail(temp, EIO);
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd, 0644) != 0) return fail(temp, errno);
  if (fsync(fd) != 0) return fail(temp, errno);
  int closed = close(fd);
  fd = -1;
  if (closed != 0 && errno != EINTR) return fail(temp, errno);
  // rename replaces whatever is at the entry path without opening it.
  if (rename(temp.c_str(), entry_.c_str()) != 0) return fail(entry_, errno);
  // Make the rename itself durable; the entry is complete either way, so a failure here is not
  // one of the registration. O_DIRECTORY refuses anything but a folder before opening it.
  int dir_fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return Status::Ok();
}

Status XdgAutostartService::Unregister() {
  const Finding found = Inspect();
  if (found.status == LoginItemStatus::kRequiresApproval) return Status::Ok();
  if (found.status != LoginItemStatus::kEnabled) return found.why;
  // Another program may rename its own file into place between the reading above and this
  // unlink; nothing but a lock every writer honours could close that gap, and none exists.
  if (unlink(entry_.c_str()) != 0) return PosixError(entry_, errno);
  return Status::Ok();
}

LoginItemStatus XdgAutostartService::GetStatus() { return Inspect().status; }

bool XdgAutostartService::SameProgram(const std::string& program) const {
  if (program == *paths_.executable) return true;
  if (program.empty() || program[0] != '/') return false;  // looked up on PATH: not ours
  const std::string resolved = Resolved(program);
  return !resolved.empty() && resolved == resolved_program_;
}

XdgAutostartService::Finding XdgAutostartService::Inspect() const {
  if (!paths_.config_home.ok()) return {LoginItemStatus::kNotFound, paths_.config_home.status()};
  const StatusOr<std::string> text = ReadEntryFile(entry_);
  if (!text.ok()) {
    return {
        text.status().IsNotFound() ? LoginItemStatus::kNotRegistered : LoginItemStatus::kNotFound,
        text.status()};
  }

  std::optional<DesktopEntry> entry = ParseDesktopEntry(*text);
  auto not_ours = [&](const char* why) {
    return Finding{LoginItemStatus::kNotFound, Status::Error(entry_ + why)};
  };
  if (!entry) return not_ours(": not a desktop entry");
  if (entry->Get("Type") != "Application") return not_ours(": not an application's entry");
  if (!paths_.executable.ok()) return {LoginItemStatus::kNotFound, paths_.executable.status()};
  std::optional<std::string> exec = entry->Get("Exec");
  std::optional<std::vector<std::string>> args;
  if (exec) args = SplitExec(UnescapeDesktopValue(*exec));
  if (!args || args->empty() || !SameProgram(args->front())) {
    return not_ours(": starts another program");
  }
  if (DesktopBoolean(entry->Get("Hidden").value_or("")) == true ||
      DesktopBoolean(entry->Get("X-GNOME-Autostart-enabled").value_or("")) == false) {
    return {LoginItemStatus::kRequiresApproval, Status::Ok()};
  }
  return {LoginItemStatus::kEnabled, Status::Ok()};
}

}  // namespace ostrel
