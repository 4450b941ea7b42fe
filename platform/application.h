// application.h: the process's application object and its main-thread event loop.
//
// The helper has no windows of its own, so its event loop has little to do: once started it
// tells the delegate that launching has finished (on the main thread), then runs until the
// process is asked to end, and returns so the process can exit with status 0. The object is
// made first, on the main thread, before any other thread exists (NewPlatform in
// platform/platform.h), and lives until the process ends.
#ifndef OSTREL_PLATFORM_APPLICATION_H_
#define OSTREL_PLATFORM_APPLICATION_H_

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

  virtual ~Application() = default;

  // The delegate run() reports to; borrowed, must outlive run().
  virtual void setDelegate(Delegate* delegate) = 0;

  // Calls the delegate's applicationDidFinishLaunching once, then runs the event loop until
  // the process is asked to end, and returns.
  virtual void run() = 0;
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_APPLICATION_H_
