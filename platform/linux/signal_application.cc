// signal_application.cc: signal set-up and the wait for a termination signal.
#include "platform/linux/signal_application.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace ostrel {
namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

// Two arenas: the network thread and the reading thread rarely allocate at the same moment,
// and every further arena would keep its own freed memory.
constexpr int kMallocArenas = 2;

SignalApplication::SignalApplication() {
  OpenMissingStandardDescriptors();
  mallopt(M_ARENA_MAX, kMallocArenas);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC);
}

SignalApplication::~SignalApplication() {
  if (signal_fd_ >= 0) close(signal_fd_);
}

void SignalApplication::run() {
  if (delegate_ != nullptr) delegate_->applicationDidFinishLaunching();
  if (signal_fd_ >= 0) {
    for (;;) {
      signalfd_siginfo info;
      ssize_t n = read(signal_fd_, &info, sizeof info);
      if (n == static_cast<ssize_t>(sizeof info)) return;
      if (n < 0 && errno != EINTR) break;  // fall back to sigwait below
    }
  }
  sigset_t set = TerminationSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0) return;
  }
}

void OpenMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is `fd` itself: the ones below are open by now. Inherited by the
    // programs the helper starts, as standard descriptors are.
    int opened;
    do {
      opened = open("/dev/null", O_RDWR | O_NOCTTY);
    } while (opened < 0 && errno == EINTR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

}  // namespace ostrel
