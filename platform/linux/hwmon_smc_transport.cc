// hwmon_smc_transport.cc: SMC fan keys answered from hwmon sysfs attributes.
#include "platform/linux/hwmon_smc_transport.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/linux/folder_listing.h"
#include "platform/linux/sysfs.h"

namespace ostrel {
namespace {

constexpr char kServiceClass[] = "AppleSMC";
constexpr uint32_t kFanCountKey = SmcCode("FNum");

// True for "fan<digits>_input".
bool IsFanInput(std::string_view name) {
  constexpr std::string_view kPrefix = "fan", kSuffix = "_input";
  if (name.size() <= kPrefix.size() + kSuffix.size()) return false;
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return false;
  const std::string_view digits =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What a key names: the fan count, or one attribute of one fan.
struct KeyTarget {
  bool fan_count = false;           // "FNum"
  size_t fan = 0;                   // the n of "F<n>..", when !fan_count
  const char* attribute = nullptr;  // "input", "min" or "max", when !fan_count
};

// What a key code names; nothing for any key this transport doesn't answer.
std::optional<KeyTarget> ResolveKey(uint32_t key) {
  if (key == kFanCountKey) return KeyTarget{.fan_count = true};
  const char c0 = static_cast<char>(key >> 24), c1 = static_cast<char>(key >> 16);
  const char c2 = static_cast<char>(key >> 8), c3 = static_cast<char>(key);
  if (c0 != 'F' || c1 < '0' || c1 > '9') return std::nullopt;
  KeyTarget target{.fan = static_cast<size_t>(c1 - '0')};
  if (c2 == 'A' && c3 == 'c') {
    target.attribute = "input";
  } else if (c2 == 'M' && c3 == 'n') {
    target.attribute = "min";
  } else if (c2 == 'M' && c3 == 'x') {
    target.attribute = "max";
  } else {
    return std::nullopt;
  }
  return target;
}

// One chip folder's fans: the entries of the first in fan order, and how many there are.
struct ChipFans {
  SortedNames<HwmonFanList::kMaxListedFans, 24> entries;  // "fan<k>_input", the lowest k
  uint32_t count = 0;                                     // every fan<k>_input listed
  uint8_t limits[HwmonFanList::kMaxListedFans] = {};      // per entry: kHasMin | kHasMax
};

constexpr uint8_t kHasMin = 1, kHasMax = 2;

// Lists a chip folder's fans into `fans`. True when the folder has a "name" entry.
bool ListFans(FolderListing& lister, ChipFans* fans) {
  bool has_name = false;
  while (const char* entry = lister.Next()) {
    if (strcmp(entry, "name") == 0) has_name = true;
    if (!IsFanInput(entry)) continue;
    ++fans->count;
    fans->entries.Add(entry);  // a name too long to keep still counts, but can't be read
  }
  for (size_t f = 0; f < fans->entries.size(); ++f) {
    const int prefix = static_cast<int>(strlen(fans->entries[f]) - strlen("input"));
    char min[32], max[32];
    snprintf(min, sizeof min, "%.*smin", prefix, fans->entries[f]);
    snprintf(max, sizeof max, "%.*smax", prefix, fans->entries[f]);
    fans->limits[f] = (lister.Has(min) ? kHasMin : 0) | (lister.Has(max) ? kHasMax : 0);
  }
  return has_name;
}

}  // namespace

HwmonFanList::HwmonFanList(const std::string& sys_root) {
  char path[4096];
  const int n = snprintf(path, sizeof path, "%s/class/hwmon", sys_root.c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return;
  ScopedFd class_dir(OpenDirAt(AT_FDCWD, path));
  if (!class_dir) return;
  HwmonEntries chips;
  ListHwmonEntries(class_dir.get(), &chips);
  for (size_t i = 0; i < chips.size(); ++i) {
    ChipFans fans;
    bool in_device = false;
    FolderListing folder(class_dir.get(), chips[i]);
    if (!ListFans(folder, &fans)) {
      // No name here: an old driver keeps every attribute in device/, if that has a name.
      char device[32];
      snprintf(device, sizeof device, "%s/device", chips[i]);
      ChipFans device_fans;
      FolderListing device_folder(class_dir.get(), device);
      if (ListFans(device_folder, &device_fans)) {
        fans = device_fans;
        folder = std::move(device_folder);
        in_device = true;
      }
    }
    count_ += fans.count;
    if (fans.entries.size() > 0 && listed_ < kMaxListedFans) folders_.push_back(std::move(folder));
    for (size_t f = 0; f < fans.entries.size() && listed_ < kMaxListedFans; ++f) {
      // "hwmon6/device/fan1_input" -> "hwmon6/device/fan1_"
      const char* entry = fans.entries[f];
      limits_[listed_] = fans.limits[f];
      folder_of_[listed_] = static_cast<uint8_t>(folders_.size() - 1);
      snprintf(fans_[listed_++], sizeof fans_[0], "%s%s/%.*s", chips[i], in_device ? "/device" : "",
               static_cast<int>(strlen(entry) - strlen("input")), entry);
    }
  }
  class_dir_ = class_dir.release();
}

HwmonFanList::~HwmonFanList() {
  closer_.CloseAll();
  if (class_dir_ >= 0) close(class_dir_);
}

std::optional<float> HwmonFanList::ReadRpm(size_t n, const char* attribute) const {
  if (n >= listed_) return std::nullopt;
  // A limit the folder's listing doesn't show is missing: no need to try opening it.
  if ((strcmp(attribute, "min") == 0 && !(limits_[n] & kHasMin)) ||
      (strcmp(attribute, "max") == 0 && !(limits_[n] & kHasMax))) {
    return std::nullopt;
  }
  char file[sizeof fans_[0] + 8];
  snprintf(file, sizeof file, "%s%s", fans_[n], attribute);
  const std::optional<int64_t> value = folders_[folder_of_[n]].ReadInt(class_dir_, file, &closer_);
  if (!value || *value < 0) return std::nullopt;
  return static_cast<float>(*value);
}

HwmonSmcTransport::HwmonSmcTransport(std::string sys_root) : sys_root_(std::move(sys_root)) {}

HwmonSmcTransport::~HwmonSmcTransport() = default;

uint32_t HwmonSmcTransport::NextHandle() {
  ++last_handle_;
  if (last_handle_ == 0) ++last_handle_;  // 0 means "none"
  return last_handle_;
}

HwmonSmcTransport::Connection* HwmonSmcTransport::FindConnection(SmcConnectionHandle handle) {
  for (Connection& c : connections_) {
    if (c.handle == handle) return &c;
  }
  return nullptr;
}

std::vector<HwmonSmcTransport::Connection>::iterator HwmonSmcTransport::FindService(
    SmcServiceHandle service) {
  return std::find_if(services_.begin(), services_.end(),
                      [service](const Connection& s) { return s.handle == service; });
}

SmcServiceHandle HwmonSmcTransport::FindService(const char* class_name) {
  if (class_name == nullptr || strcmp(class_name, kServiceClass) != 0) return 0;
  auto fans = std::make_shared<const HwmonFanList>(sys_root_);
  if (fans->count() == 0) return 0;
  const SmcServiceHandle service = NextHandle();
  services_.push_back(Connection{service, std::move(fans)});
  return service;
}

int32_t HwmonSmcTransport::Open(SmcServiceHandle service, uint32_t type,
                                SmcConnectionHandle* connection) {
  auto found = FindService(service);
  if (connection == nullptr || type != kSmcConnectionType || found == services_.end()) {
    return kSmcBadArgument;
  }
  Connection opened{NextHandle(), found->fans};
  *connection = opened.handle;
  connections_.push_back(std::move(opened));
  return kSmcSuccess;
}

void HwmonSmcTransport::ReleaseService(SmcServiceHandle service) {
  auto it = FindService(service);
  if (it != services_.end()) services_.erase(it);
}

int32_t HwmonSmcTransport::CallStructMethod(SmcConnectionHandle handle, uint32_t selector,
                                            const SmcParamRecord* input, size_t input_size,
                                            SmcParamRecord* output, size_t* output_size) {
  const Connection* connection = FindConnection(handle);
  if (connection == nullptr || selector != kSmcStructSelector || input == nullptr ||
      output == nullptr || output_size == nullptr || input_size != kSmcRecordSize ||
      *output_size < kSmcRecordSize) {
    return kSmcBadArgument;
  }
  const uint32_t key = LoadSmcField(*input, kSmcKeyOffset);
  const uint8_t command = input->bytes[kSmcCommandOffset];
  if (command != kSmcKeyInfoCommand && command != kSmcReadCommand) return kSmcBadArgument;

  const std::optional<KeyTarget> target = ResolveKey(key);
  if (!target || (!target->fan_count && target->fan >= connection->fans->listed())) {
    return kSmcNotFound;
  }
  const uint32_t type = target->fan_count ? kSmcTypeUi8 : kSmcTypeFlt;

  if (command == kSmcKeyInfoCommand) {
    *output = SmcKeyInfoResponse(key, SmcTypeSize(type), type);
    *output_size = kSmcRecordSize;
    return kSmcSuccess;
  }
  // A read must ask for the size the key-information answer gave, as the controller demands.
  if (LoadSmcField(*input, kSmcDataSizeOffset) != SmcTypeSize(type)) return kSmcBadArgument;
  const std::optional<float> value =
      target->fan_count ? std::optional(static_cast<float>(connection->fans->count()))  // <= 255
                        : connection->fans->ReadRpm(target->fan, target->attribute);
  if (!value) return kSmcNotReadable;
  *output = SmcReadResponse(key, type, *value);
  *output_size = kSmcRecordSize;
  return kSmcSuccess;
}

void HwmonSmcTransport::Close(SmcConnectionHandle handle) {
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                    [handle](const Connection& c) { return c.handle == handle; }),
                     connections_.end());
}

}  // namespace ostrel
