// login_item.cc: HelperLoginItem: register/unregister with logging of refusals.
#include "platform/login_item.h"

#include <string>

namespace ostrel {

void HelperLoginItem::set(LoginItemService& service, LogSink& log, bool enable) {
  const Status result = enable ? service.Register() : service.Unregister();
  if (result.ok()) return;
  // One plain line; the error text goes in as data, never as a format.
  log.Write(std::string("Ostrel Sensor Helper: login item ") +
            (enable ? "register" : "unregister") + " failed: " + result.message());
}

bool HelperLoginItem::isEnabled(LoginItemService& service) {
  return service.GetStatus() == LoginItemStatus::kEnabled;
}

}  // namespace ostrel
