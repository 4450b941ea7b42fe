// login_item.h: the helper's own registration as a login item: the service through which the
// operating system keeps it (on Linux desktops the XDG autostart entry, on macOS the main
// bundle's login-item service), and HelperLoginItem, which switches and reads it for the
// server.
//
// Neither keeps state of its own between calls; the registration lives with the system. Every
// operation may run on many server threads at once, with no ordering between them, so a
// service must be safe for that. The product makes one service at start (NewPlatform in
// platform/platform.h) and lends it to the server for the rest of the process.
#ifndef OSTREL_PLATFORM_LOGIN_ITEM_H_
#define OSTREL_PLATFORM_LOGIN_ITEM_H_

#include "platform/log_sink.h"
#include "platform/status.h"

namespace ostrel {

// The status of the registration. Only kEnabled counts as on.
enum class LoginItemStatus : int {
  kNotRegistered = 0,     // there is no registration
  kEnabled = 1,           // registered, and the system will start the helper at login
  kRequiresApproval = 2,  // registered, but switched off by the user
  kNotFound = 3,          // something is in the registration's place that is not usable as
                          // the helper's: unreadable, malformed, or for another program
};

class LoginItemService {
 public:
  virtual ~LoginItemService() = default;
  // Registers the helper, also when it is registered already. Returns when the change has
  // completed; a failure carries the path or object and the system's reason.
  virtual Status Register() = 0;
  // Unregisters the helper; a failure (also: nothing to unregister) carries the reason.
  virtual Status Unregister() = 0;
  // The current status. Never fails: what cannot be read counts as kNotFound.
  virtual LoginItemStatus GetStatus() = 0;
};

// The helper's login item: no instances and no state, over a service that is lent to it.
class HelperLoginItem {
 public:
  // The helper's identifier: the main application's, plus ".SensorHelper".
  static constexpr char kHelperID[] = "com.ostrel.Ostrel.SensorHelper";

  HelperLoginItem() = delete;

  // Registers (true) or unregisters (false) the helper with `service`, whatever its status is;
  // a refusal is written to `log` as one line and not reported otherwise.
  static void set(LoginItemService& service, LogSink& log, bool enable);
  // True exactly when `service` reports the status enabled.
  static bool isEnabled(LoginItemService& service);
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LOGIN_ITEM_H_
