// temp_fixtures.h: whole-machine sysfs trees for the temperature source, modeled on what the
// kernel shows on real machines (chip names, labels, units, folder layout and links). The
// values each tree holds are listed beside each builder so tests can state what they expect.
// Used by the tests and the benchmarks.
#ifndef OSTREL_TESTS_TEMP_FIXTURES_H_
#define OSTREL_TESTS_TEMP_FIXTURES_H_

#include "tests/fake_sysfs.h"

namespace ostrel::testing {

// An Intel desktop (8 cores, one NVMe drive, one SATA SSD, no battery):
//   hwmon0 acpitz         temp1 27.8, temp2 29.8 (no labels)
//   hwmon1 nvme           Composite 38.85, Sensor 1 38.85, Sensor 2 41.85
//   hwmon2 pch_cannonlake temp1 47.0
//   hwmon3 coretemp       Package id 0 58.0; Core 0..7 52, 55, 51, 58, 50, 53, 54, 49
//   hwmon4 nct6798        SYSTIN 34.0, CPUTIN 40.5, AUXTIN0 -62.0, PECI Agent 0 Calibration 56.0
//   hwmon5 iwlwifi_1      temp1 41.0
//   hwmon6 drivetemp      temp1 33.0
//   power_supply: none
// Expected readings: die average 52.75 and peak 58 (the cores), storage 35.925.
void BuildIntelDesktop(const FakeSysfs& sys);

// An AMD laptop (Ryzen 6000-series ThinkPad):
//   hwmon0 acpitz     temp1 45.0
//   hwmon1 BAT0       the battery's hwmon twin, temp1 "temp" (only when the battery has a
//                     temperature; same value as the supply)
//   hwmon2 thinkpad   temp1 45.0, temp2 40.0, temp3 -128.0 (no sensor), temp4 38.0 (no labels)
//   hwmon3 nvme       Composite 36.85, Sensor 1 36.85, Sensor 2 41.85
//   hwmon4 amdgpu     edge 44.0
//   hwmon5 k10temp    with_tdie: Tctl 66.625, Tdie 46.625, Tccd1 44.25, Tccd2 48.5
//                     otherwise: Tctl 46.625
//   hwmon6 ucsi_source_psy_USBC000:001 (no temperatures)
//   power_supply: AC (Mains); BAT0 (Battery, temp 31.2 when battery_temp); a game pad battery
//   ps-controller-battery-a0:5a:5c:00:00:01 (Battery, scope Device, temp 24.0).
// Expected readings: die 46.625/46.625 (Tctl only) or 46.458.../48.5 (Tdie and the CCDs),
// storage 36.85, battery 31.2 when battery_temp.
void BuildAmdLaptop(const FakeSysfs& sys, bool with_tdie, bool battery_temp);

// An Intel laptop with twelve hwmon chips, for the benchmark: acpitz, the BAT0 twin, thinkpad
// (8 temperatures), two nvme drives, coretemp (package and 8 cores), iwlwifi, pch_cometlake,
// ucsi (no temperatures), two spd5118 memory sensors and drivetemp; BAT0 with a temperature.
void BuildTwelveChipLaptop(const FakeSysfs& sys);

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_TEMP_FIXTURES_H_
