// alert.h: modal alerts: a message, an informative text and a row of buttons.
//
// The caller describes the alert (AlertContent) and gets back which button was pressed, as
// 1000 + the button's index (1000 for the first button added, 1001 for the second). On a
// desktop the alert is a real modal dialog drawn by `zenity` or `kdialog`, started from an
// argument vector and waited for; with no graphical session, or when neither tool can show it,
// the alert is written to a console descriptor and counts as its first button, without waiting
// for input. Presenting blocks the calling thread (the main thread) and nothing else.
#ifndef OSTREL_PLATFORM_ALERT_H_
#define OSTREL_PLATFORM_ALERT_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/process.h"

namespace ostrel {

// The alert's style, with the values of the classic alert styles.
enum class AlertStyle : int {
  kWarning = 0,        // warning icon
  kInformational = 1,  // information icon
};

// What one alert shows.
struct AlertContent {
  std::string title;                              // the window title (the application's name)
  AlertStyle style = AlertStyle::kInformational;  // which icon
  std::string message;                            // the short, emphasised first text
  std::string informative;                        // the longer text below it; may hold line feeds
  std::vector<std::string> buttons;  // the button titles in the order added; the first is the
                                     // default button
};

// The answer for the first button; the n-th button (from 0) answers kAlertFirstButtonReturn + n.
inline constexpr int kAlertFirstButtonReturn = 1000;

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Shows `alert` modally and returns when it is closed: kAlertFirstButtonReturn + the index of
  // the pressed button. An alert closed without a button (window closed, Escape, the process
  // asked to end) answers kAlertFirstButtonReturn. Never throws.
  virtual int RunModal(const AlertContent& alert) = 0;
};

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
// (could not start, no display, crashed, unknown exit status).
//  zenity: exit 0 is the first button; exit 1 with an extra button's title on standard output
//    is that button, exit 1 without (closed, Escape) and 5 (timeout) the first button; exit 1
//    with GTK's "cannot open display" warning on standard error is a failure.
//  kdialog: exit 0, 1, 2 are the first, second, third button (a one-button box answers 0, or 1
//    when it was closed).
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
// on a fresh socket, closed at once. A dialog tool that cannot open its display exits just
// like one whose window was closed, so the presenter asks this first.
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

#endif  // OSTREL_PLATFORM_ALERT_H_
