// snapshot.cc: the snapshot document from one set of readings, and the server's reading of
// them: every call reads the sensors afresh into buffers of its own; only the power reading is
// serialised, under powerLock_.
#include "server/snapshot.h"

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

std::string SnapshotDocument(const Readings& readings) {
  const int32_t temp_count = Bounded(readings.temp_count, readings.temp_capacity);
  const int32_t fan_count = Bounded(readings.fan_count, readings.fan_capacity);
  const OstrelTemp* temps = readings.temps;
  const OstrelFan* fans = readings.fans;

  // JSON has no way to write NaN or infinity; such a reading fails the whole document.
  bool finite = true;
  auto number = [&finite](double value) {
    finite = finite && std::isfinite(value);
    return value;
  };

  try {
    Json temperatures = Json::array();
    for (int32_t i = 0; i < temp_count; ++i) {
      temperatures.push_back(
          {{"label", LabelText(temps[i])}, {"celsius", number(temps[i].celsius)}});
    }
    Json fan_list = Json::array();
    for (int32_t i = 0; i < fan_count; ++i) {
      fan_list.push_back({{"index", fans[i].index},
                          {"rpm", number(fans[i].rpm)},
                          {"min", number(fans[i].minRPM)},
                          {"max", number(fans[i].maxRPM)}});
    }
    Json power = Json::object();
    if (readings.power_status == 0) {
      power = {{"soc", number(readings.soc)},
               {"cpu", number(readings.cpu)},
               {"gpu", number(readings.gpu)},
               {"ane", number(readings.ane)}};
    }
    const Json document = {{"temperatures", std::move(temperatures)},
                           {"fans", std::move(fan_list)},
                           {"power", std::move(power)},
                           {"loginItem", readings.login_item},
                           {"helper", "ostrel"},
                           {"version", 1}};
    if (!finite) return "{}";
    return document.dump();  // compact; throws on text that is not UTF-8, caught below
  } catch (...) {
    return "{}";
  }
}

std::string SensorServer::snapshotJSON() {
  OstrelTemp temps[kTempCapacity];
  std::memset(temps, 0, sizeof temps);
  OstrelFan fans[kFanCapacity];
  std::memset(fans, 0, sizeof fans);
  Readings readings;
  readings.temps = temps;
  readings.temp_capacity = kTempCapacity;
  readings.temp_count = readers_.temps(temps, kTempCapacity);
  readings.fans = fans;
  readings.fan_capacity = kFanCapacity;
  readings.fan_count = readers_.fans(fans, kFanCapacity);
  {
    std::lock_guard<std::mutex> hold(powerLock_);
    readings.power_status =
        readers_.power(&readings.cpu, &readings.gpu, &readings.ane, &readings.soc);
  }
  readings.login_item = HelperLoginItem::isEnabled(login_item_.service);
  return SnapshotDocument(readings);
}

}  // namespace ostrel
