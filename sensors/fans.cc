// fans.cc: the fan reader. Two structure calls per key, one connection per reading, nothing
// allocated or kept by the reader itself.
#include "sensors/fans.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

namespace ostrel {
namespace {

constexpr char kSmcServiceClass[] = "AppleSMC";

// One structure call. The output size starts as a whole record every time: a call may shorten
// it to the response it wrote, and the next call must again offer the whole record.
int32_t Exchange(SmcConnection connection, const SmcParamRecord& request,
                 SmcParamRecord* response) {
  size_t output_size = sizeof *response;
  return connection.transport->CallStructMethod(connection.handle, kSmcStructSelector, &request,
                                                sizeof request, response, &output_size);
}

// "FNum" as a fan count: truncated toward zero, NaN as 0, clamped to the int32_t range.
int32_t FanCount(float number) {
  if (std::isnan(number)) return 0;
  if (number >= 2147483648.0f) return INT32_MAX;
  if (number <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(number);  // conversion truncates toward zero
}

}  // namespace

int smcReadFloat(SmcConnection connection, const char* key, float* out) {
  const uint32_t code = SmcCode(key);
  SmcParamRecord response{};  // zeroed once; the read call gets it as the first call left it

  if (Exchange(connection, SmcKeyInfoRequest(code), &response) != kSmcSuccess) return 0;
  const uint32_t data_size = LoadSmcField(response, kSmcDataSizeOffset);
  const uint32_t type = LoadSmcField(response, kSmcTypeOffset);

  if (Exchange(connection, SmcReadRequest(code, data_size), &response) != kSmcSuccess) return 0;
  const std::optional<float> value = DecodeSmcValue(response, type);
  if (!value) return 0;
  *out = *value;
  return 1;
}

int32_t ReadFans(SmcTransport& smc, OstrelFan* out, int32_t capacity) {
  const SmcServiceHandle service = smc.FindService(kSmcServiceClass);
  if (service == 0) return 0;
  SmcConnectionHandle handle = 0;
  const int32_t opened = smc.Open(service, kSmcConnectionType, &handle);
  smc.ReleaseService(service);
  if (opened != kSmcSuccess) return 0;
  const SmcConnection connection{&smc, handle};

  float number = 0.0f;
  if (!smcReadFloat(connection, "FNum", &number)) {
    smc.Close(handle);
    return 0;
  }
  const int32_t fan_count = FanCount(number);
  if (fan_count < 1 || capacity < 1 || out == nullptr) {
    smc.Close(handle);
    return 0;
  }

  int32_t reported = fan_count < capacity ? fan_count : capacity;
  if (reported > kMaxKeyedFans) reported = kMaxKeyedFans;
  for (int32_t n = 0; n < reported; ++n) {
    char current_key[5], min_key[5], max_key[5];
    // Keys are four characters: the buffers cut anything longer on purpose (fans stop at 9, so
    // nothing is cut in practice), which the compiler would otherwise warn about.
#pragma GCC diagnostic push
#if !defined(__clang__)  // gcc's warning; clang has none of that name and would fail on it
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
    std::snprintf(current_key, sizeof current_key, "F%dAc", n);
    std::snprintf(min_key, sizeof min_key, "F%dMn", n);
    std::snprintf(max_key, sizeof max_key, "F%dMx", n);
#pragma GCC diagnostic pop
    float current = 0.0f, minimum = 0.0f, maximum = 0.0f;
    // A key that fails leaves its 0.0: one missing speed must not hide the fan.
    smcReadFloat(connection, current_key, &current);
    smcReadFloat(connection, min_key, &minimum);
    smcReadFloat(connection, max_key, &maximum);
    out[n].index = n;
    out[n].rpm = current;
    out[n].minRPM = minimum;
    out[n].maxRPM = maximum;
  }
  smc.Close(handle);
  return reported;
}

}  // namespace ostrel

// The machine's fans, through its own SMC transport. A transport of its own per call, so
// concurrent calls share nothing.
extern "C" int32_t ostrel_read_fans(OstrelFan* out, int32_t capacity) {
  try {
    std::unique_ptr<ostrel::SmcTransport> smc = ostrel::NewMachineSmcTransport();
    return ostrel::ReadFans(*smc, out, capacity);
  } catch (const std::bad_alloc&) {
    // The one exception here, thrown before any record is written; C callers get a count.
    return 0;
  }
}
