// mac_platform.h: the macOS platform objects of the application shell, made and wired in one
// place: the Objective-C runtime table they share, the NSApplication, NSAlert alerts,
// NSWorkspace, NSLog and SMAppService.
//
// The product makes one, through NewPlatform (macos_factories.cc), over the system's libraries;
// tests make theirs over a resolver of fakes. The helper's identity is not needed here: the
// login item is the one of the main bundle, whose identifier the bundle's Info.plist gives.
//
// Ownership: the platform owns everything it hands out; borrowers must not outlive it. Threads:
// made on the main thread before any other thread exists; see each object for its own rules.
#ifndef OSTREL_PLATFORM_MACOS_MAC_PLATFORM_H_
#define OSTREL_PLATFORM_MACOS_MAC_PLATFORM_H_

#include "platform/macos/app_service_login_item.h"
#include "platform/macos/appkit_alert.h"
#include "platform/macos/appkit_application.h"
#include "platform/macos/appkit_workspace.h"
#include "platform/macos/nslog_sink.h"
#include "platform/macos/objc_runtime.h"
#include "platform/platform.h"

namespace ostrel::macos {

class MacPlatform final : public Platform {
 public:
  // `libraries` is borrowed and must outlive the platform.
  explicit MacPlatform(MacLibraries& libraries);

  Application& application() override { return application_; }
  AlertPresenter& alerts() override { return alerts_; }
  Workspace& workspace() override { return workspace_; }
  LogSink& log() override { return log_; }
  LoginItemService& loginItem() override { return login_item_; }

 private:
  // In the order they depend on each other; each borrows only from those above it.
  ObjcRuntime runtime_;             // loads the runtime and Foundation
  AppKitApplication application_;   // loads AppKit: the alerts and workspace need its classes
  AppKitAlertPresenter alerts_;     // NSAlert
  AppKitWorkspace workspace_;       // NSWorkspace
  NSLogSink log_;                   // NSLog
  AppServiceLoginItem login_item_;  // SMAppService.mainAppService
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_MAC_PLATFORM_H_
