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

// Keeps the environment as it is now for the helper started later: this program then adjusts
// its own for GTK, which the helper (and the dialogs it shows) should not inherit.
void KeepEnvironmentForHelper();

// Starts the helper detached, with the kept environment (else the current one). Returns empty
// when it was started, else one line saying why not.
std::string StartHelper();

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_LAUNCHER_H_
