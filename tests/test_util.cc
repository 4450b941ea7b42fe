// test_util.cc: blocking socket client and temporary folders for tests.
#include "tests/test_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace ostrel::testing {

Client::Client(uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    ADD_FAILURE() << "socket: " << strerror(errno);
    return;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ADD_FAILURE() << "connect: " << strerror(errno);
    close(fd_);
    fd_ = -1;
  }
}

Client::~Client() {
  if (fd_ >= 0) close(fd_);
}

bool Client::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void Client::ShutdownSend() { shutdown(fd_, SHUT_WR); }

std::string Client::ReadAll() {
  std::string out;
  char buf[16384];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, 10000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ADD_FAILURE() << "no answer within 10 s; got " << out.size() << " bytes";
      return out;
    }
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

std::string Exchange(uint16_t port, std::string_view request) {
  Client client(port);
  if (!client.connected()) return {};
  if (!request.empty()) {
    EXPECT_TRUE(client.Send(request));
  }
  return client.ReadAll();
}

std::string BodyOf(const std::string& response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions a test may have taken away, so everything can be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& relative, std::string_view contents) const {
  std::filesystem::path full = std::filesystem::path(path_) / relative;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary) << contents;
}

void TempDir::MakeDir(const std::string& relative) const {
  std::filesystem::create_directories(std::filesystem::path(path_) / relative);
}

}  // namespace ostrel::testing
