// hwmon_temp_source.h: the machine's temperature sensors, read from sysfs.
//
// HwmonTempSource reads, afresh on every call, the hwmon chips under <root>/class/hwmon and the
// batteries under <root>/class/power_supply, and hands each temperature that counts to the
// visitor, named in the TempSource vocabulary:
//
//   batteries (power_supply, type "Battery", not scope "Device"), "temp" in tenths of a degree:
//       "battery <supply>"; the supply's hwmon twin (the chip the kernel registers under the
//       supply, named after it) is skipped, so a battery is counted once.
//   hwmon chips in hwmon order, each temp<N>_input (millidegrees) in index order:
//       coretemp       "Core N" -> die; "Package id N" -> die only when the chip has no core
//       k10temp,       "Tdie", "Tccd N" -> die; "Tctl" -> die only when the chip has no Tdie;
//       zenpower       an unlabelled sensor on a chip without labels (before Zen) -> die
//       cpu*_thermal,  every sensor -> die (ARM SoC thermal zones registered as hwmon)
//       soc_thermal, package_thermal,
//       *core*_thermal
//       macsmc_hwmon   label with "CPU" or "SoC" -> die, "NAND" or "SSD" -> storage,
//                      "Battery" -> battery
//       nvme           temp1 ("Composite", always) -> storage, one per drive; "Sensor N"
//                      don't count
//       drivetemp      every sensor -> storage
//
// Every other chip (acpitz, amdgpu, applesmc, ...) is left out. Names look like
// "tdie coretemp/Core 0", "SSD nvme/Composite", "battery BAT0": the group tag, then the chip and
// label (or temp<N>) when those contain no group word themselves. A value that cannot be read
// (missing, unreadable, empty, not an integer, outside -273.15..1000 degrees) skips that sensor
// only.
//
// Threads: ForEachSensor keeps all its state on the stack; any number may run at once.
#ifndef OSTREL_PLATFORM_LINUX_HWMON_TEMP_SOURCE_H_
#define OSTREL_PLATFORM_LINUX_HWMON_TEMP_SOURCE_H_

#include <string>

#include "platform/temp_source.h"

namespace ostrel {

class HwmonTempSource : public TempSource {
 public:
  // `sys_root` is the sysfs mount point: "/sys" in the product, a fixture tree in tests.
  explicit HwmonTempSource(std::string sys_root);

  void ForEachSensor(const Visitor& visit) override;

 private:
  const std::string sys_root_;  // folder that holds class/hwmon and class/power_supply
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_HWMON_TEMP_SOURCE_H_
