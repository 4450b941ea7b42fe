// Fan reader. Until the SMC transport lands it reports no fans.
#include "sensors/ostrel_sensors.h"

extern "C" int32_t ostrel_read_fans(OstrelFan* /*out*/, int32_t /*capacity*/) { return 0; }
