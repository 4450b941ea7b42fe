// signal_application.h: the Linux application object: its event loop is the wait for a
// termination signal.
//
// Made on the main thread before any other thread exists, as the first thing the process does:
// it opens /dev/null on standard input, output and error where they are closed (so that no
// socket or event descriptor takes their numbers and receives what is meant for them), blocks
// SIGTERM and SIGINT (every later thread inherits the block, so only the loop receives them),
// ignores SIGPIPE (a write to a closed socket or pipe then fails with EPIPE) and SIGHUP (a
// closed terminal must not end a background program) and bounds glibc's allocator to two
// arenas (each thread would otherwise get one that keeps its freed memory). The signals are
// taken from a signalfd by the loop alone; a modal wait on the main thread (the launch
// alert) polls the same descriptor so that a request to end is not held up by an alert nobody
// answers. Owned by the Linux platform object for the life of the process.
#ifndef OSTREL_PLATFORM_LINUX_SIGNAL_APPLICATION_H_
#define OSTREL_PLATFORM_LINUX_SIGNAL_APPLICATION_H_

#include "platform/application.h"

namespace ostrel {

class SignalApplication final : public Application {
 public:
  SignalApplication();
  ~SignalApplication() override;
  SignalApplication(const SignalApplication&) = delete;
  SignalApplication& operator=(const SignalApplication&) = delete;

  void setDelegate(Delegate* delegate) override { delegate_ = delegate; }

  // Calls the delegate, then waits until SIGTERM or SIGINT arrives.
  void run() override;

  // Readable while SIGTERM or SIGINT is pending; only poll it, never read it.
  int terminationFd() const { return signal_fd_; }

 private:
  int signal_fd_ = -1;            // signalfd for SIGTERM and SIGINT, or -1 (then sigwait)
  Delegate* delegate_ = nullptr;  // borrowed
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed.
void OpenMissingStandardDescriptors();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_SIGNAL_APPLICATION_H_
