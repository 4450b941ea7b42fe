// apple_smc_transport.h: the SMC transport on macOS: the "AppleSMC" kernel service of IOKit and
// its user client.
//
// The service is found with IOServiceMatching and IOServiceGetMatchingService (the default main
// port), opened with IOServiceOpen for this task, given back with IOObjectRelease, and asked
// with IOConnectCallStructMethod (structure method 2, 80-byte records in and out); connections
// are closed with IOServiceClose. Handles are the kernel's own port names. The functions are
// looked up in the IOKit framework, and the task port in the system library, when the
// transport is made; when any is missing, no service is ever found.
//
// Ownership: the transport owns nothing; the caller releases what FindService returns and
// closes what Open opens, as smc_transport.h says. Threads: one transport per thread at a time
// (the fan reader makes one per reading); the kernel objects themselves may be used anywhere.
#ifndef OSTREL_PLATFORM_MACOS_APPLE_SMC_TRANSPORT_H_
#define OSTREL_PLATFORM_MACOS_APPLE_SMC_TRANSPORT_H_

#include "platform/macos/mac_api.h"
#include "platform/macos/symbol_resolver.h"
#include "platform/smc_transport.h"

namespace ostrel::macos {

class AppleSmcTransport final : public SmcTransport {
 public:
  // Looks up the IOKit functions, the default main port and the task port now.
  explicit AppleSmcTransport(MacLibraries& libraries);

  SmcServiceHandle FindService(const char* class_name) override;
  int32_t Open(SmcServiceHandle service, uint32_t type, SmcConnectionHandle* connection) override;
  void ReleaseService(SmcServiceHandle service) override;
  int32_t CallStructMethod(SmcConnectionHandle connection, uint32_t selector,
                           const SmcParamRecord* input, size_t input_size, SmcParamRecord* output,
                           size_t* output_size) override;
  void Close(SmcConnectionHandle connection) override;

 private:
  IOServiceMatchingFn matching_;
  IOServiceGetMatchingServiceFn get_matching_service_;
  IOServiceOpenFn open_;
  IOObjectReleaseFn release_;
  IOConnectCallStructMethodFn call_struct_method_;
  IOServiceCloseFn close_;
  const mach_port_t* main_port_;  // IOKit's kIOMainPortDefault
  const mach_port_t* task_;       // the system library's mach_task_self_, this task's port
  bool complete_;                 // everything above was found
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_APPLE_SMC_TRANSPORT_H_
