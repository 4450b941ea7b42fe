// The launch: the alert's contents and answers, how Linux shows it (dialog tools or console),
// the application's start-up flow, and finding and opening Ostrel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "app/helper_app.h"
#include "app/launch_alert.h"
#include "platform/linux/desktop_alert.h"
#include "platform/linux/xdg_workspace.h"
#include "platform/login_item.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using Strings = std::vector<std::string>;
using testing::Env;

// The texts as UTF-8 bytes: ’ is E2 80 99, — is E2 80 94, “ and ” are E2 80 9C and E2 80 9D.
constexpr char kStartedConsole[] =
    "Ostrel Sensor Helper is running\n\n"
    "It\xE2\x80\x99s now serving live temperatures, fan speeds and SoC power to Ostrel.\n\n"
    "It runs quietly in the background with no menu-bar or Dock icon. Open Ostrel to see the "
    "readings \xE2\x80\x94 its Sensors page shows when the helper is connected. To stop it later, "
    "restart your Mac or quit \xE2\x80\x9COstrelSensorHelper\xE2\x80\x9D in Activity Monitor.\n\n"
    "[OK] [Open Ostrel]\n";
constexpr char kFailedConsole[] =
    "Ostrel Sensor Helper couldn\xE2\x80\x99t start\n\n"
    "The sensor server didn\xE2\x80\x99t start \xE2\x80\x94 port 7 may already be in use (the "
    "helper might already be running). Restart your Mac, or quit any existing "
    "\xE2\x80\x9COstrelSensorHelper\xE2\x80\x9D in Activity Monitor, then reopen it.\n\n[OK]\n";

TEST(LaunchAlertTest, TextsStylesAndAnswers) {
  EXPECT_EQ(ConsoleAlertText(LaunchAlert(true, 7)), kStartedConsole);
  EXPECT_EQ(ConsoleAlertText(LaunchAlert(false, 7)), kFailedConsole);
  EXPECT_EQ(LaunchAlert(true, 7).style, AlertStyle::kInformational);
  EXPECT_EQ(LaunchAlert(false, 7).style, AlertStyle::kWarning);
  for (int response : {-1, 1000, 1001, 1002}) {
    EXPECT_EQ(LaunchActionFor(true, response) == LaunchAction::kOpenOstrel, response == 1001);
    EXPECT_EQ(LaunchActionFor(false, response), LaunchAction::kNothing);
  }
  EXPECT_EQ(ConsoleAlertText({"T", AlertStyle::kWarning, "M", "", {}}), "M\n\n\n");
}

// Each tool's arguments for each style and button count, the text escaped as the tool needs.
TEST(DialogTest, ArgumentsForEachToolAndButtonCount) {
  const DialogTool z = DialogTool::kZenity, k = DialogTool::kKdialog;
  const AlertStyle i = AlertStyle::kInformational, w = AlertStyle::kWarning;
  // The tool, style, informative text and buttons; the arguments after the program.
  const std::tuple<DialogTool, AlertStyle, const char*, Strings, const char*> cases[] = {
      // clang-format off
      {z, i, "C:\\t\\n", {"Y", "N", "C"}, "--info|--title=T|--text=<b>a&lt;b&gt;&amp;&apos;&quot;"
       "\\\\</b>\n\nC:\\\\t\\\\n|--width=480|--ok-label=Y|--extra-button=N|--extra-button=C"},
      {z, w, "", {}, "--warning|--title=T|--text=<b>a&lt;b&gt;&amp;&apos;&quot;\\\\</b>"
       "|--width=480"},
      {k, i, "", {}, "--title|T|--msgbox|a<b>&'\"\\"},
      {k, w, "I", {"Y"}, "--title|T|--sorry|a<b>&'\"\\\n\nI"},
      {k, i, "I", {"Y", "N"}, "--title|T|--yesno|a<b>&'\"\\\n\nI|--yes-label|Y|--no-label|N"},
      {k, w, "", {"Y", "N", "C"}, "--title|T|--warningyesnocancel|a<b>&'\"\\|--yes-label|Y"
       "|--no-label|N|--cancel-label|C"}};
  // clang-format on
  for (const auto& [tool, style, informative, buttons, want] : cases) {
    const Strings args =
        DialogArguments(tool, "p", {"T", style, "a<b>&'\"\\", informative, buttons});
    EXPECT_EQ(testing::Joined(args, "|"), std::string("p|") + want);
  }
}

ProcessResult Exited(int status, std::string output = "", std::string errors = "") {
  return {.exited = true, .exit_status = status, .output = output, .errors = errors};
}

TEST(DialogTest, ToolOutcomesToButtons) {
  ProcessResult killed;
  killed.term_signal = SIGSEGV;
  const AlertContent one = LaunchAlert(false, 1), two = LaunchAlert(true, 1);
  AlertContent three = two, four = two;
  three.buttons.push_back("Later");
  four.buttons = {"A", "B", "C", "D"};
  const DialogTool z = DialogTool::kZenity, k = DialogTool::kKdialog;
  // The tool, the alert, what the tool did; the response, 0 when the tool failed to show it.
  const std::tuple<DialogTool, const AlertContent&, ProcessResult, int> cases[] = {
      // clang-format off
      {z, two, Exited(0), 1000},  {z, two, Exited(1, "Open Ostrel\r\n"), 1001},
      {z, three, Exited(1, "Later\n"), 1002},  {z, two, Exited(1, ""), 1000},  // closed, Escape
      {z, two, Exited(5), 1000},  {z, two, Exited(2), 0},  {z, two, killed, 0},  // 5: timeout
      {z, two, Exited(1, "", "(zenity:42): Gtk-WARNING **: cannot open display: :0\n"), 0},
      {z, two, Exited(1, "", "Gtk-Message: GtkDialog mapped without a transient parent.\n"), 1000},
      {k, two, Exited(0), 1000},  {k, two, Exited(1), 1001},  {k, two, Exited(2), 1000},
      {k, three, Exited(2), 1002},  {k, four, Exited(2), 1002},  {k, three, Exited(3), 0},
      {k, one, Exited(1), 1000}};
  // clang-format on
  for (const auto& [tool, alert, outcome, response] : cases)
    EXPECT_EQ(DialogResponse(tool, alert, outcome).value_or(0), response) << outcome.output;
}

// Answers each dialog tool with its outcome; records each run's tool, '*' when it gets UTF-8,
// and each launched program's line.
struct FakeRunner : ProcessRunner {
  StatusOr<ProcessResult> Run(const Strings& argv, const Environment& env, int cancel) override {
    const std::string tool = argv[0].substr(argv[0].rfind('/') + 1);
    runs += tool + (env.Get("LC_CTYPE") == "C.UTF-8" ? "*" : " ") + (cancel == 9 ? "" : "!");
    return outcomes.at(tool);
  }
  StatusOr<pid_t> Launch(const Strings& argv, const Environment&) override {
    return runs += testing::Joined(argv, " ") + "\n", 1;
  }
  std::map<std::string, StatusOr<ProcessResult>> outcomes;  // by tool
  std::string runs;
};

TEST(DialogTest, PresenterChoosesToolOrConsole) {
  const ProcessResult ok = Exited(0), no = Exited(255);
  ProcessResult cancelled;  // the process was asked to end while the tool ran
  cancelled.cancelled = true;
  // The variables (DOWN=1: the display does not answer), the tools installed with their
  // outcomes; the response and the runs. The console gets the text when no tool showed it.
  const Status unstarted = Status::Error("zenity: Permission denied");
  const std::tuple<const char*, std::map<std::string, StatusOr<ProcessResult>>, int, const char*>
      cases[] = {
          // clang-format off
      {"DISPLAY=", {{"zenity", ok}}, 1000, ""},  {"DISPLAY=:0", {}, 1000, ""},
      {"WAYLAND_DISPLAY=w", {{"zenity", Exited(1, "Open Ostrel")}, {"kdialog", ok}}, 1001,
       "zenity*"},
      {"DISPLAY=:0 XDG_CURRENT_DESKTOP=X:KDE", {{"zenity", ok}, {"kdialog", Exited(1)}}, 1001,
       "kdialog*"},
      {"DISPLAY=:0 LANG=C.utf8", {{"zenity", no}, {"kdialog", no}}, 1000, "zenity kdialog "},
      {"DISPLAY=:0", {{"kdialog", ok}}, 1000, "kdialog*"},
      {"DOWN=1 DISPLAY=:0", {{"zenity", ok}}, 1000, ""},
      {"DISPLAY=:0", {{"zenity", cancelled}, {"kdialog", ok}}, 1000, "zenity*"},
      {"DISPLAY=:0", {{"zenity", unstarted}, {"kdialog", ok}}, 1000, "zenity*kdialog*"}};
  // clang-format on
  for (const auto& [vars, tools, response, runs] : cases) {
    testing::TempDir dir;
    Environment env = Env(vars);
    env.Set("PATH", dir.path());  // only these: never a real dialog tool
    FakeRunner runner;
    runner.outcomes = tools;
    for (const auto& [tool, outcome] : tools) {
      dir.Write(tool, "");
      chmod((dir.path() + "/" + tool).c_str(), 0755);
    }
    const int console = open((dir.path() + "/console").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    DesktopAlertPresenter presenter(
        runner, [env] { return env; }, 9, console,
        [](const Environment& probed) { return !probed.Get("DOWN"); });
    EXPECT_EQ(presenter.RunModal(LaunchAlert(true, 53843)), response) << vars;
    EXPECT_EQ(runner.runs, runs) << vars;
    const bool shown = std::string(runs).ends_with("*");
    EXPECT_EQ(testing::ReadWholeFile(dir.path() + "/console"), shown ? "" : kStartedConsole);
    close(console);
  }
}

TEST(XdgWorkspaceTest, FindsTheEntryAndLaunches) {
  const std::string file = "/applications/com.ostrel.Ostrel.desktop", d = "data-home" + file,
                    s1 = "sys1" + file, s2 = "sys2" + file, h = "home/.local/share" + file;
  const std::string entry = "[Desktop Entry]\nType=Application\nExec=/opt/ostrel/ostrel\n";
  const std::string big = entry + std::string(256 * 1024 - entry.size(), '#');  // 256 KiB
  // The files written and the one found; XDG_DATA_HOME is set unless the default is used.
  const std::pair<std::vector<std::pair<std::string, std::string>>, std::string> cases[] = {
      // clang-format off
      {{{h, entry}}, h},  {{{d, entry}, {s1, entry}}, d},  {{{s1, entry}, {s2, entry}}, s1},
      {{{d, "[Desktop Entry]\nHidden=true\n"}, {s2, entry}}, ""},  {{{d + "/x", entry}}, ""},
      {{{d, "[Desktop Entry]\nHidden=false\n"}}, d},  {{{d, "garbage"}, {s2, entry}}, s2},
      {{{d, big + "\n"}, {s2, entry}}, s2},  {{{d, big}}, d},  // one byte over, and just at it
      {{{"sys1/applications/com.ostrel.Other.desktop", entry}}, ""},  {{}, ""}};
  // clang-format on
  FakeRunner runner;
  for (const auto& [files, found] : cases) {
    testing::TempDir root;
    Environment env = Env("HOME=" + root.path() + "/home XDG_DATA_DIRS=" + root.path() +
                          "/sys1:" + root.path() + "/sys2");
    if (found != h) env.Set("XDG_DATA_HOME", root.path() + "/data-home");
    for (const auto& [relative, contents] : files) root.Write(relative, contents);
    XdgWorkspace workspace(runner, [env] { return env; });
    EXPECT_EQ(workspace.URLForApplication("com.ostrel.Ostrel").value_or(""),
              found.empty() ? "" : root.path() + "/" + found)
        << found;
    EXPECT_EQ(workspace.URLForApplication(found.empty() ? "" : "../applications/com.ostrel.Ostrel"),
              std::nullopt);
  }
  // Without gio, gtk-launch takes the entry's identifier.
  testing::TempDir bin;
  XdgWorkspace workspace(runner, [&bin] { return Env("PATH=" + bin.path()); });
  workspace.OpenApplication("/x/com.ostrel.Ostrel.desktop");
  workspace.OpenApplication("/x/.desktop");
  bin.Write("gio", "");
  chmod((bin.path() + "/gio").c_str(), 0755);
  workspace.OpenApplication("/x/com.ostrel.Ostrel.desktop");
  workspace.OpenURL("https://ostrel.app/");
  EXPECT_EQ(runner.runs,
            "gtk-launch com.ostrel.Ostrel\ngtk-launch .desktop\ngio launch "
            "/x/com.ostrel.Ostrel.desktop\nxdg-open https://ostrel.app/\n");
}

// The log, the alert presenter and the workspace in one, writing "log: <line>", "alert:
// <message>", "find <id>", "open app <location>" and "open url <url>" into `events`.
struct FakeShell : LogSink, AlertPresenter, Workspace {
  void Write(std::string_view line) override { events.push_back("log: " + std::string(line)); }
  int RunModal(const AlertContent& alert) override {
    events.push_back("alert: " + alert.message);
    while_shown();
    return response;
  }
  std::optional<std::string> URLForApplication(const std::string& id) override {
    events.push_back("find " + id);
    return installed;
  }
  void OpenApplication(const std::string& at) override { events.push_back("open app " + at); }
  void OpenURL(const std::string& url) override { events.push_back("open url " + url); }
  Strings events;                             // everything, in order
  int response = kAlertFirstButtonReturn;     // the button "pressed"
  std::function<void()> while_shown = [] {};  // runs while the alert is "up"
  std::optional<std::string> installed;       // the main application's location, if any
};

TEST(HelperAppTest, StartAlertAndOpeningOstrel) {
  const std::string page = HelperApp::kOstrelWebPage, ok = "alert: Ostrel Sensor Helper is running";
  testing::FakeLoginItem login;
  SensorServer blocker(login, 0, testing::NoReaders());
  blocker.start();
  const std::string port = std::to_string(blocker.boundPort());
  // The port taken, the button pressed, where Ostrel is ("" when nowhere), the web page; what
  // happened.
  const std::tuple<bool, int, const char*, std::string, std::string> cases[] = {
      // clang-format off
      {false, 1000, "/a.desktop", page, ok},
      {false, 1001, "/a.desktop", page, ok + "|find com.ostrel.Ostrel|open app /a.desktop"},
      {false, 1001, "", page, ok + "|find com.ostrel.Ostrel|open url https://ostrel.app/"},
      {false, 1001, "", "ostrel.app", ok + "|find com.ostrel.Ostrel"},
      {true, 1001, "/a.desktop", page, "log: Ostrel Sensor Helper: server failed to start: bind "
       "127.0.0.1:" + port + ": Address already in use|alert: Ostrel Sensor Helper couldn\u2019t "
       "start"}};
  // clang-format on
  for (const auto& [taken, response, installed, web_page, events] : cases) {
    FakeShell shell;
    shell.response = response;
    if (*installed) shell.installed = installed;
    HelperApp app(std::make_unique<SensorServer>(login, taken ? blocker.boundPort() : 0,
                                                 testing::NoReaders()),
                  HelperApp::Services{shell, shell, shell}, web_page);
    std::string during_alert;
    shell.while_shown = [&] { during_alert = testing::Exchange(app.server->boundPort(), "GET /"); };
    app.applicationDidFinishLaunching();
    EXPECT_EQ(testing::Joined(shell.events, "|"), events);
    EXPECT_EQ(during_alert.find("\"helper\":\"ostrel\"") != std::string::npos, !taken);
  }
}

TEST(HelperAppTest, WebAddresses) {
  // clang-format off
  for (const std::string c : {"+https://ostrel.app/", "+git+ssh://u@h:8/p?q#f", "+Zaz+A0.9-://h",
       "-", "-ostrel.app", "-://ostrel.app", "-1http://x", "-https://", "-https:///p",
       "-https://:80/", "-https://u@/", "-https://a b/", "-https://a/\n", "-https://a/\x7F",
       "-ht tp://a", "-h_t://a"}) {
    // clang-format on
    EXPECT_EQ(WebAddressFromString(c.substr(1)).value_or("-"), c[0] == '+' ? c.substr(1) : "-");
  }
}

}  // namespace
}  // namespace ostrel
