// fans.h: SMC key access and the fan enumeration behind ostrel_read_fans, over any SMC
// transport (the machine's in the product, a fake in tests).
//
// Plain functions: they keep nothing between calls, write only the caller's records and values,
// and open and close their own connection each time, so any number may run at once as long as
// each uses a transport object of its own.
#ifndef OSTREL_SENSORS_FANS_H_
#define OSTREL_SENSORS_FANS_H_

#include <stdint.h>

#include "platform/smc_transport.h"
#include "sensors/ostrel_sensors.h"

namespace ostrel {

// An open user-client connection: the transport that opened it and the handle it gave.
struct SmcConnection {
  SmcTransport* transport;     // borrowed; must outlive the connection
  SmcConnectionHandle handle;  // as Open delivered it
};

// Fan keys have one digit for the fan number ("F9Ac"); "F10Ac" would be cut to "F10A", and
// "F10Mn" and "F10Mx" would both become "F10M". So at most fans 0 to 9 are reported, whatever
// the capacity: a record for fan 10 could only hold the wrong key's value or zeros that look
// like a stopped fan.
constexpr int32_t kMaxKeyedFans = 10;

// Reads the SMC key named by the first four characters of `key` (fewer when it ends sooner)
// over `connection` and decodes its value: a key-information call, then a read call with the
// data size it gave, both with structure method 2 into one output record. Returns 1 after
// storing the value into *out; returns 0 and leaves *out untouched when either call fails or
// the key's type is not "flt ", "fpe2", "ui8 " or "ui16".
int smcReadFloat(SmcConnection connection, const char* key, float* out);

// ostrel_read_fans over `smc`: finds "AppleSMC", opens connection type 0, reads "FNum", then
// F<n>Ac, F<n>Mn and F<n>Mx of fans 0 to min(FNum, capacity, kMaxKeyedFans) - 1 into out[n].
// A speed that can't be read is 0.0 and the fan still counts. Returns the count written, 0 when
// the service, the connection or "FNum" fails, FNum < 1, or capacity < 1 (or out is null). The
// service is released right after the open, and every successful open is closed before return.
int32_t ReadFans(SmcTransport& smc, OstrelFan* out, int32_t capacity);

}  // namespace ostrel

#endif  // OSTREL_SENSORS_FANS_H_
