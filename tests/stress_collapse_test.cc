// Shared readings, reset clients and the descriptor reserve over real loopback TCP: a reading
// that does not return holds up only the snapshot requests, which then share one reading;
// clients that reset while they wait cost no reading; a server whose descriptor table is full of
// idle connections still answers every request with every sensor. Nothing here is timed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/http_framing.h"
#include "server/listener.h"
#include "server/sensor_server.h"
#include "tests/child_process.h"
#include "tests/fake_login_item.h"
#include "tests/fixed_readers.h"
#include "tests/load_util.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::BodyOf;
using testing::Client;
using testing::ConnectLoopback;
using testing::Exchange;
using testing::FakeLoginItem;
using testing::WaitFor;

constexpr char kGet[] = "GET / HTTP/1.1\r\n\r\n";

// Readers whose temperature reading waits while the gate is shut and reports how many
// readings there have been as its one temperature, so a document tells which reading made it.
class GatedReaders {
 public:
  SensorServer::Readers readers() {
    SensorServer::Readers readers = testing::NoReaders();
    readers.temps = [this](OstrelTemp* out, int32_t) {
      std::unique_lock<std::mutex> lock(mu_);
      const int n = ++calls_;
      open_.wait(lock, [this] { return !shut_; });
      std::snprintf(out[0].label, sizeof out[0].label, "reading");
      out[0].celsius = n;
      return 1;
    };
    return readers;
  }
  void Shut() {
    std::lock_guard<std::mutex> hold(mu_);
    shut_ = true;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> hold(mu_);
      shut_ = false;
    }
    open_.notify_all();
  }
  int calls() {
    std::lock_guard<std::mutex> hold(mu_);
    return calls_;
  }

 private:
  std::mutex mu_;
  std::condition_variable open_;  // the gate opened
  bool shut_ = true;              // readings wait while set
  int calls_ = 0;                 // readings started
};

// Which reading made a snapshot body ("celsius":<n>), or 0.
int ReadingOf(const std::string& body) {
  const size_t at = body.find("\"celsius\":");
  return at == std::string::npos ? 0 : std::atoi(body.c_str() + at + 10);
}

// Connects, sends `request`, and resets the connection.
void SendAndReset(uint16_t port, const char* request) {
  const int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, request, std::strlen(request), MSG_NOSIGNAL),
            static_cast<ssize_t>(std::strlen(request)));
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

TEST(SharedReadingStressTest, StuckReadingHoldsOnlySnapshotsThenOneReadingServesAllWaiting) {
  GatedReaders gate;
  FakeLoginItem login;
  SensorServer server(login, 0, gate.readers());
  server.start();
  const uint16_t port = server.boundPort();

  Client first(port);
  ASSERT_TRUE(first.Send(kGet));
  ASSERT_TRUE(WaitFor([&] { return gate.calls() == 1; }, 10));  // reading 1 does not return

  // Meanwhile the login item is switched and answered, and new connections are accepted and
  // read: one sends its request, one also ends its sending side, one resets after sending.
  EXPECT_EQ(BodyOf(Exchange(port, "GET /loginitem?enable=1 HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":true}");
  Client second(port), half_closed(port);
  ASSERT_TRUE(second.Send(kGet));
  ASSERT_TRUE(half_closed.Send(kGet));
  half_closed.ShutdownSend();
  SendAndReset(port, kGet);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the server read them
  gate.Open();

  EXPECT_EQ(ReadingOf(BodyOf(first.ReadAll())), 1);
  // Those that waited share reading 2, which started after the login item was switched.
  const std::string shared = BodyOf(second.ReadAll());
  EXPECT_EQ(ReadingOf(shared), 2);
  EXPECT_NE(shared.find("\"loginItem\":true"), std::string::npos) << shared;
  EXPECT_EQ(BodyOf(half_closed.ReadAll()), shared);
  EXPECT_EQ(gate.calls(), 2);

  // A reading waited for only by clients that have reset is never taken.
  gate.Shut();
  Client third(port);
  ASSERT_TRUE(third.Send(kGet));
  ASSERT_TRUE(WaitFor([&] { return gate.calls() == 3; }, 10));
  SendAndReset(port, kGet);
  SendAndReset(port, "GET /anything HTTP/1.1\r\n\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  gate.Open();
  EXPECT_EQ(ReadingOf(BodyOf(third.ReadAll())), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(gate.calls(), 3);
}

// A server with 64 descriptors, whose temperature reader needs three at once, behind a backlog
// of idle connections that are let go one by one: whenever a request gets through, its document
// carries every reading. Without the reserve, accepting would fill the table and the readings
// would fail for want of descriptors.
TEST(DescriptorReserveStressTest, FullTableOfIdleConnectionsNeverEmptiesADocument) {
  testing::ServerProcess server(64);
  ASSERT_TRUE(server.ok());
  FakeLoginItem login;
  SensorServer offline(login, 0, testing::FixedReaders());
  const std::string expected = FrameResponse(offline.snapshotJSON());

  std::vector<int> idle, asking;
  for (int i = 0; i < 80; ++i) idle.push_back(ConnectLoopback(server.port()));
  for (int i = 0; i < 8; ++i) {
    asking.push_back(ConnectLoopback(server.port()));
    ASSERT_GE(asking.back(), 0);
    ASSERT_EQ(send(asking.back(), kGet, sizeof kGet - 1, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof kGet - 1));
  }
  EXPECT_LE(server.OpenFileCount(), 64 - Listener::kDescriptorReserve);
  for (int fd : idle) {
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (int fd : asking) {
    std::string response;
    char buf[4096];
    ssize_t n;
    while (testing::WaitReadable(fd, std::chrono::seconds(30)) &&
           (n = recv(fd, buf, sizeof buf, 0)) > 0) {
      response.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(response, expected);
    close(fd);
  }
  EXPECT_TRUE(server.Alive());
}

// The real helper over a copy of the bench tree in which one core temperature's read hangs
// (tests/stuck_sysfs.py, bound over /sys in a mount namespace of the helper's own): snapshot
// requests wait, /loginitem is answered, and SIGTERM ends the helper with status 0.
TEST(StuckSensorStressTest, TheHelperAnswersTheLoginItemAndEndsOnSigterm) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root, /dev/fuse, fuse3 and python3-fusepy";
  }
  auto listening = [] {
    const int fd = ConnectLoopback(53843);
    if (fd >= 0) close(fd);
    return fd >= 0;
  };
  if (listening()) GTEST_SKIP() << "127.0.0.1:53843 is in use";
  testing::TempDir dir;
  dir.MakeDir("home");
  dir.MakeDir("sys");
  const std::string script =
      "/usr/bin/python3 \"$1\" \"$2\" \"$3/sys\" "
      "devices/platform/coretemp.0/hwmon/hwmon4/temp2_input & echo $! > \"$3/fuse.pid\"; "
      "for i in $(seq 100); do mountpoint -q \"$3/sys\" && break; sleep 0.1; done; "
      "mount --bind \"$3/sys\" /sys && exec \"$4\"";
  Environment env;
  env.Set("HOME", dir.path() + "/home");
  env.Set("PATH", "/usr/bin:/bin");
  testing::ChildProcess helper(
      {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh",
       std::string(OSTREL_FIXTURES_DIR) + "/../stuck_sysfs.py",
       std::string(OSTREL_FIXTURES_DIR) + "/bench_macbookpro", dir.path(), OSTREL_HELPER_BINARY},
      env, dir.path() + "/out");
  ASSERT_TRUE(WaitFor(listening, 30)) << testing::ReadWholeFile(dir.path() + "/out");
  Client waiting(53843);
  ASSERT_TRUE(waiting.Send(kGet));
  EXPECT_EQ(BodyOf(Exchange(53843, "GET /loginitem HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":false}");
  const std::optional<int> status = helper.Stop(SIGTERM, 10);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  kill(std::atoi(testing::ReadWholeFile(dir.path() + "/fuse.pid").c_str()), SIGKILL);
}

}  // namespace
}  // namespace ostrel
