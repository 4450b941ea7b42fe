// fake_sysfs.h: builds sysfs-like trees for the sysfs sources, laid out as the kernel lays
// them out: devices live under devices/, class/hwmon/hwmon<N> and class/power_supply/<name>
// are relative symbolic links to them, and a chip's "device" link leads to its parent device.
// Used by the tests and the benchmarks; plain POSIX, no test framework. Not thread-safe:
// build a tree on one thread, then read it from any number.
#ifndef OSTREL_TESTS_FAKE_SYSFS_H_
#define OSTREL_TESTS_FAKE_SYSFS_H_

#include <string>
#include <string_view>

namespace ostrel::testing {

class FakeSysfs {
 public:
  // `root` is an existing, empty folder that stands for /sys.
  explicit FakeSysfs(std::string root);

  const std::string& root() const { return root_; }

  // A chip registered by the device at `device` (relative to the root, e.g.
  // "devices/platform/coretemp.0"): creates <device>/hwmon/hwmon<n>/ with its "name" file and
  // "device" link, and links class/hwmon/hwmon<n> to it. Returns the chip's folder.
  std::string AddChip(int n, const std::string& device, std::string_view name) const;

  // A chip of an older driver: hwmon<n>/ holds only the "device" link, and the device folder
  // holds "name" and every attribute. Returns the device folder (where AddTemp writes).
  std::string AddOldStyleChip(int n, const std::string& device, std::string_view name) const;

  // A power supply registered by `device`: creates <device>/power_supply/<name>/ with "type",
  // and "temp" (tenths of a degree) unless `temp` is empty, and links class/power_supply/<name>
  // to it. Returns the supply's folder.
  std::string AddSupply(const std::string& device, const std::string& name, std::string_view type,
                        std::string_view temp) const;

  // The hwmon twin the kernel registers for a power supply that has a temperature: the chip
  // hwmon<n> sits inside the supply's folder, is named after the supply ('-' becomes '_'),
  // and has temp1_input (millidegrees) with the label "temp". Returns the chip's folder.
  std::string AddSupplyTwin(int n, const std::string& supply_dir, std::string_view supply_name,
                            std::string_view milli) const;

  // Writes temp<index>_input with `input` (exactly these bytes) into the chip folder `dir`,
  // and temp<index>_label with `label` and a line end unless `label` is null.
  static void AddTemp(const std::string& dir, int index, std::string_view input,
                      const char* label = nullptr);

  // Writes `contents` to the file at `path` (absolute), creating the folders on the way.
  static void WriteFile(const std::string& path, std::string_view contents);

  // A relative symbolic link at `link` (absolute) that leads to `target` (absolute).
  static void Link(const std::string& target, const std::string& link);

 private:
  std::string root_;  // the tree's top folder, standing for /sys
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_SYSFS_H_
