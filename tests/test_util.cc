// test_util.cc: temporary trees, the loopback client and child processes.
#include "tests/test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace ostrel::testing {

namespace fs = std::filesystem;

void WriteTree(const std::string& root, std::string_view lines) {
  std::istringstream in{std::string(lines)};
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('='), arrow = line.find("->");
    const bool link = arrow < eq;
    const fs::path relative = line.substr(0, link ? arrow : eq);
    const std::vector<fs::path> parts(relative.begin(), relative.end());
    fs::path file = fs::path(root) / relative;
    if (parts.size() >= 4 && parts[0] == "class") {
      const fs::path entry = fs::path(root) / "class" / parts[1] / parts[2];
      const fs::path device = fs::path(root) / "devices" / parts[1] / parts[2];
      fs::create_directories(device);
      fs::create_directories(entry.parent_path());
      if (!fs::is_symlink(entry)) fs::create_directory_symlink(device, entry);
      file = device / relative.lexically_relative(fs::path("class") / parts[1] / parts[2]);
    }
    fs::create_directories(file.parent_path());
    if (link) fs::create_directory_symlink(fs::path(root) / line.substr(arrow + 2), file);
    if (!link) std::ofstream(file, std::ios::binary) << line.substr(eq + 1) << "\n";
  }
}

TempDir::TempDir() : path_((fs::temp_directory_path() / "ostrel-test-XXXXXX").string()) {
  if (mkdtemp(path_.data()) == nullptr) abort();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempDir::Write(const std::string& relative, std::string_view contents) const {
  fs::create_directories((fs::path(path_) / relative).parent_path());
  std::ofstream(fs::path(path_) / relative, std::ios::binary) << contents;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Number(double value) {
  char text[32];
  snprintf(text, sizeof text, "%g", value);
  return text;
}

Environment Env(std::string_view words) {
  Environment env;
  std::istringstream in{std::string(words)};
  for (std::string w; in >> w;) env.Set(w.substr(0, w.find('=')), w.substr(w.find('=') + 1));
  return env;
}

size_t OpenFileCount(pid_t pid) {
  const fs::path dir = "/proc/" + (pid ? std::to_string(pid) : "self") + "/fd";
  const auto count = std::distance(fs::directory_iterator(dir), fs::directory_iterator());
  return pid ? count : count - 1;  // our own listing of the folder is an open file too
}

int ConnectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{static_cast<sa_family_t>(AF_INET), htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  int rc;
  while ((rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) && errno == EINTR) {
  }
  return rc == 0 ? fd : (close(fd), -1);
}

void Reset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

int Ask(uint16_t port, std::string_view request) {
  const int fd = ConnectLoopback(port);
  if (fd >= 0) send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

std::string ReadAll(int fd) {
  std::string response;
  char buf[16384];
  pollfd p{fd, POLLIN, 0};  // poll would wait out its time on -1
  for (ssize_t n; fd >= 0 && poll(&p, 1, 10000) > 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
    response.append(buf, n);
  close(fd);  // -1 when there was no connection: a harmless EBADF
  return response;
}

std::string Flood(uint16_t port, std::string_view payload, size_t chunk, int pause_ms) {
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

std::string BodyOf(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

ChildProcess::ChildProcess(std::vector<std::string> argv, const Environment& env,
                           const std::string& output_path, int fd3) {
  std::vector<std::string> entries = env.Entries();
  std::vector<char*> argp, envp;
  for (std::string& a : argv) argp.push_back(a.data());
  for (std::string& e : entries) envp.push_back(e.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  posix_spawn_file_actions_addclosefrom_np(&actions, fd3 >= 0 ? 4 : 3);
  posix_spawnattr_t attr;  // the child starts with no signal blocked
  posix_spawnattr_init(&attr);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  if (posix_spawn(&pid_, argp[0], &actions, &attr, argp.data(), envp.data()) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
}

bool ChildProcess::Running() {
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) status_ = status, pid_ = -1;
  return pid_ > 0;
}

std::optional<int> ChildProcess::Stop(int sig) {
  if (pid_ > 0) kill(pid_, sig);
  WaitFor([this] { return !Running(); }, 20);
  return pid_ > 0 ? std::nullopt : status_;
}

}  // namespace ostrel::testing
