// The launch: the alert's contents and answers, how Linux shows it (dialog tools or console),
// the application's start-up flow, opening Ostrel, and the login item's logging.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/helper_app.h"
#include "app/helper_login_item.h"
#include "app/launch_alert.h"
#include "platform/linux/desktop_alert.h"
#include "tests/fake_platform.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using Strings = std::vector<std::string>;
using testing::TempDir;

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
  EXPECT_EQ(LaunchAlert(false, 7).title, "Ostrel Sensor Helper");
  for (int response : {-1, 0, 1000, 1001, 1002}) {
    EXPECT_EQ(LaunchActionFor(true, response) == LaunchAction::kOpenOstrel, response == 1001);
    EXPECT_EQ(LaunchActionFor(false, response), LaunchAction::kNothing);
  }
  AlertContent bare;
  bare.message = "M";
  EXPECT_EQ(ConsoleAlertText(bare), "M\n\n\n");
}

TEST(DialogTest, ArgumentsForEachToolAndButtonCount) {
  const AlertContent started = LaunchAlert(true, 53843), failed = LaunchAlert(false, 53843);
  const std::string started_text = "Ostrel Sensor Helper is running\n\n" + started.informative;
  const std::string failed_text = failed.message + "\n\n" + failed.informative;
  EXPECT_EQ(DialogArguments(DialogTool::kZenity, "/z", started),
            (Strings{"/z", "--info", "--title=Ostrel Sensor Helper",
                     "--text=<b>Ostrel Sensor Helper is running</b>\n\n" + started.informative,
                     "--width=480", "--ok-label=OK", "--extra-button=Open Ostrel"}));
  EXPECT_EQ(DialogArguments(DialogTool::kZenity, "z", failed)[1], "--warning");
  EXPECT_EQ(DialogArguments(DialogTool::kKdialog, "k", started),
            (Strings{"k", "--title", "Ostrel Sensor Helper", "--yesno", started_text, "--yes-label",
                     "OK", "--no-label", "Open Ostrel"}));
  EXPECT_EQ(DialogArguments(DialogTool::kKdialog, "k", failed),
            (Strings{"k", "--title", "Ostrel Sensor Helper", "--sorry", failed_text}));
  AlertContent odd = failed;
  odd.buttons = {"A", "B", "C", "D"};
  EXPECT_EQ(DialogArguments(DialogTool::kKdialog, "k", odd),
            (Strings{"k", "--title", "Ostrel Sensor Helper", "--warningyesnocancel", failed_text,
                     "--yes-label", "A", "--no-label", "B", "--cancel-label", "C"}));
  odd = {"T", AlertStyle::kInformational, "a<b>&'\"", "C:\\temp\\n", {"Yes"}};
  EXPECT_EQ(DialogArguments(DialogTool::kZenity, "z", odd),
            (Strings{"z", "--info", "--title=T",
                     "--text=<b>a&lt;b&gt;&amp;&apos;&quot;</b>\n\nC:\\\\temp\\\\n", "--width=480",
                     "--ok-label=Yes"}));
  odd.buttons = {"Y", "N", "C"};
  odd.informative.clear();
  EXPECT_EQ(DialogArguments(DialogTool::kKdialog, "k", odd)[3], "--yesnocancel");
  EXPECT_EQ(DialogArguments(DialogTool::kKdialog, "k", odd)[4], "a<b>&'\"");
  odd.buttons.clear();
  EXPECT_EQ(DialogArguments(DialogTool::kKdialog, "k", odd),
            (Strings{"k", "--title", "T", "--msgbox", "a<b>&'\""}));
}

ProcessResult Exited(int status, std::string output = "", std::string errors = "") {
  ProcessResult r;
  r.exited = true;
  r.exit_status = status;
  r.output = std::move(output);
  r.errors = std::move(errors);
  return r;
}

TEST(DialogTest, ToolOutcomesToButtons) {
  ProcessResult missing, killed;
  missing.spawn_error = ENOENT;
  killed.term_signal = SIGSEGV;
  const AlertContent two = LaunchAlert(true, 1), one = LaunchAlert(false, 1);
  AlertContent three = two;
  three.buttons.push_back("Later");
  const DialogTool z = DialogTool::kZenity, k = DialogTool::kKdialog;
  const struct {
    DialogTool tool;
    const AlertContent& alert;
    ProcessResult outcome;
    std::optional<int> response;
  } cases[] = {
      {z, two, Exited(0), 1000},
      {z, two, Exited(1, "Open Ostrel\r\n"), 1001},
      {z, three, Exited(1, "Later\n"), 1002},
      {z, two, Exited(1, ""), 1000},  // closed, or Escape
      {z, two, Exited(1, "Open\n"), 1000},
      {z, two, Exited(1, "OK\n"), 1000},
      {z, two, Exited(5), 1000},  // timeout
      {z, two, Exited(2), std::nullopt},
      {z, two, Exited(1, "", "(zenity:42): Gtk-WARNING **: cannot open display: :0\n"),
       std::nullopt},
      {z, two, Exited(1, "", "Gtk-Message: GtkDialog mapped without a transient parent.\n"), 1000},
      {z, two, killed, std::nullopt},
      {z, two, missing, std::nullopt},
      {k, two, Exited(0), 1000},
      {k, two, Exited(1), 1001},
      {k, two, Exited(2), std::nullopt},
      {k, three, Exited(2), 1002},
      {k, three, Exited(3), std::nullopt},
      {k, one, Exited(0), 1000},
      {k, one, Exited(1), 1000},
      {k, one, Exited(2), std::nullopt},
      {k, two, Exited(-1), std::nullopt},
      {k, two, killed, std::nullopt},
      {k, one, missing, std::nullopt},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(DialogResponse(c.tool, c.alert, c.outcome), c.response) << "case " << i;
  }
}

TEST(DialogTest, TextsReachTheToolAsUtf8) {
  const struct {
    std::vector<std::pair<std::string, std::string>> vars;
    Strings entries;  // afterwards
  } cases[] = {
      {{}, {"LC_CTYPE=C.UTF-8"}},
      {{{"LANG", "de_DE.UTF-8"}}, {"LANG=de_DE.UTF-8"}},
      {{{"LANG", "en_US.utf8"}}, {"LANG=en_US.utf8"}},
      {{{"LANG", "C"}}, {"LANG=C", "LC_CTYPE=C.UTF-8"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_CTYPE", "POSIX"}}, {"LANG=de_DE.UTF-8", "LC_CTYPE=C.UTF-8"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_ALL", "C"}}, {"LANG=de_DE.UTF-8", "LC_ALL=C.UTF-8"}},
      {{{"LC_ALL", "fr_FR.UTF-8"}, {"LC_CTYPE", "C"}}, {"LC_ALL=fr_FR.UTF-8", "LC_CTYPE=C"}},
      {{{"LC_CTYPE", "nl_NL.UTF-8"}, {"LANG", "C"}}, {"LANG=C", "LC_CTYPE=nl_NL.UTF-8"}},
      {{{"LANG", ""}, {"LC_ALL", ""}}, {"LANG=", "LC_ALL=", "LC_CTYPE=C.UTF-8"}},
  };
  for (const auto& c : cases) {
    Environment env;
    for (const auto& [name, value] : c.vars) env.Set(name, value);
    EXPECT_EQ(DialogEnvironment(env).Entries(), c.entries) << c.entries[0];
  }
}

// A listening UNIX socket standing in for a display server.
struct FakeDisplay {
  explicit FakeDisplay(const std::string& path)
      : fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd, 4), 0);
  }
  ~FakeDisplay() { close(fd); }
  int fd;
};

TEST(DialogTest, DisplayReachable) {
  TempDir dir;
  FakeDisplay wayland(dir.path() + "/wayland-1");
  dir.Write("file", "");
  const std::string socket = dir.path() + "/wayland-1";
  const struct {
    std::vector<std::pair<std::string, std::string>> vars;
    bool reachable;
  } cases[] = {
      {{}, false},
      {{{"WAYLAND_DISPLAY", socket}}, true},
      {{{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", dir.path()}}, true},
      {{{"WAYLAND_DISPLAY", "wayland-1"}}, false},
      {{{"WAYLAND_DISPLAY", dir.path() + "/wayland-0"}}, false},
      {{{"WAYLAND_DISPLAY", dir.path() + "/file"}}, false},
      {{{"WAYLAND_DISPLAY", "/" + std::string(120, 'w')}}, false},
      {{{"DISPLAY", "remote.example:0"}}, true},
      {{{"DISPLAY", "unix:x"}}, false},
      {{{"DISPLAY", ":x"}}, false},
      {{{"DISPLAY", "0"}}, false},
      {{{"DISPLAY", ""}}, false},
      {{{"DISPLAY", ":not-there"}, {"WAYLAND_DISPLAY", socket}}, true},
  };
  for (const auto& c : cases) {
    Environment env;
    for (const auto& [name, value] : c.vars) env.Set(name, value);
    EXPECT_EQ(DisplayReachable(env), c.reachable) << ::testing::PrintToString(env.Entries());
  }
}

TEST(DialogTest, PresenterChoosesToolOrConsole) {
  ProcessResult cancelled = Exited(1, "Open Ostrel\n");
  cancelled.cancelled = true;
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> vars;
    Strings tools;         // installed on PATH
    bool display_up;       // what the display probe answers
    ProcessResult result;  // of every dialog run
    int response;
    Strings runs;  // the tools run, in order
    bool console;  // the console text was written
  } cases[] = {
      {"no session", {{"DISPLAY", ""}}, {"zenity"}, true, Exited(0), 1000, {}, true},
      {"zenity",
       {{"WAYLAND_DISPLAY", "w"}},
       {"zenity", "kdialog"},
       true,
       Exited(1, "Open Ostrel\n"),
       1001,
       {"zenity"},
       false},
      {"kdialog first under KDE",
       {{"DISPLAY", ":0"}, {"XDG_CURRENT_DESKTOP", "X:KDE"}},
       {"zenity", "kdialog"},
       true,
       Exited(1),
       1001,
       {"kdialog"},
       false},
      {"failing tools, then the console",
       {{"DISPLAY", ":0"}},
       {"zenity", "kdialog"},
       true,
       Exited(255),
       1000,
       {"zenity", "kdialog"},
       true},
      {"the next tool",
       {{"DISPLAY", ":0"}},
       {"kdialog"},
       true,
       Exited(0),
       1000,
       {"kdialog"},
       false},
      {"unreachable display", {{"DISPLAY", ":0"}}, {"zenity"}, false, Exited(0), 1000, {}, true},
      {"no tool", {{"DISPLAY", ":0"}}, {}, true, Exited(0), 1000, {}, true},
      {"cancelled", {{"DISPLAY", ":0"}}, {"zenity"}, true, cancelled, 1000, {"zenity"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Environment env;
    env.Set("PATH", dir.path());
    for (const auto& [name, value] : c.vars) env.Set(name, value);
    for (const std::string& tool : c.tools) {
      dir.Write(tool, "#!/bin/sh\n");
      chmod((dir.path() + "/" + tool).c_str(), 0755);
    }
    const int console = open((dir.path() + "/console").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    testing::FakeRunner runner;
    runner.run_result = c.result;
    DesktopAlertPresenter presenter(
        runner, [env] { return env; }, 42, console,
        [&](const Environment& probed) {
          EXPECT_EQ(probed.Get("LC_CTYPE"), "C.UTF-8");
          return c.display_up;
        });
    EXPECT_EQ(presenter.RunModal(LaunchAlert(true, 53843)), c.response);
    close(console);
    Strings runs;
    for (const Strings& run : runner.runs()) {
      runs.push_back(run.front().substr(dir.path().size() + 1));
      EXPECT_EQ(run, [&] {
        Strings want = DialogArguments(
            run.front().ends_with("zenity") ? DialogTool::kZenity : DialogTool::kKdialog,
            run.front(), LaunchAlert(true, 53843));
        want.push_back("cancel 42");
        return want;
      }());
    }
    EXPECT_EQ(runs, c.runs);
    EXPECT_EQ(testing::ReadWholeFile(dir.path() + "/console"), c.console ? kStartedConsole : "");
  }
}

TEST(HelperAppTest, StartAlertAndOpeningOstrel) {
  const std::string fail_line_head =
      "log: Ostrel Sensor Helper: server failed to start: bind 127.0.0.1:";
  const struct {
    const char* name;
    bool port_taken;
    int response;
    std::optional<std::string> installed;
    const char* web_page;
    Strings events;  // after the log line, if any
  } cases[] = {
      {"started, OK",
       false,
       1000,
       "/a.desktop",
       HelperApp::kOstrelWebPage,
       {"alert: Ostrel Sensor Helper is running"}},
      {"installed",
       false,
       1001,
       "/a.desktop",
       HelperApp::kOstrelWebPage,
       {"alert: Ostrel Sensor Helper is running", "find com.ostrel.Ostrel", "open app /a.desktop"}},
      {"not installed",
       false,
       1001,
       std::nullopt,
       HelperApp::kOstrelWebPage,
       {"alert: Ostrel Sensor Helper is running", "find com.ostrel.Ostrel",
        "open url https://ostrel.app/"}},
      {"unusable web address",
       false,
       1001,
       std::nullopt,
       "ostrel.app",
       {"alert: Ostrel Sensor Helper is running", "find com.ostrel.Ostrel"}},
      {"failed start",
       true,
       1001,
       "/a.desktop",
       HelperApp::kOstrelWebPage,
       {"alert: Ostrel Sensor Helper couldn\xE2\x80\x99t start"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeShell shell;
    testing::FakeLoginItem login;
    shell.response = c.response;
    shell.installed = c.installed;
    std::unique_ptr<SensorServer> blocker;
    if (c.port_taken) {
      blocker = std::make_unique<SensorServer>(login, 0, testing::NoReaders());
      blocker->start();
    }
    HelperApp app(std::make_unique<SensorServer>(login, blocker ? blocker->boundPort() : 0,
                                                 testing::NoReaders()),
                  HelperApp::Services{shell, shell, shell}, c.web_page);
    std::string during_alert;
    shell.while_shown = [&] { during_alert = testing::Exchange(app.server->boundPort(), "GET /"); };
    app.applicationDidFinishLaunching();
    Strings events = shell.events;
    if (c.port_taken) {
      ASSERT_FALSE(events.empty());
      EXPECT_EQ(events[0],
                fail_line_head + std::to_string(blocker->boundPort()) + ": Address already in use");
      events.erase(events.begin());
      EXPECT_EQ(app.server->boundPort(), 0);
    } else {
      EXPECT_NE(during_alert.find("\"helper\":\"ostrel\""), std::string::npos);
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(shell.shown.at(0).informative, LaunchAlert(!c.port_taken, 53843).informative);
  }
}

TEST(HelperAppTest, WebAddresses) {
  for (const char* good :
       {"https://ostrel.app/", "http://example.org", "git+ssh://u@h:8/p?q#f", "a.b-c://h"}) {
    EXPECT_EQ(WebAddressFromString(good), good);
  }
  for (const char* bad :
       {"", "ostrel.app", "://ostrel.app", "1http://x", "https://", "https:///p", "https://:80/",
        "https://u@/", "https://a b/", "https://a/\n", "https://a/\x7F", "ht tp://a", "h_t://a"}) {
    EXPECT_EQ(WebAddressFromString(bad), std::nullopt) << bad;
  }
}

TEST(HelperLoginItemTest, RefusalsAreLoggedAndOnlyEnabledCounts) {
  struct Service : LoginItemService {
    Status Register() override { return result; }
    Status Unregister() override { return result; }
    LoginItemStatus GetStatus() override { return status; }
    Status result;
    LoginItemStatus status = LoginItemStatus::kEnabled;
  } service;
  testing::FakeShell log;
  HelperLoginItem::set(service, log, true);
  HelperLoginItem::set(service, log, false);
  service.result = Status::Error("/x: No such file or directory");
  HelperLoginItem::set(service, log, false);
  HelperLoginItem::set(service, log, true);
  EXPECT_EQ(log.events,
            (Strings{"log: Ostrel Sensor Helper: login item unregister failed: /x: No such file or "
                     "directory",
                     "log: Ostrel Sensor Helper: login item register failed: /x: No such file or "
                     "directory"}));
  for (LoginItemStatus status : {LoginItemStatus::kNotRegistered, LoginItemStatus::kEnabled,
                                 LoginItemStatus::kRequiresApproval, LoginItemStatus::kNotFound}) {
    service.status = status;
    EXPECT_EQ(HelperLoginItem::isEnabled(service), status == LoginItemStatus::kEnabled);
  }
}

}  // namespace
}  // namespace ostrel
