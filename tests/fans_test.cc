// Fans: the SMC record codec, the fan reader over an in-memory controller (every call and every
// failure path), and the hwmon transport over fixture trees.
#include "sensors/fans.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "platform/linux/hwmon_smc_transport.h"
#include "platform/smc_record.h"
#include "tests/fakes.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::FakeSmc;
using testing::KeyName;
using testing::TempDir;

// The non-zero bytes of a record as "offset:hex" runs, e.g. "0:6d754e46 42:09".
std::string Sparse(const SmcParamRecord& record) {
  std::string text;
  for (size_t i = 0; i < kSmcRecordSize; ++i) {
    if (record.bytes[i] == 0) continue;
    char hex[8];
    snprintf(hex, sizeof hex, "%02x", record.bytes[i]);
    const bool run = i > 0 && record.bytes[i - 1] != 0;
    text += (run ? "" : std::string(text.empty() ? "" : " ") + std::to_string(i) + ":") + hex;
  }
  return text;
}

// Key at 0 and data size at 28, least significant byte first; type at 32; command at 42; data
// from 48, each type in its own encoding (clamped to what it can carry).
TEST(SmcRecordTest, BytesOfRequestsResponsesAndValues) {
  EXPECT_EQ(SmcCode("F10Ac"), 0x46313041u);  // the first four characters only
  EXPECT_EQ(SmcCode("ab"), 0x61620000u);     // a shorter text ends at its zero
  EXPECT_EQ(Sparse(SmcKeyInfoRequest(SmcCode("FNum"))), "0:6d754e46 42:09");
  EXPECT_EQ(Sparse(SmcReadRequest(SmcCode("F0Ac"), 0x01020304)), "0:63413046 28:04030201 42:05");
  EXPECT_EQ(Sparse(SmcKeyInfoResponse(1, 0x01020304, kSmcTypeFlt)), "0:01 28:0403020120746c66");
  const struct {
    const char* type;
    float value;
    const char* record;  // of SmcReadResponse(0, type, value)
    float decoded;
  } cases[] = {// clang-format off
      {"flt ", 1200.5f, "28:04 49:109644", 1200.5f}, {"fpe2", 1165.9f, "28:02 48:1234", 1165},
      {"fpe2", 20000, "28:02 48:fffc", 16383},       {"ui16", 1500, "28:02 48:05dc", 1500},
      {"ui16", 70000, "28:02 48:ffff", 65535},       {"ui16", 65534.9f, "28:02 48:fffe", 65534},
      {"ui8 ", 2.9f, "28:01 48:02", 2},              {"ui8 ", 255, "28:01 48:ff", 255},
      {"ui8 ", 256, "28:01 48:ff", 255},             {"ui8 ", -5, "28:01", 0},
      {"ui8 ", NAN, "28:01", 0},                     {"sp78", 42, "", -1},  {"", 42, "", -1}};
  // clang-format on
  for (const auto& c : cases) {
    const SmcParamRecord response = SmcReadResponse(0, SmcCode(c.type), c.value);
    EXPECT_EQ(Sparse(response), c.record) << c.type << c.value;
    float value = -1;
    EXPECT_EQ(DecodeSmcValue(response, SmcCode(c.type), &value), c.decoded != -1);
    EXPECT_EQ(value, c.decoded) << c.type << c.value;
    EXPECT_EQ(SmcTypeSize(SmcCode(c.type)), LoadSmcField(response, 28));
  }
}

// FNum = `count` as `type`, and fans 0 to 11 at 1000 + n, 500 + n and 6000 + n RPM.
FakeSmc& Fans(FakeSmc& smc, uint32_t type, float count) {
  smc.keys["FNum"] = {type, count};
  for (int n = 0; n < 12; ++n) {
    const std::string fan = "F" + std::to_string(n);
    smc.keys[fan + "Ac"] = {kSmcTypeFlt, 1000.0f + n};
    smc.keys[fan + "Mn"] = {kSmcTypeFlt, 500.0f + n};
    smc.keys[fan + "Mx"] = {kSmcTypeFlt, 6000.0f + n};
  }
  return smc;
}

std::string Text(const OstrelFan& fan) {
  return std::to_string(fan.index) + ": " + testing::Number(fan.rpm) + "/" +
         testing::Number(fan.minRPM) + "/" + testing::Number(fan.maxRPM);
}

TEST(ReadFansTest, EnumerationAndEveryFailurePath) {
  const uint32_t ui8 = kSmcTypeUi8, flt = kSmcTypeFlt;
  auto opened = [](int calls) { return "for" + std::string(calls, 'c') + "x"; };
  const struct {
    const char* name;
    std::function<void(FakeSmc&)> setup;
    int32_t capacity;
    int32_t count;       // returned, and records filled
    std::string events;  // the release right after the open, the close after the last call
  } cases[] = {
      // clang-format off
      {"no service", [](auto& s) { s.has_service = false; }, 8, 0, "f"},
      {"open fails", [=](auto& s) { Fans(s, ui8, 2).open_fails = true; }, 8, 0, "for"},
      {"FNum info fails", [=](auto& s) { Fans(s, ui8, 2).keys["FNum"].info_fails = true; }, 8, 0,
       opened(1)},
      {"FNum read fails", [=](auto& s) { Fans(s, ui8, 2).keys["FNum"].read_fails = true; }, 8, 0,
       opened(2)},
      {"FNum missing", [=](auto& s) { s.keys["F0Ac"] = {flt, 1}; }, 8, 0, opened(1)},
      {"FNum type zero", [](auto& s) { Fans(s, 0, 2); }, 8, 0, opened(2)},
      {"FNum 0", [=](auto& s) { Fans(s, ui8, 0); }, 8, 0, opened(2)},
      {"FNum NaN", [=](auto& s) { Fans(s, flt, NAN); }, 8, 0, opened(2)},
      {"FNum -1", [=](auto& s) { Fans(s, flt, -1); }, 8, 0, opened(2)},
      {"FNum -inf", [=](auto& s) { Fans(s, flt, -INFINITY); }, 8, 0, opened(2)},
      {"FNum 0.99", [=](auto& s) { Fans(s, flt, 0.99f); }, 8, 0, opened(2)},
      {"FNum 1", [=](auto& s) { Fans(s, flt, 1); }, 8, 1, opened(8)},
      {"FNum 2.9", [=](auto& s) { Fans(s, flt, 2.9f); }, 8, 2, opened(14)},
      {"FNum 3 ui16", [](auto& s) { Fans(s, kSmcTypeUi16, 3); }, 8, 3, opened(20)},
      {"more fans than capacity", [=](auto& s) { Fans(s, ui8, 3); }, 2, 2, opened(14)},
      {"FNum +inf", [=](auto& s) { Fans(s, flt, INFINITY); }, 8, 8, opened(50)},
      {"capacity 1", [=](auto& s) { Fans(s, ui8, 2); }, 1, 1, opened(8)},
      {"capacity 0", [=](auto& s) { Fans(s, ui8, 2); }, 0, 0, opened(2)},
      {"capacity INT32_MIN", [=](auto& s) { Fans(s, ui8, 2); }, INT32_MIN, 0, opened(2)},
      {"fans from 10 on have no keys", [=](auto& s) { Fans(s, ui8, 12); }, 16, 10, opened(62)}};
  // clang-format on
  const OstrelFan untouched = {-77, -1, -2, -3};
  for (const auto& c : cases) {
    FakeSmc smc;
    c.setup(smc);
    std::vector<OstrelFan> fans(16, untouched);
    ASSERT_EQ(ReadFans(smc, fans.data(), c.capacity), c.count) << c.name;
    for (int32_t n = 0; n < 16; ++n) {
      EXPECT_EQ(Text(fans[n]),
                Text(n < c.count ? OstrelFan{n, 1000.0 + n, 500.0 + n, 6000.0 + n} : untouched));
    }
    EXPECT_EQ(smc.events, c.events) << c.name;
    EXPECT_EQ(smc.bad_calls, 0) << c.name;
  }
  FakeSmc smc;
  EXPECT_EQ(ReadFans(Fans(smc, kSmcTypeFpe2, 1), nullptr, 8), 0);
  EXPECT_EQ(smc.events, opened(2));
  std::vector<OstrelFan> one(1);
  ASSERT_EQ(ReadFans(smc, one.data(), 1), 1);
  EXPECT_EQ(smc.calls, "iFNum rFNum/2 iFNum rFNum/2 iF0Ac rF0Ac/4 iF0Mn rF0Mn/4 iF0Mx rF0Mx/4");
  // A speed key that fails reads 0, and its fan still counts; no read after failed information.
  for (auto [key, breakage] :
       {std::pair{"F1Mn", 'i'}, {"F1Mn", 'r'}, {"F1Ac", 't'}, {"F1Mx", '0'}}) {
    FakeSmc broken;
    FakeSmc::Key& k = Fans(broken, kSmcTypeUi8, 3).keys[key];
    (breakage == 'i' ? k.info_fails : k.read_fails) = breakage == 'i' || breakage == 'r';
    k.type = breakage == 't' ? SmcCode("sp78") : breakage == '0' ? 0 : k.type;
    std::vector<OstrelFan> three(3);
    ASSERT_EQ(ReadFans(broken, three.data(), 3), 3);
    const std::string fan1 = std::string(key) == "F1Mn" ? "1: 1001/0/6001"
                             : key[2] == 'A'            ? "1: 0/501/6001"
                                                        : "1: 1001/501/0";
    EXPECT_EQ(Text(three[0]) + " " + Text(three[1]) + " " + Text(three[2]),
              "0: 1000/500/6000 " + fan1 + " 2: 1002/502/6002");
    EXPECT_EQ(broken.events, opened(20 - (breakage == 'i'))) << key << breakage;
  }
}

// Every fan `smc` gives the reader, as "rpm/min/max" joined by "|"; the transport must hold
// nothing afterwards.
std::string ReadAll(HwmonSmcTransport& smc, int32_t capacity = 8) {
  std::vector<OstrelFan> fans(capacity);
  fans.resize(ReadFans(smc, fans.data(), capacity));
  EXPECT_EQ(smc.open_services() + smc.open_connections(), 0u);
  std::string text;
  for (size_t n = 0; n < fans.size(); ++n) {
    EXPECT_EQ(fans[n].index, static_cast<int32_t>(n));
    text += (n ? "|" : "") + Text(fans[n]).substr(Text(fans[n]).find(' ') + 1);
  }
  return text;
}

TEST(HwmonSmcTransportTest, FansInChipOrderAndRefusedRequests) {
  TempDir dir;
  dir.WriteTree(testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/fans_mixed.tree"));
  HwmonSmcTransport smc(dir.path());
  EXPECT_EQ(ReadAll(smc),
            "1052/300/0|0/0/0|777/0/0|2001/2000/6156|1998/1800/5700|0/0/0|1500/0/0|"
            "2921/0/0");
  EXPECT_EQ(smc.FindService("AppleSMCx"), 0u);
  const SmcServiceHandle service = smc.FindService("AppleSMC");
  SmcConnectionHandle connection = 0;
  EXPECT_EQ(smc.Open(service, 1, &connection), kSmcBadArgument);
  EXPECT_EQ(smc.Open(service + 1, 0, &connection), kSmcBadArgument);
  ASSERT_EQ(smc.Open(service, 0, &connection), kSmcSuccess);
  smc.ReleaseService(service);
  // The value a request gets as `type`, or "refused <result>" with the output untouched.
  auto call = [&](const SmcParamRecord& request, uint32_t type = kSmcTypeFlt,
                  size_t input_size = 80, uint32_t selector = 2, size_t output_size = 80) {
    SmcParamRecord out, before;
    std::memset(&out, 0xEE, sizeof out);
    before = out;
    const int32_t result =
        smc.CallStructMethod(connection, selector, &request, input_size, &out, &output_size);
    if (result != kSmcSuccess) {
      EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
      return "refused " + std::to_string(result);
    }
    EXPECT_EQ(output_size, 80u);
    float value = -1;
    if (!DecodeSmcValue(out, type, &value)) return KeyName(LoadSmcField(out, 32));  // information
    return std::to_string(static_cast<int>(value)) + "/" + std::to_string(LoadSmcField(out, 28));
  };
  const uint32_t f3ac = SmcCode("F3Ac");
  dir.Write("class/hwmon/hwmon3/device/fan1_input", "3500\n");
  EXPECT_EQ(call(SmcReadRequest(f3ac, 4)), "3500/4");  // values are read afresh
  EXPECT_EQ(call(SmcKeyInfoRequest(f3ac), 0), "flt ");
  EXPECT_EQ(call(SmcReadRequest(SmcCode("F1Mn"), 4)), "0/4");
  dir.WriteTree("class/hwmon/hwmon1/name=new\nclass/hwmon/hwmon1/fan1_input=5");
  // The fan list is the one of the open: one reading never mixes two lists.
  EXPECT_EQ(call(SmcReadRequest(SmcCode("FNum"), 1), kSmcTypeUi8), "8/1");
  EXPECT_EQ(call(SmcKeyInfoRequest(SmcCode("FNum")), 0), "ui8 ");
  EXPECT_EQ(call(SmcKeyInfoRequest(SmcCode("F8Ac"))), "refused 2");
  EXPECT_EQ(call(SmcKeyInfoRequest(SmcCode("F0Ax"))), "refused 2");
  EXPECT_EQ(call(SmcKeyInfoRequest(SmcCode("G0Ac"))), "refused 2");
  EXPECT_EQ(call(SmcKeyInfoRequest(SmcCode("F:Ac"))), "refused 2");
  EXPECT_EQ(call(SmcReadRequest(SmcCode("F7Mn"), 4)), "refused 3");  // no such file
  EXPECT_EQ(call(SmcReadRequest(SmcCode("F5Mx"), 4)), "refused 3");  // a negative speed
  EXPECT_EQ(call(SmcReadRequest(f3ac, 2)), "refused 1");  // not the size key information gave
  SmcParamRecord other = SmcKeyInfoRequest(f3ac);
  other.bytes[42] = 7;
  EXPECT_EQ(call(other), "refused 1");
  EXPECT_EQ(call(SmcKeyInfoRequest(f3ac), kSmcTypeFlt, 79), "refused 1");
  EXPECT_EQ(call(SmcKeyInfoRequest(f3ac), kSmcTypeFlt, 80, 3), "refused 1");
  EXPECT_EQ(call(SmcKeyInfoRequest(f3ac), kSmcTypeFlt, 80, 2, 79), "refused 1");
  smc.Close(connection);
  EXPECT_EQ(call(SmcReadRequest(f3ac, 4)), "refused 1");
  EXPECT_EQ(smc.open_services() + smc.open_connections(), 0u);
  // A new reading sees the new chip first; no hwmon fan at all means no service.
  EXPECT_TRUE(ReadAll(smc).starts_with("5/0/0|1052/300/0|"));
  TempDir none;
  none.WriteTree("class/hwmon/hwmon0/name=coretemp\nclass/hwmon/hwmon0/temp1_input=45000");
  EXPECT_EQ(HwmonSmcTransport(none.path()).FindService("AppleSMC"), 0u);
}

// 256 fans: "FNum" is one byte, which must hold 255 rather than wrap to 0; the reader then
// reports the ten fans its keys can name.
TEST(HwmonSmcTransportTest, FanCountAbove255IsCappedInItsByte) {
  TempDir dir;
  std::string tree = "class/hwmon/hwmon0/name=many";
  for (int k = 1; k <= 256; ++k)
    tree += "\nclass/hwmon/hwmon0/fan" + std::to_string(k) + "_input=1";
  dir.WriteTree(tree);
  HwmonSmcTransport smc(dir.path());
  EXPECT_EQ(ReadAll(smc, 64), "1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0|1/0/0");
}

}  // namespace
}  // namespace ostrel
