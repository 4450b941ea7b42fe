// The Linux SMC transport over fixture sysfs trees: the fans it finds and their order, the
// records it answers and refuses, and the fan reader over it (also from many threads at once).
#include "platform/hwmon_smc_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sensors/fans.h"
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

TEST(HwmonSmcTransportTest, ServiceAndConnectionHandles) {
  TempDir dir;
  Write(dir, {kThinkpad});
  HwmonSmcTransport smc(dir.path());
  EXPECT_EQ(smc.FindService("IOHIDEventSystem"), 0u);
  const SmcServiceHandle service = smc.FindService("AppleSMC");
  SmcConnectionHandle connection = 0;
  EXPECT_EQ(smc.Open(service, 1, &connection), kSmcBadArgument);  // only type 0
  ASSERT_EQ(smc.Open(service, 0, &connection), kSmcSuccess);
  smc.ReleaseService(service);
  SmcConnectionHandle again = 0;
  EXPECT_EQ(smc.Open(service, 0, &again), kSmcBadArgument);  // released
  // The connection outlives its service, not its close.
  SmcParamRecord out{};
  size_t size = 80;
  const SmcParamRecord request = SmcKeyInfoRequest(SmcCode("FNum"));
  EXPECT_EQ(smc.CallStructMethod(connection, 2, &request, 80, &out, &size), kSmcSuccess);
  smc.Close(connection);
  EXPECT_EQ(smc.CallStructMethod(connection, 2, &request, 80, &out, &size), kSmcBadArgument);
  EXPECT_EQ(smc.open_services() + smc.open_connections(), 0u);
}

// An open connection over the applesmc chip's two fans.
class HwmonSmcConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Write(dir_, {kAppleSmc});
    const SmcServiceHandle service = smc_.FindService("AppleSMC");
    ASSERT_EQ(smc_.Open(service, 0, &connection_), kSmcSuccess);
    smc_.ReleaseService(service);
  }
  void TearDown() override { smc_.Close(connection_); }

  // One call; the output starts as 0xEE bytes and must stay so, with its size, on failure.
  int32_t Call(const SmcParamRecord& request, SmcParamRecord* out, uint32_t selector = 2,
               size_t input_size = 80, size_t room = 80) {
    std::memset(out->bytes, 0xEE, sizeof out->bytes);
    size_t size = room;
    const int32_t result =
        smc_.CallStructMethod(connection_, selector, &request, input_size, out, &size);
    EXPECT_EQ(size, result == kSmcSuccess ? 80u : room);
    if (result != kSmcSuccess) {
      for (uint8_t b : out->bytes) EXPECT_EQ(b, 0xEE);
    }
    return result;
  }

  TempDir dir_;
  HwmonSmcTransport smc_{dir_.path()};
  SmcConnectionHandle connection_ = 0;
};

TEST_F(HwmonSmcConnectionTest, AnswersAreWholeRecords) {
  const struct {
    const char* key;
    uint32_t type, size;
    std::vector<uint8_t> data;  // the read answer's data bytes
  } cases[] = {
      {"FNum", kSmcTypeUi8, 1, {0x02}},
      {"F0Ac", kSmcTypeFlt, 4, {0x00, 0x20, 0xFA, 0x44}},  // 2001.0f
      {"F0Mn", kSmcTypeFlt, 4, {0x00, 0x00, 0xFA, 0x44}},  // 2000.0f
      {"F1Mx", kSmcTypeFlt, 4, {0x00, 0x20, 0xB2, 0x45}},  // 5700.0f
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    const uint32_t key = SmcCode(c.key);
    SmcParamRecord got, want{};
    ASSERT_EQ(Call(SmcKeyInfoRequest(key), &got), kSmcSuccess);
    StoreSmcField(&want, kSmcKeyOffset, key);
    StoreSmcField(&want, kSmcDataSizeOffset, c.size);
    StoreSmcField(&want, kSmcTypeOffset, c.type);
    EXPECT_EQ(std::memcmp(got.bytes, want.bytes, 80), 0);
    ASSERT_EQ(Call(SmcReadRequest(key, c.size), &got), kSmcSuccess);
    StoreSmcField(&want, kSmcTypeOffset, 0);
    std::memcpy(want.bytes + kSmcDataOffset, c.data.data(), c.data.size());
    EXPECT_EQ(std::memcmp(got.bytes, want.bytes, 80), 0);
  }
}

TEST_F(HwmonSmcConnectionTest, RefusesWhatItCannotAnswer) {
  const uint32_t f0ac = SmcCode("F0Ac");
  SmcParamRecord other_command = SmcReadRequest(f0ac, 4);
  other_command.bytes[kSmcCommandOffset] = 7;
  const struct {
    const char* name;
    SmcParamRecord request;
    uint32_t selector;
    size_t input_size, room;
    int32_t result;
  } cases[] = {
      {"unknown key", SmcKeyInfoRequest(SmcCode("TC0P")), 2, 80, 80, kSmcNotFound},
      {"fan beyond the count", SmcKeyInfoRequest(SmcCode("F2Ac")), 2, 80, 80, kSmcNotFound},
      {"lower-case key", SmcKeyInfoRequest(SmcCode("fnum")), 2, 80, 80, kSmcNotFound},
      {"other command", other_command, 2, 80, 80, kSmcBadArgument},
      {"other selector", SmcKeyInfoRequest(f0ac), 3, 80, 80, kSmcBadArgument},
      {"short input", SmcKeyInfoRequest(f0ac), 2, 79, 80, kSmcBadArgument},
      {"short output", SmcKeyInfoRequest(f0ac), 2, 80, 79, kSmcBadArgument},
      {"read with another size", SmcReadRequest(f0ac, 2), 2, 80, 80, kSmcBadArgument},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SmcParamRecord out;
    EXPECT_EQ(Call(c.request, &out, c.selector, c.input_size, c.room), c.result);
  }
}

// Values are read afresh on every request, but the fan list is fixed at the open, so one
// reading never mixes two lists.
TEST_F(HwmonSmcConnectionTest, ValuesAreFreshTheFanListFixed) {
  SmcParamRecord out;
  float value = 0;
  dir_.Write("class/hwmon/hwmon3/device/fan1_input", "3500\n");
  ASSERT_EQ(Call(SmcReadRequest(SmcCode("F0Ac"), 4), &out), kSmcSuccess);
  ASSERT_TRUE(DecodeSmcValue(out, kSmcTypeFlt, &value));
  EXPECT_EQ(value, 3500.0f);
  Write(dir_, {kSuperIo});  // appears after the open, before this connection's fans
  ASSERT_EQ(Call(SmcReadRequest(SmcCode("FNum"), 1), &out), kSmcSuccess);
  EXPECT_EQ(out.bytes[kSmcDataOffset], 2);
  EXPECT_EQ(Call(SmcKeyInfoRequest(SmcCode("F2Ac")), &out), kSmcNotFound);
  ASSERT_EQ(std::remove((dir_.path() + "/class/hwmon/hwmon3/device/fan2_max").c_str()), 0);
  EXPECT_EQ(Call(SmcReadRequest(SmcCode("F1Mx"), 4), &out), kSmcNotReadable);
  // A new reading sees the new chip first.
  EXPECT_EQ(ReadAll(dir_.path()), "1052/300/0|0/0/0|3500/2000/6156|1998/1800/0");
}

TEST(HwmonSmcTransportTest, FanCountAbove255IsCappedInItsByte) {
  TempDir dir;
  dir.Write("class/hwmon/hwmon0/name", "many\n");
  for (int k = 1; k <= 300; ++k)
    dir.Write("class/hwmon/hwmon0/fan" + std::to_string(k) + "_input", "1\n");
  HwmonSmcTransport smc(dir.path());
  const SmcServiceHandle service = smc.FindService("AppleSMC");
  SmcConnectionHandle connection = 0;
  ASSERT_EQ(smc.Open(service, 0, &connection), kSmcSuccess);
  float count = 0;
  EXPECT_EQ(smcReadFloat({&smc, connection}, "FNum", &count), 1);
  EXPECT_EQ(count, 255.0f);
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

}  // namespace
}  // namespace ostrel
