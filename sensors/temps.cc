// Temperature reader. Until the sysfs source lands it reports no readings.
#include "sensors/ostrel_sensors.h"

extern "C" int32_t ostrel_read_temps(OstrelTemp* /*out*/, int32_t /*capacity*/) { return 0; }
