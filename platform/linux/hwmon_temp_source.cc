// linux_temp_source.cc: hwmon and power_supply temperatures for the temperature reader.
//
// Every call lists the folders anew and reads each value once; per chip, the attribute files are
// opened relative to the chip's open folder, and the per-sensor work uses fixed buffers on the
// stack, so a call allocates only for the chip and supply lists.
#include "platform/linux/hwmon_temp_source.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/sysfs.h"

namespace ostrel {
namespace {

// What a sensor is counted as.
enum class Role : uint8_t { kOther, kDie, kStorage, kBattery };

// The drivers whose sensors are mapped; everything else is kOther.
enum class ChipKind { kOther, kIntelCore, kAmdCpu, kCpuThermal, kAppleSmc, kNvme, kDrive };

// At most this many temperature inputs are read per chip (the lowest indices); the largest
// real chips (coretemp on a many-core server socket) stay well below it.
constexpr size_t kMaxSensorsPerChip = 256;
// At most this many batteries are remembered for skipping their hwmon twins.
constexpr size_t kMaxBatteries = 8;
// Longest label kept, terminator included; labels are short ("Package id 0", "Composite").
constexpr size_t kLabelMax = 40;
// Longest supply name kept, terminator included (sysfs device names are short).
constexpr size_t kSupplyNameMax = 64;
// Names handed to the visitor, terminator included (what the reader matches).
constexpr size_t kNameMax = 128;

// hwmon reports millidegrees, power_supply tenths of a degree; anything outside
// -273.15..1000 degrees is a fault code, not a temperature.
constexpr int64_t kMinMilliCelsius = -273150;
constexpr int64_t kMaxMilliCelsius = 1000000;
constexpr int64_t kMinTenths = -2731;
constexpr int64_t kMaxTenths = 10000;

// One temperature input of a chip.
struct Sensor {
  uint32_t index;         // N of temp<N>_input
  Role role;              // what it counts as, decided per chip
  char label[kLabelMax];  // temp<N>_label without the line end; empty when none was read
};

// One battery that reported a temperature.
struct Battery {
  char name[kSupplyNameMax];  // its power_supply folder name, e.g. "BAT0"
};

const char* Tag(Role role) {
  switch (role) {
    case Role::kDie:
      return kDieWord;
    case Role::kStorage:
      return kStorageWord;
    case Role::kBattery:
      return kBatteryWord;
    case Role::kOther:
      break;
  }
  return "other";
}

bool Contains(const char* text, const char* word) { return strcasestr(text, word) != nullptr; }

// True when `text` holds a word of a group that is tested before `role`'s own, or, for
// kOther, a word of any group: text that would pull a name into another group.
bool HasForeignWord(Role role, const char* text) {
  const bool die = Contains(text, kDieWord);
  const bool storage = Contains(text, kNandWord) || Contains(text, kStorageWord);
  switch (role) {
    case Role::kDie:
      return false;
    case Role::kStorage:
      return die;
    case Role::kBattery:
      return die || storage;
    case Role::kOther:
      break;
  }
  return die || storage || Contains(text, kBatteryWord);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

ChipKind KindOf(std::string_view name) {
  if (name == "coretemp") return ChipKind::kIntelCore;
  if (name == "k10temp" || name == "zenpower") return ChipKind::kAmdCpu;
  if (name == "macsmc_hwmon") return ChipKind::kAppleSmc;
  if (name == "nvme") return ChipKind::kNvme;
  if (name == "drivetemp") return ChipKind::kDrive;
  // Thermal zones registered as hwmon are named after the zone type, '-' turned into '_':
  // "cpu_thermal" (Raspberry Pi), "cpu0_thermal" (Allwinner), "soc_thermal" (Rockchip),
  // "bigcore0_thermal" and "littlecore_thermal" (RK3588).
  if (EndsWith(name, "_thermal") && (StartsWith(name, "cpu") || StartsWith(name, "soc") ||
                                     name.find("core") != std::string_view::npos)) {
    return ChipKind::kCpuThermal;
  }
  return ChipKind::kOther;
}

// Whether the chip's labels decide how its sensors count.
bool NeedsLabels(ChipKind kind) {
  return kind == ChipKind::kIntelCore || kind == ChipKind::kAmdCpu || kind == ChipKind::kAppleSmc ||
         kind == ChipKind::kNvme;
}

// Parses "temp<N>_input" (N from 1, no leading zero) into N.
bool ParseTempInput(const char* entry, uint32_t* index) {
  if (strncmp(entry, "temp", 4) != 0) return false;
  const char* p = entry + 4;
  if (*p < '1' || *p > '9') return false;
  uint32_t n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + static_cast<uint32_t>(*p - '0');
    if (n > 99999) return false;
    ++p;
  }
  if (strcmp(p, "_input") != 0) return false;
  *index = n;
  return true;
}

// Reads a short text attribute relative to `dir_fd` into `out` (capacity `cap`), without its
// trailing white space. False (and `out` empty) when it cannot be read.
bool ReadTextAt(int dir_fd, const char* name, char* out, size_t cap) {
  out[0] = '\0';
  ssize_t n = ReadAttributeAt(dir_fd, name, out, cap - 1);
  if (n < 0) return false;
  size_t len = static_cast<size_t>(n);
  while (len > 0 && (out[len - 1] == '\n' || out[len - 1] == ' ' || out[len - 1] == '\t' ||
                     out[len - 1] == '\r')) {
    --len;
  }
  out[len] = '\0';
  return true;
}

// "<tag> <what>", where <what> ("coretemp/Core 0", "BAT0") is left out when it holds a word
// that would put the name into another group than its tag's.
void BuildName(char (&name)[kNameMax], Role role, const char* what) {
  if (HasForeignWord(role, what)) {
    snprintf(name, sizeof name, "%s", Tag(role));
  } else {
    snprintf(name, sizeof name, "%s %s", Tag(role), what);
  }
}

// coretemp's two kinds of sensor: temp1 is the package, temp2 on the cores; the labels say
// the same ("Physical id" on old kernels).
bool IsPackage(const Sensor& s) {
  std::string_view label = s.label;
  return StartsWith(label, "Package id ") || StartsWith(label, "Physical id ") ||
         (label.empty() && s.index == 1);
}
bool IsCore(const Sensor& s) {
  std::string_view label = s.label;
  return StartsWith(label, "Core ") || (label.empty() && s.index != 1);
}

// Decides each sensor's role from the chip's driver and the labels read. Per chip, the cores
// stand for the die and the package sensor (the hottest core again) counts only without them;
// Tdie, the measured die temperature, stands for the die and Tctl (Tdie plus a fan-control
// offset on some models) counts only without it.
void AssignRoles(ChipKind kind, Sensor* sensors, size_t count) {
  bool has_core = false, has_tdie = false, has_label = false;
  for (size_t i = 0; i < count; ++i) {
    has_core |= IsCore(sensors[i]);
    has_tdie |= std::string_view(sensors[i].label) == "Tdie";
    has_label |= sensors[i].label[0] != '\0';
  }
  for (size_t i = 0; i < count; ++i) {
    Sensor& s = sensors[i];
    std::string_view label = s.label;
    Role role = Role::kOther;
    switch (kind) {
      case ChipKind::kIntelCore:
        if (IsCore(s) || (IsPackage(s) && !has_core)) role = Role::kDie;
        break;
      case ChipKind::kAmdCpu:
        // Before Zen the chip has one unlabelled sensor.
        if (label == "Tdie" || StartsWith(label, "Tccd") || (label == "Tctl" && !has_tdie) ||
            (label.empty() && !has_label)) {
          role = Role::kDie;
        }
        break;
      case ChipKind::kCpuThermal:
        role = Role::kDie;
        break;
      case ChipKind::kAppleSmc:
        // The device tree's labels name what each SMC key measures.
        if (Contains(s.label, "CPU") || Contains(s.label, "SoC")) {
          role = Role::kDie;
        } else if (Contains(s.label, kNandWord) || Contains(s.label, kStorageWord)) {
          role = Role::kStorage;
        } else if (Contains(s.label, kBatteryWord)) {
          role = Role::kBattery;
        }
        break;
      case ChipKind::kNvme:
        // The drive's composite temperature is temp1 and is labelled so; "Sensor N" are the
        // drive's raw sensors, which the composite already sums up.
        if (label == "Composite" || (label.empty() && s.index == 1)) role = Role::kStorage;
        break;
      case ChipKind::kDrive:
        role = Role::kStorage;
        break;
      case ChipKind::kOther:
        break;
    }
    s.role = role;
  }
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// The temperature inputs of the chip folder `dir`, lowest indices first, at most `cap`.
size_t ListSensors(DIR* dir, Sensor* sensors, size_t cap) {
  size_t count = 0;
  while (dirent* e = readdir(dir)) {
    uint32_t index;
    if (!ParseTempInput(e->d_name, &index)) continue;
    if (count < cap) {
      sensors[count++].index = index;
      continue;
    }
    // Full: keep the lowest indices, so the choice does not depend on the listing order.
    Sensor* largest =
        std::max_element(sensors, sensors + count,
                         [](const Sensor& a, const Sensor& b) { return a.index < b.index; });
    if (index < largest->index) largest->index = index;
  }
  std::sort(sensors, sensors + count,
            [](const Sensor& a, const Sensor& b) { return a.index < b.index; });
  return count;
}

void VisitChip(const HwmonChip& chip, const TempSource::Visitor& visit) {
  DirPtr dir(opendir(chip.attr_dir.c_str()));
  if (!dir) return;  // the chip went away since it was listed
  const int fd = dirfd(dir.get());
  const ChipKind kind = KindOf(chip.name);

  Sensor sensors[kMaxSensorsPerChip];
  const size_t count = ListSensors(dir.get(), sensors, kMaxSensorsPerChip);
  char file[32];
  for (size_t i = 0; i < count; ++i) {
    sensors[i].label[0] = '\0';
    if (NeedsLabels(kind)) {
      snprintf(file, sizeof file, "temp%u_label", sensors[i].index);
      ReadTextAt(fd, file, sensors[i].label, sizeof sensors[i].label);
    }
  }
  AssignRoles(kind, sensors, count);

  char what[kNameMax];
  char name[kNameMax];
  for (size_t i = 0; i < count; ++i) {
    const Sensor& s = sensors[i];
    snprintf(file, sizeof file, "temp%u_input", s.index);
    int64_t milli;
    if (!ReadSysfsIntAt(fd, file, &milli)) continue;
    if (milli < kMinMilliCelsius || milli > kMaxMilliCelsius) continue;
    if (s.label[0] != '\0') {
      snprintf(what, sizeof what, "%s/%s", chip.name.c_str(), s.label);
    } else {
      snprintf(what, sizeof what, "%s/temp%u", chip.name.c_str(), s.index);
    }
    BuildName(name, s.role, what);
    visit(name, static_cast<double>(milli) / 1000.0);
  }
}

// True when `a` and `b` lead to the same folder.
bool SameFolder(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// True when `chip` is the hwmon device the kernel registers under one of `batteries`: it is
// named after the supply ('-' becomes '_') and its device link leads to the supply's folder.
bool IsBatteryTwin(const std::string& sys_root, const HwmonChip& chip, const Battery* batteries,
                   size_t battery_count) {
  if (EndsWith(chip.attr_dir, "/device")) return false;  // twins keep their attributes at home
  for (size_t i = 0; i < battery_count; ++i) {
    std::string hwmon_name = batteries[i].name;
    std::replace(hwmon_name.begin(), hwmon_name.end(), '-', '_');
    if (chip.name != hwmon_name) continue;
    const std::string supply_dir = sys_root + "/class/power_supply/" + batteries[i].name;
    if (SameFolder((chip.attr_dir + "/device").c_str(), supply_dir.c_str())) return true;
  }
  return false;
}

// Visits each system battery's "temp" and remembers the batteries in `batteries`.
size_t VisitBatteries(const std::string& sys_root, const TempSource::Visitor& visit,
                      Battery* batteries, size_t cap) {
  DirPtr dir(opendir((sys_root + "/class/power_supply").c_str()));
  if (!dir) return 0;
  const int fd = dirfd(dir.get());
  // The supplies in natural order ("BAT2" before "BAT10"), so the order is stable.
  std::vector<std::string> supplies;
  while (dirent* e = readdir(dir.get())) {
    if (e->d_name[0] == '.') continue;
    supplies.emplace_back(e->d_name);
  }
  std::sort(supplies.begin(), supplies.end(), NaturalLess);

  size_t count = 0;
  char file[kSupplyNameMax + 16];
  char text[32];
  char name[kNameMax];
  for (const std::string& supply : supplies) {
    if (supply.size() >= kSupplyNameMax) continue;
    // Most supplies (chargers, most ACPI batteries) have no temperature: try it first.
    snprintf(file, sizeof file, "%s/temp", supply.c_str());
    int64_t tenths;
    if (!ReadSysfsIntAt(fd, file, &tenths)) continue;
    snprintf(file, sizeof file, "%s/type", supply.c_str());
    if (!ReadTextAt(fd, file, text, sizeof text) || strcmp(text, "Battery") != 0) continue;
    // Batteries of mice, keyboards and game pads are "Device" scope: not this machine's.
    snprintf(file, sizeof file, "%s/scope", supply.c_str());
    if (ReadTextAt(fd, file, text, sizeof text) && strcmp(text, "Device") == 0) continue;
    if (count < cap) snprintf(batteries[count++].name, kSupplyNameMax, "%s", supply.c_str());
    if (tenths < kMinTenths || tenths > kMaxTenths) continue;
    BuildName(name, Role::kBattery, supply.c_str());
    visit(name, static_cast<double>(tenths) / 10.0);
  }
  return count;
}

}  // namespace

HwmonTempSource::HwmonTempSource(std::string sys_root) : sys_root_(std::move(sys_root)) {}

void HwmonTempSource::ForEachSensor(const Visitor& visit) {
  Battery batteries[kMaxBatteries];
  const size_t battery_count = VisitBatteries(sys_root_, visit, batteries, kMaxBatteries);
  for (const HwmonChip& chip : ListHwmonChips(sys_root_)) {
    if (battery_count > 0 && IsBatteryTwin(sys_root_, chip, batteries, battery_count)) continue;
    VisitChip(chip, visit);
  }
}

}  // namespace ostrel
