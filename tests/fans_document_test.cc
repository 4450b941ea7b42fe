// End to end: a desktop's hwmon fans, read through the Linux SMC transport by the fan reader,
// served by the sensor server over loopback HTTP.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "platform/hwmon_smc_transport.h"
#include "sensors/fans.h"
#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::BodyOf;
using testing::Exchange;
using testing::FakeLoginItem;

// The fixture: acpitz and nvme without fans; an nct6798 with two fans turning and one stopped,
// minimums but no maximums; an amdgpu card idling with its fan stopped.
constexpr char kDesktop[] = OSTREL_FIXTURES_DIR "/fans_desktop";

TEST(FansDocumentTest, EveryFanOfTheTreeIsServed) {
  FakeLoginItem login;
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.power = [](double*, double*, double*, double*) { return -1; };
  readers.fans = [](OstrelFan* out, int32_t capacity) {
    HwmonSmcTransport smc(kDesktop);
    return ReadFans(smc, out, capacity);
  };
  SensorServer server(login, 0, readers);
  server.start();
  ASSERT_NE(server.boundPort(), 0);

  const std::string body = BodyOf(Exchange(server.boundPort(), "GET / HTTP/1.1\r\n\r\n"));
  const nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
  ASSERT_TRUE(document.is_object()) << body;
  const nlohmann::json expected = nlohmann::json::parse(R"([
      {"index":0,"rpm":1052.0,"min":200.0,"max":0.0},
      {"index":1,"rpm":873.0,"min":200.0,"max":0.0},
      {"index":2,"rpm":0.0,"min":0.0,"max":0.0},
      {"index":3,"rpm":0.0,"min":0.0,"max":3300.0}])");
  EXPECT_EQ(document["fans"], expected) << body;
}

}  // namespace
}  // namespace ostrel
