// test_util.h: what tests and benchmarks share: temporary trees, the loopback client, child
// processes, polling. Objects belong to their maker's thread; free functions are thread-safe.
#ifndef OSTREL_TESTS_TEST_UTIL_H_
#define OSTREL_TESTS_TEST_UTIL_H_

#include <signal.h>
#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/environment.h"

namespace ostrel::testing {

// Writes under `root` one entry per line: "path=contents" (written with a line end) or
// "path->target" (a symbolic link to root/target); '#' starts a comment line. As in the kernel,
// whatever is below class/<class>/<entry>/ goes to devices/<class>/<entry>/, the entry a link.
void WriteTree(const std::string& root, std::string_view lines);

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  void Write(const std::string& relative, std::string_view contents) const;  // folders made too
  void WriteTree(std::string_view lines) const { testing::WriteTree(path_, lines); }

 private:
  std::string path_;  // absolute
};

std::string ReadWholeFile(const std::string& path);  // "" when it cannot be read
std::string Number(double value);                    // six significant digits, as "%g"
Environment Env(std::string_view words);             // from blank-separated "NAME=value" words
size_t OpenFileCount(pid_t pid = 0);                 // entries of /proc/<pid>/fd; 0 is this process

int ConnectLoopback(uint16_t port);  // a blocking TCP socket to 127.0.0.1:port, or -1
void Reset(int fd);                  // closes `fd` with a reset instead of an orderly end
// A new connection that has sent `request`, or -1 when none could be made.
int Ask(uint16_t port, std::string_view request = "GET / HTTP/1.1\r\n\r\n");
// What arrives on `fd` until the server closes, resets or is silent for 10 s; closes `fd`.
std::string ReadAll(int fd);
inline std::string Exchange(uint16_t port, std::string_view request) {
  return ReadAll(Ask(port, request));
}
// Sends `payload` in pieces of `chunk` bytes, `pause_ms` apart, until a send fails (the server
// has closed): what the server sent meanwhile, or "never ended" when everything went out.
std::string Flood(uint16_t port, std::string_view payload, size_t chunk, int pause_ms);
std::string BodyOf(const std::string& response);  // what follows the first empty line
std::string Joined(const std::vector<std::string>& parts, const char* separator = " ");

// Polls `predicate` every 20 ms for up to `seconds`; true as soon as it holds.
template <typename Predicate>
bool WaitFor(Predicate predicate, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (; !predicate(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

// A program with standard input from /dev/null and output and errors into `output_path`;
// `fd3`, when not -1, becomes its descriptor 3. Killed and reaped at the latest on destruction.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, const Environment& env,
               const std::string& output_path, int fd3 = -1);
  ~ChildProcess() { Stop(SIGKILL); }
  pid_t pid() const { return pid_; }
  bool Running();
  std::optional<int> Stop(int sig);  // the wait status, or nothing when not ended in 20 s

 private:
  pid_t pid_ = -1;             // -1 when not started or reaped
  std::optional<int> status_;  // the wait status once reaped
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_TEST_UTIL_H_
