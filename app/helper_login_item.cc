// helper_login_item.cc: register/unregister with logging of refusals.
#include "app/helper_login_item.h"

#include <string>

#include "app/launch_alert.h"

namespace ostrel {
namespace {

LogSink& ProductLog() {
  static SystemLog* log = new SystemLog();  // used until the process ends
  return *log;
}

}  // namespace

void HelperLoginItem::set(bool enable) { set(enable, productService(), ProductLog()); }

bool HelperLoginItem::isEnabled() { return isEnabled(productService()); }

void HelperLoginItem::set(bool enable, LoginItemService& service, LogSink& log) {
  std::string error;
  const bool ok = enable ? service.Register(&error) : service.Unregister(&error);
  if (ok) return;
  // One plain line; the error text goes in as data, never as a format.
  log.Write(std::string("Ostrel Sensor Helper: login item ") +
            (enable ? "register" : "unregister") + " failed: " + error);
}

bool HelperLoginItem::isEnabled(LoginItemService& service) {
  return service.Status() == LoginItemStatus::kEnabled;
}

LoginItemService& HelperLoginItem::productService() {
  static XdgAutostartService* service =
      new XdgAutostartService(kHelperID, kHelperDisplayName, CurrentAutostartPaths);
  return *service;
}

HelperLoginItemControl::HelperLoginItemControl()
    : HelperLoginItemControl(HelperLoginItem::productService(), ProductLog()) {}

HelperLoginItemControl::HelperLoginItemControl(LoginItemService& service, LogSink& log)
    : service_(service), log_(log) {}

void HelperLoginItemControl::Set(bool enable) { HelperLoginItem::set(enable, service_, log_); }

bool HelperLoginItemControl::IsEnabled() { return HelperLoginItem::isEnabled(service_); }

}  // namespace ostrel
