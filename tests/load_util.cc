// load_util.cc: raw-socket exchanges, /proc counts and the test server child process.
#include "tests/load_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace ostrel::testing {

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kAnswered:
      return "answered";
    case Outcome::kConnectFailed:
      return "connect failed";
    case Outcome::kSendFailed:
      return "send failed";
    case Outcome::kReset:
      return "reset";
    case Outcome::kTimedOut:
      return "timed out";
  }
  return "?";
}

int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WaitReadable(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int ready = poll(&p, 1, static_cast<int>(limit.count()));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

Outcome TryExchange(uint16_t port, std::string_view request, std::string* response,
                    std::chrono::milliseconds limit) {
  response->clear();
  int fd = ConnectLoopback(port);
  if (fd < 0) return Outcome::kConnectFailed;
  Outcome outcome = Outcome::kAnswered;
  while (!request.empty()) {
    ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      outcome = Outcome::kSendFailed;
      break;
    }
    request.remove_prefix(static_cast<size_t>(n));
  }
  char buf[4096];
  while (outcome == Outcome::kAnswered) {
    if (!WaitReadable(fd, limit)) {
      outcome = Outcome::kTimedOut;
      break;
    }
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) {
      outcome = errno == ECONNRESET ? Outcome::kReset : Outcome::kTimedOut;
      break;
    }
    response->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return outcome;
}

namespace {

size_t CountEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  size_t count = 0;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
  }
  closedir(d);
  return count;
}

}  // namespace

size_t ThreadCount() { return CountEntries("/proc/self/task"); }

// The directory stream opened to count is itself an open file while counting; it is left out.
size_t OpenFileCount() { return CountEntries("/proc/self/fd") - 1; }

size_t SettleTo(const std::function<size_t()>& count, size_t want, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  size_t seen = count();
  while (seen != want && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    seen = count();
  }
  return seen;
}

ScopedFileLimit::ScopedFileLimit(size_t want) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  previous_soft_ = limit.rlim_cur;
  if (limit.rlim_cur < want) {
    limit.rlim_cur = std::min<rlim_t>(want, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  fits_ = limit.rlim_cur >= want;
}

ScopedFileLimit::~ScopedFileLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = previous_soft_;
  setrlimit(RLIMIT_NOFILE, &limit);
}

ServerProcess::ServerProcess(unsigned file_limit) {
  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << strerror(errno);
    return;
  }
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << strerror(errno);
    close(to_child[0]);
    close(to_child[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  const std::string limit_text = std::to_string(file_limit);
  std::string program = OSTREL_LOAD_SERVER_PATH;
  char* argv[] = {program.data(), file_limit ? const_cast<char*>(limit_text.c_str()) : nullptr,
                  nullptr};
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(to_child[0]);
  close(from_child[1]);
  stdin_fd_ = to_child[1];
  if (rc != 0) {
    ADD_FAILURE() << "posix_spawn " << program << ": " << strerror(rc);
    pid_ = -1;
    close(from_child[0]);
    return;
  }
  // The first line is the port. A sanitized child may take a while to start.
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos) {
    if (!WaitReadable(from_child[0], std::chrono::seconds(30))) break;
    ssize_t n = read(from_child[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line += c;
  }
  close(from_child[0]);
  const unsigned long port = std::strtoul(line.c_str(), nullptr, 10);
  if (port == 0 || port > 65535) {
    ADD_FAILURE() << "the test server printed no port: '" << line << "'";
    return;
  }
  port_ = static_cast<uint16_t>(port);
}

ServerProcess::~ServerProcess() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (pid_ <= 0 || reaped_) return;
  for (int i = 0; i < 500; ++i) {
    if (!Alive()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "the test server did not stop within 10 s; killing it";
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

bool ServerProcess::Alive() {
  if (pid_ <= 0 || reaped_) return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  reaped_ = true;
  if (r == pid_ && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    ADD_FAILURE() << "the test server ended abnormally, status " << status;
  }
  return false;
}

double ServerProcess::CpuSeconds() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name (field 2) may hold spaces; the fields after its closing ")" are plain.
  const size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return -1.0;
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {  // fields 14 and 15: utime, stime
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

size_t ServerProcess::OpenFileCount() const {
  return CountEntries("/proc/" + std::to_string(pid_) + "/fd");
}

}  // namespace ostrel::testing
