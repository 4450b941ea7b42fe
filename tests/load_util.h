// load_util.h: pieces shared by the load and fault tests: a one-shot exchange that reports what
// went wrong instead of failing the test (a load run counts outcomes over many thousands), the
// counts of this process's threads and open files, and a child process that runs the test
// server program (tests/load_server_main.cc) under its own open-file limit.
//
// Everything here may be used from many client threads at once, except ServerProcess, which
// belongs to the thread that made it.
#ifndef OSTREL_TESTS_LOAD_UTIL_H_
#define OSTREL_TESTS_LOAD_UTIL_H_

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace ostrel::testing {

// How one exchange ended.
enum class Outcome {
  kAnswered,       // the server sent an answer and closed (the caller checks the bytes)
  kConnectFailed,  // connect() was refused or failed
  kSendFailed,     // the request could not be written
  kReset,          // the connection was reset before the server finished
  kTimedOut,       // nothing more arrived for `limit`
};

// Returns a short name of `outcome` for test messages.
const char* OutcomeName(Outcome outcome);

// Connects to 127.0.0.1:port, sends `request` (nothing when empty), reads until the server
// closes, and stores what arrived in `*response`. Never fails the test, never throws.
Outcome TryExchange(uint16_t port, std::string_view request, std::string* response,
                    std::chrono::milliseconds limit = std::chrono::seconds(10));

// A blocking TCP socket connected to 127.0.0.1:port, or -1. The caller owns and closes it.
int ConnectLoopback(uint16_t port);

// Waits up to `limit` for `fd` to become readable or hung up; true when it did.
bool WaitReadable(int fd, std::chrono::milliseconds limit);

// Entries of /proc/self/task (threads) and /proc/self/fd (open files) of this process.
size_t ThreadCount();
size_t OpenFileCount();

// Polls `count` every 20 ms until it returns `want` or `limit` has passed; returns the last
// value seen. For letting connections and threads wind down after a run, with no timing assert.
size_t SettleTo(const std::function<size_t()>& count, size_t want, std::chrono::seconds limit);

// Raises this process's soft open-file limit to at least `want` (never above the hard limit)
// and restores the previous one on destruction. fits() says whether `want` was reached.
class ScopedFileLimit {
 public:
  explicit ScopedFileLimit(size_t want);
  ~ScopedFileLimit();
  ScopedFileLimit(const ScopedFileLimit&) = delete;
  ScopedFileLimit& operator=(const ScopedFileLimit&) = delete;
  bool fits() const { return fits_; }

 private:
  uint64_t previous_soft_ = 0;  // the soft limit to restore
  bool fits_ = false;           // the soft limit is now at least the wanted count
};

// The test server program in a child process. Started with an open-file limit (0 keeps the
// inherited one); stopped, and waited for, on destruction (its standard input is closed, and
// after 10 s it is killed). ok() is false when the child could not be started or printed no port
// (the reason is in ADD_FAILURE output).
class ServerProcess {
 public:
  explicit ServerProcess(unsigned file_limit);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  // True while the child has not exited.
  bool Alive();
  // The child's user plus system CPU time so far, in seconds (from /proc/<pid>/stat).
  double CpuSeconds() const;
  // Entries of /proc/<pid>/fd.
  size_t OpenFileCount() const;

 private:
  pid_t pid_ = -1;       // the child, -1 when it could not be started
  int stdin_fd_ = -1;    // our end of the child's standard input; closing it stops the child
  uint16_t port_ = 0;    // the port the child printed, 0 until then
  bool reaped_ = false;  // waitpid has collected the child
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_LOAD_UTIL_H_
