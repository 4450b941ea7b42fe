// snapshot.cc: the snapshot document. Every call reads the sensors afresh into buffers of its
// own; only the power reading is serialised, under powerLock_.
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "server/sensor_server.h"
#include "server/text.h"

namespace ostrel {
namespace {

using Json = nlohmann::ordered_json;

constexpr int32_t kTempCapacity = 16;
constexpr int32_t kFanCapacity = 8;

// A label's bytes up to its first zero (at most the whole field), as well-formed UTF-8.
std::string LabelText(const OstrelTemp& temp) {
  const size_t length = strnlen(temp.label, sizeof temp.label);
  return ToValidUtf8(std::string_view(temp.label, length));
}

// A count outside [0, capacity] never comes from our readers; treat it as nothing read rather
// than read past the buffer.
int32_t Bounded(int32_t count, int32_t capacity) {
  return count < 0 || count > capacity ? 0 : count;
}

}  // namespace

std::string SensorServer::snapshotJSON() {
  OstrelTemp temps[kTempCapacity];
  std::memset(temps, 0, sizeof temps);
  OstrelFan fans[kFanCapacity];
  std::memset(fans, 0, sizeof fans);
  double cpu = 0.0, gpu = 0.0, ane = 0.0, soc = 0.0;

  const int32_t temp_count = Bounded(readers_.temps(temps, kTempCapacity), kTempCapacity);
  const int32_t fan_count = Bounded(readers_.fans(fans, kFanCapacity), kFanCapacity);
  int32_t power_status;
  {
    std::lock_guard<std::mutex> hold(powerLock_);
    power_status = readers_.power(&cpu, &gpu, &ane, &soc);
  }
  const bool login_item = login_item_.IsEnabled();

  // JSON has no way to write NaN or infinity; such a reading fails the whole document.
  bool finite = true;
  auto number = [&finite](double value) {
    finite = finite && std::isfinite(value);
    return value;
  };

  try {
    Json temperatures = Json::array();
    for (int32_t i = 0; i < temp_count; ++i) {
      temperatures.push_back({{"label", LabelText(temps[i])}, {"celsius", number(temps[i].celsius)}});
    }
    Json fan_list = Json::array();
    for (int32_t i = 0; i < fan_count; ++i) {
      fan_list.push_back({{"index", fans[i].index},
                          {"rpm", number(fans[i].rpm)},
                          {"min", number(fans[i].minRPM)},
                          {"max", number(fans[i].maxRPM)}});
    }
    Json power = Json::object();
    if (power_status == 0) {
      power = {{"soc", number(soc)}, {"cpu", number(cpu)}, {"gpu", number(gpu)},
               {"ane", number(ane)}};
    }
    const Json document = {{"temperatures", std::move(temperatures)},
                           {"fans", std::move(fan_list)},
                           {"power", std::move(power)},
                           {"loginItem", login_item},
                           {"helper", "ostrel"},
                           {"version", 1}};
    if (!finite) return "{}";
    return document.dump();  // compact; throws on text that is not UTF-8, caught below
  } catch (...) {
    return "{}";
  }
}

}  // namespace ostrel
