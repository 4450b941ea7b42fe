// smc_transport.h: the operations through which the fan reader talks to a system management
// controller (SMC): find the controller's service, open a user-client connection to it,
// exchange one request record for one response record, close.
//
// The fan reader holds only a reference; whoever creates a transport owns it. A transport
// object is used by one thread at a time: the fan reader makes its own for each call, so
// concurrent reads never share one. Handles are plain non-zero numbers that mean something only
// to the transport that issued them; 0 is never a valid handle.
#ifndef OSTREL_PLATFORM_SMC_TRANSPORT_H_
#define OSTREL_PLATFORM_SMC_TRANSPORT_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "platform/smc_record.h"

namespace ostrel {

using SmcServiceHandle = uint32_t;     // a found service; 0 = none
using SmcConnectionHandle = uint32_t;  // an open connection; 0 = none

// Results of Open and CallStructMethod: 0 is success, anything else a failure. The callers
// only tell zero from non-zero; the distinct values help a reader of test output.
constexpr int32_t kSmcSuccess = 0;
constexpr int32_t kSmcBadArgument = 1;  // unknown handle, selector, command or sizes
constexpr int32_t kSmcNotFound = 2;     // no such key, or no such fan
constexpr int32_t kSmcNotReadable = 3;  // the key exists but its value can't be read now
constexpr int32_t kSmcNotOpen = 4;      // the service can't be opened

// The structure method that exchanges an SmcParamRecord.
constexpr uint32_t kSmcStructSelector = 2;
// The connection type the fan reader opens.
constexpr uint32_t kSmcConnectionType = 0;

class SmcTransport {
 public:
  virtual ~SmcTransport() = default;

  // Returns the first service whose class matches `class_name` ("AppleSMC"), or 0 when none
  // does. A non-zero result must be given back with ReleaseService exactly once.
  virtual SmcServiceHandle FindService(const char* class_name) = 0;

  // Opens a user-client connection of `type` to `service` for the calling process. Returns
  // kSmcSuccess and stores a non-zero handle into *connection, which must then be closed with
  // Close exactly once; any other result leaves *connection as it was and needs no Close.
  // Does not consume `service`: it still has to be released.
  virtual int32_t Open(SmcServiceHandle service, uint32_t type,
                       SmcConnectionHandle* connection) = 0;

  // Gives back a service found by FindService. Connections opened from it stay usable.
  virtual void ReleaseService(SmcServiceHandle service) = 0;

  // Calls structure method `selector` of `connection` with the `input_size` bytes of `input`.
  // `*output_size` is the room in `output` on entry. On kSmcSuccess, `output` holds the
  // response and *output_size its size; on any other result `output` and *output_size are
  // unspecified (a transport may or may not have written them). Never reads past input_size
  // bytes of `input` nor writes past *output_size bytes of `output`.
  virtual int32_t CallStructMethod(SmcConnectionHandle connection, uint32_t selector,
                                   const SmcParamRecord* input, size_t input_size,
                                   SmcParamRecord* output, size_t* output_size) = 0;

  // Closes a connection opened by Open. The handle is invalid afterwards.
  virtual void Close(SmcConnectionHandle connection) = 0;
};

// A new instance of the machine's own SMC transport. Each operating system's folder defines it
// (on Linux: the hwmon fans under "/sys"). The fan reader makes one per reading.
std::unique_ptr<SmcTransport> NewMachineSmcTransport();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_SMC_TRANSPORT_H_
