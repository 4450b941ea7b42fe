// The long-running checks (ctest label `stress`): the real exchange under load and under faulty
// clients, a server out of file descriptors, and many threads on one reader, server or entry.
// Nothing is timed: every answer must be exact, and nothing may be left behind.
//
// OSTREL_LOAD_REQUESTS sets the length of the long run: 100,000, fewer under the sanitizers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/linux/autostart.h"
#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/signal_application.h"
#include "sensors/fans.h"
#include "sensors/temps.h"
#include "server/http_framing.h"
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
using testing::WaitFor;

constexpr char kRequest[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1:53843\r\nAccept: */*\r\n\r\n";

std::string Answer() {
  testing::FakeLoginItem login;
  return FrameResponse(SensorServer(login, 0, testing::FixedReaders()).snapshotJSON());
}

// `count` one-request connections from `concurrency` threads, every eighth asking for the login
// item; returns the first few that were not answered exactly ("" when all were).
std::string RunClients(uint16_t port, int count, int concurrency) {
  const std::string snapshot = Answer(), login = FrameResponse("{\"ok\":true,\"loginItem\":false}");
  std::atomic<int> next{0}, bad{0};
  std::mutex mu;
  std::string notes;
  std::vector<std::thread> clients;
  for (int t = 0; t < concurrency; ++t) {
    clients.emplace_back([&] {
      for (int i = next++; i < count; i = next++) {
        std::string error;
        const std::string got = Exchange(port, i % 8 ? kRequest : "GET /loginitem\r\n\r\n", &error);
        if (got == (i % 8 ? snapshot : login)) continue;
        std::lock_guard<std::mutex> hold(mu);
        if (++bad <= 3)
          notes += "#" + std::to_string(i) + " " + error + ": '" + got.substr(0, 80) + "' ";
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

// The test server program in a child process, with its own open-file limit (0: inherited).
struct ServerProcess {
  explicit ServerProcess(unsigned file_limit)
      : output(dir.path() + "/out"),
        child({OSTREL_LOAD_SERVER_PATH, std::to_string(file_limit)}, Environment::Current(),
              output) {
    WaitFor([&] { return testing::ReadWholeFile(output).find('\n') != std::string::npos; }, 30);
    port = static_cast<uint16_t>(std::atoi(testing::ReadWholeFile(output).c_str()));
  }
  ~ServerProcess() {
    const std::optional<int> status = child.Stop(SIGTERM);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << testing::ReadWholeFile(output);
  }
  // The child's user plus system CPU time so far, in clock ticks.
  long CpuTicks() const {
    const std::string stat =
        testing::ReadWholeFile("/proc/" + std::to_string(child.pid()) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
    return ticks;
  }
  testing::TempDir dir;
  std::string output;
  testing::ChildProcess child;
  uint16_t port = 0;
};

TEST(StressLoad, IdleConnectionsAreHeldWhileOthersAreServed) {
  const size_t idle_count = RaiseFileLimit() >= 10256 ? 10000 : 1000;
  ServerProcess server(0);
  ASSERT_NE(server.port, 0) << testing::ReadWholeFile(server.output);
  const size_t server_files = OpenFileCount(server.child.pid());
  std::vector<int> idle;
  for (size_t i = 0; i < idle_count; ++i) idle.push_back(ConnectLoopback(server.port));
  ASSERT_EQ(std::count(idle.begin(), idle.end(), -1), 0);
  EXPECT_TRUE(
      WaitFor([&] { return OpenFileCount(server.child.pid()) == server_files + idle_count; }, 60));
  EXPECT_EQ(RunClients(server.port, 400, 4), "");
  // Nobody answered or closed the idle ones.
  for (int fd : idle) {
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), -1);
    close(fd);
  }
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount(server.child.pid()) == server_files; }, 60));
  EXPECT_EQ(Exchange(server.port, kRequest), Answer());
  EXPECT_TRUE(server.child.Running());
}

// With 256 open files and 300 idle connections, accept() fails with EMFILE while the rest wait
// in the backlog. The server must not crash, nor spin on the failing accept (about one CPU
// second per second; pausing uses next to nothing), and must serve again once they go.
TEST(StressLoad, FullFileTableNeitherCrashesNorSpinsAndRecovers) {
  ServerProcess server(256);
  ASSERT_NE(server.port, 0) << testing::ReadWholeFile(server.output);
  const size_t server_files = OpenFileCount(server.child.pid());
  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(ConnectLoopback(server.port));
  ASSERT_TRUE(WaitFor([&] { return OpenFileCount(server.child.pid()) == 256; }, 30));
  const long before = server.CpuTicks();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(server.CpuTicks() - before, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks over 2 s";
  for (int fd : idle) close(fd);
  EXPECT_EQ(Exchange(server.port, kRequest), Answer());
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount(server.child.pid()) == server_files; }, 30));
  EXPECT_TRUE(server.child.Running());
}

// Closes `fd` with a reset instead of an orderly end.
void Reset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
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
  readers.temps = [temps = readers.temps](OstrelTemp* out, int32_t capacity) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a window to reset into
    return temps(out, capacity);
  };
  SensorServer server(login, 0, readers);
  server.start();
  const uint16_t port = server.boundPort();
  const size_t files = OpenFileCount();
  const std::string answer = Answer();
  const struct {
    const char* name;
    int repeats;
    std::function<std::string()> run;  // "" when all went as it should
  } cases[] = {
      {"reset before sending", 100, [&] { return Reset(ConnectLoopback(port)), std::string(); }},
      {"reset while the answer is built", 100,
       [&] {
         const int fd = ConnectLoopback(port);
         send(fd, kRequest, strlen(kRequest), MSG_NOSIGNAL);
         return Reset(fd), std::string();
       }},
      {"reset while the server drains", 100,
       [&] {
         const int fd = ConnectLoopback(port);
         send(fd, kRequest, strlen(kRequest), MSG_NOSIGNAL);
         std::string got(answer.size(), '\0');
         got.resize(std::max<ssize_t>(0, recv(fd, got.data(), got.size(), MSG_WAITALL)));
         send(fd, "more bytes", 10, MSG_NOSIGNAL);
         Reset(fd);
         return got == answer ? "" : "answer was '" + got + "'";
       }},
      // The server drains at most 64 KiB beyond the request, then closes on the rest.
      {"sends 64 MB", 3,
       [&] {
         const std::string got = Trickle(port, kRequest + std::string(64 << 20, 'a'), 1 << 20, 0);
         return got == answer ? "" : "answer was '" + got + "'";
       }},
      // The first byte is the request; the trickle after it is drained for at most 2 s.
      {"sends a byte a second", 1,
       [&] {
         const std::string got = Trickle(port, std::string(kRequest).substr(0, 20), 1, 1000);
         return got == answer ? "" : "answer was '" + got + "'";
       }},
  };
  std::mutex mu;
  std::vector<std::string> failures;
  std::vector<std::thread> faulty;
  for (const auto& fault : cases) {
    faulty.emplace_back([&] {
      for (int i = 0; i < fault.repeats; ++i) {
        const std::string why = fault.run();
        std::lock_guard<std::mutex> hold(mu);
        if (!why.empty()) failures.push_back(std::string(fault.name) + ": " + why);
      }
    });
  }
  std::atomic<bool> done{false};
  std::atomic<int> good{0}, bad{0};
  std::thread ordinary([&] {
    while (!done) (Exchange(port, kRequest) == answer ? good : bad)++;
  });
  for (auto& t : faulty) t.join();
  done = true;
  ordinary.join();
  for (const std::string& failure : failures) ADD_FAILURE() << failure;
  EXPECT_GT(good.load(), 0);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == files; }, 30)) << OpenFileCount();
}

// Sixteen threads on each shared thing at once: `run` is called 40 times per thread.
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
  std::atomic<int> inside{0}, wrong{0};
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
  const std::string answer = Answer();
  std::atomic<int> calls{0};
  OnSixteenThreads([&] {
    const bool direct = calls++ % 2;
    wrong += (direct ? FrameResponse(server.snapshotJSON())
                     : Exchange(server.boundPort(), "GET /")) != answer;
  });
  EXPECT_EQ(wrong.load(), 0);
}

TEST(StressThreads, ReadersSeeEachMachineStateWhole) {
  testing::TempDir dir;
  dir.WriteTree(testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/intel_desktop.tree"));
  auto temps = [&] {
    HwmonTempSource source(dir.path());
    OstrelTemp out[4];
    const int32_t n = ReadTemps(source, out, 4);
    return n > 2 ? out[2].celsius : n;
  };
  const double with_drive = temps();
  const std::string link = dir.path() + "/class/hwmon/hwmon6", parked = dir.path() + "/parked";
  std::filesystem::rename(link, parked);
  const double without_drive = temps();
  ASSERT_NE(with_drive, without_drive);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  // A drive comes and goes while the sources read; the machine's own readers run alongside.
  std::thread toggler([&] {
    for (bool present = false; !done; present = !present)
      std::filesystem::rename(present ? link : parked, present ? parked : link);
  });
  OnSixteenThreads([&] {
    const double got = temps();
    wrong += got != with_drive && got != without_drive;
    HwmonSmcTransport smc(dir.path());
    OstrelFan fans[8];
    wrong += ReadFans(smc, fans, 8) != 1 || fans[0].rpm != 1054;
    OstrelTemp own[4];
    wrong += ostrel_read_temps(own, 4) > 4 || ostrel_read_fans(fans, 8) > 8;
  });
  done = true;
  toggler.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Registrations, removals and status reads of one entry at once: every read sees the whole
// entry or none, and no temporary file is left behind.
TEST(StressThreads, ConcurrentRegistersNeverTearTheEntry) {
  testing::TempDir dir;
  Environment env;
  env.Set("HOME", dir.path());
  XdgAutostartService service("id", "Helper",
                              [&] { return AutostartPathsFor(env, "/opt/helper"); });
  const std::string entry = dir.path() + "/.config/autostart/id.desktop";
  ASSERT_TRUE(service.Register().ok());
  const std::string whole = testing::ReadWholeFile(entry);
  std::atomic<int> calls{0}, wrong{0};
  OnSixteenThreads([&] {
    const int i = calls++;
    if (i % 4 == 0) {
      wrong += !service.Register().ok();
    } else if (i % 8 == 1) {
      service.Unregister();  // may find no entry: another thread just removed it
    } else if (i % 4 == 2) {
      const LoginItemStatus status = service.GetStatus();
      wrong += status != LoginItemStatus::kEnabled && status != LoginItemStatus::kNotRegistered;
    } else {
      const std::string text = testing::ReadWholeFile(entry);
      wrong += !text.empty() && text != whole;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() + "/.config/autostart"),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace ostrel
