// helper_login_item.h: the helper's own registration as a login item.
//
// HelperLoginItem has no instances and no state; the registration lives with the desktop's
// login-item service (the XDG autostart entry
// $XDG_CONFIG_HOME/autostart/com.ostrel.Ostrel.SensorHelper.desktop). `set` registers or
// unregisters, whatever the current status is, and logs a refused change; the state is read
// back with `isEnabled`. Both run on the server's worker threads, possibly several at once,
// and take no lock: the service itself is safe for that.
#ifndef OSTREL_APP_HELPER_LOGIN_ITEM_H_
#define OSTREL_APP_HELPER_LOGIN_ITEM_H_

#include "platform/autostart.h"
#include "platform/system_log.h"
#include "server/login_item_control.h"

namespace ostrel {

class HelperLoginItem {
 public:
  // The helper's identifier: the main application's, plus ".SensorHelper". Names the entry.
  static constexpr char kHelperID[] = "com.ostrel.Ostrel.SensorHelper";

  HelperLoginItem() = delete;

  // Registers (true) or unregisters (false) the helper with the product's service; a failure
  // is logged to the system log and not reported otherwise.
  static void set(bool enable);
  // True exactly when the product's service reports the status enabled.
  static bool isEnabled();

  // The same over a given service and log.
  static void set(bool enable, LoginItemService& service, LogSink& log);
  static bool isEnabled(LoginItemService& service);

  // The product's service: the autostart entry for this executable and this user, both looked
  // up at each call. Lives until the process ends.
  static LoginItemService& productService();
};

// The server's view of the login item, over HelperLoginItem.
class HelperLoginItemControl final : public LoginItemControl {
 public:
  // The product's service and the system log.
  HelperLoginItemControl();
  // A given service and log (borrowed; they must outlive this object).
  HelperLoginItemControl(LoginItemService& service, LogSink& log);

  void Set(bool enable) override;
  bool IsEnabled() override;

 private:
  LoginItemService& service_;  // borrowed
  LogSink& log_;               // borrowed
};

}  // namespace ostrel

#endif  // OSTREL_APP_HELPER_LOGIN_ITEM_H_
