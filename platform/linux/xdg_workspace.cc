// workspace.cc: desktop entry lookup and launching on XDG desktops.
#include "platform/linux/xdg_workspace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/desktop_entry.h"

namespace ostrel {
namespace {

constexpr size_t kMaxEntryBytes = 256 * 1024;  // larger files are not taken for entries

// The file's text, or nullopt when it is missing, not a regular file, unreadable or too large.
std::optional<std::string> ReadEntryFile(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::optional<std::string> text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    text.emplace();
    char buf[4096];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || text->size() > kMaxEntryBytes) {
        text.reset();
        break;
      }
      if (n == 0) break;
      text->append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return text;
}

}  // namespace

XdgWorkspace::XdgWorkspace(ProcessRunner& runner, EnvironmentSource environment)
    : runner_(runner), environment_(std::move(environment)) {}

std::optional<std::string> XdgWorkspace::URLForApplication(const std::string& app_id) {
  // An identifier with a '/' would name a file elsewhere; an empty one names nothing.
  if (app_id.empty() || app_id.find('/') != std::string::npos) return std::nullopt;
  for (const std::string& dir : XdgDataDirs(environment_())) {
    const std::string path = dir + "/applications/" + app_id + ".desktop";
    std::optional<std::string> text = ReadEntryFile(path);
    if (!text) continue;
    std::optional<DesktopEntry> entry = ParseDesktopEntry(*text);
    if (!entry) continue;  // not an entry at all: look further
    // Hidden=true in a more important folder removes the application from the user's view.
    if (DesktopBoolean(entry->Get("Hidden").value_or("")) == true) return std::nullopt;
    return path;
  }
  return std::nullopt;
}

void XdgWorkspace::OpenApplication(const std::string& location) {
  const Environment env = environment_();
  if (FindProgram("gio", env)) {
    runner_.Launch({"gio", "launch", location}, env);
    return;
  }
  // gtk-launch takes the identifier: the entry's file name without ".desktop".
  std::string id = location.substr(location.rfind('/') + 1);
  if (id.size() > 8 && id.compare(id.size() - 8, 8, ".desktop") == 0) id.resize(id.size() - 8);
  runner_.Launch({"gtk-launch", id}, env);
}

void XdgWorkspace::OpenURL(const std::string& url) {
  runner_.Launch({"xdg-open", url}, environment_());
}

}  // namespace ostrel
