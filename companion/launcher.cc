// launcher.cc: finding and starting the helper detached (see launcher.h).
#include "companion/launcher.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace ostrel::window {
namespace {

bool IsProgram(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

gchar** kept_environment = nullptr;

// Runs in the started program before it executes: a session of its own, so that closing the
// window's terminal or session leader does not take it along.
void NewSession(void*) { setsid(); }

}  // namespace

void KeepEnvironmentForHelper() {
  g_strfreev(kept_environment);
  kept_environment = g_get_environ();
}

std::string FindHelper() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    std::string dir(self, static_cast<size_t>(length));
    dir.erase(dir.rfind('/') + 1);
    if (IsProgram(dir + kHelperProgram)) return dir + kHelperProgram;
  }
  gchar* found = g_find_program_in_path(kHelperProgram);
  std::string path = found ? found : "";
  g_free(found);
  return path;
}

std::string StartHelper() {
  const std::string path = FindHelper();
  if (path.empty()) {
    return std::string("Could not start Ostrel Sensor Helper: ") + kHelperProgram +
           " is not installed";
  }
  gchar* argv[] = {const_cast<gchar*>(path.c_str()), nullptr};
  GError* error = nullptr;
  // Without G_SPAWN_DO_NOT_REAP_CHILD GLib forks twice, so the helper is not our child;
  // standard input is /dev/null unless asked otherwise, and descriptors are not inherited.
  const auto flags =
      static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
  if (!g_spawn_async(g_get_home_dir(), argv, kept_environment, flags, NewSession, nullptr, nullptr,
                     &error)) {
    std::string message = std::string("Could not start Ostrel Sensor Helper: ") + error->message;
    g_error_free(error);
    return message;
  }
  return "";
}

}  // namespace ostrel::window
