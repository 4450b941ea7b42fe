// test_util.h: what the tests share: temporary folders and sysfs trees, the one loopback client,
// the one child-process helper, and polling. Each test thread uses objects of its own; the
// free functions may run on many threads at once.
#ifndef OSTREL_TESTS_TEST_UTIL_H_
#define OSTREL_TESTS_TEST_UTIL_H_

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/environment.h"
#include "tests/fixture_tree.h"

namespace ostrel::testing {

// A fresh empty folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes `contents` to path()/relative, creating the folders on the way.
  void Write(const std::string& relative, std::string_view contents) const;
  // Writes a fixture tree under path() (see tests/fixture_tree.h).
  void WriteTree(std::string_view lines) const { testing::WriteTree(path_, lines); }

 private:
  std::string path_;  // the folder, absolute
};

// The whole file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// A blocking TCP socket connected to 127.0.0.1:port, or -1. The caller closes it.
int ConnectLoopback(uint16_t port);

// Connects to 127.0.0.1:port, sends `request` (nothing when empty) and reads until the server
// closes. Returns what arrived; on a failure (connect, send, reset, 10 s without a byte) also
// says which in *error, which is "" otherwise. Never fails the test itself.
std::string Exchange(uint16_t port, std::string_view request, std::string* error = nullptr);

// The body of a framed answer (what follows the first empty line).
std::string BodyOf(const std::string& response);

// Polls `predicate` every 20 ms for up to `seconds`; true as soon as it holds.
template <typename Predicate>
bool WaitFor(Predicate predicate, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Entries of /proc/<pid>/fd; 0 is this process.
size_t OpenFileCount(pid_t pid = 0);

// A program started by a test, with standard input from /dev/null and standard output and
// error in `output_path`; `fd3`, when not -1, becomes its descriptor 3. Killed and reaped on
// destruction at the latest. Fails the test when it cannot be started.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const Environment& env,
               const std::string& output_path, int fd3 = -1);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  // Sends `sig` and waits up to 20 s for the end: the wait status, or nullopt.
  std::optional<int> Stop(int sig);

 private:
  pid_t pid_ = -1;             // -1 once reaped
  std::optional<int> status_;  // the wait status once reaped
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_TEST_UTIL_H_
