// apple_smc_transport.cc: the SMC transport over IOKit calls.
#include "platform/macos/apple_smc_transport.h"

namespace ostrel::macos {

AppleSmcTransport::AppleSmcTransport(MacLibraries& libraries)
    : matching_(libraries.iokit.Function<IOServiceMatchingFn>("IOServiceMatching")),
      get_matching_service_(
          libraries.iokit.Function<IOServiceGetMatchingServiceFn>("IOServiceGetMatchingService")),
      open_(libraries.iokit.Function<IOServiceOpenFn>("IOServiceOpen")),
      release_(libraries.iokit.Function<IOObjectReleaseFn>("IOObjectRelease")),
      call_struct_method_(
          libraries.iokit.Function<IOConnectCallStructMethodFn>("IOConnectCallStructMethod")),
      close_(libraries.iokit.Function<IOServiceCloseFn>("IOServiceClose")),
      main_port_(static_cast<const mach_port_t*>(libraries.iokit.Symbol("kIOMainPortDefault"))),
      task_(static_cast<const mach_port_t*>(libraries.system.Symbol("mach_task_self_"))) {
  complete_ = matching_ && get_matching_service_ && open_ && release_ && call_struct_method_ &&
              close_ && main_port_ != nullptr && task_ != nullptr;
}

SmcServiceHandle AppleSmcTransport::FindService(const char* class_name) {
  if (!complete_) return 0;
  CFMutableDictionaryRef matching = matching_(class_name);
  if (matching == nullptr) return 0;
  // The lookup consumes the dictionary: nothing is left to release here.
  return get_matching_service_(*main_port_, matching);
}

int32_t AppleSmcTransport::Open(SmcServiceHandle service, uint32_t type,
                                SmcConnectionHandle* connection) {
  io_connect_t opened = 0;
  const kern_return_t result = open_(service, *task_, type, &opened);
  if (result == 0) *connection = opened;
  return result;
}

void AppleSmcTransport::ReleaseService(SmcServiceHandle service) { release_(service); }

int32_t AppleSmcTransport::CallStructMethod(SmcConnectionHandle connection, uint32_t selector,
                                            const SmcParamRecord* input, size_t input_size,
                                            SmcParamRecord* output, size_t* output_size) {
  return call_struct_method_(connection, selector, input, input_size, output, output_size);
}

void AppleSmcTransport::Close(SmcConnectionHandle connection) { close_(connection); }

}  // namespace ostrel::macos
