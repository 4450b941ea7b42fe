/* The readers' header, compiled as C: C callers must be able to include it. */
#include "sensors/ostrel_sensors.h"

int ostrel_probe_temp_label_size(void) { return (int)sizeof(((OstrelTemp*)0)->label); }
