// temps.h: the temperature reader's logic, apart from where the readings come from.
//
// ReadTemps condenses a source's (name, celsius) pairs into at most four readings: the CPU/SoC
// die average and peak, the storage average and the battery average. ostrel_read_temps (declared
// in sensors/ostrel_sensors.h) is ReadTemps over the machine's own sensors. Both keep no state
// and may run on many threads at once; the caller owns the records.
#ifndef OSTREL_SENSORS_TEMPS_H_
#define OSTREL_SENSORS_TEMPS_H_

#include <stdint.h>

#include "platform/temp_source.h"
#include "sensors/ostrel_sensors.h"

namespace ostrel {

// The bytes of a sensor name that are matched: longer names are cut to their first
// kTempNameMax - 1 bytes, so a word that only begins within the cut-off tail is not seen.
inline constexpr int kTempNameMax = 128;

// The most readings one call yields.
inline constexpr int32_t kMaxTempReadings = 4;

// Visits `source` and writes into out[0], out[1], ... the readings that apply, in this order:
// "CPU / SoC (avg)" and "CPU / SoC (peak)" (names containing "tdie"), "SSD" (names containing
// "NAND" or "SSD"), "Battery" (names containing "battery"), every test ignoring case and the
// first match winning. Only values above 0 and below 130 degrees count. Returns the number of
// records written, at most min(4, capacity); 0 when capacity <= 0, and then `out` is not
// touched (it may be null). Of each record written only the label's text, its terminating zero
// and `celsius` are written; the label's bytes after the terminator and the records from the
// returned count on are left as they were.
int32_t ReadTemps(TempSource& source, OstrelTemp* out, int32_t capacity);

}  // namespace ostrel

#endif  // OSTREL_SENSORS_TEMPS_H_
