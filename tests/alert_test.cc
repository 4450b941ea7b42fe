// The launch: the alert's contents and answers, how Linux shows it (dialog tools or console),
// the application's start-up flow, opening Ostrel, and the login item's logging.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "app/helper_app.h"
#include "app/helper_login_item.h"
#include "app/launch_alert.h"
#include "platform/linux/desktop_alert.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using Strings = std::vector<std::string>;
using testing::Env;
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
    int response;  // 0: the tool failed to show the alert
  } cases[] = {
      // clang-format off
      {z, two, Exited(0), 1000},              {z, two, Exited(1, "Open Ostrel\r\n"), 1001},
      {z, three, Exited(1, "Later\n"), 1002}, {z, two, Exited(1, ""), 1000},  // closed, Escape
      {z, two, Exited(1, "Open\n"), 1000},    {z, two, Exited(1, "OK\n"), 1000},
      {z, two, Exited(5), 1000},              {z, two, Exited(2), 0},  // 5: timeout
      {z, two, Exited(1, "", "(zenity:42): Gtk-WARNING **: cannot open display: :0\n"), 0},
      {z, two, Exited(1, "", "Gtk-Message: GtkDialog mapped without a transient parent.\n"), 1000},
      {z, two, killed, 0},                    {z, two, missing, 0},
      {k, two, Exited(0), 1000},              {k, two, Exited(1), 1001},
      {k, two, Exited(2), 1000},              {k, three, Exited(2), 1002},  // 2: Escape, or third
      {k, three, Exited(3), 0},               {k, one, Exited(0), 1000},
      {k, one, Exited(1), 1000},              {k, one, Exited(2), 1000},  {k, two, Exited(3), 0},
      {k, two, Exited(-1), 0},                {k, two, killed, 0},  {k, one, missing, 0}};
  // clang-format on
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(DialogResponse(c.tool, c.alert, c.outcome).value_or(0), c.response) << "case " << i;
  }
}

TEST(DialogTest, TextsReachTheToolAsUtf8) {
  // The variables set, then after "->" what the tool gets.
  // clang-format off
  for (const std::string c : {
      "->LC_CTYPE=C.UTF-8",                          "LANG=de_DE.UTF-8->LANG=de_DE.UTF-8",
      "LANG=en_US.utf8->LANG=en_US.utf8",            "LANG=C->LANG=C LC_CTYPE=C.UTF-8",
      "LANG=de_DE.UTF-8 LC_CTYPE=POSIX->LANG=de_DE.UTF-8 LC_CTYPE=C.UTF-8",
      "LANG=de_DE.UTF-8 LC_ALL=C->LANG=de_DE.UTF-8 LC_ALL=C.UTF-8",
      "LC_ALL=fr_FR.UTF-8 LC_CTYPE=C->LC_ALL=fr_FR.UTF-8 LC_CTYPE=C",
      "LC_CTYPE=nl_NL.UTF-8 LANG=C->LANG=C LC_CTYPE=nl_NL.UTF-8",
      "LANG= LC_ALL=->LANG= LC_ALL= LC_CTYPE=C.UTF-8"}) {
    // clang-format on
    std::string got;
    for (const std::string& entry : DialogEnvironment(Env(c.substr(0, c.find("->")))).Entries()) {
      got += (got.empty() ? "" : " ") + entry;
    }
    EXPECT_EQ(got, c.substr(c.find("->") + 2)) << c;
  }
}

TEST(DialogTest, DisplayReachable) {
  TempDir dir;
  const int display = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // a display server
  sockaddr_un addr{AF_UNIX, {}};
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/wayland-1", dir.path().c_str());
  ASSERT_EQ(bind(display, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(display, 4), 0);
  dir.Write("file", "");
  // Reachable ("1") or not, then the variables; $D is the test's folder.
  // clang-format off
  for (std::string c : {
      "0 ", "1 WAYLAND_DISPLAY=$D/wayland-1", "1 WAYLAND_DISPLAY=wayland-1 XDG_RUNTIME_DIR=$D",
      "0 WAYLAND_DISPLAY=wayland-1", "0 WAYLAND_DISPLAY=wayland-9 XDG_RUNTIME_DIR=$D",
      "0 WAYLAND_DISPLAY=$D/wayland-0", "0 WAYLAND_DISPLAY=$D/file",
      "1 DISPLAY=remote.example:0", "0 DISPLAY=unix:x", "0 DISPLAY=:x", "0 DISPLAY=0", "0 DISPLAY=",
      "1 DISPLAY=:not-there WAYLAND_DISPLAY=$D/wayland-1"}) {
    // clang-format on
    for (size_t at; (at = c.find("$D")) != std::string::npos;) c.replace(at, 2, dir.path());
    EXPECT_EQ(DisplayReachable(Env(c.substr(2))), c[0] == '1') << c;
  }
  EXPECT_FALSE(DisplayReachable(Env("WAYLAND_DISPLAY=/" + std::string(120, 'w'))));
  close(display);
}

TEST(DialogTest, PresenterChoosesToolOrConsole) {
  // The variables; the tools installed, as "name:exit status:output" ("never" answers not at
  // all, until the process is asked to end); whether the display answers; then the response,
  // the tools run and whether the console got the text.
  const struct {
    const char* vars;
    const char* tools;
    bool display_up;
    int response;
    const char* runs;
    bool console;
  } cases[] = {
      // clang-format off
      {"DISPLAY=", "zenity:0:", true, 1000, "", true},  // no graphical session
      {"WAYLAND_DISPLAY=w", "zenity:1:Open Ostrel;kdialog:0:", true, 1001, "zenity", false},
      {"DISPLAY=:0 XDG_CURRENT_DESKTOP=X:KDE", "zenity:0:;kdialog:1:", true, 1001, "kdialog",
       false},
      {"DISPLAY=:0", "zenity:255:;kdialog:255:", true, 1000, "zenity kdialog", true},
      {"DISPLAY=:0", "kdialog:0:", true, 1000, "kdialog", false},
      {"DISPLAY=:0", "zenity:0:", false, 1000, "", true},  // unreachable display
      {"DISPLAY=:0", "", true, 1000, "", true},
      {"DISPLAY=:0", "zenity:never:", true, 1000, "zenity", false}};
  // clang-format on
  const AlertContent alert = LaunchAlert(true, 53843);
  for (const auto& c : cases) {
    TempDir dir;
    Environment env = Env(c.vars);
    env.Set("PATH", dir.path());  // only the fake tools: never a real one on this machine
    std::istringstream tools(c.tools);
    for (std::string tool; std::getline(tools, tool, ';');) {
      const std::string name = tool.substr(0, tool.find(':')),
                        status = tool.substr(name.size() + 1);
      dir.Write(name, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" >> " + dir.path() + "/runs\n" +
                          (status.starts_with("never")
                               ? "exec /bin/sleep 30"
                               : "echo '" + status.substr(status.find(':') + 1) + "'\nexit " +
                                     status.substr(0, status.find(':'))));
      chmod((dir.path() + "/" + name).c_str(), 0755);
    }
    int cancel[2];
    ASSERT_EQ(pipe2(cancel, O_CLOEXEC), 0);
    std::thread canceller([&] {  // the process is asked to end once the dialog is up
      if (std::string(c.tools).find("never") == std::string::npos) return;
      testing::WaitFor([&] { return !testing::ReadWholeFile(dir.path() + "/runs").empty(); }, 10);
      EXPECT_EQ(write(cancel[1], "x", 1), 1);
    });
    const int console = open((dir.path() + "/console").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    PosixProcessRunner runner;
    DesktopAlertPresenter presenter(
        runner, [env] { return env; }, cancel[0], console,
        [&](const Environment& probed) {
          EXPECT_EQ(probed.Get("LC_CTYPE"), "C.UTF-8");
          return c.display_up;
        });
    EXPECT_EQ(presenter.RunModal(alert), c.response) << c.vars << c.tools;
    canceller.join();
    std::string runs;
    std::istringstream ran(c.runs);
    for (std::string tool; ran >> tool;) {
      const DialogTool kind = tool == "zenity" ? DialogTool::kZenity : DialogTool::kKdialog;
      for (const std::string& arg : DialogArguments(kind, dir.path() + "/" + tool, alert))
        runs += arg + "\n";
    }
    EXPECT_EQ(testing::ReadWholeFile(dir.path() + "/runs"), runs) << c.vars << c.tools;
    EXPECT_EQ(testing::ReadWholeFile(dir.path() + "/console"), c.console ? kStartedConsole : "");
    for (int fd : {console, cancel[0], cancel[1]}) close(fd);
  }
}

// The log, the alert presenter and the workspace in one, writing "log: <line>", "alert:
// <message>", "find <id>", "open app <location>" and "open url <url>" into one list.
struct FakeShell : LogSink, AlertPresenter, Workspace {
  void Write(std::string_view line) override { events.push_back("log: " + std::string(line)); }
  int RunModal(const AlertContent& alert) override {
    shown.push_back(alert);
    events.push_back("alert: " + alert.message);
    if (while_shown) while_shown();
    return response;
  }
  std::optional<std::string> URLForApplication(const std::string& id) override {
    events.push_back("find " + id);
    return installed;
  }
  void OpenApplication(const std::string& location) override {
    events.push_back("open app " + location);
  }
  void OpenURL(const std::string& url) override { events.push_back("open url " + url); }

  Strings events;                          // everything, in order
  std::vector<AlertContent> shown;         // every alert shown
  int response = kAlertFirstButtonReturn;  // the button "pressed"
  std::function<void()> while_shown;       // runs while the alert is "up"
  std::optional<std::string> installed;    // the main application's location, if any
};

TEST(HelperAppTest, StartAlertAndOpeningOstrel) {
  const std::string page = HelperApp::kOstrelWebPage, ok = "alert: Ostrel Sensor Helper is running";
  const struct {
    bool port_taken;
    int response;           // the button pressed
    const char* installed;  // where Ostrel is, "" when nowhere
    std::string web_page;
    std::string events;  // what happened; $P is the taken port
  } cases[] = {
      // clang-format off
      {false, 1000, "/a.desktop", page, ok},
      {false, 1001, "/a.desktop", page, ok + "|find com.ostrel.Ostrel|open app /a.desktop"},
      {false, 1001, "", page, ok + "|find com.ostrel.Ostrel|open url https://ostrel.app/"},
      {false, 1001, "", "ostrel.app", ok + "|find com.ostrel.Ostrel"},
      {true, 1001, "/a.desktop", page, "log: Ostrel Sensor Helper: server failed to start: bind "
       "127.0.0.1:$P: Address already in use|alert: Ostrel Sensor Helper couldn\u2019t start"}};
  // clang-format on
  for (const auto& c : cases) {
    FakeShell shell;
    testing::FakeLoginItem login;
    shell.response = c.response;
    if (*c.installed) shell.installed = c.installed;
    SensorServer blocker(login, 0, testing::NoReaders());
    if (c.port_taken) blocker.start();
    HelperApp app(std::make_unique<SensorServer>(login, blocker.boundPort(), testing::NoReaders()),
                  HelperApp::Services{shell, shell, shell}, c.web_page);
    std::string during_alert;
    shell.while_shown = [&] { during_alert = testing::Exchange(app.server->boundPort(), "GET /"); };
    app.applicationDidFinishLaunching();
    std::string events, want = c.events;
    for (const std::string& event : shell.events) events += (events.empty() ? "" : "|") + event;
    if (want.find("$P") != std::string::npos)
      want.replace(want.find("$P"), 2, std::to_string(blocker.boundPort()));
    EXPECT_EQ(events, want);
    EXPECT_EQ(during_alert.find("\"helper\":\"ostrel\"") != std::string::npos, !c.port_taken);
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
    Status Register() override { return Status::Error("/x: full"); }
    Status Unregister() override { return Status::Ok(); }
    LoginItemStatus GetStatus() override { return status; }
    LoginItemStatus status;
  } service;
  FakeShell log;
  HelperLoginItem::set(service, log, false);
  HelperLoginItem::set(service, log, true);
  EXPECT_EQ(log.events, Strings{"log: Ostrel Sensor Helper: login item register failed: /x: full"});
  for (int status = 0; status < 4; ++status) {
    service.status = static_cast<LoginItemStatus>(status);
    EXPECT_EQ(HelperLoginItem::isEnabled(service), service.status == LoginItemStatus::kEnabled);
  }
}

}  // namespace
}  // namespace ostrel
