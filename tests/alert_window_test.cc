// The launch alert as a real window: under Xvfb, zenity draws it, a screenshot is kept in the
// build folder (launch_alert_started.png, launch_alert_failed.png), and xdotool presses its
// buttons; under KDE kdialog draws it, and Escape must close it as "OK". Pressing "Open Ostrel"
// with no desktop entry installed opens the web page through xdg-open, here a script on a temporary
// PATH that records its arguments. zenity itself runs through a script on that PATH too, which
// keeps a copy of its standard error and its exit status, so that a window that never appears comes
// with zenity's own explanation.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/helper_app.h"
#include "app/launch_alert.h"
#include "platform/linux/desktop_alert.h"
#include "platform/linux/process.h"
#include "platform/linux/xdg_workspace.h"
#include "tests/child_process.h"
#include "tests/fake_login_item.h"
#include "tests/fake_platform.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::ChildProcess;
using testing::FakeLoginItem;
using testing::ReadWholeFile;
using testing::RecordingLog;
using testing::TempDir;
using testing::WaitFor;

class AlertWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Environment system;
    system.Set("PATH", "/usr/bin:/bin");
    for (const char* tool : {"Xvfb", "zenity", "xdotool", "import", "convert"}) {
      if (!FindProgram(tool, system)) {
        GTEST_SKIP() << tool << " is not installed (scripts/deps.sh test installs it)";
      }
    }
    if (!xvfb_) StartXvfb(system);
    ASSERT_FALSE(display_.empty()) << "Xvfb did not start";

    // The desktop the helper sees: no desktop entry for Ostrel, and an xdg-open that records.
    env_.Set("DISPLAY", display_);
    env_.Set("HOME", dir_.path() + "/home");
    env_.Set("XDG_DATA_HOME", dir_.path() + "/share");
    // XDG_DATA_DIRS stays at its default: the toolkit finds its icons and MIME data there.
    env_.Set("PATH", dir_.path() + "/bin:/usr/bin:/bin");
    env_.Set("NO_AT_BRIDGE", "1");  // no accessibility bus in this session
    dir_.MakeDir("home");
    const std::string args = dir_.path() + "/xdg-open.args";
    dir_.Write("bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args + ".tmp'\nmv '" +
                                   args + ".tmp' '" + args + "'\n");
    chmod((dir_.path() + "/bin/xdg-open").c_str(), 0755);
    // The real zenity, its standard error passed on and kept; a SIGTERM from the presenter's
    // cancel is passed on too.
    const std::string zenity_log = dir_.path() + "/zenity.log";
    dir_.Write("bin/zenity", "#!/bin/sh\nerr='" + zenity_log + "'.$$\n" +
                                 "/usr/bin/zenity \"$@\" 2>\"$err\" &\nchild=$!\n"
                                 "trap 'kill -TERM $child 2>/dev/null' TERM\n"
                                 "wait $child\nrc=$?\n"
                                 "while kill -0 $child 2>/dev/null; do wait $child; rc=$?; done\n"
                                 "cat \"$err\" >&2\n{ cat \"$err\"; echo \"zenity exited with "
                                 "status $rc\"; } >>'" +
                                 zenity_log + "'\nrm -f \"$err\"\nexit $rc\n");
    chmod((dir_.path() + "/bin/zenity").c_str(), 0755);
    ASSERT_EQ(pipe2(cancel_, O_CLOEXEC), 0);
    console_fd_ = open((dir_.path() + "/console").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(console_fd_, 0);
    XdgWorkspace workspace(runner_, [env = env_] { return env; });
    if (workspace.URLForApplication(HelperApp::kOstrelBundleID)) {
      GTEST_SKIP() << "Ostrel is installed on this machine: the web page would not be opened";
    }
  }

  void TearDown() override {
    if (cancel_[0] >= 0) close(cancel_[0]);
    if (cancel_[1] >= 0) close(cancel_[1]);
    if (console_fd_ >= 0) close(console_fd_);
  }

  // One X server for the whole suite, stopped after its last test.
  static void TearDownTestSuite() {
    if (xvfb_) xvfb_->Stop(SIGTERM);
    xvfb_.reset();
    xvfb_dir_.reset();
    display_.clear();
  }

  // Starts Xvfb, which picks a free display and writes its number to descriptor 3, and waits
  // until the display takes clients. Leaves display_ empty on failure.
  static void StartXvfb(const Environment& system) {
    xvfb_dir_ = std::make_unique<TempDir>();
    int display_pipe[2];
    ASSERT_EQ(pipe2(display_pipe, O_CLOEXEC), 0);
    xvfb_ = std::make_unique<ChildProcess>(
        // -noreset: without it the server resets whenever its last client leaves, which the
        // short-lived xdotool polls make happen over and over while zenity is connecting.
        std::vector<std::string>{*FindProgram("Xvfb", system), "-displayfd", "3", "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp", "-noreset"},
        system, xvfb_dir_->path() + "/xvfb.log", display_pipe[1]);
    close(display_pipe[1]);
    std::string number;
    pollfd pfd{display_pipe[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&pfd, 1, 30000) > 0) {
      char buf[16];
      ssize_t n = read(display_pipe[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, static_cast<size_t>(n));
    }
    close(display_pipe[0]);
    ASSERT_NE(number.find('\n'), std::string::npos)
        << ReadWholeFile(xvfb_dir_->path() + "/xvfb.log");
    number.pop_back();
    Environment env = system;
    env.Set("DISPLAY", ":" + number);
    PosixProcessRunner runner;
    const bool ready = WaitFor(
        [&] {
          return DisplayReachable(env) &&
                 runner.Run({"xdotool", "getdisplaygeometry"}, env, -1).exit_status == 0;
        },
        30);
    ASSERT_TRUE(ready) << ReadWholeFile(xvfb_dir_->path() + "/xvfb.log");
    display_ = ":" + number;
  }

  // The id of the visible alert window, once it is there (up to 30 s, or until the launch has
  // ended without one); "" otherwise.
  std::string WaitForAlertWindow() {
    std::string id;
    WaitFor(
        [&] {
          const bool ended = launch_ended_;
          ProcessResult r = runner_.Run(
              {"xdotool", "search", "--onlyvisible", "--name", "^Ostrel Sensor Helper$"}, env_, -1);
          id = r.output.substr(0, r.output.find('\n'));
          return !id.empty() || ended;
        },
        30);
    return id;
  }

  // What the test knows when no window appeared.
  std::string NoWindowReport() {
    return std::string("no alert window appeared") +
           (launch_ended_ ? " and the launch has ended" : "") + "; console: \"" + Console() +
           "\"; zenity: \"" + ReadWholeFile(dir_.path() + "/zenity.log") + "\"; Xvfb " +
           (xvfb_->Running() ? "running" : "gone") + ", its log: \"" +
           ReadWholeFile(xvfb_dir_->path() + "/xvfb.log") + "\"";
  }

  // Keeps a screenshot of the screen as `name` in the build folder; returns its mean
  // brightness (0 for an all-black screen, which is what Xvfb shows with no window).
  double Screenshot(const std::string& name) {
    // Give the toolkit a moment to draw the mapped window.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const std::string path = std::string(OSTREL_TEST_ARTIFACTS_DIR) + "/" + name;
    ProcessResult shot = runner_.Run({"import", "-window", "root", path}, env_, -1);
    EXPECT_EQ(shot.exit_status, 0);
    ProcessResult mean = runner_.Run({"convert", path, "-format", "%[fx:mean]", "info:"}, env_, -1);
    return mean.output.empty() ? 0.0 : std::stod(mean.output);
  }

  // Clicks the rightmost button of window `id` (buttons sit in its lower right corner).
  void ClickLastButton(const std::string& id) {
    ProcessResult geometry = runner_.Run({"xdotool", "getwindowgeometry", "--shell", id}, env_, -1);
    auto value = [&](const std::string& key) {
      size_t at = geometry.output.find(key + "=");
      return at == std::string::npos ? 0 : std::stoi(geometry.output.substr(at + key.size() + 1));
    };
    const int width = value("WIDTH"), height = value("HEIGHT");
    ASSERT_GT(width, 60);
    ASSERT_GT(height, 40);
    ProcessResult click =
        runner_.Run({"xdotool", "mousemove", "--window", id, std::to_string(width - 30),
                     std::to_string(height - 24), "click", "1"},
                    env_, -1);
    EXPECT_EQ(click.exit_status, 0);
  }

  // Runs the helper's launch with a server on a free port (or a taken one, to fail) and the
  // real presenter and workspace over this test's desktop, on a thread of its own (the "main
  // thread" blocked in the alert). `interact` plays the user; if it fails, the alert is
  // cancelled so the thread can end.
  void Launch(bool fail_start, const std::function<void()>& interact) {
    auto env = env_;
    DesktopAlertPresenter presenter(
        runner_, [env] { return env; }, cancel_[0], console_fd_);
    XdgWorkspace workspace(runner_, [env] { return env; });
    int blocker = -1;
    uint16_t port = 0;
    if (fail_start) {
      blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof addr;
      bind(blocker, reinterpret_cast<sockaddr*>(&addr), len);
      listen(blocker, 1);
      getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
      port = ntohs(addr.sin_port);
    }
    SensorServer::Readers readers;
    readers.temps = [](OstrelTemp*, int32_t) { return 0; };
    readers.fans = [](OstrelFan*, int32_t) { return 0; };
    readers.power = [](double*, double*, double*, double*) { return -1; };
    HelperApp app(std::make_unique<SensorServer>(login_, port, readers),
                  HelperApp::Services{presenter, workspace, log_});
    launch_ended_ = false;
    std::thread main_thread([&] {
      app.applicationDidFinishLaunching();
      launch_ended_ = true;
    });
    interact();
    if (::testing::Test::HasFailure()) {
      EXPECT_EQ(write(cancel_[1], "x", 1), 1);
    }
    main_thread.join();
    if (blocker >= 0) close(blocker);
  }

  std::string Console() {
    char buf[4096];
    ssize_t n = pread(console_fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  static inline std::unique_ptr<TempDir> xvfb_dir_;   // Xvfb's log
  static inline std::unique_ptr<ChildProcess> xvfb_;  // the suite's X server
  static inline std::string display_;                 // its DISPLAY, "" until it is ready

  TempDir dir_;
  Environment env_;
  PosixProcessRunner runner_;
  FakeLoginItem login_;
  RecordingLog log_;
  int cancel_[2] = {-1, -1};
  int console_fd_ = -1;
  std::atomic<bool> launch_ended_{false};  // set by the "main thread" once the launch returned
};

TEST_F(AlertWindowTest, OpenOstrelFromTheSuccessAlertOpensTheWebPage) {
  Launch(false, [&] {
    const std::string window = WaitForAlertWindow();
    ASSERT_FALSE(window.empty()) << NoWindowReport();
    EXPECT_GT(Screenshot("launch_alert_started.png"), 0.01) << "the screen is still black";
    ClickLastButton(window);  // "Open Ostrel"
  });
  const std::string args = dir_.path() + "/xdg-open.args";
  ASSERT_TRUE(WaitFor([&] { return !ReadWholeFile(args).empty(); }, 20)) << "xdg-open never ran";
  EXPECT_EQ(ReadWholeFile(args), "https://ostrel.app/\n");
  EXPECT_EQ(Console(), "");  // the alert was a window, not console text
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(AlertWindowTest, FailureAlertClosesWithOk) {
  Launch(true, [&] {
    const std::string window = WaitForAlertWindow();
    ASSERT_FALSE(window.empty()) << NoWindowReport();
    EXPECT_GT(Screenshot("launch_alert_failed.png"), 0.01) << "the screen is still black";
    ClickLastButton(window);  // "OK", the only button
  });
  ASSERT_EQ(log_.lines().size(), 1u);
  EXPECT_EQ(
      log_.lines()[0].rfind("Ostrel Sensor Helper: server failed to start: bind 127.0.0.1:", 0),
      0u);
  EXPECT_EQ(Console(), "");
  // Nothing was opened.
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/xdg-open.args"), "");
}

TEST_F(AlertWindowTest, KdialogEscapeIsOkAndNoSecondAlert) {
  if (!FindProgram("kdialog", env_)) {
    GTEST_SKIP() << "kdialog is not installed (scripts/deps.sh test installs it)";
  }
  env_.Set("XDG_CURRENT_DESKTOP", "KDE");
  Launch(false, [&] {
    const std::string window = WaitForAlertWindow();
    ASSERT_FALSE(window.empty()) << NoWindowReport();
    runner_.Run({"xdotool", "windowfocus", "--sync", window, "key", "Escape"}, env_, -1);
    // kdialog answers Escape with exit status 2; taken for a failed tool, it would bring the
    // alert up again through zenity, and the launch would not end.
    ASSERT_TRUE(WaitFor([&] { return launch_ended_.load(); }, 30))
        << "the launch did not end after Escape; zenity: \""
        << ReadWholeFile(dir_.path() + "/zenity.log") << "\"";
  });
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/zenity.log"), "");  // zenity never ran
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/xdg-open.args"), "");  // "OK" opens nothing
}

}  // namespace
}  // namespace ostrel
