// temp_fixtures.h: sysfs fixture trees for the temperature source, written from compact tables.
// Plain C++ (no test framework), so the benchmarks use them too.
#ifndef OSTREL_TESTS_TEMP_FIXTURES_H_
#define OSTREL_TESTS_TEMP_FIXTURES_H_

#include <string>
#include <utility>
#include <vector>

namespace ostrel::testing {

// Root-relative path -> exact contents; contents "->x" make a symbolic link to <root>/x. As in
// the kernel, class/<class>/<entry> is a link: anything below it is written under
// devices/<class>/<entry>/.
using FixtureTree = std::vector<std::pair<std::string, std::string>>;

void WriteTree(const std::string& root, const FixtureTree& tree);

// One sensor of a chip: its label (nullptr: no label file) and temp<N>_input in millidegrees.
using FixtureTemp = std::pair<const char*, int>;

// class/hwmon/<hwmon> named `name`, with temp1, temp2, ... holding `temps`.
FixtureTree Chip(const std::string& hwmon, const std::string& name,
                 const std::vector<FixtureTemp>& temps);

FixtureTree Concat(std::initializer_list<FixtureTree> parts);

// class/hwmon/<hwmon> as coretemp: "Package id 0" at 58 and "Core 0".."Core 7" averaging 52.75.
FixtureTree CoretempEightCores(const std::string& hwmon);

// An Intel desktop: acpitz, nvme, pch, coretemp (package and 8 cores), nct6798, iwlwifi,
// drivetemp; no battery. Readings: die 52.75 / 58 (the cores), storage (38.85 + 33) / 2.
FixtureTree IntelDesktop();

// A Ryzen ThinkPad: acpitz, thinkpad, nvme, amdgpu, k10temp (Tctl 66.625, Tdie 46.625, Tccd1
// 44.25, Tccd2 48.5 with `tdie`; Tctl 46.625 alone without), a USB-C supply chip; supplies AC,
// BAT0 (temp 31.2 and its hwmon twin hwmon1 with `battery_temp`) and a game pad battery
// (scope Device, 24.0). Storage 36.85.
FixtureTree AmdLaptop(bool tdie, bool battery_temp);

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_TEMP_FIXTURES_H_
