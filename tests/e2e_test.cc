// The real helper binary, started as a user would (ctest label `e2e`). Without a desktop: the
// first prints the success alert, serves and keeps its login item; a second finds the port
// taken, logs why, prints the failure alert and keeps running; a third, whose dialog never
// answers, still ends at once on SIGTERM. Under Xvfb: zenity draws both alerts (screenshots kept
// in the build folder: launch_alert_started.png, launch_alert_failed.png), and "Open Ostrel"
// opens the web page through xdg-open (a script that records its arguments). All end with
// status 0 on SIGTERM or SIGINT. The product binds 127.0.0.1:53843: these run only while it is
// free, each helper with a temporary HOME.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "app/launch_alert.h"
#include "platform/linux/desktop_alert.h"
#include "platform/linux/process.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::ChildProcess;
using testing::ReadWholeFile;
using testing::WaitFor;

constexpr char kFailedLine[] =
    "Ostrel Sensor Helper: server failed to start: bind 127.0.0.1:53843: Address already in use\n";

bool ExitedWithZero(std::optional<int> status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::ConnectLoopback(53843) >= 0) GTEST_SKIP() << "127.0.0.1:53843 is in use";
    env_.Set("HOME", dir_.path());
    env_.Set("PATH", dir_.path() + "/bin:/usr/bin:/bin");
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = getenv(name)) env_.Set(name, value);
    }
  }
  // A script in the test's bin folder.
  void Script(const std::string& name, const std::string& body) {
    dir_.Write("bin/" + name, "#!/bin/sh\n" + body + "\n");
    chmod((dir_.path() + "/bin/" + name).c_str(), 0755);
  }
  // Starts the helper with `env`; its output goes to <name>.out.
  std::unique_ptr<ChildProcess> Helper(const std::string& name, const Environment& env) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{OSTREL_HELPER_BINARY}, env,
                                          dir_.path() + "/" + name + ".out");
  }
  std::string Output(const std::string& name) {
    return ReadWholeFile(dir_.path() + "/" + name + ".out");
  }

  testing::TempDir dir_;
  Environment env_;
};

TEST_F(EndToEndTest, HeadlessStartFailedStartAndTermination) {
  const std::string started = ConsoleAlertText(LaunchAlert(true, 53843));
  auto a = Helper("a", env_);
  ASSERT_TRUE(WaitFor([&] { return Output("a").ends_with("]\n"); }, 30)) << Output("a");
  ASSERT_EQ(Output("a"), started) << "another program took 127.0.0.1:53843 meanwhile?";
  EXPECT_NE(testing::Exchange(53843, "GET / HTTP/1.1\r\n\r\n").find("\"helper\":\"ostrel\""),
            std::string::npos);
  // The login item: an autostart entry that starts this very binary.
  const std::string entry =
      dir_.path() + "/.config/autostart/com.ostrel.Ostrel.SensorHelper.desktop";
  char real[PATH_MAX];
  ASSERT_NE(realpath(OSTREL_HELPER_BINARY, real), nullptr);
  EXPECT_EQ(testing::BodyOf(testing::Exchange(53843, "GET /loginitem?enable=1 HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":true}");
  EXPECT_NE(ReadWholeFile(entry).find("\nExec=\"" + std::string(real) + "\"\n"), std::string::npos);
  EXPECT_EQ(testing::BodyOf(testing::Exchange(53843, "GET /loginitem?enable=0 HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":false}");
  EXPECT_FALSE(std::filesystem::exists(entry));

  auto b = Helper("b", env_);
  ASSERT_TRUE(WaitFor([&] { return Output("b").ends_with("[OK]\n"); }, 30)) << Output("b");
  EXPECT_EQ(Output("b"), kFailedLine + ConsoleAlertText(LaunchAlert(false, 53843)));
  EXPECT_TRUE(b->Running());

  // A "graphical session" (a display socket that is never served) whose zenity never answers.
  Script("zenity", "printf '%s\\n' \"$@\" > '" + dir_.path() + "/zenity.args'\necho $$ > '" +
                       dir_.path() + "/zenity.pid'\nexec sleep 300");
  const int display = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/wayland-0", dir_.path().c_str());
  ASSERT_EQ(bind(display, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(display, 4), 0);
  Environment desktop = env_;
  desktop.Set("WAYLAND_DISPLAY", dir_.path() + "/wayland-0");
  auto c = Helper("c", desktop);
  ASSERT_TRUE(
      WaitFor([&] { return ReadWholeFile(dir_.path() + "/zenity.pid").ends_with("\n"); }, 30));
  const pid_t zenity = std::stoi(ReadWholeFile(dir_.path() + "/zenity.pid"));
  EXPECT_NE(ReadWholeFile(dir_.path() + "/zenity.args").find("--warning\n"), std::string::npos);
  EXPECT_TRUE(ExitedWithZero(c->Stop(SIGTERM)));
  EXPECT_NE(kill(zenity, 0), 0) << "the dialog outlived the helper";
  EXPECT_EQ(Output("c"), kFailedLine);
  close(display);
  EXPECT_TRUE(ExitedWithZero(b->Stop(SIGINT)));
  EXPECT_TRUE(ExitedWithZero(a->Stop(SIGTERM)));
}

TEST_F(EndToEndTest, AlertWindowsUnderXvfb) {
  PosixProcessRunner runner;
  for (const char* tool : {"Xvfb", "zenity", "xdotool", "import", "convert"}) {
    if (!FindProgram(tool, env_)) GTEST_SKIP() << tool << " is missing (scripts/deps.sh test)";
  }
  // -noreset: otherwise the server resets whenever its last client leaves, which xdotool's
  // short visits make happen over and over while zenity is connecting. Xvfb picks a free
  // display; should another X server take it first, the next attempt picks another.
  std::unique_ptr<ChildProcess> xvfb;
  env_.Set("NO_AT_BRIDGE", "1");                      // no accessibility bus in this session
  env_.Set("XDG_DATA_HOME", dir_.path() + "/share");  // no desktop entry for Ostrel there
  for (int attempt = 0; attempt < 3 && !env_.Get("DISPLAY"); ++attempt) {
    int display_pipe[2];
    ASSERT_EQ(pipe2(display_pipe, O_CLOEXEC), 0);
    xvfb = std::make_unique<ChildProcess>(
        std::vector<std::string>{*FindProgram("Xvfb", env_), "-displayfd", "3", "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp", "-noreset"},
        env_, dir_.path() + "/xvfb.log", display_pipe[1]);
    close(display_pipe[1]);
    char number[16] = {};
    pollfd pfd{display_pipe[0], POLLIN, 0};
    const bool told = poll(&pfd, 1, 30000) > 0 && read(display_pipe[0], number, 15) > 0;
    close(display_pipe[0]);
    env_.Set("DISPLAY", ":" + std::to_string(std::atoi(number)));
    if (!told ||
        !WaitFor(
            [&] {
              return runner.Run({"xdotool", "getdisplaygeometry"}, env_, -1).exit_status == 0;
            },
            10)) {
      env_.Unset("DISPLAY");
    }
  }
  ASSERT_TRUE(env_.Get("DISPLAY")) << ReadWholeFile(dir_.path() + "/xvfb.log");
  Script("xdg-open", "printf '%s\\n' \"$@\" > '" + dir_.path() + "/xdg-open.args'");
  Script("zenity", "exec /usr/bin/zenity \"$@\" 2>>'" + dir_.path() + "/zenity.log'");

  auto window = [&] {  // the alert window's id, or ""
    const std::string ids =
        runner
            .Run({"xdotool", "search", "--onlyvisible", "--name", "^Ostrel Sensor Helper$"}, env_,
                 -1)
            .output;
    return ids.substr(0, ids.find('\n'));
  };
  if (FindProgram("kdialog", env_)) {  // under KDE, kdialog draws it; Escape counts as "OK"
    Environment kde = env_;
    kde.Set("XDG_CURRENT_DESKTOP", "KDE");
    auto helper = Helper("kde", kde);
    std::string id;
    ASSERT_TRUE(WaitFor([&] { return !(id = window()).empty(); }, 30)) << Output("kde");
    runner.Run({"xdotool", "windowfocus", "--sync", id, "key", "Escape"}, env_, -1);
    EXPECT_TRUE(WaitFor([&] { return window().empty(); }, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a second alert would be up
    EXPECT_EQ(window(), "");
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/zenity.log")) << "zenity ran after Escape";
    EXPECT_TRUE(ExitedWithZero(helper->Stop(SIGTERM)));
    EXPECT_EQ(Output("kde"), "");  // nor the console
  }
  // Waits for the alert, keeps a screenshot, clicks its rightmost button (they sit in the lower
  // right corner) and returns the screen's mean brightness, 0 when no window appeared.
  auto shoot_and_click = [&](const std::string& screenshot) {
    std::string id;
    WaitFor([&] { return !(id = window()).empty(); }, 30);
    if (id.empty()) return 0.0;
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // let the toolkit draw it
    const std::string path = std::string(OSTREL_TEST_ARTIFACTS_DIR) + "/" + screenshot;
    runner.Run({"import", "-window", "root", path}, env_, -1);
    const std::string mean =
        runner.Run({"convert", path, "-format", "%[fx:mean]", "info:"}, env_, -1).output;
    const std::string geometry =
        runner.Run({"xdotool", "getwindowgeometry", "--shell", id}, env_, -1).output;
    auto value = [&](const char* key) {
      return std::atoi(geometry.c_str() + geometry.find(key) + strlen(key));
    };
    runner.Run({"xdotool", "mousemove", "--window", id, std::to_string(value("WIDTH=") - 30),
                std::to_string(value("HEIGHT=") - 24), "click", "1"},
               env_, -1);
    return mean.empty() ? 0.0 : std::stod(mean);
  };
  {
    // The port taken by a socket of the test: the failure alert; "OK" closes it.
    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(53843);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    auto failed = Helper("failed", env_);
    EXPECT_GT(shoot_and_click("launch_alert_failed.png"), 0.01)
        << Output("failed") << ReadWholeFile(dir_.path() + "/zenity.log");
    EXPECT_TRUE(WaitFor([&] { return window().empty(); }, 20));
    EXPECT_TRUE(ExitedWithZero(failed->Stop(SIGTERM)));
    EXPECT_EQ(Output("failed"), kFailedLine);  // the alert was a window, not console text
    close(blocker);
  }
  auto started = Helper("started", env_);
  EXPECT_GT(shoot_and_click("launch_alert_started.png"), 0.01)
      << Output("started") << ReadWholeFile(dir_.path() + "/zenity.log");
  EXPECT_TRUE(WaitFor([&] { return !ReadWholeFile(dir_.path() + "/xdg-open.args").empty(); }, 20));
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/xdg-open.args"), "https://ostrel.app/\n");
  EXPECT_TRUE(ExitedWithZero(started->Stop(SIGTERM)));
  EXPECT_EQ(Output("started"), "");
  xvfb->Stop(SIGTERM);
}

}  // namespace
}  // namespace ostrel
