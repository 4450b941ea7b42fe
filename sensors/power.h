// power.h: the test seam of the power reader (ostrel_read_power, declared in ostrel_sensors.h).
//
// The product never calls anything here: its reader always samples the machine's own energy
// source (NewMachineEnergySource: the RAPL counters under /sys on Linux, the "Energy Model"
// channels of libIOReport on macOS). Tests use the seam to run the reader's logic over a fake
// energy source and to start each test from the state of a fresh process.
#ifndef OSTREL_SENSORS_POWER_H_
#define OSTREL_SENSORS_POWER_H_

#include "platform/energy_source.h"

namespace ostrel {

// For tests only. Releases what the power reader holds (stored sample, channels, subscription)
// and puts it back in its state at process start, so that its next call initialises again, over
// `source` (borrowed: it must outlive every later call and the next reset), or over the
// machine's own source when `source` is null. Must not overlap a call of ostrel_read_power.
void ResetPowerReaderForTesting(EnergySource* source);

}  // namespace ostrel

#endif  // OSTREL_SENSORS_POWER_H_
