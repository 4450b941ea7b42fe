// process.h: running other programs without a shell: the dialog tools, the application
// launcher and the web-page opener.
//
// A child gets exactly the argument vector and the environment it is given, standard input from
// /dev/null, no other descriptor of this process beyond 0-2 (so it never holds a listening or
// client socket of the server), every signal unblocked and the termination signals at their
// default action (this process blocks or ignores some of them). Every child is reaped: Run
// waits for it, Launch hands it to a thread that waits for it. A ProcessRunner may be used from
// any thread.
#ifndef OSTREL_PLATFORM_LINUX_PROCESS_H_
#define OSTREL_PLATFORM_LINUX_PROCESS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/environment.h"
#include "platform/status.h"

namespace ostrel {

// How one started program ended.
struct ProcessResult {
  bool exited = false;     // true when it ended by itself through exit(); exit_status is valid
  int exit_status = -1;    // its exit status (0-255) when `exited`
  int term_signal = 0;     // the signal that ended it, 0 when it exited
  bool cancelled = false;  // true when Run ended it because `cancel_fd` became readable
  std::string output;      // what it wrote to standard output, the first kMaxOutput bytes
  std::string errors;      // what it wrote to standard error, the first kMaxErrors bytes
};

class ProcessRunner {
 public:
  static constexpr size_t kMaxOutput = 64 * 1024;  // bytes of standard output kept by Run
  static constexpr size_t kMaxErrors = 4 * 1024;   // bytes of standard error kept by Run

  virtual ~ProcessRunner() = default;

  // Runs argv[0] (an absolute path, or a name looked up in env's PATH) with `argv` and `env` as
  // its whole environment, and waits until it has ended. Its standard output and standard error
  // are captured into the result (what goes beyond the caps is read and dropped). When `cancel_fd`
  // is not -1 and becomes readable before the child ends, the child is sent SIGTERM (SIGKILL two
  // seconds later) and the result is marked cancelled; `cancel_fd` is only polled, never read.
  // Fails when the program cannot be started ("<argv[0]>: No such file or directory" when it
  // is not found). Never throws.
  virtual StatusOr<ProcessResult> Run(const std::vector<std::string>& argv, const Environment& env,
                                      int cancel_fd) = 0;

  // Starts argv[0] like Run, in a session of its own, with this process's standard output and
  // error, and returns its process id without waiting; the child is reaped in the background.
  // Fails like Run.
  virtual StatusOr<pid_t> Launch(const std::vector<std::string>& argv, const Environment& env) = 0;
};

// The real runner: posix_spawn, a pipe each for standard output and error, pidfd and poll for
// the wait.
class PosixProcessRunner final : public ProcessRunner {
 public:
  StatusOr<ProcessResult> Run(const std::vector<std::string>& argv, const Environment& env,
                              int cancel_fd) override;
  StatusOr<pid_t> Launch(const std::vector<std::string>& argv, const Environment& env) override;
};

// The program file that `name` refers to: `name` itself when it contains a '/', otherwise the
// first executable regular file called `name` in a folder of env's PATH (default
// "/usr/local/bin:/usr/bin:/bin"). nullopt when there is none.
std::optional<std::string> FindProgram(std::string_view name, const Environment& env);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_PROCESS_H_
