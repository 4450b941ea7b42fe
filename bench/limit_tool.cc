// limit_tool.cc: the pieces of the one-request limit measurement (bench/limit_run.sh).
//
//   ostrel_limit_tool render TREE_FILE DIR
//       writes a fixture tree (tests/fixtures/trees/*.tree) under DIR, as the tests do
//   ostrel_limit_tool ask PORT N PID...
//       N requests one at a time, each over a fresh connection; every answer must be a whole
//       200 response. Prints the CPU the processes PID... (all their threads) used meanwhile,
//       in nanoseconds per request; the client's own CPU is not counted
//   ostrel_limit_tool bare N LIST_FILE
//       opens, reads and closes each file of LIST_FILE (one path a line) N times; prints its own
//       CPU in nanoseconds per pass over the list
//
// CPU is the scheduler's run time (/proc/<pid>/task/<tid>/schedstat, the first field, and
// CLOCK_PROCESS_CPUTIME_ID for itself): user and system time together, in nanoseconds.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

constexpr char kRequest[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1:53843\r\nAccept: */*\r\n\r\n";

// Run time so far of every thread of `pid`, in nanoseconds.
long long ProcessRunTime(const std::string& pid) {
  long long total = 0;
  const std::string tasks = "/proc/" + pid + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
    long long ns = 0;
    if (in >> ns) total += ns;
  }
  closedir(dir);
  return total;
}

long long RunTime(const std::vector<std::string>& pids) {
  long long total = 0;
  for (const std::string& pid : pids) total += ProcessRunTime(pid);
  return total;
}

// One request over a fresh connection; true when a whole 200 response came back.
bool AskOnce(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == sizeof kRequest - 1) {
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, n);
    const size_t head = answer.find("\r\n\r\n");
    const size_t length = answer.find("Content-Length: ");
    ok = answer.starts_with("HTTP/1.1 200 ") && head != std::string::npos &&
         length != std::string::npos &&
         answer.size() - head - 4 == std::strtoul(answer.c_str() + length + 16, nullptr, 10);
  }
  close(fd);
  return ok;
}

int Ask(uint16_t port, long n, const std::vector<std::string>& pids) {
  const long long before = RunTime(pids);
  for (long i = 0; i < n; ++i) {
    if (!AskOnce(port)) {
      std::fprintf(stderr, "ask: request %ld to port %u got no whole 200 answer\n", i, port);
      return 1;
    }
  }
  std::printf("%lld\n", (RunTime(pids) - before) / n);
  return 0;
}

long long OwnRunTime() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int Bare(long n, const char* list_file) {
  std::vector<std::string> files;
  std::ifstream in(list_file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) files.push_back(line);
  }
  char buf[64];
  long failed = 0;
  const long long before = OwnRunTime();
  for (long i = 0; i < n; ++i) {
    for (const std::string& file : files) {
      const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      failed += fd < 0;
      if (read(fd, buf, sizeof buf) < 0) buf[0] = 0;  // as the helper, a failed read still costs
      close(fd);
    }
  }
  const long long spent = OwnRunTime() - before;
  if (files.empty() || failed > 0) {
    std::fprintf(stderr, "bare: %zu files, %ld could not be opened\n", files.size(), failed);
    return 1;
  }
  std::printf("%lld\n", spent / n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "render" && argc == 4) {
    std::ifstream in(argv[2]);
    const std::string lines((std::istreambuf_iterator<char>(in)), {});
    if (lines.empty()) return 1;
    ostrel::testing::WriteTree(argv[3], lines);
    return 0;
  }
  if (what == "ask" && argc >= 5) {
    return Ask(static_cast<uint16_t>(std::atoi(argv[2])), std::atol(argv[3]),
               std::vector<std::string>(argv + 4, argv + argc));
  }
  if (what == "bare" && argc == 4) return Bare(std::atol(argv[2]), argv[3]);
  std::fprintf(stderr, "usage: %s render TREE_FILE DIR | ask PORT N PID... | bare N LIST_FILE\n",
               argv[0]);
  return 2;
}
