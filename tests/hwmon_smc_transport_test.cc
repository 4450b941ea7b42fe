// The Linux SMC transport over fixture sysfs trees: which fans it finds and in what order, the
// records it answers, the requests it refuses, and the fan reader running over it (also from
// many threads at once).
#include "platform/hwmon_smc_transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sensors/fans.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

// A Super-I/O chip: fan 1 turning with a minimum, fan 2 stopped; the driver has no maximum.
void WriteSuperIo(const TempDir& sys, const std::string& hwmon) {
  const std::string dir = "class/hwmon/" + hwmon + "/";
  sys.Write(dir + "name", "nct6775\n");
  sys.Write(dir + "fan1_input", "1052\n");
  sys.Write(dir + "fan1_min", "300\n");
  sys.Write(dir + "fan1_alarm", "0\n");
  sys.Write(dir + "fan1_beep", "0\n");
  sys.Write(dir + "fan1_div", "8\n");
  sys.Write(dir + "fan1_pulses", "2\n");
  sys.Write(dir + "fan2_input", "0\n");
  sys.Write(dir + "fan2_min", "0\n");
  sys.Write(dir + "fan2_alarm", "1\n");
  sys.Write(dir + "temp1_input", "38000\n");
  sys.Write(dir + "pwm1", "128\n");
}

// applesmc on an Intel Mac: every attribute in device/.
void WriteAppleSmc(const TempDir& sys, const std::string& hwmon) {
  const std::string dir = "class/hwmon/" + hwmon + "/device/";
  sys.Write(dir + "name", "applesmc\n");
  sys.Write(dir + "fan1_label", "Left side  \n");
  sys.Write(dir + "fan1_input", "2001\n");
  sys.Write(dir + "fan1_min", "2000\n");
  sys.Write(dir + "fan1_max", "6156\n");
  sys.Write(dir + "fan1_manual", "0\n");
  sys.Write(dir + "fan1_output", "2000\n");
  sys.Write(dir + "fan2_label", "Right side \n");
  sys.Write(dir + "fan2_input", "1998\n");
  sys.Write(dir + "fan2_min", "1800\n");
  sys.Write(dir + "fan2_max", "5700\n");
  sys.Write(dir + "temp1_input", "41000\n");
}

// thinkpad_acpi: one fan, its speed only.
void WriteThinkpad(const TempDir& sys, const std::string& hwmon) {
  const std::string dir = "class/hwmon/" + hwmon + "/";
  sys.Write(dir + "name", "thinkpad\n");
  sys.Write(dir + "fan1_input", "2921\n");
  sys.Write(dir + "pwm1_enable", "2\n");
}

// Chips without fans.
void WriteNoFans(const TempDir& sys) {
  sys.Write("class/hwmon/hwmon0/name", "acpitz\n");
  sys.Write("class/hwmon/hwmon0/temp1_input", "27800\n");
  sys.Write("class/hwmon/hwmon1/name", "coretemp\n");
  sys.Write("class/hwmon/hwmon1/temp1_input", "45000\n");
  sys.Write("class/hwmon/hwmon1/temp1_label", "Package id 0\n");
}

// Files a broken or odd driver might leave.
void WriteGarbage(const TempDir& sys) {
  const std::string dir = "class/hwmon/hwmon4/";
  sys.Write(dir + "name", "it87\n");
  sys.Write(dir + "fan1_input", "abc\n");
  sys.Write(dir + "fan1_min", "");
  sys.Write(dir + "fan1_max", "-1\n");
  sys.Write(dir + "fan2_input", "1500\n");
  sys.MakeDir(dir + "fan2_min");                        // a folder where a file belongs
  sys.Write(dir + "fan2_max", "99999999999999999999");  // beyond int64
  sys.Write(dir + "fan_input", "1\n");                  // not fan<k>_input
  sys.Write(dir + "fanX_input", "1\n");
  sys.Write(dir + "fan3_inputs", "1\n");
  sys.Write(dir + "fan4input", "1\n");
  sys.Write(dir + "fan5_min", "100\n");  // no fan5_input: not a fan
}

// Reads every fan the way the product does, with a transport of its own over `root`.
std::vector<OstrelFan> ReadAll(const std::string& root, int32_t capacity = 8) {
  HwmonSmcTransport smc(root);
  std::vector<OstrelFan> fans(capacity > 0 ? capacity : 1, OstrelFan{-1, -1, -1, -1});
  const int32_t count = ReadFans(smc, fans.data(), capacity);
  EXPECT_EQ(smc.open_services(), 0u);
  EXPECT_EQ(smc.open_connections(), 0u);
  fans.resize(count < 0 ? 0 : count);
  return fans;
}

struct Speeds {
  double rpm, min, max;
};

void ExpectFans(const std::vector<OstrelFan>& fans, const std::vector<Speeds>& expected) {
  ASSERT_EQ(fans.size(), expected.size());
  for (size_t n = 0; n < fans.size(); ++n) {
    EXPECT_EQ(fans[n].index, static_cast<int32_t>(n));
    EXPECT_EQ(fans[n].rpm, expected[n].rpm) << "fan " << n;
    EXPECT_EQ(fans[n].minRPM, expected[n].min) << "fan " << n;
    EXPECT_EQ(fans[n].maxRPM, expected[n].max) << "fan " << n;
  }
}

TEST(HwmonSmcTransportTest, MachinesAsTheFanReaderSeesThem) {
  const struct {
    const char* name;
    std::function<void(const TempDir&)> write;
    std::vector<Speeds> fans;
  } cases[] = {
      {"super-io, stopped fan, no maximum",
       [](const TempDir& s) { WriteSuperIo(s, "hwmon2"); },
       {{1052, 300, 0}, {0, 0, 0}}},
      {"applesmc in device/",
       [](const TempDir& s) { WriteAppleSmc(s, "hwmon0"); },
       {{2001, 2000, 6156}, {1998, 1800, 5700}}},
      {"laptop fan with its speed only",
       [](const TempDir& s) { WriteThinkpad(s, "hwmon5"); },
       {{2921, 0, 0}}},
      {"no fans", [](const TempDir& s) { WriteNoFans(s); }, {}},
      {"no hwmon at all", [](const TempDir&) {}, {}},
      {"garbage files", [](const TempDir& s) { WriteGarbage(s); }, {{0, 0, 0}, {1500, 0, 0}}},
      {"chips in hwmon order, fans by number",
       [](const TempDir& s) {
         WriteNoFans(s);
         WriteThinkpad(s, "hwmon10");
         WriteSuperIo(s, "hwmon2");
         s.Write("class/hwmon/hwmon2/fan10_input", "777\n");  // after fan2, not after fan1
       },
       {{1052, 300, 0}, {0, 0, 0}, {777, 0, 0}, {2921, 0, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir sys;
    c.write(sys);
    ExpectFans(ReadAll(sys.path()), c.fans);
  }
}

TEST(HwmonSmcTransportTest, ServiceMatchesOnlyWithFans) {
  TempDir none, some;
  WriteNoFans(none);
  WriteThinkpad(some, "hwmon0");
  HwmonSmcTransport empty(none.path());
  EXPECT_EQ(empty.FindService("AppleSMC"), 0u);
  HwmonSmcTransport smc(some.path());
  EXPECT_EQ(smc.FindService("IOHIDEventSystem"), 0u);
  EXPECT_EQ(smc.FindService(""), 0u);
  const SmcServiceHandle service = smc.FindService("AppleSMC");
  EXPECT_NE(service, 0u);
  EXPECT_EQ(smc.open_services(), 1u);

  SmcConnectionHandle connection = 0;
  EXPECT_EQ(smc.Open(service, 1, &connection), kSmcBadArgument);  // only type 0
  EXPECT_EQ(smc.Open(service + 100, 0, &connection), kSmcBadArgument);
  EXPECT_EQ(connection, 0u);
  ASSERT_EQ(smc.Open(service, 0, &connection), kSmcSuccess);
  EXPECT_NE(connection, 0u);
  smc.ReleaseService(service);
  EXPECT_EQ(smc.open_services(), 0u);
  SmcConnectionHandle again = 0;
  EXPECT_EQ(smc.Open(service, 0, &again), kSmcBadArgument);  // released
  EXPECT_EQ(again, 0u);

  // The connection outlives its service.
  SmcParamRecord out{};
  size_t size = 80;
  const SmcParamRecord request = SmcKeyInfoRequest(SmcCode("FNum"));
  EXPECT_EQ(smc.CallStructMethod(connection, 2, &request, 80, &out, &size), kSmcSuccess);
  smc.Close(connection);
  EXPECT_EQ(smc.open_connections(), 0u);
  EXPECT_EQ(smc.CallStructMethod(connection, 2, &request, 80, &out, &size), kSmcBadArgument);
}

// An open connection over one applesmc chip with two fans.
class HwmonSmcConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteAppleSmc(sys_, "hwmon1");
    const SmcServiceHandle service = smc_.FindService("AppleSMC");
    ASSERT_NE(service, 0u);
    ASSERT_EQ(smc_.Open(service, 0, &connection_), kSmcSuccess);
    smc_.ReleaseService(service);
  }
  void TearDown() override { smc_.Close(connection_); }

  // One call with the given request; the output starts as 0xEE bytes so writes show.
  int32_t Call(const SmcParamRecord& request, SmcParamRecord* out, uint32_t selector = 2,
               size_t input_size = 80, size_t room = 80) {
    std::memset(out->bytes, 0xEE, sizeof out->bytes);
    size_t size = room;
    const int32_t result =
        smc_.CallStructMethod(connection_, selector, &request, input_size, out, &size);
    if (result == kSmcSuccess) {
      EXPECT_EQ(size, 80u);
    } else {
      EXPECT_EQ(size, room);  // untouched on failure
      for (uint8_t b : out->bytes) EXPECT_EQ(b, 0xEE);
    }
    return result;
  }

  TempDir sys_;
  HwmonSmcTransport smc_{sys_.path()};
  SmcConnectionHandle connection_ = 0;
};

TEST_F(HwmonSmcConnectionTest, AnswersAreFullRecordsOfTheCodec) {
  const struct {
    const char* key;
    uint32_t type;
    uint32_t size;
    std::vector<uint8_t> data;  // the read answer's first data bytes
  } cases[] = {
      {"FNum", kSmcTypeUi8, 1, {0x02}},
      {"F0Ac", kSmcTypeFlt, 4, {0x00, 0x20, 0xFA, 0x44}},  // 2001.0f
      {"F0Mn", kSmcTypeFlt, 4, {0x00, 0x00, 0xFA, 0x44}},  // 2000.0f
      {"F1Mx", kSmcTypeFlt, 4, {0x00, 0x20, 0xB2, 0x45}},  // 5700.0f
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    const uint32_t key = SmcCode(c.key);
    SmcParamRecord info;
    ASSERT_EQ(Call(SmcKeyInfoRequest(key), &info), kSmcSuccess);
    const SmcParamRecord want_info = SmcKeyInfoResponse(key, c.size, c.type);
    EXPECT_EQ(0, std::memcmp(info.bytes, want_info.bytes, 80));
    EXPECT_EQ(LoadSmcField(info, 28), c.size);
    EXPECT_EQ(LoadSmcField(info, 32), c.type);

    SmcParamRecord read;
    ASSERT_EQ(Call(SmcReadRequest(key, c.size), &read), kSmcSuccess);
    SmcParamRecord want_read{};
    StoreSmcField(&want_read, 0, key);
    StoreSmcField(&want_read, 28, c.size);
    std::memcpy(want_read.bytes + 48, c.data.data(), c.data.size());
    EXPECT_EQ(0, std::memcmp(read.bytes, want_read.bytes, 80));
  }
}

TEST_F(HwmonSmcConnectionTest, RefusesWhatItCannotAnswer) {
  const uint32_t f0ac = SmcCode("F0Ac");
  SmcParamRecord bad_command = SmcReadRequest(f0ac, 4);
  bad_command.bytes[42] = 7;
  const struct {
    const char* name;
    SmcParamRecord request;
    uint32_t selector;
    size_t input_size;
    size_t room;
    int32_t result;
  } cases[] = {
      {"unknown key", SmcKeyInfoRequest(SmcCode("TC0P")), 2, 80, 80, kSmcNotFound},
      {"read of unknown key", SmcReadRequest(SmcCode("F0Tg"), 4), 2, 80, 80, kSmcNotFound},
      {"fan beyond the count", SmcKeyInfoRequest(SmcCode("F2Ac")), 2, 80, 80, kSmcNotFound},
      {"lower-case key", SmcKeyInfoRequest(SmcCode("fnum")), 2, 80, 80, kSmcNotFound},
      {"zero key", SmcKeyInfoRequest(0), 2, 80, 80, kSmcNotFound},
      {"other command", bad_command, 2, 80, 80, kSmcBadArgument},
      {"command zero", SmcParamRecord{}, 2, 80, 80, kSmcBadArgument},
      {"other selector", SmcKeyInfoRequest(f0ac), 3, 80, 80, kSmcBadArgument},
      {"short input", SmcKeyInfoRequest(f0ac), 2, 79, 80, kSmcBadArgument},
      {"short output", SmcKeyInfoRequest(f0ac), 2, 80, 79, kSmcBadArgument},
      {"read with size 0", SmcReadRequest(f0ac, 0), 2, 80, 80, kSmcBadArgument},
      {"read with size 2", SmcReadRequest(f0ac, 2), 2, 80, 80, kSmcBadArgument},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SmcParamRecord out;
    EXPECT_EQ(Call(c.request, &out, c.selector, c.input_size, c.room), c.result);
  }
}

TEST_F(HwmonSmcConnectionTest, ValuesAreReadAfreshButTheFanListIsFixedAtOpen) {
  SmcParamRecord out;
  float value = 0;
  ASSERT_EQ(Call(SmcReadRequest(SmcCode("F0Ac"), 4), &out), kSmcSuccess);
  ASSERT_TRUE(DecodeSmcValue(out, kSmcTypeFlt, &value));
  EXPECT_EQ(value, 2001.0f);
  sys_.Write("class/hwmon/hwmon1/device/fan1_input", "3500\n");
  ASSERT_EQ(Call(SmcReadRequest(SmcCode("F0Ac"), 4), &out), kSmcSuccess);
  ASSERT_TRUE(DecodeSmcValue(out, kSmcTypeFlt, &value));
  EXPECT_EQ(value, 3500.0f);

  // A chip that appears after the open is not this connection's: FNum stays 2 and F2Ac does
  // not exist, so one reading never mixes two fan lists.
  WriteThinkpad(sys_, "hwmon0");
  ASSERT_EQ(Call(SmcReadRequest(SmcCode("FNum"), 1), &out), kSmcSuccess);
  EXPECT_EQ(out.bytes[48], 2);
  EXPECT_EQ(Call(SmcKeyInfoRequest(SmcCode("F2Ac")), &out), kSmcNotFound);
  // A file that vanishes fails its read.
  ASSERT_EQ(std::remove((sys_.path() + "/class/hwmon/hwmon1/device/fan2_max").c_str()), 0);
  EXPECT_EQ(Call(SmcReadRequest(SmcCode("F1Mx"), 4), &out), kSmcNotReadable);
  // A new reading sees the new chip first (hwmon0 sorts before hwmon1).
  ExpectFans(ReadAll(sys_.path()), {{2921, 0, 0}, {3500, 2000, 6156}, {1998, 1800, 0}});
}

TEST(HwmonSmcTransportTest, FanCountAbove255IsCappedInItsByte) {
  TempDir sys;
  sys.Write("class/hwmon/hwmon0/name", "many\n");
  for (int k = 1; k <= 300; ++k)
    sys.Write("class/hwmon/hwmon0/fan" + std::to_string(k) + "_input", "1\n");
  EXPECT_EQ(ListHwmonFans(sys.path()).size(), 300u);
  HwmonSmcTransport smc(sys.path());
  const SmcServiceHandle service = smc.FindService("AppleSMC");
  SmcConnectionHandle connection = 0;
  ASSERT_EQ(smc.Open(service, 0, &connection), kSmcSuccess);
  smc.ReleaseService(service);
  float count = 0;
  EXPECT_EQ(smcReadFloat({&smc, connection}, "FNum", &count), 1);
  EXPECT_EQ(count, 255.0f);
  smc.Close(connection);
  EXPECT_EQ(ReadAll(sys.path(), 64).size(), static_cast<size_t>(kMaxKeyedFans));
}

TEST(FansConcurrencyTest, SixteenThreadsReadTheSameTreeAlike) {
  TempDir sys;
  WriteNoFans(sys);
  WriteSuperIo(sys, "hwmon2");
  WriteAppleSmc(sys, "hwmon3");
  WriteThinkpad(sys, "hwmon4");
  const std::vector<Speeds> expected = {
      {1052, 300, 0}, {0, 0, 0}, {2001, 2000, 6156}, {1998, 1800, 5700}, {2921, 0, 0}};
  std::vector<std::thread> threads;
  std::vector<int> mismatches(16, 0);
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const auto fans = ReadAll(sys.path());
        bool same = fans.size() == expected.size();
        for (size_t n = 0; same && n < fans.size(); ++n) {
          same = fans[n].index == static_cast<int32_t>(n) && fans[n].rpm == expected[n].rpm &&
                 fans[n].minRPM == expected[n].min && fans[n].maxRPM == expected[n].max;
        }
        mismatches[t] += !same;
        // The product entry too, over this machine's /sys: whatever it finds, within bounds.
        OstrelFan own[8];
        const int32_t count = ostrel_read_fans(own, 8);
        mismatches[t] += count < 0 || count > 8;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 16; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace ostrel
