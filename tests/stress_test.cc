// The long-running checks (ctest label `stress`): load, faulty clients, a full file table, a
// stuck sensor, many threads on one object. Nothing is timed: every answer must be exact, and
// nothing may be left behind. The long run makes OSTREL_LOAD_REQUESTS requests.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <sstream>

#include "platform/linux/autostart.h"
#include "platform/linux/hwmon_temp_source.h"
#include "sensors/temps.h"
#include "server/http_framing.h"
#include "server/listener.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

#ifndef OSTREL_LOAD_REQUESTS
#define OSTREL_LOAD_REQUESTS 100000
#endif

namespace ostrel {
namespace {

using namespace testing;  // NOLINT: the shared test helpers
namespace fs = std::filesystem;

constexpr char kRequest[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1:53843\r\nAccept: */*\r\n\r\n";
const std::string kAnswer = [] {  // the framed document of the fixed readings
  FakeLoginItem login;
  return FrameResponse(SensorServer(login, 0, FixedReaders()).snapshotJSON());
}();

int Ask(uint16_t port) {  // a new connection that has sent kRequest
  const int fd = ConnectLoopback(port);
  send(fd, kRequest, strlen(kRequest), MSG_NOSIGNAL);
  return fd;
}

std::string Receive(int fd, size_t size) {  // up to `size` bytes, fewer when the server closes
  std::string got(size, '\0');
  got.resize(std::max<ssize_t>(0, recv(fd, got.data(), got.size(), MSG_WAITALL)));
  return got;
}

long Entries(const std::string& dir) { return std::distance(fs::directory_iterator(dir), {}); }

// Runs `count` one-request connections from `threads` threads at once, every eighth for the
// login item, and describes those not answered exactly ("" when all were).
std::string RunClients(uint16_t port, int count, int threads) {
  const std::string login = FrameResponse("{\"ok\":true,\"loginItem\":false}");
  std::atomic<int> next{0}, bad{0};
  std::string notes;
  std::mutex mu;
  std::vector<std::thread> clients;
  for (int t = 0; t < threads; ++t) {
    clients.emplace_back([&] {
      for (int i = next++; i < count; i = next++) {
        std::string error, got = Exchange(port, i % 8 ? kRequest : "GET /loginitem\r\n", &error);
        std::lock_guard<std::mutex> hold(mu);
        if (got != (i % 8 ? kAnswer : login) && ++bad <= 3) notes += error + ": '" + got + "' ";
      }
    });
  }
  for (auto& client : clients) client.join();
  return bad ? std::to_string(bad) + " bad: " + notes : "";
}

TEST(StressLoad, LongRunAnswersEveryRequestAndLeavesNothingBehind) {
  FakeLoginItem login;
  SensorServer server(login, 0, FixedReaders());
  server.start();
  const size_t files = OpenFileCount();
  const long idle_threads = Entries("/proc/self/task");
  EXPECT_EQ(RunClients(server.boundPort(), OSTREL_LOAD_REQUESTS, 64), "");
  EXPECT_TRUE(login.calls().empty());
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files; }, 30)) << OpenFileCount();
  EXPECT_TRUE(WaitFor([&] { return Entries("/proc/self/task") == idle_threads; }, 30));
}

// The test server under a limit of 256 open files: idle connections cost a descriptor, no
// thread; at the descriptor reserve it stops accepting without spinning, and as idle ones go,
// every waiting request gets a document with every reading.
TEST(StressLoad, IdleConnectionsAndAFullFileTable) {
  TempDir dir;
  const std::string out = dir.path() + "/out";
  ChildProcess server({OSTREL_LOAD_SERVER_PATH, "256"}, Environment::Current(), out);
  ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(out).ends_with("\n"); }, 30))
      << ReadWholeFile(out);
  const uint16_t port = static_cast<uint16_t>(std::stoi(ReadWholeFile(out)));
  const std::string proc = "/proc/" + std::to_string(server.pid());
  auto cpu_ticks = [&] {  // user and system time (the command name has no blanks)
    std::istringstream stat(ReadWholeFile(proc + "/stat"));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
    return ticks;
  };
  auto files = [&] { return OpenFileCount(server.pid()); };
  const size_t server_files = files();
  const long server_threads = Entries(proc + "/task");
  std::vector<int> idle, asking;
  for (int i = 0; i < 200; ++i) idle.push_back(ConnectLoopback(port));
  EXPECT_TRUE(WaitFor([&] { return files() == server_files + 200; }, 30));
  EXPECT_EQ(Entries(proc + "/task"), server_threads);
  EXPECT_EQ(RunClients(port, 400, 4), "");
  for (int i = 0; i < 100; ++i) idle.push_back(ConnectLoopback(port));  // the backlog takes them
  for (int i = 0; i < 8; ++i) asking.push_back(Ask(port));
  const size_t full = 256 - Listener::kDescriptorReserve;
  ASSERT_TRUE(WaitFor([&] { return files() == full; }, 30));
  const long before = cpu_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(cpu_ticks() - before, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks in 2 s";
  EXPECT_EQ(files(), full);
  for (int fd : idle) {
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), -1);  // nobody answered or closed them
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (int fd : asking) {
    EXPECT_EQ(Receive(fd, kAnswer.size() + 1), kAnswer);
    close(fd);
  }
  EXPECT_TRUE(WaitFor([&] { return files() == server_files; }, 30));
  const std::optional<int> status = server.Stop(SIGTERM);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

// Clients that misbehave at every step beside an ordinary one, whose answers must stay exact;
// no file may leak and no SIGPIPE may be raised (this process does not ignore it).
TEST(StressFaults, ServerKeepsServingAndLeaksNothing) {
  FakeLoginItem login;
  SensorServer::Readers readers = FixedReaders();
  readers.temps = [temps = readers.temps](OstrelTemp* out, int32_t capacity) {
    return std::this_thread::sleep_for(std::chrono::milliseconds(5)), temps(out, capacity);
  };  // a window to reset into
  SensorServer server(login, 0, readers);
  server.start();
  const uint16_t port = server.boundPort();
  const size_t files = OpenFileCount();
  // Each case: how often, and one run, which returns the answer it got (or kAnswer).
  const std::pair<int, std::function<std::string()>> cases[] = {
      {100, [&] { return Reset(ConnectLoopback(port)), kAnswer; }},  // before sending
      {100, [&] { return Reset(Ask(port)), kAnswer; }},              // while the answer is built
      {100,
       [&] {  // while the server drains
         const int fd = Ask(port);
         const std::string got = Receive(fd, kAnswer.size());
         send(fd, "more bytes", 10, MSG_NOSIGNAL);
         return Reset(fd), got;
       }},
      // The server drains at most 64 KiB beyond the request, then closes on the rest.
      {3, [&] { return Flood(port, kRequest + std::string(64 << 20, 'a'), 1 << 20, 0); }},
      // The first byte is the request; the trickle after it is drained for at most 2 s.
      {1, [&] { return Flood(port, std::string(kRequest, 20), 1, 1000); }}};
  std::atomic<int> bad{0}, good{0}, ordinary_bad{0};
  std::atomic<bool> done{false};
  std::thread ordinary([&] {
    while (!done) (Exchange(port, kRequest) == kAnswer ? good : ordinary_bad)++;
  });
  std::vector<std::thread> faulty;
  for (const auto& [repeats, run] : cases)
    faulty.emplace_back([&] {
      for (int i = 0; i < repeats; ++i) bad += run() != kAnswer;
    });
  for (auto& t : faulty) t.join();
  done = true;
  ordinary.join();
  EXPECT_EQ(std::to_string(bad) + " " + std::to_string(good > 0) + std::to_string(ordinary_bad),
            "0 10");
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files; }, 30)) << OpenFileCount();
}

// Sixteen threads, 40 calls of `run` each, at once.
void OnSixteenThreads(const std::function<void()>& run) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 40; ++i) run();
    });
  for (auto& thread : threads) thread.join();
}

// The power reader never runs twice at once, and always under the power lock, whether the
// document is asked for directly or through the workers.
TEST(StressThreads, PowerReadsAreSerialisedUnderThePowerLock) {
  FakeLoginItem login;
  SensorServer* server_ptr = nullptr;
  std::atomic<int> inside{0}, wrong{0}, calls{0};
  SensorServer::Readers readers = FixedReaders();
  readers.power = [&, power = readers.power](double* cpu, double* gpu, double* ane, double* soc) {
    wrong += inside++ != 0;
    std::thread([&] {
      if (server_ptr->powerLock().try_lock()) server_ptr->powerLock().unlock(), wrong++;
    }).join();
    inside--;
    return power(cpu, gpu, ane, soc);
  };
  SensorServer server(login, 0, readers);
  server_ptr = &server;
  server.start();
  OnSixteenThreads([&] {
    wrong += (calls++ % 2 ? FrameResponse(server.snapshotJSON())
                          : Exchange(server.boundPort(), kRequest)) != kAnswer;
  });
  EXPECT_EQ(wrong.load(), 0);
}

// Readers see a drive that comes and goes whole or not at all; an autostart entry written,
// removed and read at once is whole or absent, and no temporary file is left.
TEST(StressThreads, ReadersAndTheAutostartEntrySeeWholeStates) {
  TempDir dir;
  dir.WriteTree(ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/intel_desktop.tree"));
  XdgAutostartService service("id", "Helper",
                              AutostartPathsFor(Env("HOME=" + dir.path()), "/opt/helper"));
  const std::string entry = dir.path() + "/.config/autostart/id.desktop";
  ASSERT_TRUE(service.Register().ok());
  const std::string whole = ReadWholeFile(entry);
  const std::string drive = dir.path() + "/class/hwmon/hwmon6", parked = dir.path() + "/parked";
  std::atomic<bool> done{false};
  std::atomic<int> calls{0}, wrong{0};
  std::thread toggler([&] {
    for (bool in = true; !done; in = !in) fs::rename(in ? drive : parked, in ? parked : drive);
  });
  OnSixteenThreads([&] {
    const int i = calls++;
    HwmonTempSource source(dir.path());
    OstrelTemp out[4];
    const double ssd = ReadTemps(source, out, 4) > 2 ? out[2].celsius : 0;
    wrong += ssd != 35.925 && ssd != 38.85;  // with and without the drive
    if (i % 4 == 0) wrong += !service.Register().ok();
    if (i % 8 == 1) service.Unregister();  // may find no entry: another thread removed it
    const LoginItemStatus status = service.GetStatus();
    wrong += status != LoginItemStatus::kEnabled && status != LoginItemStatus::kNotRegistered;
    const std::string text = ReadWholeFile(entry);
    wrong += !text.empty() && text != whole;
  });
  done = true;
  toggler.join();
  EXPECT_EQ(wrong.load(), 0);
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(Entries(dir.path() + "/.config/autostart"), 1);  // the entry alone
}

// The real helper with one core temperature's read hanging (tests/stuck_sysfs.py over /sys in
// its own mount namespace): /loginitem is still answered and SIGTERM ends it with status 0.
TEST(StressStuckSensor, TheHelperAnswersTheLoginItemAndEndsOnSigterm) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root, /dev/fuse, fuse3 and python3-fusepy";
  }
  auto listening = [] {
    const int fd = ConnectLoopback(53843);
    return fd >= 0 && close(fd) == 0;
  };
  if (listening()) GTEST_SKIP() << "127.0.0.1:53843 is in use";
  TempDir dir;
  for (const char* sub : {"/home", "/sys"}) fs::create_directories(dir.path() + sub);
  const std::string script =
      "/usr/bin/python3 \"$1\" \"$2\" \"$3/sys\" "
      "devices/platform/coretemp.0/hwmon/hwmon4/temp2_input & echo $! > \"$3/fuse.pid\"; "
      "for i in $(seq 100); do mountpoint -q \"$3/sys\" && break; sleep 0.1; done; "
      "mount --bind \"$3/sys\" /sys && exec \"$4\"";
  ChildProcess helper({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                       script, "sh", OSTREL_FIXTURES_DIR "/../stuck_sysfs.py",
                       OSTREL_FIXTURES_DIR "/bench_macbookpro", dir.path(), OSTREL_HELPER_BINARY},
                      Env("HOME=" + dir.path() + "/home PATH=/usr/bin:/bin"), dir.path() + "/out");
  ASSERT_TRUE(WaitFor(listening, 30)) << ReadWholeFile(dir.path() + "/out");
  const int waiting = Ask(53843);
  EXPECT_EQ(BodyOf(Exchange(53843, "GET /loginitem HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":false}");
  const std::optional<int> status = helper.Stop(SIGTERM);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  kill(std::atoi(ReadWholeFile(dir.path() + "/fuse.pid").c_str()), SIGKILL);
  close(waiting);
}

}  // namespace
}  // namespace ostrel
