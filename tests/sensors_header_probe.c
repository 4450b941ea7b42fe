/* Compiled as C: reports the record layout that a C caller of the readers sees. */
#include <stddef.h>

#include "sensors/ostrel_sensors.h"

size_t ostrel_probe_temp_size(void) { return sizeof(OstrelTemp); }
size_t ostrel_probe_temp_celsius_offset(void) { return offsetof(OstrelTemp, celsius); }
size_t ostrel_probe_fan_size(void) { return sizeof(OstrelFan); }
size_t ostrel_probe_fan_rpm_offset(void) { return offsetof(OstrelFan, rpm); }
size_t ostrel_probe_fan_min_offset(void) { return offsetof(OstrelFan, minRPM); }
size_t ostrel_probe_fan_max_offset(void) { return offsetof(OstrelFan, maxRPM); }
