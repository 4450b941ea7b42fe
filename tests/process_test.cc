// The process runner: what a child gets (arguments, environment, descriptors, signals), what
// comes back, cancellation and reaping; finding programs; descriptors and their limit.
#include "platform/linux/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "platform/linux/signal_application.h"
#include "platform/open_files.h"
#include "server/descriptor_budget.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

const Environment kPath = testing::Env("PATH=/usr/bin:/bin");

TEST(ProcessRunnerTest, WhatTheChildGetsAndGives) {
  // A descriptor without close-on-exec, as a careless library might leave one, and what the
  // helper's main thread has: termination signals blocked, SIGPIPE ignored. The child gets
  // none of them.
  const int fd = open("/dev/null", O_RDONLY);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  const sighandler_t old_pipe = signal(SIGPIPE, SIG_IGN);
  PosixProcessRunner runner;
  const ProcessResult r = *runner.Run(
      {"sh", "-c",
       "printf '%s|' \"$@\"; [ -e /proc/self/fd/" + std::to_string(fd) +
           " ] && echo open || echo closed; grep SigBlk /proc/self/status; echo $(( 0x$(grep "
           "SigIgn /proc/self/status | cut -f2) & 0x1000 )); exit 3",
       "sh", "$HOME", "a;b", "`id`", "*"},
      kPath, -1);
  signal(SIGPIPE, old_pipe);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  close(fd);
  EXPECT_TRUE(r.exited && r.exit_status == 3 && !r.cancelled);
  EXPECT_EQ(r.output, "$HOME|a;b|`id`|*|closed\nSigBlk:\t0000000000000000\n0\n");
  EXPECT_EQ(runner.Run({"env"}, testing::Env("PATH=/bin A=1"), -1)->output, "A=1\nPATH=/bin\n");
  const std::string missing = "ostrel-no-such-program: No such file or directory";
  EXPECT_EQ(runner.Run({"ostrel-no-such-program"}, kPath, -1).status().message(), missing);
  EXPECT_EQ(runner.Launch({"ostrel-no-such-program"}, kPath).status().message(), missing);
  const std::string none = "no program: Invalid argument";
  EXPECT_EQ(
      runner.Run({}, kPath, -1).status().message() + runner.Launch({}, kPath).status().message(),
      none + none);
  // Both streams far beyond their caps at once: a runner that stopped reading one of them
  // would leave the child blocked.
  const ProcessResult big = *runner.Run(
      {"sh", "-c", "head -c 200000 /dev/zero >&2 & head -c 200000 /dev/zero; wait"}, kPath, -1);
  EXPECT_TRUE(big.output.size() == ProcessRunner::kMaxOutput &&
              big.errors.size() == ProcessRunner::kMaxErrors);
}

TEST(ProcessRunnerTest, CancelTermThenKillAndNoWaitForGrandchildren) {
  testing::TempDir dir;
  const std::string ready = dir.path() + "/ready";
  // The second ignores SIGTERM, and so does its sleep, which keeps the pipe open.
  for (const auto& [script, signal] :
       {std::pair{"echo up; : > " + ready + "; exec sleep 60", SIGTERM},
        {"trap '' TERM; echo up; : > " + ready + "; sleep 5; echo late", SIGKILL}}) {
    unlink(ready.c_str());
    int cancel[2];
    ASSERT_EQ(pipe2(cancel, O_CLOEXEC), 0);
    ProcessResult r;
    // Captured by name: clang before 16 cannot capture a structured binding.
    std::thread waiter([&r, &cancel, command = script] {
      r = *PosixProcessRunner().Run({"sh", "-c", command}, kPath, cancel[0]);
    });
    ASSERT_TRUE(testing::WaitFor([&] { return access(ready.c_str(), F_OK) == 0; }, 20));
    ASSERT_EQ(write(cancel[1], "x", 1), 1);
    waiter.join();
    for (int end : cancel) close(end);
    EXPECT_TRUE(r.cancelled && !r.exited && r.term_signal == signal && r.output == "up\n");
  }
  const ProcessResult r = *PosixProcessRunner().Run({"sh", "-c", "sleep 30 & echo $!"}, kPath, -1);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(kill(std::stoi(r.output), SIGKILL), 0) << "still running, holding the pipe";
  // A launched child is reaped: a zombie would still answer kill(pid, 0).
  const StatusOr<pid_t> launched = PosixProcessRunner().Launch({"true"}, kPath);
  ASSERT_TRUE(launched.ok());
  const pid_t pid = *launched;
  EXPECT_TRUE(testing::WaitFor([pid] { return kill(pid, 0) != 0 && errno == ESRCH; }, 10));
}

// Finding programs on PATH; the open-file limit raised to the hard one; how many more
// descriptors this process may open, counted and probed, every probe giving back what it took;
// the budget's checks at accepting and reading.
TEST(ProcessRunnerTest, FindProgramAndFileLimit) {
  testing::TempDir dir;
  dir.WriteTree("a/tool=\nb/tool=\na/plain=\na/folder/x=");
  for (const char* file : {"/a/tool", "/b/tool", "/a/folder"})
    chmod((dir.path() + file).c_str(), 0755);
  const Environment env = testing::Env("PATH=:relative:" + dir.path() + "/a:" + dir.path() + "/b");
  EXPECT_EQ(FindProgram("tool", env), dir.path() + "/a/tool");
  EXPECT_EQ(FindProgram(dir.path() + "/b/tool", env), dir.path() + "/b/tool");
  for (const std::string name : {"folder", "plain", "missing", "", "/a/tool"})
    EXPECT_EQ(FindProgram(name, env), std::nullopt) << name;
  EXPECT_EQ(FindProgram("sh", Environment()), "/usr/bin/sh");
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max / 2;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(DescriptorBudget::RaiseLimit(), limit.rlim_max);
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
  const size_t open_now = testing::OpenFileCount();
  limit.rlim_cur = open_now + 20;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(FreeDescriptorCount(), 20);
  EXPECT_TRUE(CanOpenDescriptors(0) && CanOpenDescriptors(20) && !CanOpenDescriptors(40));
  // The budget: a connection is accepted only above the reserve; a reading goes ahead while its
  // 8 descriptors can be opened.
  for (const auto& [spare, accept, read] :
       {std::tuple{4, false, false}, {20, false, true}, {33, true, true}}) {
    limit.rlim_cur = open_now + spare;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    DescriptorBudget budget;
    EXPECT_EQ(budget.RoomToAccept(), accept) << spare;
    EXPECT_EQ(budget.RoomToRead(), read) << spare;
    budget.Accepted();
    EXPECT_EQ(budget.Closed(), accept) << spare;
  }
  EXPECT_EQ(testing::OpenFileCount(), open_now);
  limit.rlim_cur = open_now + 100;  // at most 64 more are tried: beyond that, enough
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_TRUE(CanOpenDescriptors(1000));
  // A process started without a standard descriptor gets /dev/null there.
  const int saved = dup(0);
  close(0);
  OpenMissingStandardDescriptors();
  EXPECT_NE(fcntl(0, F_GETFD), -1);
  dup2(saved, 0);
  close(saved);
}

// The loop tells its delegate once that launching is done, then ends on a termination signal.
TEST(SignalApplicationTest, RunsUntilATerminationSignal) {
  struct RaiseOnLaunch : Application::Delegate {
    int launches = 0;
    void applicationDidFinishLaunching() override {
      ++launches;
      raise(SIGTERM);
    }
  } delegate;
  SignalApplication app;
  app.setDelegate(&delegate);
  app.run();
  EXPECT_EQ(delegate.launches, 1);
}

}  // namespace
}  // namespace ostrel
