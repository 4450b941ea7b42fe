// The long-running checks (ctest label `stress`): load, faulty clients, a full file table, a stuck
// sensor, many threads on one object. Every answer must be exact and nothing may be left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <sstream>

#include "platform/linux/autostart.h"
#include "platform/linux/hwmon_temp_source.h"
#include "sensors/temps.h"
#include "server/descriptor_budget.h"
#include "server/http_framing.h"
#include "server/route.h"
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

long Entries(const std::string& dir) { return std::distance(fs::directory_iterator(dir), {}); }

// Runs run(0) ... run(count - 1) on `threads` threads at once.
void Parallel(int threads, int count, const std::function<void(int)>& run) {
  std::atomic<int> next{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      for (int i; (i = next++) < count;) run(i);
    });
  for (auto& thread : pool) thread.join();
}

// Runs `count` one-request connections from `threads` threads at once, every eighth for the
// login item, and describes those not answered exactly ("" when all were).
std::string RunClients(uint16_t port, int count, int threads) {
  std::atomic<int> bad{0};
  std::string notes;
  std::mutex mu;
  Parallel(threads, count, [&](int i) {
    const std::string got = Exchange(port, i % 8 ? kRequest : "GET /loginitem\r\n");
    std::lock_guard<std::mutex> hold(mu);
    if (got != (i % 8 ? kAnswer : FrameResponse(LoginItemBody(false))) && ++bad <= 3)
      notes += "'" + got + "' ";
  });
  return bad ? std::to_string(bad) + " bad: " + notes : "";
}

// Under a limit of 256 open files, idle connections cost a descriptor, no thread; at the reserve
// the server stops accepting without spinning, then answers each waiting request in full.
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
    const std::vector<std::string> f{std::istream_iterator<std::string>(stat), {}};
    return std::stol(f.at(13)) + std::stol(f.at(14));
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
  const size_t full = 256 - DescriptorBudget::kReserve;
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
  for (int fd : asking) EXPECT_EQ(ReadAll(fd), kAnswer);
  EXPECT_TRUE(WaitFor([&] { return files() == server_files; }, 30));
  const std::optional<int> status = server.Stop(SIGTERM);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

// The long run beside clients misbehaving at every step and direct reads: the power reader runs
// once at a time under the power lock; no file, thread or SIGPIPE (not ignored here) is left.
TEST(StressFaults, ServerKeepsServingAndLeaksNothing) {
  FakeLoginItem login;
  SensorServer* server = nullptr;
  std::atomic<int> inside{0}, bad{0};
  SensorServer::Readers readers = FixedReaders();
  std::atomic<bool> hold{false}, held{false};  // keeps a reading from ending; one was kept
  readers.temps = [&, temps = readers.temps](OstrelTemp* out, int32_t capacity) {
    for (; hold; held = true) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::this_thread::sleep_for(std::chrono::milliseconds(5)), temps(out, capacity);
  };  // a window to reset into
  readers.power = [&, power = readers.power](double* cpu, double* gpu, double* ane, double* soc) {
    bad += inside++ != 0;
    std::thread([&] {
      if (server->powerLock().try_lock()) server->powerLock().unlock(), bad++;
    }).join();
    return inside--, power(cpu, gpu, ane, soc);
  };
  SensorServer serving(login, 0, readers);
  server = &serving;
  serving.start();
  const uint16_t port = serving.boundPort();
  const size_t files = OpenFileCount();
  const long threads = Entries("/proc/self/task");
  // Each case: how often, and one run, which returns the answer it got (or kAnswer).
  const std::pair<int, std::function<std::string()>> cases[] = {
      {100, [&] { return Reset(ConnectLoopback(port)), kAnswer; }},  // before sending
      {100, [&] { return Reset(Ask(port)), kAnswer; }},              // while the answer is built
      {100,
       [&] {  // while the server drains
         const int fd = Ask(port);
         std::string got(kAnswer.size(), '\0');  // the answer, not waiting for the close
         got.resize(std::max<ssize_t>(0, recv(fd, got.data(), got.size(), MSG_WAITALL)));
         send(fd, "more bytes", 10, MSG_NOSIGNAL);
         return Reset(fd), got;
       }},
      // The first byte is the request; the trickle after it is drained for at most 2 s.
      {1, [&] { return Flood(port, std::string(kRequest, 20), 1, 1000); }},
      {600, [&] { return FrameResponse(serving.snapshotJSON()); }}};
  std::string load;
  std::thread ordinary([&] { load = RunClients(port, OSTREL_LOAD_REQUESTS, 64); });
  Parallel(std::size(cases), std::size(cases), [&](int c) {
    for (int i = 0; i < cases[c].first; ++i) bad += cases[c].second() != kAnswer;
  });
  ordinary.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(load, "");
  EXPECT_TRUE(login.calls().empty());
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files; }, 30)) << OpenFileCount();
  EXPECT_TRUE(WaitFor([&] { return Entries("/proc/self/task") == threads; }, 30));
  // While a reading hangs, a client that sent and reset holds no descriptor: the live one's do.
  hold = true;
  const int live = Ask(port);
  EXPECT_TRUE(WaitFor([&] { return held.load(); }, 30));
  Reset(Ask(port));
  Exchange(port, "GET /loginitem\r\n");  // answered beside the reading, after the reset one
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files + 2; }, 30)) << OpenFileCount();
  hold = false;
  close(live);
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
  std::atomic<int> wrong{0};
  std::thread toggler([&] {
    for (bool in = true; !done; in = !in) fs::rename(in ? drive : parked, in ? parked : drive);
  });
  Parallel(16, 640, [&](int i) {
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
