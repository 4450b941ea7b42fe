// app_service_login_item.h: the helper's login item on macOS: SMAppService.mainAppService, the
// login-item service of the helper's own main bundle (ServiceManagement).
//
// Register and Unregister call registerAndReturnError: and unregisterAndReturnError: whatever
// the current status is; a refusal carries the error's description as the framework renders
// it. The status is the service's own value, whose numbers are LoginItemStatus's (0 not
// registered, 1 enabled, 2 requires approval, 3 not found); any other value counts as not
// found.
//
// Ownership: the service and the error are the framework's, borrowed within each call's
// autorelease pool. Threads: any number at once (the server's workers); the service object is
// fetched anew in every call and nothing is kept between calls.
#ifndef OSTREL_PLATFORM_MACOS_APP_SERVICE_LOGIN_ITEM_H_
#define OSTREL_PLATFORM_MACOS_APP_SERVICE_LOGIN_ITEM_H_

#include "platform/login_item.h"
#include "platform/macos/objc_runtime.h"

namespace ostrel::macos {

class AppServiceLoginItem final : public LoginItemService {
 public:
  // Loads ServiceManagement and looks up the class and selectors now; both arguments are
  // borrowed.
  AppServiceLoginItem(const ObjcRuntime& runtime, MacLibraries& libraries);

  Status Register() override;
  Status Unregister() override;
  LoginItemStatus GetStatus() override;

 private:
  // Sends `change` (one of the two) with an error out-parameter to the main app service.
  Status Change(SEL change);

  const ObjcRuntime& runtime_;  // borrowed
  Class service_class_;         // SMAppService, or null without ServiceManagement
  SEL main_app_service_, register_, unregister_, status_, description_;
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_APP_SERVICE_LOGIN_ITEM_H_
