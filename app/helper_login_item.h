// helper_login_item.h: switching the helper's own registration as a login item.
//
// HelperLoginItem has no instances and no state; the registration lives with the operating
// system's login-item service (platform/login_item.h), which the process makes once and lends.
// `set` registers or unregisters, whatever the current status is, and logs a refused change;
// the state is read back with `isEnabled`. Both run on the server's worker threads, possibly
// several at once, and take no lock: the service itself is safe for that.
#ifndef OSTREL_APP_HELPER_LOGIN_ITEM_H_
#define OSTREL_APP_HELPER_LOGIN_ITEM_H_

#include "platform/login_item.h"
#include "platform/system_log.h"

namespace ostrel {

class HelperLoginItem {
 public:
  // The helper's identifier: the main application's, plus ".SensorHelper".
  static constexpr char kHelperID[] = "com.ostrel.Ostrel.SensorHelper";

  HelperLoginItem() = delete;

  // Registers (true) or unregisters (false) the helper with `service`; a refusal is written to
  // `log` as one line and not reported otherwise.
  static void set(LoginItemService& service, LogSink& log, bool enable);
  // True exactly when `service` reports the status enabled.
  static bool isEnabled(LoginItemService& service);
};

}  // namespace ostrel

#endif  // OSTREL_APP_HELPER_LOGIN_ITEM_H_
