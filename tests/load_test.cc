// Load on the real loopback exchange: a long run of one-request connections at concurrency 64,
// thousands of idle connections held while others are served, and a full open-file table.
// Nothing here is timed; the tests check that every answer is exact and that nothing leaks.
//
// OSTREL_LOAD_REQUESTS (a compile definition, see tests/CMakeLists.txt) sets the length of the
// long run: 100,000 normally, fewer under the sanitizers, which make each request many times
// dearer.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "server/http_framing.h"
#include "server/listener.h"
#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/fixed_readers.h"
#include "tests/load_util.h"

#ifndef OSTREL_LOAD_REQUESTS
#define OSTREL_LOAD_REQUESTS 100000
#endif

namespace ostrel {
namespace {

using testing::ConnectLoopback;
using testing::FakeLoginItem;
using testing::FixedReaders;
using testing::Outcome;
using testing::OutcomeName;
using testing::ServerProcess;
using testing::SettleTo;
using testing::TryExchange;

constexpr char kSnapshotRequest[] =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1:53843\r\nUser-Agent: Ostrel\r\nAccept: */*\r\n\r\n";
constexpr char kLoginItemRequest[] = "GET /loginitem HTTP/1.1\r\nHost: 127.0.0.1:53843\r\n\r\n";

// The framed snapshot document the fixed readers give (login item off).
std::string ExpectedSnapshot() {
  FakeLoginItem login;
  SensorServer offline(login, 0, FixedReaders());
  return FrameResponse(offline.snapshotJSON());
}

// Counts how a run's exchanges ended and keeps the first few oddities for the failure message.
class Tally {
 public:
  void Add(Outcome outcome, bool exact, size_t index, const std::string& response) {
    if (outcome == Outcome::kAnswered && exact) {
      good_++;
      return;
    }
    std::lock_guard<std::mutex> hold(mu_);
    bad_++;
    if (notes_.size() < 5) {
      notes_.push_back("#" + std::to_string(index) + " " + OutcomeName(outcome) + ": '" +
                       response.substr(0, 120) + "'");
    }
  }
  size_t good() const { return good_; }
  std::string Notes() {
    std::lock_guard<std::mutex> hold(mu_);
    std::string all = std::to_string(bad_) + " bad;";
    for (const std::string& note : notes_) all += "\n  " + note;
    return all;
  }

 private:
  std::atomic<size_t> good_{0};     // exact answers
  std::mutex mu_;                   // guards the two below
  size_t bad_ = 0;                  // failed, refused, reset, timed out or malformed
  std::vector<std::string> notes_;  // the first few of them
};

// Sends `count` requests from `concurrency` client threads, one connection each; every eighth
// asks for the login item, the rest for the snapshot.
void RunClients(uint16_t port, size_t count, int concurrency, Tally* tally) {
  const std::string snapshot = ExpectedSnapshot();
  const std::string login_answer = FrameResponse("{\"ok\":true,\"loginItem\":false}");
  std::atomic<size_t> next{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < concurrency; ++t) {
    clients.emplace_back([&] {
      std::string response;
      for (size_t i = next++; i < count; i = next++) {
        const bool login = i % 8 == 0;
        const Outcome outcome =
            TryExchange(port, login ? kLoginItemRequest : kSnapshotRequest, &response);
        tally->Add(outcome, response == (login ? login_answer : snapshot), i, response);
      }
    });
  }
  for (auto& client : clients) client.join();
}

TEST(LoadConcurrencyTest, LongRunAnswersEveryRequestAndLeavesNothingBehind) {
  FakeLoginItem login;
  SensorServer server(login, 0, FixedReaders());
  server.start();
  const size_t idle_threads = testing::ThreadCount();
  const size_t idle_files = testing::OpenFileCount();

  Tally tally;
  RunClients(server.boundPort(), OSTREL_LOAD_REQUESTS, 64, &tally);
  EXPECT_EQ(tally.good(), static_cast<size_t>(OSTREL_LOAD_REQUESTS)) << tally.Notes();
  EXPECT_TRUE(login.calls().empty());

  // The server closes each connection once the client has closed its end; give the last few
  // a moment, then the process must be back to its idle threads and files.
  EXPECT_EQ(SettleTo(testing::OpenFileCount, idle_files, std::chrono::seconds(30)), idle_files);
  EXPECT_EQ(SettleTo(testing::ThreadCount, idle_threads, std::chrono::seconds(30)), idle_threads);
}

// Idle connections are held by a server in a child process, so that the client ends here and
// the server ends there each get a whole open-file table.
TEST(LoadConcurrencyTest, IdleConnectionsAreHeldWhileOthersAreServed) {
  size_t idle_count = 10000;
  auto limit = std::make_unique<testing::ScopedFileLimit>(idle_count + 256);
  if (!limit->fits()) {
    idle_count = 1000;
    limit.reset();
    limit = std::make_unique<testing::ScopedFileLimit>(idle_count + 256);
    if (!limit->fits()) GTEST_SKIP() << "the open-file limit is below 1,256";
  }
  ServerProcess server(0);  // inherits the raised limit
  ASSERT_TRUE(server.ok());
  const size_t server_idle_files = server.OpenFileCount();

  std::vector<int> idle;
  idle.reserve(idle_count);
  for (size_t i = 0; i < idle_count; ++i) {
    int fd = ConnectLoopback(server.port());
    if (fd < 0) break;
    idle.push_back(fd);
  }
  ASSERT_EQ(idle.size(), idle_count) << "connect failed after " << idle.size();
  // The server has accepted them all: its open files grew by one per connection.
  const size_t held = server_idle_files + idle_count;
  EXPECT_EQ(SettleTo([&] { return server.OpenFileCount(); }, held, std::chrono::seconds(60)), held);

  Tally tally;
  RunClients(server.port(), 400, 4, &tally);
  EXPECT_EQ(tally.good(), 400u) << tally.Notes();

  // Nobody answered or closed the idle ones.
  std::vector<pollfd> polls;
  for (int fd : idle) polls.push_back(pollfd{fd, POLLIN, 0});
  EXPECT_EQ(poll(polls.data(), polls.size(), 0), 0);

  for (int fd : idle) close(fd);
  EXPECT_EQ(
      SettleTo([&] { return server.OpenFileCount(); }, server_idle_files, std::chrono::seconds(60)),
      server_idle_files);
  std::string response;
  EXPECT_EQ(TryExchange(server.port(), kSnapshotRequest, &response), Outcome::kAnswered);
  EXPECT_EQ(response, ExpectedSnapshot());
  EXPECT_TRUE(server.Alive());
}

// With a soft limit of 256 open files and 300 idle connections, the server stops accepting at its
// descriptor reserve while the rest wait in the backlog. It must neither crash nor spin, and must
// serve again once the idle connections go.
TEST(FdLimitLoadTest, FullFileTableNeitherCrashesNorSpinsAndRecovers) {
  constexpr unsigned kLimit = 256;
  ServerProcess server(kLimit);
  ASSERT_TRUE(server.ok());
  const size_t server_idle_files = server.OpenFileCount();

  std::vector<int> idle;
  for (int i = 0; i < 300; ++i) {
    int fd = ConnectLoopback(server.port());  // the backlog takes what accept cannot
    ASSERT_GE(fd, 0) << "connect " << i;
    idle.push_back(fd);
  }
  const size_t full = kLimit - Listener::kDescriptorReserve;
  ASSERT_EQ(SettleTo([&] { return server.OpenFileCount(); }, full, std::chrono::seconds(30)), full)
      << "the server's file table never filled up to its reserve";

  // Spinning on accept would use about one CPU second per second; pausing between attempts uses
  // next to nothing. The bound is generous for sanitizer builds and a busy machine.
  const double cpu_before = server.CpuSeconds();
  const auto wall_before = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double cpu = server.CpuSeconds() - cpu_before;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
  EXPECT_LT(cpu, 0.25 * wall) << "CPU seconds " << cpu << " over " << wall << " s";
  EXPECT_TRUE(server.Alive());

  for (int fd : idle) close(fd);
  std::string response;
  EXPECT_EQ(TryExchange(server.port(), kSnapshotRequest, &response, std::chrono::seconds(30)),
            Outcome::kAnswered);
  EXPECT_EQ(response, ExpectedSnapshot());
  EXPECT_EQ(
      SettleTo([&] { return server.OpenFileCount(); }, server_idle_files, std::chrono::seconds(30)),
      server_idle_files);
  EXPECT_TRUE(server.Alive());
}

}  // namespace
}  // namespace ostrel
