// hwmon_smc_transport.cc: SMC fan keys answered from hwmon sysfs attributes.
#include "platform/linux/hwmon_smc_transport.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

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

// Resolves a key code; false for any key this transport doesn't answer.
bool ResolveKey(uint32_t key, KeyTarget* target) {
  if (key == kFanCountKey) {
    target->fan_count = true;
    return true;
  }
  const char c0 = static_cast<char>(key >> 24), c1 = static_cast<char>(key >> 16);
  const char c2 = static_cast<char>(key >> 8), c3 = static_cast<char>(key);
  if (c0 != 'F' || c1 < '0' || c1 > '9') return false;
  if (c2 == 'A' && c3 == 'c') {
    target->attribute = "input";
  } else if (c2 == 'M' && c3 == 'n') {
    target->attribute = "min";
  } else if (c2 == 'M' && c3 == 'x') {
    target->attribute = "max";
  } else {
    return false;
  }
  target->fan = static_cast<size_t>(c1 - '0');
  return true;
}

// A speed file's value in RPM. False when missing, unreadable, garbage or negative (no fan
// turns backwards; a negative number is a driver error code, not a speed).
bool ReadRpm(const std::string& path, float* rpm) {
  int64_t value;
  if (!ReadSysfsInt(path, &value) || value < 0) return false;
  *rpm = static_cast<float>(value);
  return true;
}

}  // namespace

std::vector<std::string> ListHwmonFans(const std::string& sys_root) {
  std::vector<std::string> fans;
  for (const HwmonChip& chip : ListHwmonChips(sys_root)) {
    for (const std::string& name : ListEntries(chip.attr_dir, "fan")) {
      if (!IsFanInput(name)) continue;
      // "fan3_input" -> "<dir>/fan3_"
      fans.push_back(chip.attr_dir + "/" + name.substr(0, name.size() - std::strlen("input")));
    }
  }
  return fans;
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
  if (class_name == nullptr || std::strcmp(class_name, kServiceClass) != 0) return 0;
  std::vector<std::string> fans = ListHwmonFans(sys_root_);
  if (fans.empty()) return 0;
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

  KeyTarget target;
  if (!ResolveKey(key, &target)) return kSmcNotFound;
  if (!target.fan_count && target.fan >= connection->fans.size()) return kSmcNotFound;
  const uint32_t type = target.fan_count ? kSmcTypeUi8 : kSmcTypeFlt;

  if (command == kSmcKeyInfoCommand) {
    *output = SmcKeyInfoResponse(key, SmcTypeSize(type), type);
    *output_size = kSmcRecordSize;
    return kSmcSuccess;
  }
  // A read must ask for the size the key-information answer gave, as the controller demands.
  if (LoadSmcField(*input, kSmcDataSizeOffset) != SmcTypeSize(type)) return kSmcBadArgument;
  float value;
  if (target.fan_count) {
    value = static_cast<float>(connection->fans.size());  // the encoder caps it at 255
  } else if (!ReadRpm(connection->fans[target.fan] + target.attribute, &value)) {
    return kSmcNotReadable;
  }
  *output = SmcReadResponse(key, type, value);
  *output_size = kSmcRecordSize;
  return kSmcSuccess;
}

void HwmonSmcTransport::Close(SmcConnectionHandle handle) {
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                    [handle](const Connection& c) { return c.handle == handle; }),
                     connections_.end());
}

}  // namespace ostrel
