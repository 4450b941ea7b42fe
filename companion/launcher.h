// launcher.h: starting the installed helper from the window, as a login session would: found
// next to the `ostrel` executable first, then in PATH; in a session of its own, its standard
// input and output on /dev/null, and not a child of the window (nobody here waits for it).
// Main thread only (it spawns).
#ifndef OSTREL_COMPANION_LAUNCHER_H_
#define OSTREL_COMPANION_LAUNCHER_H_

#include <string>

namespace ostrel::window {

inline constexpr const char* kHelperProgram = "ostrel-sensor-helper";

// The helper's path, or empty when it is neither next to this program nor in PATH.
std::string FindHelper();

// Starts the helper detached. Returns empty when it was started, else one line saying why not.
std::string StartHelper();

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_LAUNCHER_H_
