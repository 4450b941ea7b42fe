// process.cc: posix_spawn-based runner. No shell is ever involved: the program is found on PATH
// here and started from an argument vector.
#include "platform/linux/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace ostrel {
namespace {

constexpr int kKillGraceMs = 2000;  // time between SIGTERM and SIGKILL for a cancelled child

struct SpawnOptions {
  int stdout_fd = -1;        // descriptor to become the child's standard output, -1 to inherit
  int stderr_fd = -1;        // descriptor to become the child's standard error, -1 to inherit
  bool new_session = false;  // start the child in a session of its own (setsid)
};

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// posix_spawn of `path` with the descriptor and signal set-up every child gets: the child's
// process id, or why it could not be started (named after argv[0]).
StatusOr<pid_t> Spawn(const std::string& path, std::vector<std::string> argv,
                      const Environment& env, const SpawnOptions& options) {
  std::vector<std::string> entries = env.Entries();
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> envp = CStrings(entries);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) return PosixError(argv[0], rc);
  if (int rc = posix_spawnattr_init(&attr); rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return PosixError(argv[0], rc);
  }
  int rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0 && options.stdout_fd >= 0) {
    rc = posix_spawn_file_actions_adddup2(&actions, options.stdout_fd, 1);
  }
  if (rc == 0 && options.stderr_fd >= 0) {
    rc = posix_spawn_file_actions_adddup2(&actions, options.stderr_fd, 2);
  }
  // Whatever else is open here (sockets of the server, pipes of other children) stays here.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // This process blocks SIGTERM/SIGINT and ignores SIGPIPE; a child must not inherit either.
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, sig);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.new_session) flags |= POSIX_SPAWN_SETSID;
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &empty);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &defaults);
  if (rc == 0) rc = posix_spawnattr_setflags(&attr, flags);
  pid_t pid = -1;
  if (rc == 0) rc = posix_spawn(&pid, path.c_str(), &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return PosixError(argv[0], rc);
  return pid;
}

// Reads what is available on the non-blocking `*fd` into `out` (keeping at most `cap` bytes).
// Closes it and sets it to -1 at end of file or on an error.
void Drain(int* fd, std::string* out, size_t cap) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(*fd, buf, sizeof buf);
    if (n > 0) {
      size_t room = cap > out->size() ? cap - out->size() : 0;
      out->append(buf, std::min(room, static_cast<size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    close(*fd);
    *fd = -1;
    return;
  }
}

void Reap(pid_t pid, ProcessResult* result) {
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return;
  if (WIFEXITED(status)) {
    result->exited = true;
    result->exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result->term_signal = WTERMSIG(status);
  }
}

// The body of a detached thread that waits for the child `pid` (passed as the pointer's value).
void* ReapInBackground(void* pid) {
  int status;
  while (waitpid(static_cast<pid_t>(reinterpret_cast<intptr_t>(pid)), &status, 0) < 0 &&
         errno == EINTR) {
  }
  return nullptr;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program file for argv[0], or why there is none.
StatusOr<std::string> ProgramFor(const std::vector<std::string>& argv, const Environment& env) {
  if (argv.empty()) return PosixError("no program", EINVAL);
  if (std::optional<std::string> path = FindProgram(argv[0], env)) return std::move(*path);
  return PosixError(argv[0], ENOENT);
}

}  // namespace

std::optional<std::string> FindProgram(std::string_view name, const Environment& env) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) {
    std::string path(name);
    if (IsExecutableFile(path)) return path;
    return std::nullopt;
  }
  std::string list = env.Get("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  // Empty entries are left out: one would mean the current folder, where a background program
  // has no business.
  for (const std::string& dir : SplitSearchList(list)) {
    std::string path = dir + "/" + std::string(name);
    if (IsExecutableFile(path)) return path;
  }
  return std::nullopt;
}

StatusOr<ProcessResult> PosixProcessRunner::Run(const std::vector<std::string>& argv,
                                                const Environment& env, int cancel_fd) {
  StatusOr<std::string> path = ProgramFor(argv, env);
  if (!path.ok()) return path.status();
  // One pipe for standard output, one for standard error.
  int pipes[2][2] = {{-1, -1}, {-1, -1}};
  for (auto& p : pipes) {
    if (pipe2(p, O_CLOEXEC) != 0) {
      const Status failed = PosixError(argv[0], errno);
      for (auto& q : pipes) {
        for (int fd : q) {
          if (fd >= 0) close(fd);
        }
      }
      return failed;
    }
  }
  SpawnOptions options;
  options.stdout_fd = pipes[0][1];
  options.stderr_fd = pipes[1][1];
  const StatusOr<pid_t> spawned = Spawn(*path, argv, env, options);
  close(pipes[0][1]);
  close(pipes[1][1]);
  if (!spawned.ok()) {
    close(pipes[0][0]);
    close(pipes[1][0]);
    return spawned.status();
  }
  const pid_t pid = *spawned;
  ProcessResult result;
  // The read ends, where each one's bytes go and how many are kept.
  struct Stream {
    int fd;
    std::string* into;
    size_t cap;
  } streams[2] = {{pipes[0][0], &result.output, kMaxOutput},
                  {pipes[1][0], &result.errors, kMaxErrors}};
  for (Stream& stream : streams) {
    fcntl(stream.fd, F_SETFL, fcntl(stream.fd, F_GETFL) | O_NONBLOCK);
  }
  // The pidfd lets one poll() watch the output, the exit and the cancel descriptor together.
  // A pidfd is always close-on-exec. Without one (kernels before 5.3) the exit is noticed when the
  // output reaches end of file.
  int pid_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool watch_cancel = cancel_fd >= 0;
  bool killing = false;  // SIGTERM sent, SIGKILL due at kill_at
  std::chrono::steady_clock::time_point kill_at{};

  for (;;) {
    pollfd fds[4];
    int count = 0;
    int stream_slot[2] = {-1, -1}, pid_slot = -1, cancel_slot = -1;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0) continue;
      stream_slot[i] = count;
      fds[count++] = {streams[i].fd, POLLIN, 0};
    }
    if (pid_fd >= 0) {
      pid_slot = count;
      fds[count++] = {pid_fd, POLLIN, 0};
    }
    if (watch_cancel) {
      cancel_slot = count;
      fds[count++] = {cancel_fd, POLLIN, 0};
    }
    if (streams[0].fd < 0 && streams[1].fd < 0 && pid_fd < 0) {
      break;  // nothing left to watch: the wait below ends it
    }
    int timeout_ms = -1;
    if (killing) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          kill_at - std::chrono::steady_clock::now());
      timeout_ms = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    int ready = poll(fds, static_cast<nfds_t>(count), timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {  // the grace period after SIGTERM is over
      kill(pid, SIGKILL);
      killing = false;
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (stream_slot[i] >= 0 && fds[stream_slot[i]].revents != 0) {
        Drain(&streams[i].fd, streams[i].into, streams[i].cap);
      }
    }
    if (cancel_slot >= 0 && fds[cancel_slot].revents != 0) {
      kill(pid, SIGTERM);  // the child is not reaped yet, so the pid is still its own
      result.cancelled = true;
      watch_cancel = false;
      killing = true;
      kill_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(kKillGraceMs);
    }
    if (pid_slot >= 0 && fds[pid_slot].revents != 0) {
      // It has ended: take what is left in the pipes, but never wait for end of file, which a
      // grandchild holding a pipe could put off indefinitely.
      for (Stream& stream : streams) {
        if (stream.fd >= 0) Drain(&stream.fd, stream.into, stream.cap);
      }
      break;
    }
  }
  for (Stream& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }
  if (pid_fd >= 0) close(pid_fd);
  Reap(pid, &result);
  return result;
}

StatusOr<pid_t> PosixProcessRunner::Launch(const std::vector<std::string>& argv,
                                           const Environment& env) {
  StatusOr<std::string> path = ProgramFor(argv, env);
  if (!path.ok()) return path.status();
  SpawnOptions options;
  options.new_session = true;  // a Ctrl-C meant for the helper must not reach the browser
  const StatusOr<pid_t> spawned = Spawn(*path, argv, env, options);
  if (!spawned.ok()) return spawned;
  const pid_t pid = *spawned;
  // A detached thread reaps it. Without a thread to be had the child stays a zombie until this
  // process ends: still better than blocking the caller until the launched program quits.
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_t reaper;
  pthread_create(&reaper, &detached, ReapInBackground,
                 reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
  pthread_attr_destroy(&detached);
  return pid;
}

}  // namespace ostrel
