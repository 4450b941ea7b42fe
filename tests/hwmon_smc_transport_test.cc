// The Linux SMC transport over fixture sysfs trees: the fans it finds and their order, the
// records it answers and refuses, and the fan reader over it, from many threads at once and
// into the served document.
#include "platform/linux/hwmon_smc_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sensors/fans.h"
#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

// One chip folder under class/hwmon/ and its files as "name=contents" (written with a line end).
struct Chip {
  std::string dir;
  std::vector<std::string> files;
};
// A Super-I/O chip: fan 1 turning with a minimum, fan 2 stopped; the driver has no maximum.
const Chip kSuperIo = {
    "hwmon2",
    {"name=nct6775", "fan1_input=1052", "fan1_min=300", "fan1_div=8", "fan2_input=0", "fan2_min=0",
     "fan2_alarm=1", "pwm1=128", "temp1_input=38000"}};
// applesmc on an Intel Mac: every attribute in device/.
const Chip kAppleSmc = {
    "hwmon3/device",
    {"name=applesmc", "fan1_label=Left side  ", "fan1_input=2001", "fan1_min=2000", "fan1_max=6156",
     "fan2_input=1998", "fan2_min=1800", "fan2_max=5700"}};
// thinkpad_acpi: one fan, its speed only.
const Chip kThinkpad = {"hwmon10", {"name=thinkpad", "fan1_input=2921"}};
const Chip kNoFans = {"hwmon0", {"name=coretemp", "temp1_input=45000"}};
// What a broken driver might leave: garbage, a folder for a file, names that only look like fans.
const Chip kGarbage = {"hwmon4",
                       {"name=it87", "fan1_input=abc", "fan1_min=", "fan1_max=-1",
                        "fan2_input=1500", "fan2_min/x=", "fan2_max=99999999999999999999",
                        "fan_input=1", "fanX_input=1", "fan3_inputs=1", "fan5_min=100"}};

void Write(const TempDir& dir, const std::vector<Chip>& chips) {
  for (const Chip& chip : chips) {
    for (const std::string& file : chip.files) {
      const size_t eq = file.find('=');
      dir.Write("class/hwmon/" + chip.dir + "/" + file.substr(0, eq), file.substr(eq + 1) + "\n");
    }
  }
}

// Reads every fan the way the product does, as "rpm/min/max" per fan joined by "|". The fans
// must be numbered from 0 and the transport must hold nothing afterwards.
std::string ReadAll(const std::string& root, int32_t capacity = 8) {
  HwmonSmcTransport smc(root);
  std::vector<OstrelFan> fans(capacity);
  fans.resize(ReadFans(smc, fans.data(), capacity));
  EXPECT_EQ(smc.open_services() + smc.open_connections(), 0u);
  std::string text;
  for (size_t n = 0; n < fans.size(); ++n) {
    EXPECT_EQ(fans[n].index, static_cast<int32_t>(n));
    char fan[80];
    snprintf(fan, sizeof fan, "%s%g/%g/%g", n ? "|" : "", fans[n].rpm, fans[n].minRPM,
             fans[n].maxRPM);
    text += fan;
  }
  return text;
}

TEST(HwmonSmcTransportTest, MachinesAsTheFanReaderSeesThem) {
  const struct {
    const char* name;
    std::vector<Chip> chips;
    const char* fans;
  } cases[] = {
      {"super-io, stopped fan, no maximum", {kSuperIo}, "1052/300/0|0/0/0"},
      {"applesmc in device/", {kAppleSmc}, "2001/2000/6156|1998/1800/5700"},
      {"laptop fan with its speed only", {kThinkpad}, "2921/0/0"},
      {"no fans", {kNoFans}, ""},
      {"no hwmon at all", {}, ""},
      {"garbage files", {kGarbage}, "0/0/0|1500/0/0"},
      {"chips in hwmon order, fans by number",
       {kThinkpad, kGarbage, kAppleSmc, kSuperIo, kNoFans, {"hwmon2", {"fan10_input=777"}}},
       "1052/300/0|0/0/0|777/0/0|2001/2000/6156|1998/1800/5700|0/0/0|1500/0/0|2921/0/0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Write(dir, c.chips);
    EXPECT_EQ(ReadAll(dir.path()), c.fans);
  }
}

std::string Refused(int32_t result) { return "refused " + std::to_string(result); }

// One connection over the applesmc chip, used after its service was released: values are read
// afresh on every request, but the fan list is fixed at the open, so one reading never mixes
// two lists. A request it can't answer leaves the output untouched.
TEST(HwmonSmcTransportTest, AConnectionAnswersFromItsOwnFanList) {
  TempDir dir;
  Write(dir, {kAppleSmc});
  HwmonSmcTransport smc(dir.path());
  const SmcServiceHandle service = smc.FindService("AppleSMC");
  SmcConnectionHandle connection = 0;
  ASSERT_EQ(smc.Open(service, 0, &connection), kSmcSuccess);
  smc.ReleaseService(service);
  // The value a request answers as `type`, or "refused <result>".
  auto call = [&](const SmcParamRecord& request, uint32_t type = kSmcTypeFlt,
                  size_t input_size = 80, uint32_t selector = 2) {
    SmcParamRecord out, before;
    std::memset(&out, 0xEE, sizeof out);
    before = out;
    size_t size = 80;
    const int32_t result =
        smc.CallStructMethod(connection, selector, &request, input_size, &out, &size);
    if (result != kSmcSuccess) {
      EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
      return Refused(result);
    }
    float value = -1;
    EXPECT_TRUE(DecodeSmcValue(out, type, &value));
    return std::to_string(static_cast<int>(value));
  };
  const uint32_t f0ac = SmcCode("F0Ac");
  dir.Write("class/hwmon/hwmon3/device/fan1_input", "3500\n");
  EXPECT_EQ(call(SmcReadRequest(f0ac, 4)), "3500");
  Write(dir, {kSuperIo});  // appears after the open, and sorts before applesmc
  EXPECT_EQ(call(SmcReadRequest(SmcCode("FNum"), 1), kSmcTypeUi8), "2");
  EXPECT_EQ(call(SmcKeyInfoRequest(SmcCode("F2Ac"))), Refused(kSmcNotFound));
  std::filesystem::remove(dir.path() + "/class/hwmon/hwmon3/device/fan2_max");
  EXPECT_EQ(call(SmcReadRequest(SmcCode("F1Mx"), 4)), Refused(kSmcNotReadable));
  EXPECT_EQ(call(SmcKeyInfoRequest(SmcCode("TC0P"))), Refused(kSmcNotFound));
  EXPECT_EQ(call(SmcReadRequest(f0ac, 2)), Refused(kSmcBadArgument));  // not the size info gave
  EXPECT_EQ(call(SmcKeyInfoRequest(f0ac), kSmcTypeFlt, 79), Refused(kSmcBadArgument));
  EXPECT_EQ(call(SmcKeyInfoRequest(f0ac), kSmcTypeFlt, 80, 3), Refused(kSmcBadArgument));
  smc.Close(connection);
  EXPECT_EQ(call(SmcReadRequest(f0ac, 4)), Refused(kSmcBadArgument));
  EXPECT_EQ(smc.open_services() + smc.open_connections(), 0u);
  // A new reading sees the new chip first.
  EXPECT_EQ(ReadAll(dir.path()), "1052/300/0|0/0/0|3500/2000/6156|1998/1800/0");
}

// 256 fans: "FNum" is one byte, which must hold 255 rather than wrap to 0.
TEST(HwmonSmcTransportTest, FanCountAbove255IsCappedInItsByte) {
  TempDir dir;
  dir.Write("class/hwmon/hwmon0/name", "many\n");
  for (int k = 1; k <= 256; ++k)
    dir.Write("class/hwmon/hwmon0/fan" + std::to_string(k) + "_input", "1\n");
  EXPECT_EQ(ReadAll(dir.path(), 64), "1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0");
}

TEST(FansConcurrencyTest, SixteenThreadsReadTheSameTreeAlike) {
  TempDir dir;
  Write(dir, {kNoFans, kSuperIo, kAppleSmc, kThinkpad});
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        if (ReadAll(dir.path()) != "1052/300/0|0/0/0|2001/2000/6156|1998/1800/5700|2921/0/0") {
          ++mismatches;
        }
        // The product's entry point over this machine's /sys too: within bounds, whatever it finds.
        OstrelFan own[8];
        const int32_t count = ostrel_read_fans(own, 8);
        if (count < 0 || count > 8) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(FansDocumentTest, EveryFanOfTheTreeIsServed) {
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.power = [](double*, double*, double*, double*) { return -1; };
  readers.fans = [](OstrelFan* out, int32_t capacity) {
    // acpitz and nvme without fans; an nct6798 with two fans turning and one stopped, minimums
    // but no maximums; an amdgpu card idling with its fan stopped.
    HwmonSmcTransport smc(OSTREL_FIXTURES_DIR "/fans_desktop");
    return ReadFans(smc, out, capacity);
  };
  testing::FakeLoginItem login;
  SensorServer server(login, 0, readers);
  server.start();
  const std::string body =
      testing::BodyOf(testing::Exchange(server.boundPort(), "GET / HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(nlohmann::json::parse(body)["fans"], nlohmann::json::parse(R"([
      {"index":0,"rpm":1052.0,"min":200.0,"max":0.0},
      {"index":1,"rpm":873.0,"min":200.0,"max":0.0},
      {"index":2,"rpm":0.0,"min":0.0,"max":0.0},
      {"index":3,"rpm":0.0,"min":0.0,"max":3300.0}])"));
}

}  // namespace
}  // namespace ostrel
