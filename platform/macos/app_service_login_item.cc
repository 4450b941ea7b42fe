// app_service_login_item.cc: SMAppService's register, unregister and status.
#include "platform/macos/app_service_login_item.h"

namespace ostrel::macos {
namespace {

// The highest SMAppService status this system knows (not found).
constexpr NSInteger kHighestKnownStatus = static_cast<NSInteger>(LoginItemStatus::kNotFound);

}  // namespace

AppServiceLoginItem::AppServiceLoginItem(const ObjcRuntime& runtime, MacLibraries& libraries)
    : runtime_(runtime),
      // The class exists in the runtime once the framework is loaded.
      service_class_(libraries.service_management.Handle() != nullptr
                         ? runtime.GetClass("SMAppService")
                         : nullptr),
      main_app_service_(runtime.Selector("mainAppService")),
      register_(runtime.Selector("registerAndReturnError:")),
      unregister_(runtime.Selector("unregisterAndReturnError:")),
      status_(runtime.Selector("status")),
      description_(runtime.Selector("description")) {}

Status AppServiceLoginItem::Register() { return Change(register_); }

Status AppServiceLoginItem::Unregister() { return Change(unregister_); }

Status AppServiceLoginItem::Change(SEL change) {
  if (service_class_ == nullptr) return Status::Error("SMAppService is not available");
  ObjcRuntime::AutoreleasePool pool(runtime_);
  id service = runtime_.send_id(service_class_, main_app_service_);
  if (service == nullptr) return Status::Error("SMAppService.mainAppService is not available");
  id error = nullptr;
  if (runtime_.send_bool_error(service, change, &error)) return Status::Ok();
  // The description is copied out before the pool that holds the error goes.
  return Status::Error(error != nullptr ? runtime_.Text(runtime_.send_id(error, description_))
                                        : std::string());
}

LoginItemStatus AppServiceLoginItem::GetStatus() {
  if (service_class_ == nullptr) return LoginItemStatus::kNotFound;
  ObjcRuntime::AutoreleasePool pool(runtime_);
  id service = runtime_.send_id(service_class_, main_app_service_);
  if (service == nullptr) return LoginItemStatus::kNotFound;
  const NSInteger status = runtime_.send_long(service, status_);
  return status >= 0 && status <= kHighestKnownStatus ? static_cast<LoginItemStatus>(status)
                                                      : LoginItemStatus::kNotFound;
}

}  // namespace ostrel::macos
