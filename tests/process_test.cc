// The real process runner: arguments, environment, output, exit status, descriptors and signals
// a child gets, cancellation and reaping. The programs run are the system's own (sh, env, true).
#include "platform/linux/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/linux/signal_application.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

Environment SystemPath() {
  Environment env;
  env.Set("PATH", "/usr/bin:/bin");
  return env;
}

TEST(ProcessRunnerTest, OutputAndExitStatus) {
  PosixProcessRunner runner;
  ProcessResult r =
      runner.Run({"sh", "-c", "printf 'a b\\n'; printf 'x' >&2; exit 3"}, SystemPath(), -1);
  EXPECT_EQ(r.spawn_error, 0);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.output, "a b\n");  // the two streams are kept apart
  EXPECT_EQ(r.errors, "x");
  EXPECT_FALSE(r.cancelled);
}

TEST(ProcessRunnerTest, ArgumentsAreNeverInterpretedByAShell) {
  PosixProcessRunner runner;
  ProcessResult r = runner.Run({"printf", "%s|", "$HOME", "a;b", "`id`", "*"}, SystemPath(), -1);
  EXPECT_EQ(r.output, "$HOME|a;b|`id`|*|");
}

TEST(ProcessRunnerTest, TheChildGetsExactlyTheGivenEnvironment) {
  PosixProcessRunner runner;
  Environment env = SystemPath();
  env.Set("OSTREL_X", "1 2");
  ProcessResult r = runner.Run({"env"}, env, -1);
  EXPECT_EQ(r.output, "OSTREL_X=1 2\nPATH=/usr/bin:/bin\n");
}

TEST(ProcessRunnerTest, MissingProgram) {
  PosixProcessRunner runner;
  ProcessResult r = runner.Run({"ostrel-no-such-program"}, SystemPath(), -1);
  EXPECT_EQ(r.spawn_error, ENOENT);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(runner.Launch({"ostrel-no-such-program"}, SystemPath(), nullptr), ENOENT);
  EXPECT_EQ(runner.Run({}, SystemPath(), -1).spawn_error, EINVAL);
}

TEST(ProcessRunnerTest, OutputAndErrorsAreCappedWhileTheChildRunsToTheEnd) {
  PosixProcessRunner runner;
  // Both streams far beyond their caps and beyond a pipe's buffer, written at once: a runner
  // that stopped reading one of them would leave the child blocked.
  ProcessResult r = runner.Run(
      {"sh", "-c", "head -c 200000 /dev/zero >&2 & head -c 200000 /dev/zero; wait; echo done >&2"},
      SystemPath(), -1);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output.size(), ProcessRunner::kMaxOutput);
  EXPECT_EQ(r.errors.size(), ProcessRunner::kMaxErrors);
}

TEST(ProcessRunnerTest, ChildInheritsNoDescriptorAboveStandardError) {
  // A descriptor without close-on-exec, as a careless library might leave one.
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  PosixProcessRunner runner;
  const std::string check =
      "[ -e /proc/self/fd/" + std::to_string(fd) + " ] && echo open || echo closed";
  ProcessResult r = runner.Run({"sh", "-c", check}, SystemPath(), -1);
  close(fd);
  EXPECT_EQ(r.output, "closed\n");
}

// The mask and ignored set of a child, as its /proc status shows them (hex).
struct ChildSignals {
  std::string blocked, ignored;
};
ChildSignals SignalsOfAChild(ProcessRunner& runner) {
  ProcessResult r =
      runner.Run({"grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"}, SystemPath(), -1);
  ChildSignals s;
  size_t blk = r.output.find("SigBlk:\t");
  size_t ign = r.output.find("SigIgn:\t");
  if (blk != std::string::npos) s.blocked = r.output.substr(blk + 8, 16);
  if (ign != std::string::npos) s.ignored = r.output.substr(ign + 8, 16);
  return s;
}

TEST(ProcessRunnerTest, ChildStartsWithNoBlockedSignalsAndSigpipeDefault) {
  // What the helper's main thread has: termination signals blocked, SIGPIPE ignored.
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  struct sigaction ignore {
  }, old_pipe{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);

  PosixProcessRunner runner;
  ChildSignals s = SignalsOfAChild(runner);

  sigaction(SIGPIPE, &old_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  EXPECT_EQ(s.blocked, "0000000000000000");
  ASSERT_EQ(s.ignored.size(), 16u);
  const unsigned long long ignored = std::stoull(s.ignored, nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << s.ignored;
}

TEST(ProcessRunnerTest, CancelEndsTheChild) {
  int cancel[2];
  ASSERT_EQ(pipe2(cancel, O_CLOEXEC), 0);
  PosixProcessRunner runner;
  ProcessResult r;
  std::thread waiter([&] { r = runner.Run({"sleep", "60"}, SystemPath(), cancel[0]); });
  ASSERT_EQ(write(cancel[1], "x", 1), 1);
  waiter.join();
  close(cancel[0]);
  close(cancel[1]);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.term_signal, SIGTERM);
}

TEST(ProcessRunnerTest, CancelKillsAChildThatIgnoresSigterm) {
  TempDir dir;
  const std::string ready = dir.path() + "/ready";
  int cancel[2];
  ASSERT_EQ(pipe2(cancel, O_CLOEXEC), 0);
  PosixProcessRunner runner;
  ProcessResult r;
  // The shell ignores SIGTERM and so does its sleep, which keeps the output pipe open after the
  // shell is killed: Run must not wait for that.
  std::thread waiter([&] {
    r = runner.Run({"sh", "-c", "trap '' TERM; echo up; : > '" + ready + "'; sleep 5; echo late"},
                   SystemPath(), cancel[0]);
  });
  // Cancel only once SIGTERM is ignored (bounded wait for the shell to get there).
  for (int i = 0; i < 1000 && access(ready.c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(write(cancel[1], "x", 1), 1);
  waiter.join();
  close(cancel[0]);
  close(cancel[1]);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.term_signal, SIGKILL);
  EXPECT_EQ(r.output, "up\n");
}

TEST(ProcessRunnerTest, RunDoesNotWaitForAGrandchildHoldingTheOutput) {
  PosixProcessRunner runner;
  ProcessResult r = runner.Run({"sh", "-c", "sleep 30 & echo $!"}, SystemPath(), -1);
  ASSERT_TRUE(r.exited);
  const pid_t grandchild = static_cast<pid_t>(std::stol(r.output));
  // Run returned although the grandchild still runs and holds the pipe.
  EXPECT_EQ(kill(grandchild, 0), 0);
  kill(grandchild, SIGKILL);
}

TEST(ProcessRunnerTest, LaunchedChildIsReaped) {
  PosixProcessRunner runner;
  pid_t pid = -1;
  ASSERT_EQ(runner.Launch({"true"}, SystemPath(), &pid), 0);
  ASSERT_GT(pid, 0);
  // A zombie still answers kill(pid, 0); only a reaped child is gone. Bounded wait.
  bool gone = false;
  for (int i = 0; i < 1000 && !gone; ++i) {
    gone = kill(pid, 0) != 0 && errno == ESRCH;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone);
}

TEST(FindProgramTest, LooksUpPathEntriesInOrder) {
  TempDir dir;
  dir.Write("a/tool", "#!/bin/sh\n");
  dir.Write("b/tool", "#!/bin/sh\n");
  dir.Write("a/plain", "not executable");
  dir.MakeDir("a/folder");
  chmod((dir.path() + "/a/tool").c_str(), 0755);
  chmod((dir.path() + "/b/tool").c_str(), 0755);
  chmod((dir.path() + "/a/plain").c_str(), 0644);
  chmod((dir.path() + "/a/folder").c_str(), 0755);
  Environment env;
  env.Set("PATH", ":relative:" + dir.path() + "/a:" + dir.path() + "/b");
  EXPECT_EQ(FindProgram("tool", env), dir.path() + "/a/tool");
  EXPECT_EQ(FindProgram("folder", env), std::nullopt);
  EXPECT_EQ(FindProgram("missing", env), std::nullopt);
  EXPECT_EQ(FindProgram("", env), std::nullopt);
  EXPECT_EQ(FindProgram(dir.path() + "/b/tool", env), dir.path() + "/b/tool");
  EXPECT_EQ(FindProgram(dir.path() + "/a/folder", env), std::nullopt);
  // Root may execute anything with an x bit; a file with none is never a program.
  EXPECT_EQ(FindProgram("plain", env), std::nullopt);
}

TEST(FileLimitTest, SoftLimitIsRaisedToTheHardLimit) {
  rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  rlim_t now = RaiseFileLimit();
  rlimit after;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
  EXPECT_EQ(now, after.rlim_cur);
  EXPECT_EQ(after.rlim_cur, after.rlim_max);
  EXPECT_GE(after.rlim_cur, before.rlim_cur);
}

}  // namespace
}  // namespace ostrel
