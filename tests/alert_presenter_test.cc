// Alert presentation: console text, the dialog tools' argument vectors and answers, and the
// choice between dialog and console.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/launch_alert.h"
#include "platform/linux/desktop_alert.h"
#include "tests/fake_platform.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::FakeRunner;
using testing::TempDir;

constexpr char kStartedConsole[] =
    "Ostrel Sensor Helper is running\n"
    "\n"
    "It\xE2\x80\x99s now serving live temperatures, fan speeds and SoC power to Ostrel.\n"
    "\n"
    "It runs quietly in the background with no menu-bar or Dock icon. Open Ostrel to see the "
    "readings \xE2\x80\x94 its Sensors page shows when the helper is connected. To stop it later, "
    "restart your Mac or quit \xE2\x80\x9COstrelSensorHelper\xE2\x80\x9D in Activity Monitor.\n"
    "\n"
    "[OK] [Open Ostrel]\n";

constexpr char kFailedConsole[] =
    "Ostrel Sensor Helper couldn\xE2\x80\x99t start\n"
    "\n"
    "The sensor server didn\xE2\x80\x99t start \xE2\x80\x94 port 53843 may already be in use (the "
    "helper might already be running). Restart your Mac, or quit any existing "
    "\xE2\x80\x9COstrelSensorHelper\xE2\x80\x9D in Activity Monitor, then reopen it.\n"
    "\n"
    "[OK]\n";

TEST(ConsoleAlertTest, ExactText) {
  EXPECT_EQ(ConsoleAlertText(LaunchAlert(true, 53843)), kStartedConsole);
  EXPECT_EQ(ConsoleAlertText(LaunchAlert(false, 53843)), kFailedConsole);
}

TEST(DialogArgumentsTest, Zenity) {
  const std::string started_text =
      "--text=<b>Ostrel Sensor Helper is running</b>\n\n" + std::string(kStartedInformative);
  EXPECT_EQ(DialogArguments(DialogTool::kZenity, "/usr/bin/zenity", LaunchAlert(true, 53843)),
            (std::vector<std::string>{"/usr/bin/zenity", "--info", "--title=Ostrel Sensor Helper",
                                      started_text, "--width=480", "--ok-label=OK",
                                      "--extra-button=Open Ostrel"}));
  const std::string failed_text =
      "--text=<b>Ostrel Sensor Helper couldn\xE2\x80\x99t start</b>\n\n" +
      LaunchAlert(false, 53843).informative;
  EXPECT_EQ(DialogArguments(DialogTool::kZenity, "zenity", LaunchAlert(false, 53843)),
            (std::vector<std::string>{"zenity", "--warning", "--title=Ostrel Sensor Helper",
                                      failed_text, "--width=480", "--ok-label=OK"}));
}

TEST(DialogArgumentsTest, ZenityTextIsEscapedForMarkupAndBackslashes) {
  AlertContent alert;
  alert.title = "T";
  alert.message = "a<b>&'\"";
  alert.informative = "C:\\temp\\n";
  alert.buttons = {"Yes"};
  std::vector<std::string> argv = DialogArguments(DialogTool::kZenity, "zenity", alert);
  ASSERT_GE(argv.size(), 4u);
  EXPECT_EQ(argv[3], "--text=<b>a&lt;b&gt;&amp;&apos;&quot;</b>\n\nC:\\\\temp\\\\n");
}

TEST(DialogArgumentsTest, Kdialog) {
  const std::string started_text =
      "Ostrel Sensor Helper is running\n\n" + std::string(kStartedInformative);
  EXPECT_EQ(
      DialogArguments(DialogTool::kKdialog, "/usr/bin/kdialog", LaunchAlert(true, 53843)),
      (std::vector<std::string>{"/usr/bin/kdialog", "--title", "Ostrel Sensor Helper", "--yesno",
                                started_text, "--yes-label", "OK", "--no-label", "Open Ostrel"}));
  AlertContent failed = LaunchAlert(false, 53843);
  EXPECT_EQ(DialogArguments(DialogTool::kKdialog, "kdialog", failed),
            (std::vector<std::string>{"kdialog", "--title", "Ostrel Sensor Helper", "--sorry",
                                      failed.message + "\n\n" + failed.informative}));
  AlertContent three = LaunchAlert(false, 53843);
  three.buttons = {"A", "B", "C"};
  EXPECT_EQ(
      DialogArguments(DialogTool::kKdialog, "kdialog", three),
      (std::vector<std::string>{"kdialog", "--title", "Ostrel Sensor Helper",
                                "--warningyesnocancel", three.message + "\n\n" + three.informative,
                                "--yes-label", "A", "--no-label", "B", "--cancel-label", "C"}));
}

ProcessResult Exited(int status, std::string output = "", std::string errors = "") {
  ProcessResult r;
  r.exited = true;
  r.exit_status = status;
  r.output = std::move(output);
  r.errors = std::move(errors);
  return r;
}

TEST(DialogResponseTest, ToolOutcomesToButtons) {
  ProcessResult not_started;
  not_started.spawn_error = ENOENT;
  ProcessResult killed;
  killed.term_signal = SIGSEGV;
  const AlertContent two = LaunchAlert(true, 53843);
  const AlertContent one = LaunchAlert(false, 53843);
  AlertContent three = two;
  three.buttons.push_back("Later");
  struct Case {
    const char* name;
    DialogTool tool;
    const AlertContent& alert;
    ProcessResult outcome;
    std::optional<int> response;
  };
  const Case cases[] = {
      {"zenity-ok", DialogTool::kZenity, two, Exited(0), 1000},
      {"zenity-extra", DialogTool::kZenity, two, Exited(1, "Open Ostrel\n"), 1001},
      {"zenity-closed", DialogTool::kZenity, two, Exited(1, ""), 1000},
      {"zenity-other-output", DialogTool::kZenity, two, Exited(1, "Open\n"), 1000},
      {"zenity-timeout", DialogTool::kZenity, two, Exited(5), 1000},
      {"zenity-unknown-status", DialogTool::kZenity, two, Exited(255), std::nullopt},
      // GTK exits with 1 when it cannot open the display, as a closed dialog does.
      {"zenity-no-display", DialogTool::kZenity, two,
       Exited(1, "", "\n(zenity:4242): Gtk-WARNING **: 17:15:40.086: cannot open display: :0\n"),
       std::nullopt},
      {"zenity-closed-with-warnings", DialogTool::kZenity, two,
       Exited(1, "", "Gtk-Message: 17:15:41.002: GtkDialog mapped without a transient parent.\n"),
       1000},
      {"zenity-crashed", DialogTool::kZenity, two, killed, std::nullopt},
      {"zenity-missing", DialogTool::kZenity, two, not_started, std::nullopt},
      {"zenity-one-button", DialogTool::kZenity, one, Exited(0), 1000},
      {"kdialog-yes", DialogTool::kKdialog, two, Exited(0), 1000},
      {"kdialog-no", DialogTool::kKdialog, two, Exited(1), 1001},
      // kdialog 22.12 answers 2 to Escape and to closing the window, whatever the box.
      {"kdialog-escaped", DialogTool::kKdialog, two, Exited(2), 1000},
      {"kdialog-third-or-escaped", DialogTool::kKdialog, three, Exited(2), 1002},
      {"kdialog-unknown-status", DialogTool::kKdialog, two, Exited(3), std::nullopt},
      {"kdialog-msgbox", DialogTool::kKdialog, one, Exited(0), 1000},
      {"kdialog-msgbox-one", DialogTool::kKdialog, one, Exited(1), 1000},
      {"kdialog-msgbox-escaped", DialogTool::kKdialog, one, Exited(2), 1000},
      {"kdialog-error", DialogTool::kKdialog, one, Exited(254), std::nullopt},
      {"kdialog-crashed", DialogTool::kKdialog, two, killed, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DialogResponse(c.tool, c.alert, c.outcome), c.response) << c.name;
  }
}

TEST(DialogEnvironmentTest, TextsReachTheToolAsUtf8) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> vars;
    std::vector<std::string> entries;  // afterwards, besides PATH
  };
  const Case cases[] = {
      {{}, {"LC_CTYPE=C.UTF-8"}},
      {{{"LANG", "de_DE.UTF-8"}}, {"LANG=de_DE.UTF-8"}},
      {{{"LANG", "en_US.utf8"}}, {"LANG=en_US.utf8"}},
      {{{"LANG", "C"}}, {"LANG=C", "LC_CTYPE=C.UTF-8"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_CTYPE", "POSIX"}}, {"LANG=de_DE.UTF-8", "LC_CTYPE=C.UTF-8"}},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_ALL", "C"}}, {"LANG=de_DE.UTF-8", "LC_ALL=C.UTF-8"}},
      {{{"LC_ALL", "fr_FR.UTF-8"}, {"LC_CTYPE", "C"}}, {"LC_ALL=fr_FR.UTF-8", "LC_CTYPE=C"}},
      {{{"LANG", ""}, {"LC_ALL", ""}}, {"LANG=", "LC_ALL=", "LC_CTYPE=C.UTF-8"}},
  };
  for (const Case& c : cases) {
    Environment env;
    env.Set("PATH", "/usr/bin");
    for (const auto& [name, value] : c.vars) env.Set(name, value);
    std::vector<std::string> expected = c.entries;
    expected.push_back("PATH=/usr/bin");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(DialogEnvironment(env).Entries(), expected);
  }
}

// The presenter over a fake runner, with a PATH of fake tool files and the console in a file.
class DesktopAlertPresenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("bin");
    console_fd_ = open((dir_.path() + "/console").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(console_fd_, 0);
  }
  void TearDown() override { close(console_fd_); }

  void InstallTool(const std::string& name) {
    dir_.Write("bin/" + name, "#!/bin/sh\n");
    chmod((dir_.path() + "/bin/" + name).c_str(), 0755);
  }
  std::string Console() {
    char buf[4096];
    ssize_t n = pread(console_fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  int Present(Environment env, const AlertContent& alert) {
    env.Set("PATH", dir_.path() + "/bin");
    DesktopAlertPresenter presenter(
        runner_, [env] { return env; }, 42, console_fd_,
        [this](const Environment&) { return display_up_; });
    return presenter.RunModal(alert);
  }

  TempDir dir_;
  FakeRunner runner_;
  int console_fd_ = -1;
  bool display_up_ = true;  // what the display probe answers
};

TEST_F(DesktopAlertPresenterTest, NoGraphicalSessionWritesTheConsoleAndAnswersOk) {
  InstallTool("zenity");
  Environment env;
  env.Set("DISPLAY", "");  // set but empty: no display
  EXPECT_EQ(Present(env, LaunchAlert(true, 53843)), 1000);
  EXPECT_TRUE(runner_.runs().empty());
  EXPECT_EQ(Console(), kStartedConsole);
}

TEST_F(DesktopAlertPresenterTest, ZenityDrawsTheAlertAndItsAnswerCounts) {
  InstallTool("zenity");
  InstallTool("kdialog");
  runner_.run_result = Exited(1, "Open Ostrel\n");
  Environment env;
  env.Set("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_EQ(Present(env, LaunchAlert(true, 53843)), 1001);
  ASSERT_EQ(runner_.runs().size(), 1u);
  EXPECT_EQ(runner_.runs()[0], DialogArguments(DialogTool::kZenity, dir_.path() + "/bin/zenity",
                                               LaunchAlert(true, 53843)));
  EXPECT_EQ(runner_.cancel_fds(), std::vector<int>{42});
  EXPECT_EQ(Console(), "");
}

TEST_F(DesktopAlertPresenterTest, KdialogFirstUnderKde) {
  InstallTool("zenity");
  InstallTool("kdialog");
  runner_.run_result = Exited(1);
  Environment env;
  env.Set("DISPLAY", ":0");
  env.Set("XDG_CURRENT_DESKTOP", "KDE");
  EXPECT_EQ(Present(env, LaunchAlert(true, 53843)), 1001);
  ASSERT_EQ(runner_.runs().size(), 1u);
  EXPECT_EQ(runner_.runs()[0][0], dir_.path() + "/bin/kdialog");
}

TEST_F(DesktopAlertPresenterTest, FailingToolsFallBackToTheNextThenTheConsole) {
  InstallTool("zenity");
  InstallTool("kdialog");
  runner_.run_result = Exited(255);  // e.g. the display cannot be opened
  Environment env;
  env.Set("DISPLAY", ":0");
  EXPECT_EQ(Present(env, LaunchAlert(false, 53843)), 1000);
  ASSERT_EQ(runner_.runs().size(), 2u);
  EXPECT_EQ(runner_.runs()[0][0], dir_.path() + "/bin/zenity");
  EXPECT_EQ(runner_.runs()[1][0], dir_.path() + "/bin/kdialog");
  EXPECT_EQ(Console(), kFailedConsole);
}

TEST_F(DesktopAlertPresenterTest, UnreachableDisplayWritesTheConsole) {
  InstallTool("zenity");
  display_up_ = false;  // e.g. a DISPLAY left over from a session that is gone
  Environment env;
  env.Set("DISPLAY", ":0");
  EXPECT_EQ(Present(env, LaunchAlert(true, 53843)), 1000);
  EXPECT_TRUE(runner_.runs().empty());
  EXPECT_EQ(Console(), kStartedConsole);
}

TEST_F(DesktopAlertPresenterTest, NoToolInstalledWritesTheConsole) {
  Environment env;
  env.Set("DISPLAY", ":0");
  EXPECT_EQ(Present(env, LaunchAlert(true, 53843)), 1000);
  EXPECT_TRUE(runner_.runs().empty());
  EXPECT_EQ(Console(), kStartedConsole);
}

TEST_F(DesktopAlertPresenterTest, CancelledDialogAnswersOkWithoutConsole) {
  InstallTool("zenity");
  runner_.run_result.cancelled = true;
  runner_.run_result.term_signal = SIGTERM;
  Environment env;
  env.Set("DISPLAY", ":0");
  EXPECT_EQ(Present(env, LaunchAlert(true, 53843)), 1000);
  EXPECT_EQ(runner_.runs().size(), 1u);
  EXPECT_EQ(Console(), "");
}

// A listening UNIX socket in a temporary folder, standing in for a display server.
class FakeDisplayServer {
 public:
  explicit FakeDisplayServer(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
  }
  ~FakeDisplayServer() { close(fd_); }

 private:
  int fd_ = -1;
};

TEST(DisplayReachableTest, WaylandAndX11Displays) {
  TempDir dir;
  FakeDisplayServer wayland(dir.path() + "/wayland-1");
  dir.Write("not-a-socket", "");
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> vars;
    bool reachable;
  };
  const Case cases[] = {
      {"nothing", {}, false},
      {"wayland-absolute", {{"WAYLAND_DISPLAY", dir.path() + "/wayland-1"}}, true},
      {"wayland-in-runtime-dir",
       {{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", dir.path()}},
       true},
      {"wayland-without-runtime-dir", {{"WAYLAND_DISPLAY", "wayland-1"}}, false},
      {"wayland-gone", {{"WAYLAND_DISPLAY", dir.path() + "/wayland-0"}}, false},
      {"wayland-plain-file", {{"WAYLAND_DISPLAY", dir.path() + "/not-a-socket"}}, false},
      {"x11-other-host", {{"DISPLAY", "remote.example:0"}}, true},
      {"x11-no-number", {{"DISPLAY", ":x"}}, false},
      {"x11-no-colon", {{"DISPLAY", "0"}}, false},
      {"x11-empty", {{"DISPLAY", ""}}, false},
      {"x11-gone-wayland-up",
       {{"DISPLAY", ":not-there"}, {"WAYLAND_DISPLAY", dir.path() + "/wayland-1"}},
       true},
  };
  for (const Case& c : cases) {
    Environment env;
    for (const auto& [name, value] : c.vars) env.Set(name, value);
    EXPECT_EQ(DisplayReachable(env), c.reachable) << c.name;
  }
}

}  // namespace
}  // namespace ostrel
