// desktop_alert.h: modal alerts on Linux desktops, drawn by `zenity` or `kdialog`, or written
// to a console descriptor when there is no desktop or neither tool can show them.
//
// The dialog tool is started from an argument vector and waited for on the calling thread (the
// main thread); nothing else blocks. The presenter keeps no state between alerts and borrows its
// process runner and descriptors from whoever made it (the Linux platform, for the process).
#ifndef OSTREL_PLATFORM_LINUX_DESKTOP_ALERT_H_
#define OSTREL_PLATFORM_LINUX_DESKTOP_ALERT_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/alert.h"
#include "platform/linux/environment.h"
#include "platform/linux/process.h"

namespace ostrel {

// The dialog programs that can draw an alert.
enum class DialogTool { kZenity, kKdialog };

// The argument vector that shows `alert` with `tool`, whose program file is `program`.
//  zenity: --info or --warning by style; the message in bold above the informative text (Pango
//    markup, escaped); the first button as --ok-label, the others as --extra-button.
//  kdialog: one button: --msgbox / --sorry; two: --yesno / --warningyesno with the titles as
//    --yes-label and --no-label; three: the ...yesnocancel forms with --cancel-label too.
//    Buttons beyond the third are not shown.
std::vector<std::string> DialogArguments(DialogTool tool, const std::string& program,
                                         const AlertContent& alert);

// Which button the tool's outcome means, or nullopt when the tool failed to show the alert
// (no display, crashed, unknown exit status).
//  zenity: exit 0 is the first button; exit 1 with an extra button's title on standard output
//    is that button, exit 1 without (closed, Escape) and 5 (timeout) the first button; exit 1
//    with GTK's "cannot open display" warning on standard error is a failure.
//  kdialog: exit 0, 1, 2 are the first, second, third button; closing the box or pressing
//    Escape also answers 2, which without a third button is the first button (as is 1 from a
//    one-button box).
std::optional<int> DialogResponse(DialogTool tool, const AlertContent& alert,
                                  const ProcessResult& outcome);

// `env` for a dialog tool: the toolkits read their arguments in the character set of the
// locale, so when neither LC_ALL, LC_CTYPE nor LANG names a UTF-8 locale (a session started
// without one, or with "C"), the texts would be refused; the character type is then set to
// C.UTF-8 (through LC_ALL when that is set, since it overrides LC_CTYPE). Messages and
// formats stay in the user's language either way.
Environment DialogEnvironment(Environment env);

// The alert as console text: the message, a blank line, the informative text, a blank line and
// the button titles in brackets, e.g. "[OK] [Open Ostrel]", each line ending in "\n".
std::string ConsoleAlertText(const AlertContent& alert);

// True when `env` names a display server that accepts connections: WAYLAND_DISPLAY (a socket
// name in $XDG_RUNTIME_DIR, or an absolute path), or a local X11 DISPLAY (":N" or "unix:N":
// the socket /tmp/.X11-unix/XN or its abstract twin). A DISPLAY on another host counts as
// reachable, since checking it would take a network connection. Each check is one connect()
// on a fresh socket, closed at once.
bool DisplayReachable(const Environment& env);
using DisplayProbe = std::function<bool(const Environment&)>;

// The product's presenter. In a graphical session (DISPLAY or WAYLAND_DISPLAY set and
// reachable), the first dialog tool found on PATH draws the alert (kdialog first under KDE,
// zenity first elsewhere); otherwise, or when the tools fail, the console text goes to
// `console_fd`.
class DesktopAlertPresenter final : public AlertPresenter {
 public:
  // `runner` and the descriptors are borrowed. `cancel_fd`, when not -1, ends a dialog that is
  // up as soon as it becomes readable (the process was asked to end). `probe` tells whether
  // the session's display can be reached (DisplayReachable in the product).
  DesktopAlertPresenter(ProcessRunner& runner, EnvironmentSource environment, int cancel_fd,
                        int console_fd, DisplayProbe probe = DisplayReachable);

  int RunModal(const AlertContent& alert) override;

 private:
  ProcessRunner& runner_;          // starts and waits for the dialog tool
  EnvironmentSource environment_;  // read anew for each alert
  const int cancel_fd_;            // readable when a dialog must be given up, or -1
  const int console_fd_;           // where the console text goes (standard error)
  const DisplayProbe probe_;       // is there a display to draw on
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_DESKTOP_ALERT_H_
