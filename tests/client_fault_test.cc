// Clients that misbehave at every step of the exchange: reset before sending, reset while the
// answer is being built, reset while the server drains, send a megabyte, send a byte a second.
// Each runs alongside ordinary clients; afterwards the server must still answer exactly and be
// back to its idle open files. The test process does not ignore SIGPIPE, so a write by the
// server to a reset connection that raised it would end the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "server/http_framing.h"
#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/fixed_readers.h"
#include "tests/load_util.h"

namespace ostrel {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ConnectLoopback;
using testing::FakeLoginItem;
using testing::Outcome;
using testing::TryExchange;
using testing::WaitReadable;

constexpr char kRequest[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1:53843\r\n\r\n";

// Closes `fd` with a reset instead of an orderly end.
void Reset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// What one trickling client saw: the bytes that arrived, whether the server ended the
// connection (closed it, which the next byte we sent met with a reset, or answered and stopped
// reading once we had sent everything) within our time limit, and how long that took.
struct Seen {
  std::string response;    // every byte the server sent
  bool ended = false;      // the server ended the connection before our time limit
  Clock::duration took{};  // from connecting to the end (or the limit)
};

// Sends `total` bytes (the request, then filler) `chunk` bytes at a time with `pause` between
// chunks, reading whatever the server sends. Like a real trickling client it does not stop at
// the server's end of file, only when a send fails, everything is sent, or `limit` passes.
Seen Trickle(uint16_t port, size_t total, size_t chunk, std::chrono::milliseconds pause,
             std::chrono::seconds limit) {
  Seen seen;
  int fd = ConnectLoopback(port);
  if (fd < 0) return seen;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string payload(kRequest);
  payload.resize(total, 'a');
  size_t sent = 0;
  bool eof = false;
  const auto start = Clock::now();
  auto next_send = start;
  char buf[4096];
  while (Clock::now() - start < limit) {
    const bool more = sent < payload.size();
    if (eof && !more) {
      seen.ended = true;
      break;
    }
    if (more && Clock::now() >= next_send) {
      ssize_t n =
          send(fd, payload.data() + sent, std::min(chunk, payload.size() - sent), MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        next_send = Clock::now() + pause;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        seen.ended = true;  // reset: the server closed the connection
        break;
      }
    }
    int wait_ms = 1000;
    if (more && pause.count() > 0) {
      wait_ms = static_cast<int>(std::max<int64_t>(
          1,
          std::chrono::duration_cast<std::chrono::milliseconds>(next_send - Clock::now()).count()));
    }
    const short events = (eof ? 0 : POLLIN) | (more && pause.count() == 0 ? POLLOUT : 0);
    pollfd p{fd, events, 0};
    if (poll(&p, 1, wait_ms) <= 0) continue;
    if (eof && (p.revents & POLLERR)) {
      seen.ended = true;
      break;
    }
    if (!eof && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        seen.response.append(buf, static_cast<size_t>(n));
      } else if (n == 0) {
        eof = true;
      } else if (errno != EAGAIN && errno != EINTR) {
        seen.ended = true;
        break;
      }
    }
  }
  seen.took = Clock::now() - start;
  // Bytes that arrived before a reset can still be read.
  for (ssize_t n; !eof && (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
    seen.response.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return seen;
}

// A faulty client: runs once against `port` and returns an empty text when it saw what it
// should, or what went wrong.
struct FaultCase {
  const char* name;  // for failure messages
  int repeats;       // runs, one after the other, on the case's own thread
  // One run against `port`, whose exact answer to kRequest is `answer`.
  std::function<std::string(uint16_t port, const std::string& answer)> run;
};

const FaultCase kCases[] = {
    {"reset before sending", 100,
     [](uint16_t port, const std::string&) {
       int fd = ConnectLoopback(port);
       if (fd < 0) return std::string("connect failed");
       Reset(fd);
       return std::string();
     }},
    {"reset while the answer is built", 100,
     [](uint16_t port, const std::string&) {
       int fd = ConnectLoopback(port);
       if (fd < 0) return std::string("connect failed");
       bool sent = SendAll(fd, kRequest);
       Reset(fd);  // the readers take 5 ms: the answer is not ready yet
       return sent ? std::string() : std::string("send failed");
     }},
    {"reset while the server drains", 100,
     [](uint16_t port, const std::string& answer) {
       int fd = ConnectLoopback(port);
       if (fd < 0) return std::string("connect failed");
       SendAll(fd, kRequest);
       std::string got;
       char buf[4096];
       while (got.size() < answer.size() && WaitReadable(fd, std::chrono::seconds(10))) {
         ssize_t n = recv(fd, buf, sizeof buf, 0);
         if (n <= 0) break;
         got.append(buf, static_cast<size_t>(n));
       }
       SendAll(fd, "more bytes the server will drain");
       Reset(fd);
       return got == answer ? std::string() : "answer was '" + got + "'";
     }},
    {"sends a megabyte", 5,
     [](uint16_t port, const std::string& answer) {
       // The first 8192 bytes are the request; the server drains at most 64 KiB more, then
       // closes on the rest, which resets the connection only after the answer went out.
       Seen seen =
           Trickle(port, 1 << 20, 1 << 20, std::chrono::milliseconds(0), std::chrono::seconds(20));
       if (!seen.ended) return std::string("the connection never ended");
       return seen.response == answer ? std::string() : "answer was '" + seen.response + "'";
     }},
    {"sends a byte a second", 1,
     [](uint16_t port, const std::string& answer) {
       // The first byte alone is the request; the server answers it, then drains the trickle
       // for at most its drain time and closes.
       Seen seen = Trickle(port, 12, 1, std::chrono::milliseconds(1000), std::chrono::seconds(20));
       if (!seen.ended) return std::string("the connection never ended");
       if (seen.took > std::chrono::seconds(Listener::kDrainSeconds + 5)) {
         return std::string("the server held the trickling connection too long");
       }
       return seen.response == answer ? std::string() : "answer was '" + seen.response + "'";
     }},
};

TEST(FaultyClientConcurrencyTest, ServerKeepsServingAndLeaksNothing) {
  FakeLoginItem login;
  SensorServer::Readers readers = testing::FixedReaders();
  auto temps = readers.temps;
  readers.temps = [temps](OstrelTemp* out, int32_t capacity) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a window to reset into
    return temps(out, capacity);
  };
  SensorServer server(login, 0, readers);
  server.start();
  const uint16_t port = server.boundPort();
  const size_t idle_files = testing::OpenFileCount();
  const std::string answer = FrameResponse(server.snapshotJSON());

  std::mutex mu;
  std::vector<std::string> failures;
  std::vector<std::thread> faulty;
  for (const FaultCase& fault : kCases) {
    faulty.emplace_back([&, fault] {
      for (int i = 0; i < fault.repeats; ++i) {
        std::string why = fault.run(port, answer);
        if (!why.empty()) {
          std::lock_guard<std::mutex> hold(mu);
          failures.push_back(std::string(fault.name) + " #" + std::to_string(i) + ": " + why);
        }
      }
    });
  }
  // Ordinary clients go on meanwhile, and every one of them is answered exactly.
  std::atomic<bool> done{false};
  std::atomic<int> ordinary{0}, ordinary_bad{0};
  std::thread regular([&] {
    std::string response;
    while (!done) {
      Outcome outcome = TryExchange(port, kRequest, &response);
      (outcome == Outcome::kAnswered && response == answer ? ordinary : ordinary_bad)++;
    }
  });
  for (auto& t : faulty) t.join();
  done = true;
  regular.join();

  for (const std::string& failure : failures) ADD_FAILURE() << failure;
  EXPECT_GT(ordinary.load(), 0);
  EXPECT_EQ(ordinary_bad.load(), 0);
  std::string response;
  EXPECT_EQ(TryExchange(port, kRequest, &response), Outcome::kAnswered);
  EXPECT_EQ(response, answer);
  EXPECT_EQ(testing::SettleTo(testing::OpenFileCount, idle_files, std::chrono::seconds(30)),
            idle_files);
}

}  // namespace
}  // namespace ostrel
