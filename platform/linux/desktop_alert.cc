// desktop_alert.cc: alert presentation through zenity or kdialog, or as console text.
#include "platform/linux/desktop_alert.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ostrel {
namespace {

// The start of GTK's warning when gtk_init cannot open the display; it is not translated.
constexpr const char kGtkNoDisplay[] = "cannot open display";

// Text for a Pango markup label: the markup characters as entities.
std::string EscapeMarkup(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// zenity runs its markup text through g_strcompress, which turns "\n", "\t", "\\" and octal
// escapes into characters; doubling every backslash makes the text come out as it was.
std::string EscapeBackslashes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '\\') out += '\\';
  }
  return out;
}

std::vector<std::string> ZenityArguments(const std::string& program, const AlertContent& alert) {
  std::vector<std::string> argv = {program};
  argv.push_back(alert.style == AlertStyle::kWarning ? "--warning" : "--info");
  argv.push_back("--title=" + alert.title);
  std::string markup = "<b>" + EscapeMarkup(alert.message) + "</b>";
  if (!alert.informative.empty()) markup += "\n\n" + EscapeMarkup(alert.informative);
  argv.push_back("--text=" + EscapeBackslashes(markup));
  argv.push_back("--width=480");
  if (!alert.buttons.empty()) argv.push_back("--ok-label=" + alert.buttons[0]);
  for (size_t i = 1; i < alert.buttons.size(); ++i) {
    argv.push_back("--extra-button=" + alert.buttons[i]);
  }
  return argv;
}

std::vector<std::string> KdialogArguments(const std::string& program, const AlertContent& alert) {
  const bool warning = alert.style == AlertStyle::kWarning;
  std::string text = alert.message;
  if (!alert.informative.empty()) text += "\n\n" + alert.informative;
  std::vector<std::string> argv = {program, "--title", alert.title};
  const size_t buttons = alert.buttons.size();
  if (buttons <= 1) {
    argv.push_back(warning ? "--sorry" : "--msgbox");
    argv.push_back(text);
    return argv;
  }
  if (buttons == 2) {
    argv.push_back(warning ? "--warningyesno" : "--yesno");
  } else {
    argv.push_back(warning ? "--warningyesnocancel" : "--yesnocancel");
  }
  argv.push_back(text);
  argv.insert(argv.end(), {"--yes-label", alert.buttons[0], "--no-label", alert.buttons[1]});
  if (buttons >= 3) argv.insert(argv.end(), {"--cancel-label", alert.buttons[2]});
  return argv;
}

// Writes as much of `text` as `fd` takes: a console nobody reads is no failure of the alert.
void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

bool NamesUtf8(const std::string& locale) {
  std::string lower;
  for (char c : locale) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
}

}  // namespace

Environment DialogEnvironment(Environment env) {
  std::optional<std::string> all = env.GetNonEmpty("LC_ALL");
  std::optional<std::string> effective = all;
  if (!effective) effective = env.GetNonEmpty("LC_CTYPE");
  if (!effective) effective = env.GetNonEmpty("LANG");
  if (effective && NamesUtf8(*effective)) return env;
  env.Set(all ? "LC_ALL" : "LC_CTYPE", "C.UTF-8");
  return env;
}

std::vector<std::string> DialogArguments(DialogTool tool, const std::string& program,
                                         const AlertContent& alert) {
  return tool == DialogTool::kZenity ? ZenityArguments(program, alert)
                                     : KdialogArguments(program, alert);
}

std::optional<int> DialogResponse(DialogTool tool, const AlertContent& alert,
                                  const ProcessResult& outcome) {
  if (!outcome.exited) return std::nullopt;
  const int status = outcome.exit_status;
  if (tool == DialogTool::kZenity) {
    if (status == 0 || status == 5) return kAlertFirstButtonReturn;
    if (status != 1) return std::nullopt;
    // GTK ends with status 1 when it cannot open the display (no X authority for it, a server
    // that went away): the same status as a closed dialog, told apart by its warning.
    if (outcome.errors.find(kGtkNoDisplay) != std::string::npos) return std::nullopt;
    std::string pressed = outcome.output;
    while (!pressed.empty() && (pressed.back() == '\n' || pressed.back() == '\r')) {
      pressed.pop_back();
    }
    for (size_t i = 1; i < alert.buttons.size(); ++i) {
      if (pressed == alert.buttons[i]) return kAlertFirstButtonReturn + static_cast<int>(i);
    }
    return kAlertFirstButtonReturn;
  }
  // kdialog answers 0 for the first button, 1 for the second, and 2 for the third or when the
  // box was closed or escaped (every box kind, measured with kdialog 22.12). Without a third
  // button, 2 is therefore "closed": the first button, as with zenity; with one, it cannot be
  // told from that button. A one-button box can mean nothing but its button, so 1 is that too.
  const size_t shown = std::min<size_t>(std::max<size_t>(alert.buttons.size(), 1), 3);
  switch (status) {
    case 0:
      return kAlertFirstButtonReturn;
    case 1:
      return shown == 1 ? kAlertFirstButtonReturn : kAlertFirstButtonReturn + 1;
    case 2:
      return shown == 3 ? kAlertFirstButtonReturn + 2 : kAlertFirstButtonReturn;
    default:
      return std::nullopt;
  }
}

std::string ConsoleAlertText(const AlertContent& alert) {
  std::string text = alert.message + "\n\n";
  if (!alert.informative.empty()) text += alert.informative + "\n\n";
  for (size_t i = 0; i < alert.buttons.size(); ++i) {
    if (i > 0) text += ' ';
    text += "[" + alert.buttons[i] + "]";
  }
  text += "\n";
  return text;
}

namespace {

// True when a stream socket at `path` (a leading '\0' for the abstract namespace) accepts a
// connection.
bool UnixSocketAccepts(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() > sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.data(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), len);
  } while (rc != 0 && errno == EINTR);
  close(fd);
  return rc == 0;
}

bool WaylandReachable(const Environment& env) {
  std::optional<std::string> name = env.GetNonEmpty("WAYLAND_DISPLAY");
  if (!name) return false;
  if ((*name)[0] == '/') return UnixSocketAccepts(*name);
  std::optional<std::string> runtime = env.GetNonEmpty("XDG_RUNTIME_DIR");
  return runtime && UnixSocketAccepts(*runtime + "/" + *name);
}

bool X11Reachable(const Environment& env) {
  std::optional<std::string> display = env.GetNonEmpty("DISPLAY");
  if (!display) return false;
  const size_t colon = display->rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display->substr(0, colon);
  if (!host.empty() && host != "unix") return true;  // another host: not checked
  std::string number;
  for (size_t i = colon + 1; i < display->size() && (*display)[i] >= '0' && (*display)[i] <= '9';
       ++i) {
    number += (*display)[i];
  }
  if (number.empty()) return false;
  const std::string path = "/tmp/.X11-unix/X" + number;
  return UnixSocketAccepts(std::string(1, '\0') + path) || UnixSocketAccepts(path);
}

}  // namespace

bool DisplayReachable(const Environment& env) { return WaylandReachable(env) || X11Reachable(env); }

DesktopAlertPresenter::DesktopAlertPresenter(ProcessRunner& runner, EnvironmentSource environment,
                                             int cancel_fd, int console_fd, DisplayProbe probe)
    : runner_(runner),
      environment_(std::move(environment)),
      cancel_fd_(cancel_fd),
      console_fd_(console_fd),
      probe_(std::move(probe)) {}

int DesktopAlertPresenter::RunModal(const AlertContent& alert) {
  const Environment env = DialogEnvironment(environment_());
  const bool graphical = env.GetNonEmpty("DISPLAY") || env.GetNonEmpty("WAYLAND_DISPLAY");
  // A dialog tool that cannot open its display exits just like one whose window was closed, so
  // the display is tried first.
  if (graphical && probe_(env)) {
    const bool kde = env.Get("XDG_CURRENT_DESKTOP").value_or("").find("KDE") != std::string::npos;
    const DialogTool order[2][2] = {{DialogTool::kZenity, DialogTool::kKdialog},
                                    {DialogTool::kKdialog, DialogTool::kZenity}};
    for (DialogTool tool : order[kde ? 1 : 0]) {
      std::optional<std::string> program =
          FindProgram(tool == DialogTool::kZenity ? "zenity" : "kdialog", env);
      if (!program) continue;
      StatusOr<ProcessResult> outcome =
          runner_.Run(DialogArguments(tool, *program, alert), env, cancel_fd_);
      if (!outcome.ok()) continue;
      if (outcome->cancelled) return kAlertFirstButtonReturn;
      if (std::optional<int> response = DialogResponse(tool, alert, *outcome)) return *response;
    }
  }
  // No desktop to draw on: the text goes to the console, and nobody is there to press a button.
  WriteAll(console_fd_, ConsoleAlertText(alert));
  return kAlertFirstButtonReturn;
}

}  // namespace ostrel
