// appkit_application.h: the application object on macOS: NSApplication and its event loop.
//
// The shared NSApplication is fetched when this object is made (so it exists before anything
// else of the helper). Its delegate is an instance of a class made at run time,
// OstrelHelperAppDelegate (a subclass of NSObject adopting NSApplicationDelegate), whose one
// method, applicationDidFinishLaunching:, calls the C++ delegate. run sets the accessory
// activation policy (no Dock icon, no menu bar) and runs the event loop, which does not return
// in normal operation; if it does, the delegate object is released.
//
// Ownership: the application object is the system's; the delegate object is this object's from
// setDelegate until run returns. There is one application per process, so the C++ delegate is
// kept in one process-wide slot that the class's method reads. Threads: main thread only.
#ifndef OSTREL_PLATFORM_MACOS_APPKIT_APPLICATION_H_
#define OSTREL_PLATFORM_MACOS_APPKIT_APPLICATION_H_

#include "platform/application.h"
#include "platform/macos/objc_runtime.h"

namespace ostrel::macos {

class AppKitApplication final : public Application {
 public:
  // The activation policy of an application without Dock icon and menu bar.
  static constexpr NSInteger kAccessoryActivationPolicy = 1;
  // The delegate class's name in the runtime.
  static constexpr char kDelegateClassName[] = "OstrelHelperAppDelegate";

  // Ignores SIGPIPE, then loads AppKit, gets the shared
  // application and makes the delegate class (or finds it, when an earlier object made it).
  // `runtime` and `libraries` are borrowed. Made on the main thread before any other thread.
  AppKitApplication(const ObjcRuntime& runtime, MacLibraries& libraries);
  ~AppKitApplication() override;
  AppKitApplication(const AppKitApplication&) = delete;
  AppKitApplication& operator=(const AppKitApplication&) = delete;

  // Makes the delegate object and installs it as the application's delegate.
  void setDelegate(Delegate* delegate) override;
  // Activation policy 1, then the event loop. Without AppKit (no application object) the
  // delegate is told that launching has finished and run returns at once.
  void run() override;

 private:
  const ObjcRuntime& runtime_;      // borrowed
  id app_ = nullptr;                // NSApp, the system's; null without AppKit
  Class delegate_class_ = nullptr;  // OstrelHelperAppDelegate
  id delegate_object_ = nullptr;    // owned from setDelegate until run returns
  SEL set_delegate_ = nullptr;
  SEL set_activation_policy_ = nullptr;
  SEL run_ = nullptr;
  SEL alloc_ = nullptr;
  SEL init_ = nullptr;
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_APPKIT_APPLICATION_H_
