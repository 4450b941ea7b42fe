// reset_flood.cc: a bounded flood of clients that connect, send a request and reset at once,
// beside one well-behaved client that asks for the document every 10 ms; reports how long the
// well-behaved requests took and how many descriptors the server held at most. Loopback only.
//
// Usage: ostrel_reset_flood PORT SERVER_PID SECONDS FLOOD_THREADS RATE [MODE]
// RATE: flood connections per second, in all (0: as fast as the threads go).
// MODE: "request" (default: send the request, then reset), "connect" (reset without sending),
// "close" (send the request, then close in the orderly way, reading nothing).
// Each flood thread holds at most one connection at a time, so FLOOD_THREADS bounds the
// flood's live connections. Prints one line of figures.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kRequest[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// A connection to 127.0.0.1:port from `source` (an address of the loopback network), or -1.
int Connect(uint16_t port, const char* source = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

size_t OpenFiles(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  size_t n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: %s PORT SERVER_PID SECONDS FLOOD_THREADS [request|connect|close]\n",
                 argv[0]);
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const pid_t pid = std::atoi(argv[2]);
  const auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[3]));
  const int threads = std::atoi(argv[4]);
  const double rate = std::atof(argv[5]);
  const std::string mode = argc > 6 ? argv[6] : "request";
  // Each thread paces itself to its share of the rate.
  const auto gap = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(rate > 0 ? threads / rate : 0.0));

  std::atomic<long> flooded{0};
  std::vector<std::thread> flood;
  for (int t = 0; t < threads; ++t) {
    flood.emplace_back([&] {
      // Without a rate the pace is the clock itself: `next` must still move, or the loop
      // would never reach `end`.
      for (auto next = Clock::now(); next < end; next = gap.count() ? next + gap : Clock::now()) {
        std::this_thread::sleep_until(next);
        const int fd = Connect(port);
        if (fd < 0) continue;
        if (mode != "connect") send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL);
        if (mode != "close") {
          linger hard{1, 0};
          setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(fd);
        ++flooded;
      }
    });
  }

  std::atomic<size_t> max_files{0};
  std::thread watch([&] {
    while (Clock::now() < end) {
      max_files = std::max<size_t>(max_files, OpenFiles(pid));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // The well-behaved client comes from another loopback address, so that its connections never
  // share an address and port pair with a flood connection the server has not closed yet.
  // Its figures count from the request's write to the answer (as wrk's do); connecting is
  // reported apart.
  std::vector<double> took_ms, connect_ms;
  int bad = 0;
  while (Clock::now() < end) {
    auto start = Clock::now();
    const int fd = Connect(port, "127.0.0.2");
    connect_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    start = Clock::now();
    std::string response;
    if (fd >= 0) {
      timeval limit{5, 0};  // a lost connection counts as a request without readings
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL);
      char buf[4096];
      ssize_t n;
      while ((n = recv(fd, buf, sizeof buf, 0)) > 0) response.append(buf, static_cast<size_t>(n));
      close(fd);
    }
    took_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    bad += response.find("\"temperatures\":[{") == std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (auto& t : flood) t.join();
  watch.join();

  std::sort(took_ms.begin(), took_ms.end());
  std::sort(connect_ms.begin(), connect_ms.end());
  auto at = [](const std::vector<double>& v, double q) {
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
  };
  std::printf(
      "mode %s: flood %ld connections (%.0f/s, %d live at most); legitimate %zu requests, "
      "%d without readings, p50 %.2f ms, p99 %.2f ms, max %.2f ms (connect p99 %.2f ms); "
      "server descriptors at most %zu\n",
      mode.c_str(), flooded.load(), flooded.load() / std::atof(argv[3]), threads, took_ms.size(),
      bad, at(took_ms, 0.5), at(took_ms, 0.99), took_ms.back(), at(connect_ms, 0.99),
      max_files.load());
  return 0;
}
