// application.h: the process's application object and its main-thread event loop.
//
// The helper has no windows of its own, so its event loop has little to do: once started it
// tells the delegate that launching has finished (on the main thread), then waits until the
// process is asked to end with SIGTERM or SIGINT, and returns so the process can exit cleanly
// with status 0. The termination signals are blocked in every thread and taken from a signalfd
// by the loop alone; a modal wait on the main thread (the launch alert) polls the same
// descriptor so that a request to end is not held up by an alert nobody answers.
#ifndef OSTREL_PLATFORM_APPLICATION_H_
#define OSTREL_PLATFORM_APPLICATION_H_

#include <sys/resource.h>

namespace ostrel {

class Application {
 public:
  // Told about the application's life; called on the main thread.
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // Called once, by run(), when launching has finished.
    virtual void applicationDidFinishLaunching() = 0;
  };

  // The one application object of the process, created by the first call. That call must be
  // made on the main thread before any other thread exists: it blocks SIGTERM and SIGINT (every
  // later thread inherits the block, so only the loop receives them), ignores SIGPIPE (a write
  // to a closed socket or pipe then fails with EPIPE) and raises the descriptor limit.
  static Application& shared();

  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The delegate run() reports to; borrowed, must outlive run().
  void setDelegate(Delegate* delegate) { delegate_ = delegate; }

  // Calls the delegate's applicationDidFinishLaunching once, then waits until SIGTERM or SIGINT
  // arrives and returns that signal's number.
  int run();

  // Readable while SIGTERM or SIGINT is pending; only poll it, never read it.
  int terminationFd() const { return signal_fd_; }

 private:
  Application();

  int signal_fd_ = -1;            // signalfd for SIGTERM and SIGINT, or -1 (then sigwait)
  Delegate* delegate_ = nullptr;  // borrowed
};

// Raises the soft limit on open descriptors to the hard limit, so a burst of connections does
// not run out of descriptors at the distribution's default of 1024. Returns the soft limit in
// force afterwards (the old one when it could not be raised).
rlim_t RaiseFileLimit();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_APPLICATION_H_
