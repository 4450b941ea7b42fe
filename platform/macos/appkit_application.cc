// appkit_application.cc: NSApplication, and a delegate class made at run time.
#include "platform/macos/appkit_application.h"

#include <signal.h>

#include <atomic>

namespace ostrel::macos {
namespace {

// The C++ delegate of the process's one application, read by the delegate class's method.
std::atomic<Application::Delegate*> g_delegate{nullptr};

// -[OstrelHelperAppDelegate applicationDidFinishLaunching:], with the notification unused.
void DidFinishLaunching(id /*self*/, SEL /*cmd*/, id /*notification*/) {
  if (Application::Delegate* delegate = g_delegate.load()) {
    delegate->applicationDidFinishLaunching();
  }
}

// What the process needs before any other thread exists: a write to a closed socket fails with
// EPIPE instead of ending the process.
void PrepareProcess() { signal(SIGPIPE, SIG_IGN); }

// The delegate class, made and registered with the runtime; null when it can't be.
Class MakeDelegateClass(const ObjcRuntime& runtime) {
  if (Class existing = runtime.GetClass(AppKitApplication::kDelegateClassName)) return existing;
  Class base = runtime.GetClass("NSObject");
  if (base == nullptr) return nullptr;
  Class made = runtime.objc_allocateClassPair(base, AppKitApplication::kDelegateClassName, 0);
  if (made == nullptr) return nullptr;
  runtime.class_addMethod(made, runtime.Selector("applicationDidFinishLaunching:"),
                          reinterpret_cast<IMP>(&DidFinishLaunching), "v@:@");
  if (Protocol* protocol = runtime.objc_getProtocol("NSApplicationDelegate")) {
    runtime.class_addProtocol(made, protocol);
  }
  runtime.objc_registerClassPair(made);
  return made;
}

}  // namespace

AppKitApplication::AppKitApplication(const ObjcRuntime& runtime, MacLibraries& libraries)
    : runtime_(runtime) {
  PrepareProcess();
  if (!runtime.complete() || libraries.appkit.Handle() == nullptr) return;
  ObjcRuntime::AutoreleasePool pool(runtime);
  Class application_class = runtime.GetClass("NSApplication");
  if (application_class == nullptr) return;
  app_ = runtime.send_id(application_class, runtime.Selector("sharedApplication"));
  delegate_class_ = MakeDelegateClass(runtime);
  set_delegate_ = runtime.Selector("setDelegate:");
  set_activation_policy_ = runtime.Selector("setActivationPolicy:");
  run_ = runtime.Selector("run");
  alloc_ = runtime.Selector("alloc");
  init_ = runtime.Selector("init");
}

AppKitApplication::~AppKitApplication() {
  if (delegate_object_ != nullptr) {
    g_delegate.store(nullptr);
    runtime_.send_void_id(app_, set_delegate_, nullptr);
    runtime_.Release(delegate_object_);
  }
}

void AppKitApplication::setDelegate(Delegate* delegate) {
  g_delegate.store(delegate);
  if (app_ == nullptr || delegate_class_ == nullptr || delegate_object_ != nullptr) return;
  ObjcRuntime::AutoreleasePool pool(runtime_);
  delegate_object_ = runtime_.send_id(runtime_.send_id(delegate_class_, alloc_), init_);
  // The application holds its delegate weakly; this object keeps it alive.
  if (delegate_object_ != nullptr) runtime_.send_void_id(app_, set_delegate_, delegate_object_);
}

void AppKitApplication::run() {
  if (app_ == nullptr || delegate_object_ == nullptr) {
    if (Application::Delegate* delegate = g_delegate.load()) {
      delegate->applicationDidFinishLaunching();
    }
    return;
  }
  {
    ObjcRuntime::AutoreleasePool pool(runtime_);
    // Its result (whether the policy changed) is not needed.
    runtime_.send_bool_long(app_, set_activation_policy_, kAccessoryActivationPolicy);
  }
  runtime_.send_void(app_, run_);
  runtime_.Release(delegate_object_);
  delegate_object_ = nullptr;
}

}  // namespace ostrel::macos
