// child_process.cc: posix_spawn and waitpid for test children.
#include "tests/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace ostrel::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env,
                           const std::string& output_path, int fd3) {
  std::vector<std::string> args = argv;
  std::vector<std::string> entries = env.Entries();
  std::vector<char*> argp, envp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (std::string& e : entries) envp.push_back(e.data());
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
  int rc = posix_spawn(&pid_, argv[0].c_str(), &actions, &attr, argp.data(), envp.data());
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
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t got = waitpid(pid_, &status, WNOHANG);
  if (got == pid_) {
    status_ = status;
    pid_ = -1;
    return false;
  }
  return got == 0;
}

std::optional<int> ChildProcess::Stop(int sig, int seconds) {
  if (pid_ > 0) kill(pid_, sig);
  WaitFor([this] { return !Running(); }, seconds);
  if (pid_ > 0) return std::nullopt;
  return status_;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace ostrel::testing
