// hwmon_temp_source.cc: hwmon and power_supply temperatures for the temperature reader.
//
// Every call lists the class folders anew and reads only what can count: a chip whose name shows
// that none of its sensors can count is left at its name; within a chip the labels come first,
// and a value is read only when its label (or, without labels, its place) makes it count (the
// coretemp package beside its cores, Tctl beside Tdie and the nvme "Sensor N" are never read).
// Files are opened relative to their folder's descriptor, only when the folder's listing shows
// them. Class folders are listed into a buffer on the stack; a chip's listing is remembered while
// its folder stays the same (FolderListing); names and labels go into fixed buffers, so a call
// allocates nothing unless a chip folder is new or changed.
#include "platform/linux/hwmon_temp_source.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/linux/folder_listing.h"
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
// At most this many power supplies are looked at (the first in natural order); a machine has a
// handful (adapters, batteries, USB-C ports, wireless devices).
constexpr size_t kMaxSupplies = 64;
// Longest label kept, terminator included; labels are short ("Package id 0", "Composite").
constexpr size_t kLabelMax = 40;
// Longest supply name kept, terminator included (sysfs device names are short).
constexpr size_t kSupplyNameMax = 64;
// Longest chip name kept, terminator included: every name the kinds below know is shorter, so a
// longer one (cut) can only be a chip that doesn't count.
constexpr size_t kChipNameMax = 64;
// A chip's attribute folder relative to class/hwmon ("hwmon12/device"), terminator included:
// chip entries are at most 15 bytes (HwmonEntries).
constexpr size_t kAttrDirMax = 32;
// Files relative to class/hwmon or to a chip ("hwmon12/device/temp3_label"), terminator
// included.
constexpr size_t kEntryPathMax = 64;
// Paths from the root ("/sys/class/power_supply/BAT0"), terminator included.
constexpr size_t kPathMax = 4096;
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
  bool has_label;         // the chip's listing shows temp<N>_label
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
  // "cpu_thermal" (Raspberry Pi), "cpu0_thermal" (Allwinner), "soc_thermal" (Rockchip's
  // kernels) or "package_thermal" (mainline kernels) for the RK3588's SoC centre, and
  // "bigcore0_thermal" and "littlecore_thermal" (RK3588).
  if (name == "package_thermal") return ChipKind::kCpuThermal;
  if (EndsWith(name, "_thermal") && (StartsWith(name, "cpu") || StartsWith(name, "soc") ||
                                     name.find("core") != std::string_view::npos)) {
    return ChipKind::kCpuThermal;
  }
  return ChipKind::kOther;
}

// Whether the chip's labels decide how its sensors count. (nvme's don't: see VisitNvme.)
bool NeedsLabels(ChipKind kind) {
  return kind == ChipKind::kIntelCore || kind == ChipKind::kAmdCpu || kind == ChipKind::kAppleSmc;
}

// A chip folder's entry "temp<N>_input" or "temp<N>_label".
struct TempEntry {
  uint32_t index;  // N, from 1
  bool is_label;   // temp<N>_label rather than temp<N>_input
};

// Parses "temp<N>_input" or "temp<N>_label" (N from 1, no leading zero); nothing for any other
// name.
std::optional<TempEntry> ParseTempEntry(const char* entry) {
  if (strncmp(entry, "temp", 4) != 0) return std::nullopt;
  const char* p = entry + 4;
  if (*p < '1' || *p > '9') return std::nullopt;
  uint32_t n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + static_cast<uint32_t>(*p - '0');
    if (n > 99999) return std::nullopt;
    ++p;
  }
  if (strcmp(p, "_input") == 0) return TempEntry{n, false};
  if (strcmp(p, "_label") == 0) return TempEntry{n, true};
  return std::nullopt;
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
      case ChipKind::kDrive:
        role = Role::kStorage;
        break;
      case ChipKind::kNvme:  // its one sensor that counts is read apart (VisitNvme)
      case ChipKind::kOther:
        break;
    }
    s.role = role;
  }
}

// Adds `index` to values[0..*count), which keeps the `cap` lowest indices whatever order they
// come in. False when an index was left out (the new one, or the larger one it replaced).
bool KeepLowest(uint32_t* values, size_t* count, size_t cap, uint32_t index) {
  if (*count < cap) {
    values[(*count)++] = index;
    return true;
  }
  uint32_t* largest = std::max_element(values, values + *count);
  if (index < *largest) *largest = index;
  return false;
}

// The temperature inputs of the open chip folder `dir`, lowest indices first, at most
// kMaxSensorsPerChip, each marked with whether the listing shows its label.
size_t ListSensors(FolderListing& lister, Sensor (&sensors)[kMaxSensorsPerChip]) {
  uint32_t inputs[kMaxSensorsPerChip];
  uint32_t labels[kMaxSensorsPerChip];
  size_t input_count = 0, label_count = 0;
  bool labels_left_out = false;
  while (const char* entry = lister.Next()) {
    const std::optional<TempEntry> temp = ParseTempEntry(entry);
    if (!temp) continue;
    if (temp->is_label) {
      labels_left_out |= !KeepLowest(labels, &label_count, kMaxSensorsPerChip, temp->index);
    } else {
      KeepLowest(inputs, &input_count, kMaxSensorsPerChip, temp->index);
    }
  }
  std::sort(inputs, inputs + input_count);
  std::sort(labels, labels + label_count);
  for (size_t i = 0; i < input_count; ++i) {
    sensors[i].index = inputs[i];
    // When labels had to be left out of the list, one may still exist: try it.
    sensors[i].has_label =
        labels_left_out || std::binary_search(labels, labels + label_count, inputs[i]);
    sensors[i].role = Role::kOther;
    sensors[i].label[0] = '\0';
  }
  return input_count;
}

// Reads the value file `input` (relative to `dir`) of a sensor that counts as `role` and visits
// it as "<tag> <chip>/<label>", or "<tag> <chip>/temp<index>" without a label.
void VisitValue(const FolderListing* folder, int dir, const char* input, Role role,
                const char* chip, const char* label, uint32_t index, FileCloser* closer,
                const TempSource::Visitor& visit) {
  const std::optional<int64_t> milli =
      folder != nullptr ? folder->ReadInt(dir, input, closer) : ReadSysfsIntAt(dir, input, closer);
  if (!milli || *milli < kMinMilliCelsius || *milli > kMaxMilliCelsius) return;
  char what[kNameMax];
  char name[kNameMax];
  if (label[0] != '\0') {
    snprintf(what, sizeof what, "%s/%s", chip, label);
  } else {
    snprintf(what, sizeof what, "%s/temp%u", chip, index);
  }
  BuildName(name, role, what);
  visit(name, static_cast<double>(*milli) / 1000.0);
}

// An nvme chip: only the drive's composite temperature counts, and the driver always puts it
// in temp1, its channel 0, labelled "Composite" (every other sensor is "Sensor N", a raw sensor
// that the composite already sums up). So temp1's value is all that is read: no listing, no
// label.
void VisitNvme(int class_fd, const char* attr_dir, const char* chip, FileCloser* closer,
               const TempSource::Visitor& visit) {
  char file[kEntryPathMax];
  snprintf(file, sizeof file, "%s/temp1_input", attr_dir);
  VisitValue(nullptr, class_fd, file, Role::kStorage, chip, "Composite", 1, closer, visit);
}

// True when `a` and `b` (relative to `a_dir`, and a path) lead to the same folder.
bool SameFolder(int a_dir, const char* a, const char* b) {
  struct stat sa, sb;
  return fstatat(a_dir, a, &sa, 0) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// "<root><suffix>" into path[0..kPathMax); false when it doesn't fit.
bool JoinRoot(char (&path)[kPathMax], const std::string& root, const char* suffix) {
  const int n = snprintf(path, sizeof path, "%s%s", root.c_str(), suffix);
  return n >= 0 && static_cast<size_t>(n) < sizeof path;
}

// True when the chip `entry` (of the open class/hwmon `class_fd`), named `chip`, is the hwmon
// device the kernel registers under one of `batteries`: it is named after the supply ('-'
// becomes '_') and its device link leads to the supply's folder.
bool IsBatteryTwin(const std::string& sys_root, int class_fd, const char* entry, const char* chip,
                   const Battery* batteries, size_t battery_count) {
  for (size_t i = 0; i < battery_count; ++i) {
    char hwmon_name[kSupplyNameMax];
    snprintf(hwmon_name, sizeof hwmon_name, "%s", batteries[i].name);
    std::replace(hwmon_name, hwmon_name + strlen(hwmon_name), '-', '_');
    if (strcmp(chip, hwmon_name) != 0) continue;
    char device[kEntryPathMax];
    char supply_dir[kPathMax];
    snprintf(device, sizeof device, "%s/device", entry);
    const int n = snprintf(supply_dir, sizeof supply_dir, "%s/class/power_supply/%s",
                           sys_root.c_str(), batteries[i].name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof supply_dir) continue;
    if (SameFolder(class_fd, device, supply_dir)) return true;
  }
  return false;
}

// Visits the sensors that count of the chip `entry` of the open class/hwmon `class_fd`; the
// files read go to `closer`.
void VisitChip(const std::string& sys_root, int class_fd, const char* entry,
               const Battery* batteries, size_t battery_count, FileCloser* closer,
               const TempSource::Visitor& visit) {
  // The name where current kernels keep it; only when there is none at all, in device/ (old
  // drivers keep every attribute there). The check for "none at all" costs a system call only
  // when the read failed.
  char file[kEntryPathMax];
  char chip[kChipNameMax];
  bool in_device = false;
  snprintf(file, sizeof file, "%s/name", entry);
  if (!ReadSysfsTextAt(class_fd, file, chip, sizeof chip, closer) &&
      faccessat(class_fd, file, F_OK, AT_EACCESS) != 0 && errno == ENOENT) {
    snprintf(file, sizeof file, "%s/device/name", entry);
    in_device = ReadSysfsTextAt(class_fd, file, chip, sizeof chip, closer).has_value();
  }
  const ChipKind kind = KindOf(chip);
  if (kind == ChipKind::kOther) return;  // none of its sensors can count: nothing more is read
  // Twins keep their attributes at home, so a chip read from device/ is never one.
  if (!in_device && battery_count > 0 &&
      IsBatteryTwin(sys_root, class_fd, entry, chip, batteries, battery_count)) {
    return;
  }
  char attr_dir[kAttrDirMax];
  snprintf(attr_dir, sizeof attr_dir, in_device ? "%s/device" : "%s", entry);
  if (kind == ChipKind::kNvme) {
    VisitNvme(class_fd, attr_dir, chip, closer, visit);
    return;
  }

  // The chip's listing, and its files, are kept while its folder stays the same; its files are
  // opened relative to class/hwmon when they are not.
  FolderListing listing(class_fd, attr_dir);
  if (!listing.found()) return;  // the chip went away since it was listed
  Sensor sensors[kMaxSensorsPerChip];
  const size_t count = ListSensors(listing, sensors);
  if (NeedsLabels(kind)) {
    for (size_t i = 0; i < count; ++i) {
      if (!sensors[i].has_label) continue;
      snprintf(file, sizeof file, "%s/temp%u_label", attr_dir, sensors[i].index);
      listing.ReadText(class_fd, file, sensors[i].label, sizeof sensors[i].label, closer);
    }
  }
  AssignRoles(kind, sensors, count);
  for (size_t i = 0; i < count; ++i) {
    const Sensor& s = sensors[i];
    if (s.role == Role::kOther) continue;  // its label already shows it can't count
    snprintf(file, sizeof file, "%s/temp%u_input", attr_dir, s.index);
    VisitValue(&listing, class_fd, file, s.role, chip, s.label, s.index, closer, visit);
  }
}

// Visits each system battery's "temp" and remembers the batteries in `batteries`.
size_t VisitBatteries(const std::string& sys_root, const TempSource::Visitor& visit,
                      Battery* batteries, size_t cap) {
  char path[kPathMax];
  if (!JoinRoot(path, sys_root, "/class/power_supply")) return 0;
  ScopedFd dir(OpenDirAt(AT_FDCWD, path));
  if (!dir) return 0;
  // The supplies in natural order ("BAT2" before "BAT10"), so the order is stable.
  SortedNames<kMaxSupplies, kSupplyNameMax> supplies;
  DirLister lister(dir.get());
  while (const char* entry = lister.Next()) {
    if (entry[0] != '.') supplies.Add(entry);
  }

  FileCloser closer;  // the supplies' files, closed a few at a time
  size_t count = 0;
  char file[kSupplyNameMax + 16];
  char text[32];
  char name[kNameMax];
  for (size_t i = 0; i < supplies.size(); ++i) {
    const char* supply = supplies[i];
    // Most supplies (chargers, most ACPI batteries) have no temperature: that comes first. The
    // supply's listing, and its files, are kept while its folder stays the same.
    const FolderListing folder(dir.get(), supply);
    if (!folder.Has("temp")) continue;
    snprintf(file, sizeof file, "%s/temp", supply);
    const std::optional<int64_t> tenths = folder.ReadInt(dir.get(), file, &closer);
    if (!tenths) continue;
    snprintf(file, sizeof file, "%s/type", supply);
    if (folder.ReadText(dir.get(), file, text, sizeof text, &closer) != "Battery") continue;
    // Batteries of mice, keyboards and game pads are "Device" scope: not this machine's.
    snprintf(file, sizeof file, "%s/scope", supply);
    if (folder.Has("scope") &&
        folder.ReadText(dir.get(), file, text, sizeof text, &closer) == "Device") {
      continue;
    }
    if (count < cap) snprintf(batteries[count++].name, kSupplyNameMax, "%s", supply);
    if (*tenths < kMinTenths || *tenths > kMaxTenths) continue;
    BuildName(name, Role::kBattery, supply);
    visit(name, static_cast<double>(*tenths) / 10.0);
  }
  return count;
}

}  // namespace

HwmonTempSource::HwmonTempSource(std::string sys_root) : sys_root_(std::move(sys_root)) {}

void HwmonTempSource::ForEachSensor(const Visitor& visit) {
  Battery batteries[kMaxBatteries];
  const size_t battery_count = VisitBatteries(sys_root_, visit, batteries, kMaxBatteries);
  char path[kPathMax];
  if (!JoinRoot(path, sys_root_, "/class/hwmon")) return;
  ScopedFd class_dir(OpenDirAt(AT_FDCWD, path));
  if (!class_dir) return;
  HwmonEntries chips;
  ListHwmonEntries(class_dir.get(), &chips);
  FileCloser closer;  // every file the chips' walk reads, closed a few at a time
  for (size_t i = 0; i < chips.size(); ++i) {
    VisitChip(sys_root_, class_dir.get(), chips[i], batteries, battery_count, &closer, visit);
  }
}

}  // namespace ostrel
