// The real helper binary (ctest label `e2e`): headless it prints the success alert, serves and
// keeps its login item; under Xvfb the real kdialog (Escape is "OK") and zenity ("Open Ostrel" runs
// xdg-open, here a script) draw it. It binds 127.0.0.1:53843: runs only while free, HOME temporary.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
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

using testing::ReadWholeFile;
using testing::WaitFor;

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::ConnectLoopback(53843) >= 0) GTEST_SKIP() << "127.0.0.1:53843 is in use";
    env_ = testing::Env("HOME=" + dir_.path() + " PATH=" + dir_.path() + "/bin:/usr/bin:/bin");
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
      if (const char* value = getenv(name)) env_.Set(name, value);
  }
  // Starts the helper with `env`; its output goes to <name>.out.
  std::unique_ptr<testing::ChildProcess> Helper(const std::string& name, const Environment& env) {
    return std::make_unique<testing::ChildProcess>(std::vector<std::string>{OSTREL_HELPER_BINARY},
                                                   env, dir_.path() + "/" + name + ".out");
  }
  std::string Output(const std::string& name) {
    return ReadWholeFile(dir_.path() + "/" + name + ".out");
  }
  // True when the helper ended with status 0 on `sig`.
  static bool Stop(testing::ChildProcess& helper, int sig) {
    const std::optional<int> status = helper.Stop(sig);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

  testing::TempDir dir_;
  Environment env_;
};

TEST_F(EndToEndTest, HeadlessStartAndLoginItem) {
  auto a = Helper("a", env_);
  ASSERT_TRUE(WaitFor([&] { return Output("a").ends_with("]\n"); }, 30)) << Output("a");
  ASSERT_EQ(Output("a"), ConsoleAlertText(LaunchAlert(true, 53843)))
      << "another program took 127.0.0.1:53843 meanwhile?";
  EXPECT_NE(testing::Exchange(53843, "GET / HTTP/1.1\r\n\r\n").find("\"helper\":\"ostrel\""),
            std::string::npos);
  // The login item: an autostart entry that starts this very binary.
  const std::string entry =
                        dir_.path() + "/.config/autostart/com.ostrel.Ostrel.SensorHelper.desktop",
                    exec = "\nExec=\"" + std::filesystem::canonical(OSTREL_HELPER_BINARY).string();
  EXPECT_EQ(testing::BodyOf(testing::Exchange(53843, "GET /loginitem?enable=1 HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":true}");
  EXPECT_NE(ReadWholeFile(entry).find(exec + "\"\n"), std::string::npos);
  EXPECT_EQ(testing::BodyOf(testing::Exchange(53843, "GET /loginitem?enable=0 HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":false}");
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_TRUE(Stop(*a, SIGINT));
}

TEST_F(EndToEndTest, AlertWindowsUnderXvfb) {
  PosixProcessRunner runner;
  for (const char* tool : {"Xvfb", "zenity", "kdialog", "xdotool"})
    if (!FindProgram(tool, env_)) GTEST_SKIP() << tool << " is missing (scripts/deps.sh test)";
  auto xdotool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    StatusOr<ProcessResult> ran = runner.Run(args, env_, -1);
    return ran.ok() ? *ran : ProcessResult{};
  };
  // A display no X server holds; -noreset: otherwise the server resets whenever its last client
  // leaves, which xdotool's short visits make happen often.
  int display = 100 + getpid() % 400;
  while (access(("/tmp/.X" + std::to_string(display) + "-lock").c_str(), F_OK) == 0) ++display;
  env_.Set("DISPLAY", ":" + std::to_string(display));
  testing::ChildProcess xvfb({*FindProgram("Xvfb", env_), *env_.Get("DISPLAY"), "-screen", "0",
                              "1024x768x24", "-nolisten", "tcp", "-noreset"},
                             env_, dir_.path() + "/xvfb.log");
  ASSERT_TRUE(WaitFor([&] { return xdotool({"getdisplaygeometry"}).exit_status == 0; }, 20))
      << ReadWholeFile(dir_.path() + "/xvfb.log");
  env_.Set("NO_AT_BRIDGE", "1");                      // no accessibility bus in this session
  env_.Set("XDG_DATA_HOME", dir_.path() + "/share");  // no desktop entry for Ostrel there
  dir_.Write("bin/xdg-open", "#!/bin/sh\necho \"$@\" > '" + dir_.path() + "/args'\n");
  chmod((dir_.path() + "/bin/xdg-open").c_str(), 0755);
  auto window = [&] {  // the alert window's id, or ""
    const std::string ids =
        xdotool({"search", "--onlyvisible", "--name", "^Ostrel Sensor Helper$"}).output;
    return ids.substr(0, ids.find('\n'));
  };
  std::string id;
  Environment kde = env_;
  kde.Set("XDG_CURRENT_DESKTOP", "KDE");
  auto helper = Helper("kde", kde);
  ASSERT_TRUE(WaitFor([&] { return !(id = window()).empty(); }, 30)) << Output("kde");
  xdotool({"windowfocus", "--sync", id, "key", "Escape"});
  EXPECT_TRUE(WaitFor([&] { return window().empty(); }, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(window(), "") << "zenity ran after Escape";
  EXPECT_TRUE(Stop(*helper, SIGTERM));
  EXPECT_EQ(Output("kde"), "");  // nor the console
  // zenity: its rightmost button, "Open Ostrel", sits in the lower right corner.
  helper = Helper("zenity", env_);
  ASSERT_TRUE(WaitFor([&] { return !(id = window()).empty(); }, 30)) << Output("zenity");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // let the toolkit draw it
  const std::string geometry = xdotool({"getwindowgeometry", "--shell", id}).output;
  auto value = [&](const char* key) {
    return std::atoi(geometry.c_str() + geometry.find(key) + strlen(key));
  };
  xdotool({"mousemove", "--window", id, std::to_string(value("WIDTH=") - 30),
           std::to_string(value("HEIGHT=") - 24), "click", "1"});
  EXPECT_TRUE(WaitFor([&] { return !ReadWholeFile(dir_.path() + "/args").empty(); }, 20));
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/args"), "https://ostrel.app/\n");
  EXPECT_TRUE(Stop(*helper, SIGTERM));
  EXPECT_EQ(Output("zenity"), "");
}

}  // namespace
}  // namespace ostrel
