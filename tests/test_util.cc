// test_util.cc: temporary trees, the loopback client and child processes for tests.
#include "tests/test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace ostrel::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "ostrel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempDir::Write(const std::string& relative, std::string_view contents) const {
  const fs::path full = fs::path(path_) / relative;
  fs::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary) << contents;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int ConnectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = -1;
  while (fd >= 0 && (rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) != 0 &&
         errno == EINTR) {
  }
  if (rc != 0 && fd >= 0) close(fd);
  return rc == 0 ? fd : -1;
}

std::string Exchange(uint16_t port, std::string_view request, std::string* error) {
  std::string response, why;
  const int fd = ConnectLoopback(port);
  if (fd < 0) why = "connect failed";
  while (why.empty() && !request.empty()) {
    const ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) why = "send failed";
    if (n > 0) request.remove_prefix(static_cast<size_t>(n));
  }
  char buf[16384];
  while (why.empty()) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 10000);
    if (ready < 0 && errno == EINTR) continue;
    const ssize_t n = ready > 0 ? recv(fd, buf, sizeof buf, 0) : -1;
    if (n < 0 && ready > 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) why = ready > 0 ? "reset" : "timed out";
    if (n > 0) response.append(buf, static_cast<size_t>(n));
  }
  if (fd >= 0) close(fd);
  if (error != nullptr) *error = why;
  return response;
}

std::string BodyOf(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

size_t OpenFileCount(pid_t pid) {
  const fs::path dir = "/proc/" + (pid ? std::to_string(pid) : "self") + "/fd";
  std::error_code ec;
  size_t count = 0;
  for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    ++count;
  return pid ? count : count - 1;  // our own listing of the folder is an open file too
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env,
                           const std::string& output_path, int fd3) {
  std::vector<std::string> args = argv, entries = env.Entries();
  std::vector<char*> argp, envp;
  for (std::string& a : args) argp.push_back(a.data());
  for (std::string& e : entries) envp.push_back(e.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  posix_spawn_file_actions_addclosefrom_np(&actions, fd3 >= 0 ? 4 : 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  const int rc = posix_spawn(&pid_, argv[0].c_str(), &actions, &attr, argp.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << strerror(rc);
    pid_ = -1;
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Stop(SIGKILL);
}

bool ChildProcess::Running() {
  int status = 0;
  const pid_t got = pid_ > 0 ? waitpid(pid_, &status, WNOHANG) : -1;
  if (got == pid_) {
    status_ = status;
    pid_ = -1;
  }
  return got == 0;
}

std::optional<int> ChildProcess::Stop(int sig) {
  if (pid_ > 0) kill(pid_, sig);
  WaitFor([this] { return !Running(); }, 20);
  return pid_ > 0 ? std::nullopt : status_;
}

}  // namespace ostrel::testing
