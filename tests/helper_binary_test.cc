// The real helper binary, started as a user would start it without a desktop: it prints the
// success alert and serves; a second one finds the port taken, logs the reason, prints the
// failure alert and keeps running; a third one, with a dialog tool that never answers, still
// ends at once on SIGTERM. All end with status 0 on SIGTERM or SIGINT.
//
// The product always binds 127.0.0.1:53843, so the test runs only while nothing else listens
// there, and every helper it starts has a temporary HOME.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/launch_alert.h"
#include "platform/linux/desktop_alert.h"
#include "tests/child_process.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::BodyOf;
using testing::ChildProcess;
using testing::Exchange;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WaitFor;

constexpr uint16_t kProductPort = 53843;

// True when something accepts connections on 127.0.0.1:53843 (checked by connecting, never by
// binding).
bool ProductPortInUse() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kProductPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool in_use = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return in_use;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool ExitedWithZero(std::optional<int> status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

TEST(HelperBinaryTest, HeadlessStartFailedStartAndTermination) {
  if (ProductPortInUse()) GTEST_SKIP() << "127.0.0.1:53843 is in use by another program";
  TempDir dir;
  dir.MakeDir("home");
  Environment env;
  env.Set("HOME", dir.path() + "/home");
  env.Set("PATH", "/usr/bin:/bin");
  // Sanitizer builds report through these; harmless otherwise.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = getenv(name)) env.Set(name, value);
  }
  const std::string started_console = ConsoleAlertText(LaunchAlert(true, kProductPort));
  const std::string failed_console = ConsoleAlertText(LaunchAlert(false, kProductPort));

  // First helper: takes the port.
  const std::string a_out = dir.path() + "/a.out";
  ChildProcess a({OSTREL_HELPER_BINARY}, env, a_out);
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string out = ReadWholeFile(a_out);
        return EndsWith(out, "[OK] [Open Ostrel]\n") || EndsWith(out, "[OK]\n");
      },
      30))
      << ReadWholeFile(a_out);
  if (ReadWholeFile(a_out).find("server failed to start") != std::string::npos) {
    GTEST_SKIP() << "another program took 127.0.0.1:53843 meanwhile";
  }
  EXPECT_EQ(ReadWholeFile(a_out), started_console);
  EXPECT_NE(BodyOf(Exchange(kProductPort, "GET / HTTP/1.1\r\n\r\n")).find("\"helper\":\"ostrel\""),
            std::string::npos);

  // The login item of the real binary: an autostart entry under the temporary HOME that
  // starts this very binary.
  EXPECT_EQ(BodyOf(Exchange(kProductPort, "GET /loginitem?enable=1 HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":true}");
  const std::string entry =
      dir.path() + "/home/.config/autostart/com.ostrel.Ostrel.SensorHelper.desktop";
  char real[PATH_MAX];
  ASSERT_NE(realpath(OSTREL_HELPER_BINARY, real), nullptr);
  EXPECT_NE(ReadWholeFile(entry).find("\nExec=\"" + std::string(real) + "\"\n"), std::string::npos)
      << ReadWholeFile(entry);
  EXPECT_EQ(BodyOf(Exchange(kProductPort, "GET /loginitem?enable=0 HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":false}");
  struct stat st;
  EXPECT_NE(stat(entry.c_str(), &st), 0);

  // Second helper: the port is taken.
  const std::string b_out = dir.path() + "/b.out";
  ChildProcess b({OSTREL_HELPER_BINARY}, env, b_out);
  ASSERT_TRUE(WaitFor([&] { return EndsWith(ReadWholeFile(b_out), "[OK]\n"); }, 30))
      << ReadWholeFile(b_out);
  EXPECT_EQ(ReadWholeFile(b_out),
            "Ostrel Sensor Helper: server failed to start: bind 127.0.0.1:53843: Address already "
            "in use\n" +
                failed_console);
  EXPECT_TRUE(b.Running());

  // Third helper, in a "graphical session" whose dialog tool never answers: SIGTERM must end
  // the alert and the helper.
  dir.Write("bin/zenity", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + dir.path() +
                              "/zenity.args'\necho $$ > '" + dir.path() + "/zenity.pid.tmp'\nmv '" +
                              dir.path() + "/zenity.pid.tmp' '" + dir.path() +
                              "/zenity.pid'\nexec sleep 300\n");
  chmod((dir.path() + "/bin/zenity").c_str(), 0755);
  // The "display server" is a listening socket that is never served.
  const int display = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un display_addr{};
  display_addr.sun_family = AF_UNIX;
  snprintf(display_addr.sun_path, sizeof display_addr.sun_path, "%s/wayland-0", dir.path().c_str());
  ASSERT_EQ(bind(display, reinterpret_cast<sockaddr*>(&display_addr), sizeof display_addr), 0);
  ASSERT_EQ(listen(display, 4), 0);
  Environment desktop = env;
  desktop.Set("WAYLAND_DISPLAY", dir.path() + "/wayland-0");
  desktop.Set("PATH", dir.path() + "/bin:/usr/bin:/bin");
  const std::string c_out = dir.path() + "/c.out";
  ChildProcess c({OSTREL_HELPER_BINARY}, desktop, c_out);
  ASSERT_TRUE(WaitFor([&] { return !ReadWholeFile(dir.path() + "/zenity.pid").empty(); }, 30));
  const pid_t zenity = static_cast<pid_t>(std::stol(ReadWholeFile(dir.path() + "/zenity.pid")));
  EXPECT_NE(ReadWholeFile(dir.path() + "/zenity.args").find("--warning\n"), std::string::npos);
  EXPECT_TRUE(ExitedWithZero(c.Stop(SIGTERM)));
  // The dialog was ended and reaped by the helper before it exited.
  EXPECT_NE(kill(zenity, 0), 0);
  EXPECT_EQ(ReadWholeFile(c_out),
            "Ostrel Sensor Helper: server failed to start: bind 127.0.0.1:53843: Address already "
            "in use\n");

  close(display);
  EXPECT_TRUE(ExitedWithZero(b.Stop(SIGINT)));
  EXPECT_TRUE(ExitedWithZero(a.Stop(SIGTERM)));
}

}  // namespace
}  // namespace ostrel
