// The long-running checks (ctest label `stress`): the real exchange under load and under faulty
// clients, a server out of file descriptors, and many threads on one reader, server or entry.
// Nothing is timed: every answer must be exact, and nothing may be left behind. The long run
// makes OSTREL_LOAD_REQUESTS requests: 100,000, fewer under the sanitizers.
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

using testing::ConnectLoopback;
using testing::Exchange;
using testing::OpenFileCount;
using testing::Reset;
using testing::WaitFor;

constexpr char kRequest[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1:53843\r\nAccept: */*\r\n\r\n";
const std::string kAnswer = [] {  // the framed document of the fixed readings
  testing::FakeLoginItem login;
  return FrameResponse(SensorServer(login, 0, testing::FixedReaders()).snapshotJSON());
}();

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
        std::string error;
        const std::string got = Exchange(port, i % 8 ? kRequest : "GET /loginitem\r\n", &error);
        std::lock_guard<std::mutex> hold(mu);
        if (got != (i % 8 ? kAnswer : login) && ++bad <= 3) notes += error + ": '" + got + "' ";
      }
    });
  }
  for (auto& client : clients) client.join();
  return bad ? std::to_string(bad) + " bad: " + notes : "";
}

TEST(StressLoad, LongRunAnswersEveryRequestAndLeavesNothingBehind) {
  testing::FakeLoginItem login;
  SensorServer server(login, 0, testing::FixedReaders());
  server.start();
  auto threads = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
  };
  const size_t files = OpenFileCount();
  const auto idle_threads = threads();
  EXPECT_EQ(RunClients(server.boundPort(), OSTREL_LOAD_REQUESTS, 64), "");
  EXPECT_TRUE(login.calls().empty());
  // The server closes each connection once the client has; give the last few a moment.
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files; }, 30)) << OpenFileCount();
  EXPECT_TRUE(WaitFor([&] { return threads() == idle_threads; }, 30)) << threads();
}

// The test server program under a limit of 256 open files, its temperature reader opening
// files as the machine's does. Idle connections cost a descriptor each, no thread, and are held
// while others are served. The server stops accepting at its descriptor reserve, so the rest
// wait in the backlog; it must neither crash nor spin meanwhile (about one CPU second per second;
// pausing uses next to nothing), and as the idle connections go, every waiting request gets a
// document with every reading, none starved of descriptors.
TEST(StressLoad, IdleConnectionsAndAFullFileTable) {
  testing::TempDir dir;
  testing::ChildProcess server({OSTREL_LOAD_SERVER_PATH, "256"}, Environment::Current(),
                               dir.path() + "/out");
  ASSERT_TRUE(
      WaitFor([&] { return testing::ReadWholeFile(dir.path() + "/out").ends_with("\n"); }, 30));
  const uint16_t port =
      static_cast<uint16_t>(std::stoi(testing::ReadWholeFile(dir.path() + "/out")));
  const std::string proc = "/proc/" + std::to_string(server.pid());
  auto threads = [&] {
    return std::distance(std::filesystem::directory_iterator(proc + "/task"), {});
  };
  auto cpu_ticks = [&] {
    std::istringstream stat(testing::ReadWholeFile(proc + "/stat"));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
    return ticks;  // user and system time (the command name has no blanks)
  };
  const size_t server_files = OpenFileCount(server.pid());
  const auto server_threads = threads();
  std::vector<int> idle, asking;
  for (int i = 0; i < 200; ++i) idle.push_back(ConnectLoopback(port));
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount(server.pid()) == server_files + 200; }, 30));
  EXPECT_EQ(threads(), server_threads);
  EXPECT_EQ(RunClients(port, 400, 4), "");
  for (int i = 0; i < 100; ++i) idle.push_back(ConnectLoopback(port));  // the backlog takes them
  for (int i = 0; i < 8; ++i) {
    asking.push_back(ConnectLoopback(port));
    send(asking.back(), kRequest, strlen(kRequest), MSG_NOSIGNAL);
  }
  const size_t full = 256 - Listener::kDescriptorReserve;
  ASSERT_TRUE(WaitFor([&] { return OpenFileCount(server.pid()) == full; }, 30));
  const long before = cpu_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(cpu_ticks() - before, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks in 2 s";
  EXPECT_EQ(OpenFileCount(server.pid()), full);
  for (int fd : idle) {
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), -1);  // nobody answered or closed them
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (int fd : asking) {
    std::string got(kAnswer.size() + 1, '\0');
    got.resize(std::max<ssize_t>(0, recv(fd, got.data(), got.size(), MSG_WAITALL)));
    EXPECT_EQ(got, kAnswer);
    close(fd);
  }
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount(server.pid()) == server_files; }, 30));
  const std::optional<int> status = server.Stop(SIGTERM);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

// Sends `payload` in pieces of `chunk` bytes, `pause_ms` apart, until a send fails (the server
// has closed), and returns what the server sent; "never ended" when everything went out.
std::string Trickle(uint16_t port, std::string payload, size_t chunk, int pause_ms) {
  const int fd = ConnectLoopback(port);
  std::string got;
  char buf[4096];
  bool ended = false;
  for (size_t at = 0; at < payload.size() && !ended; at += chunk) {
    ended = send(fd, payload.data() + at, std::min(chunk, payload.size() - at), MSG_NOSIGNAL) < 0;
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.append(buf, n);
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  }
  close(fd);
  return ended ? got : "never ended";
}

// Clients that misbehave at every step, beside an ordinary one: each must see what it should,
// the ordinary one every answer exact, and the server must end back at its idle files. The test
// process does not ignore SIGPIPE, so a write to a reset connection that raised it would end it.
TEST(StressFaults, ServerKeepsServingAndLeaksNothing) {
  testing::FakeLoginItem login;
  SensorServer::Readers readers = testing::FixedReaders();
  std::atomic<bool> hold{false}, held{false};  // keeps a reading from ending; one was kept
  readers.temps = [&hold, &held, temps = readers.temps](OstrelTemp* out, int32_t capacity) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a window to reset into
    for (; hold; held = true) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return temps(out, capacity);
  };
  SensorServer server(login, 0, readers);
  server.start();
  const uint16_t port = server.boundPort();
  const size_t files = OpenFileCount();
  auto send_request = [&] {
    const int fd = ConnectLoopback(port);
    send(fd, kRequest, strlen(kRequest), MSG_NOSIGNAL);
    return fd;
  };
  // Each case: how often, and one run, which returns the answer it got (or kAnswer).
  const std::pair<int, std::function<std::string()>> cases[] = {
      {100, [&] { return Reset(ConnectLoopback(port)), kAnswer; }},  // before sending
      {100, [&] { return Reset(send_request()), kAnswer; }},         // while the answer is built
      {100,
       [&] {  // while the server drains
         const int fd = send_request();
         std::string got(kAnswer.size(), '\0');
         got.resize(std::max<ssize_t>(0, recv(fd, got.data(), got.size(), MSG_WAITALL)));
         send(fd, "more bytes", 10, MSG_NOSIGNAL);
         Reset(fd);
         return got;
       }},
      // The server drains at most 64 KiB beyond the request, then closes on the rest.
      {3, [&] { return Trickle(port, kRequest + std::string(64 << 20, 'a'), 1 << 20, 0); }},
      // The first byte is the request; the trickle after it is drained for at most 2 s.
      {1, [&] { return Trickle(port, std::string(kRequest).substr(0, 20), 1, 1000); }}};
  std::atomic<int> bad{0}, good{0}, ordinary_bad{0};
  std::vector<std::thread> faulty;
  for (const auto& [repeats, run] : cases) {
    faulty.emplace_back([&] {
      for (int i = 0; i < repeats; ++i) {
        bad += run() != kAnswer;
      }
    });
  }
  std::atomic<bool> done{false};
  std::thread ordinary([&] {
    while (!done) (Exchange(port, kRequest) == kAnswer ? good : ordinary_bad)++;
  });
  for (auto& t : faulty) t.join();
  done = true;
  ordinary.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(good.load(), 0);
  EXPECT_EQ(ordinary_bad.load(), 0);
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files; }, 30)) << OpenFileCount();
  // While a reading hangs, a client that sent its request and reset holds no descriptor of the
  // server: only the live client's two ends stay open.
  hold = true;
  const int live = send_request();
  EXPECT_TRUE(WaitFor([&] { return held.load(); }, 30));
  Reset(send_request());
  Exchange(port, "GET /loginitem\r\n");  // answered beside the reading, after the reset one
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files + 2; }, 30)) << OpenFileCount();
  hold = false;
  close(live);
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

TEST(StressThreads, PowerReadsAreSerialisedUnderThePowerLock) {
  testing::FakeLoginItem login;
  SensorServer* server_ptr = nullptr;
  std::atomic<int> inside{0}, wrong{0}, calls{0};
  SensorServer::Readers readers = testing::FixedReaders();
  readers.power = [&, power = readers.power](double* cpu, double* gpu, double* ane, double* soc) {
    wrong += inside++ != 0;
    std::thread([&] {  // another thread must find the lock taken while the reader runs
      if (server_ptr->powerLock().try_lock()) server_ptr->powerLock().unlock(), wrong++;
    })
        .join();
    inside--;
    return power(cpu, gpu, ane, soc);
  };
  SensorServer server(login, 0, readers);
  server_ptr = &server;
  server.start();
  OnSixteenThreads([&] {
    const bool direct = calls++ % 2;  // half through the workers, half calling the document
    wrong += (direct ? FrameResponse(server.snapshotJSON())
                     : Exchange(server.boundPort(), kRequest)) != kAnswer;
  });
  EXPECT_EQ(wrong.load(), 0);
}

// Readers see a drive that comes and goes whole or not at all; registrations, removals and
// status reads of one autostart entry see the whole entry or none, and leave no temporary file.
TEST(StressThreads, ReadersAndTheAutostartEntrySeeWholeStates) {
  testing::TempDir dir;
  dir.WriteTree(testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/intel_desktop.tree"));
  Environment env;
  env.Set("HOME", dir.path());
  XdgAutostartService service("id", "Helper", AutostartPathsFor(env, "/opt/helper"));
  const std::string entry = dir.path() + "/.config/autostart/id.desktop";
  ASSERT_TRUE(service.Register().ok());
  const std::string whole = testing::ReadWholeFile(entry);
  auto ssd = [&] {
    HwmonTempSource source(dir.path());
    OstrelTemp out[4];
    return ReadTemps(source, out, 4) > 2 ? out[2].celsius : 0;
  };
  const std::string drive = dir.path() + "/class/hwmon/hwmon6", parked = dir.path() + "/parked";
  std::atomic<bool> done{false};
  std::atomic<int> calls{0}, wrong{0};
  std::thread toggler([&] {
    for (bool in = true; !done; in = !in)
      std::filesystem::rename(in ? drive : parked, in ? parked : drive);
  });
  OnSixteenThreads([&] {
    const int i = calls++;
    const double reading = ssd();
    wrong += reading != 35.925 && reading != 38.85;  // with and without the drive
    if (i % 4 == 0) wrong += !service.Register().ok();
    if (i % 8 == 1) service.Unregister();  // may find no entry: another thread removed it
    const LoginItemStatus status = service.GetStatus();
    wrong += status != LoginItemStatus::kEnabled && status != LoginItemStatus::kNotRegistered;
    const std::string text = testing::ReadWholeFile(entry);
    wrong += !text.empty() && text != whole;
  });
  done = true;
  toggler.join();
  EXPECT_EQ(wrong.load(), 0);
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(
      std::distance(std::filesystem::directory_iterator(dir.path() + "/.config/autostart"), {}), 1);
}

// The real helper over a copy of the bench tree in which one core temperature's read hangs
// (tests/stuck_sysfs.py, bound over /sys in a mount namespace of the helper's own): snapshot
// requests wait, /loginitem is answered, and SIGTERM ends the helper with status 0.
TEST(StressStuckSensor, TheHelperAnswersTheLoginItemAndEndsOnSigterm) {
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
  std::filesystem::create_directories(dir.path() + "/home");
  std::filesystem::create_directories(dir.path() + "/sys");
  const std::string script =
      "/usr/bin/python3 \"$1\" \"$2\" \"$3/sys\" "
      "devices/platform/coretemp.0/hwmon/hwmon4/temp2_input & echo $! > \"$3/fuse.pid\"; "
      "for i in $(seq 100); do mountpoint -q \"$3/sys\" && break; sleep 0.1; done; "
      "mount --bind \"$3/sys\" /sys && exec \"$4\"";
  testing::ChildProcess helper(
      {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh",
       OSTREL_FIXTURES_DIR "/../stuck_sysfs.py", OSTREL_FIXTURES_DIR "/bench_macbookpro",
       dir.path(), OSTREL_HELPER_BINARY},
      testing::Env("HOME=" + dir.path() + "/home PATH=/usr/bin:/bin"), dir.path() + "/out");
  ASSERT_TRUE(WaitFor(listening, 30)) << testing::ReadWholeFile(dir.path() + "/out");
  const int waiting = ConnectLoopback(53843);
  ASSERT_EQ(send(waiting, kRequest, strlen(kRequest), MSG_NOSIGNAL), ssize_t(strlen(kRequest)));
  EXPECT_EQ(testing::BodyOf(Exchange(53843, "GET /loginitem HTTP/1.1\r\n\r\n")),
            "{\"ok\":true,\"loginItem\":false}");
  const std::optional<int> status = helper.Stop(SIGTERM);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  kill(std::atoi(testing::ReadWholeFile(dir.path() + "/fuse.pid").c_str()), SIGKILL);
  close(waiting);
}

}  // namespace
}  // namespace ostrel
