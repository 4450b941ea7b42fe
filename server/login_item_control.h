// login_item_control.h: what the server needs of the helper's login-item registration.
//
// The server does not know how the registration is kept; the application hands it an
// implementation. Both operations may be called from many worker threads at once, with no
// ordering between them, so implementations must be safe for that.
#ifndef OSTREL_SERVER_LOGIN_ITEM_CONTROL_H_
#define OSTREL_SERVER_LOGIN_ITEM_CONTROL_H_

namespace ostrel {

class LoginItemControl {
 public:
  virtual ~LoginItemControl() = default;

  // Registers (true) or unregisters (false) the helper as a login item. Returns when the change
  // has been attempted; a failure is logged by the implementation and not reported here.
  virtual void Set(bool enable) = 0;

  // True exactly when the helper is registered and enabled as a login item.
  virtual bool IsEnabled() = 0;
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_LOGIN_ITEM_CONTROL_H_
