// child_process.h: a program started by a test (the helper binary, Xvfb), with its standard
// output and error in a file, stopped and reaped by the test or, at the latest, on destruction.
#ifndef OSTREL_TESTS_CHILD_PROCESS_H_
#define OSTREL_TESTS_CHILD_PROCESS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/environment.h"

namespace ostrel::testing {

class ChildProcess {
 public:
  // Starts argv[0] (an absolute path) with `env`. Standard output and error go to `output_path`
  // (created or truncated); `fd3`, when not -1, becomes the child's descriptor 3. Fails the
  // test when it cannot be started.
  ChildProcess(const std::vector<std::string>& argv, const Environment& env,
               const std::string& output_path, int fd3 = -1);
  // Kills (SIGKILL) and reaps the child if it is still there.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // True while the child has not ended.
  bool Running();
  // Sends `sig` and waits up to `seconds` for the child to end. Its wait status, or nullopt
  // when it did not end in time.
  std::optional<int> Stop(int sig, int seconds = 20);

 private:
  pid_t pid_ = -1;             // -1 once reaped
  std::optional<int> status_;  // the wait status once reaped
};

// Polls `predicate` every 20 ms for up to `seconds`; true as soon as it holds.
template <typename Predicate>
bool WaitFor(Predicate predicate, int seconds);

// The whole file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace ostrel::testing

#include <chrono>
#include <thread>

namespace ostrel::testing {

template <typename Predicate>
bool WaitFor(Predicate predicate, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_CHILD_PROCESS_H_
