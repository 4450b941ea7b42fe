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
  std::string dir = paths.config_home;
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
    return Status::FromErrno(prefix, err);
  }
  return Status::Ok();
}

// Reads the whole file (at most kMaxEntryBytes + 1 bytes). Returns 0 or the errno; EFBIG when
// it is too large.
int ReadSmallFile(const std::string& path, std::string* out) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  char buf[4096];
  int result = 0;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = errno;
      break;
    }
    if (n == 0) break;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > kMaxEntryBytes) {
      result = EFBIG;
      break;
    }
  }
  close(fd);
  return result;
}

// True when `program` (from an Exec line) is the file `executable`.
bool SameProgram(const std::string& program, const std::string& executable) {
  if (program == executable) return true;
  if (program.empty() || program[0] != '/') return false;  // looked up on PATH: not ours
  char resolved[PATH_MAX];
  if (realpath(program.c_str(), resolved) == nullptr) return false;
  char target[PATH_MAX];
  if (realpath(executable.c_str(), target) == nullptr) return false;
  return std::string_view(resolved) == target;
}

}  // namespace

AutostartPaths AutostartPathsFor(const Environment& env, std::string executable) {
  AutostartPaths paths;
  if (std::optional<std::string> home = XdgConfigHome(env)) {
    paths.config_home = *home;
  } else {
    paths.error = "no configuration folder: HOME is not an absolute path";
  }
  paths.executable = std::move(executable);
  return paths;
}

AutostartPaths CurrentAutostartPaths() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string executable;
  int err = errno;
  if (n > 0) executable.assign(buf, static_cast<size_t>(n));
  // Once the program file has been replaced (a package upgrade renames the new file over the old
  // one), the link reads "<path> (deleted)"; the entry must name the path, which now holds the
  // new program.
  constexpr std::string_view kDeleted = " (deleted)";
  if (executable.ends_with(kDeleted) && access(executable.c_str(), F_OK) != 0) {
    executable.resize(executable.size() - kDeleted.size());
  }
  AutostartPaths paths = AutostartPathsFor(Environment::Current(), executable);
  if (executable.empty() && paths.error.empty())
    paths.error = Status::FromErrno("/proc/self/exe", err).message();
  return paths;
}

XdgAutostartService::XdgAutostartService(std::string id, std::string name,
                                         std::function<AutostartPaths()> paths, WriteFn write)
    : id_(std::move(id)),
      name_(std::move(name)),
      paths_(std::move(paths)),
      write_(write ? std::move(write) : WriteFn(::write)) {}

std::string XdgAutostartService::EntryPath(const AutostartPaths& paths) const {
  return AutostartDir(paths) + "/" + id_ + ".desktop";
}

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
  const AutostartPaths paths = paths_();
  if (paths.config_home.empty() || paths.executable.empty()) {
    return Status::Error(paths.error.empty()
                             ? "the autostart folder or this program cannot be located"
                             : paths.error);
  }
  const std::string dir = AutostartDir(paths);
  if (Status made = MakeFolders(dir); !made.ok()) return made;

  // A temporary file of a unique name in the same folder, so the rename below is atomic and
  // concurrent registrations never write into the same file. A name beginning with '.' and not
  // ending in ".desktop" is never taken for an entry, should this process die before renaming.
  std::string temp = dir + "/." + id_ + ".desktop.XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Status::FromErrno(dir, errno);
  auto fail = [&](const std::string& path, int err) {
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    return Status::FromErrno(path, err);
  };
  const std::string text = EntryText(paths.executable);
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
  const std::string entry = EntryPath(paths);
  if (rename(temp.c_str(), entry.c_str()) != 0) return fail(entry, errno);
  // Make the rename itself durable; the entry is complete either way, so a failure here is not
  // one of the registration.
  int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return Status::Ok();
}

Status XdgAutostartService::Unregister() {
  const AutostartPaths paths = paths_();
  if (paths.config_home.empty()) return Status::Error(paths.error);
  const std::string entry = EntryPath(paths);
  if (unlink(entry.c_str()) != 0) return Status::FromErrno(entry, errno);
  return Status::Ok();
}

LoginItemStatus XdgAutostartService::GetStatus() {
  const AutostartPaths paths = paths_();
  if (paths.config_home.empty()) return LoginItemStatus::kNotFound;
  std::string text;
  int err = ReadSmallFile(EntryPath(paths), &text);
  if (err == ENOENT || err == ENOTDIR) return LoginItemStatus::kNotRegistered;
  if (err != 0) return LoginItemStatus::kNotFound;

  std::optional<DesktopEntry> entry = ParseDesktopEntry(text);
  if (!entry || entry->Get("Type") != "Application") return LoginItemStatus::kNotFound;
  std::optional<std::string> exec = entry->Get("Exec");
  if (!exec || paths.executable.empty()) return LoginItemStatus::kNotFound;
  std::optional<std::vector<std::string>> args = SplitExec(UnescapeDesktopValue(*exec));
  if (!args || args->empty() || !SameProgram(args->front(), paths.executable)) {
    return LoginItemStatus::kNotFound;
  }
  if (DesktopBoolean(entry->Get("Hidden").value_or("")) == true ||
      DesktopBoolean(entry->Get("X-GNOME-Autostart-enabled").value_or("")) == false) {
    return LoginItemStatus::kRequiresApproval;
  }
  return LoginItemStatus::kEnabled;
}

}  // namespace ostrel
