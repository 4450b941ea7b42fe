// Power reader. Until the energy source lands it reports no reading.
#include "sensors/ostrel_sensors.h"

extern "C" int32_t ostrel_read_power(double* cpu, double* gpu, double* ane, double* soc) {
  *cpu = *gpu = *ane = *soc = 0.0;
  return -1;
}
