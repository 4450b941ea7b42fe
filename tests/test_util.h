// test_util.h: a plain blocking loopback client and a fixture-tree builder for tests.
#ifndef OSTREL_TESTS_TEST_UTIL_H_
#define OSTREL_TESTS_TEST_UTIL_H_

#include <stdint.h>

#include <string>
#include <string_view>

namespace ostrel::testing {

// A connected TCP socket to 127.0.0.1:port, closed on destruction. Every call fails the
// current test (with ADD_FAILURE) rather than throwing.
class Client {
 public:
  explicit Client(uint16_t port);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Writes all of `bytes`; false on error.
  bool Send(std::string_view bytes);
  // Shuts down the sending side.
  void ShutdownSend();
  // Reads until the server closes (or 10 s pass) and returns what arrived.
  std::string ReadAll();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Sends `request` on a new connection and returns the whole answer.
std::string Exchange(uint16_t port, std::string_view request);

// The body of a framed answer (what follows the first empty line); empty when there is none.
std::string BodyOf(const std::string& response);

// A fresh empty folder under the system's temporary folder, removed with everything in it on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // Writes `contents` to path()/relative, creating the folders on the way.
  void Write(const std::string& relative, std::string_view contents) const;
  // Creates path()/relative and the folders on the way.
  void MakeDir(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_TEST_UTIL_H_
