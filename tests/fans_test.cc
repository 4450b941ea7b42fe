// The fan reader over an in-memory SMC: the calls of one key read, the fan enumeration and every
// failure path, and that the connection is closed after every open.
#include "sensors/fans.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/fake_smc_transport.h"

namespace ostrel {
namespace {

using testing::FakeSmcTransport;

TEST(SmcReadFloatTest, KeyInfoThenReadIntoOneRecord) {
  FakeSmcTransport smc;
  smc.SetKey("F0Ac", kSmcTypeFlt, 1200.0f);
  float value = -1.0f;
  ASSERT_EQ(smcReadFloat({&smc, FakeSmcTransport::kConnection}, "F0Ac", &value), 1);
  EXPECT_EQ(value, 1200.0f);
  ASSERT_EQ(smc.calls.size(), 2u);
  const SmcParamRecord requests[] = {SmcKeyInfoRequest(0x46304163), SmcReadRequest(0x46304163, 4)};
  // The output starts zeroed and is not cleared between the two calls.
  const SmcParamRecord outputs[] = {{}, SmcKeyInfoResponse(0x46304163, 4, kSmcTypeFlt)};
  for (int i = 0; i < 2; ++i) {
    const FakeSmcTransport::Call& call = smc.calls[i];
    EXPECT_EQ(call.connection, FakeSmcTransport::kConnection);
    EXPECT_EQ(call.selector, 2u);
    EXPECT_EQ(call.input_size, 80u);
    EXPECT_EQ(call.output_size_on_entry, 80u);  // set again although the fake left 0
    EXPECT_EQ(std::memcmp(&call.input, &requests[i], 80), 0) << i;
    EXPECT_EQ(std::memcmp(&call.output_on_entry, &outputs[i], 80), 0) << i;
  }
}

// FNum = `count` as `type`, and fans 0 to 11 at 1000 + n, 500 + n and 6000 + n RPM.
FakeSmcTransport& Fans(FakeSmcTransport& smc, uint32_t type, float count) {
  smc.SetKey("FNum", type, count);
  for (int n = 0; n < 12; ++n) {
    const std::string fan = "F" + std::to_string(n);
    smc.SetKey((fan + "Ac").c_str(), kSmcTypeFlt, 1000.0f + n);
    smc.SetKey((fan + "Mn").c_str(), kSmcTypeFlt, 500.0f + n);
    smc.SetKey((fan + "Mx").c_str(), kSmcTypeFlt, 6000.0f + n);
  }
  return smc;
}

constexpr OstrelFan kUntouched = {-77, -1, -2, -3};

std::string Text(const OstrelFan& fan) {
  return std::to_string(fan.index) + ": " + std::to_string(fan.rpm) + "/" +
         std::to_string(fan.minRPM) + "/" + std::to_string(fan.maxRPM);
}
void ExpectFan(const OstrelFan& got, const OstrelFan& want) { EXPECT_EQ(Text(got), Text(want)); }

TEST(ReadFansTest, EnumerationAndEveryFailurePath) {
  using Setup = std::function<void(FakeSmcTransport&)>;
  const uint32_t ui8 = kSmcTypeUi8, flt = kSmcTypeFlt;
  const struct {
    const char* name;
    Setup setup;
    int32_t capacity;
    int32_t count;  // returned, and records filled
    bool found;     // a service was found: one release is due, right after the open
    bool opened;    // a connection was opened: one close is due, after the last call
  } cases[] = {
      {"no service", [](auto& s) { s.has_service = false; }, 8, 0, false, false},
      {"open fails", [=](auto& s) { Fans(s, ui8, 2).open_fails = true; }, 8, 0, true, false},
      {"FNum info fails", [=](auto& s) { Fans(s, ui8, 2).FailInfo("FNum"); }, 8, 0, true, true},
      {"FNum read fails", [=](auto& s) { Fans(s, ui8, 2).FailRead("FNum"); }, 8, 0, true, true},
      {"FNum missing", [=](auto& s) { s.SetKey("F0Ac", flt, 1); }, 8, 0, true, true},
      {"FNum type zero", [](auto& s) { Fans(s, 0, 2); }, 8, 0, true, true},
      {"FNum 0", [=](auto& s) { Fans(s, ui8, 0); }, 8, 0, true, true},
      {"FNum NaN", [=](auto& s) { Fans(s, flt, NAN); }, 8, 0, true, true},
      {"FNum -1", [=](auto& s) { Fans(s, flt, -1); }, 8, 0, true, true},
      {"FNum 0.99", [=](auto& s) { Fans(s, flt, 0.99f); }, 8, 0, true, true},
      {"FNum 2.9", [=](auto& s) { Fans(s, flt, 2.9f); }, 8, 2, true, true},
      {"FNum 2 ui8", [=](auto& s) { Fans(s, ui8, 2); }, 8, 2, true, true},
      {"FNum 1 fpe2", [](auto& s) { Fans(s, kSmcTypeFpe2, 1); }, 8, 1, true, true},
      {"FNum 3 ui16", [](auto& s) { Fans(s, kSmcTypeUi16, 3); }, 8, 3, true, true},
      {"more fans than capacity", [=](auto& s) { Fans(s, ui8, 3); }, 2, 2, true, true},
      {"FNum +inf", [=](auto& s) { Fans(s, flt, INFINITY); }, 8, 8, true, true},
      {"capacity 0", [=](auto& s) { Fans(s, ui8, 2); }, 0, 0, true, true},
      {"capacity INT32_MIN", [=](auto& s) { Fans(s, ui8, 2); }, INT32_MIN, 0, true, true},
      {"fans from 10 on have no keys", [=](auto& s) { Fans(s, ui8, 12); }, 16, 10, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSmcTransport smc;
    c.setup(smc);
    std::vector<OstrelFan> fans(16, kUntouched);
    ASSERT_EQ(ReadFans(smc, fans.data(), c.capacity), c.count);
    for (int32_t n = 0; n < 16; ++n) {
      ExpectFan(fans[n],
                n < c.count ? OstrelFan{n, 1000.0 + n, 500.0 + n, 6000.0 + n} : kUntouched);
    }
    std::vector<std::string> events = {"find AppleSMC"};
    if (c.found) events.insert(events.end(), {"open 81 type 0 var 0", "release 81"});
    if (c.opened) {
      events.insert(events.end(), smc.calls.size(), "call");
      events.push_back("close 192");
    }
    EXPECT_EQ(smc.events, events);
    if (c.count > 0) {
      EXPECT_EQ(smc.calls.size(), 2u * (1 + 3 * c.count));
    }
  }
  FakeSmcTransport smc;
  EXPECT_EQ(ReadFans(Fans(smc, ui8, 2), nullptr, 8), 0);
  EXPECT_EQ(smc.events.back(), "close 192");
}

TEST(ReadFansTest, AFailingSpeedKeyReadsZeroAndTheFanStillCounts) {
  const struct {
    const char* name;
    std::function<void(FakeSmcTransport&)> breakage;
    OstrelFan fan1;
    size_t calls;
  } cases[] = {
      {"min info fails", [](auto& s) { s.FailInfo("F1Mn"); }, {1, 1001, 0, 6001}, 19},
      {"min read fails", [](auto& s) { s.FailRead("F1Mn"); }, {1, 1001, 0, 6001}, 20},
      {"current of type sp78",
       [](auto& s) { s.SetKey("F1Ac", SmcCode("sp78"), 9); },
       {1, 0, 501, 6001},
       20},
      {"max of type zero", [](auto& s) { s.SetKey("F1Mx", 0, 9); }, {1, 1001, 501, 0}, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSmcTransport smc;
    c.breakage(Fans(smc, kSmcTypeUi8, 3));
    std::vector<OstrelFan> fans(3, kUntouched);
    ASSERT_EQ(ReadFans(smc, fans.data(), 3), 3);
    ExpectFan(fans[0], {0, 1000, 500, 6000});
    ExpectFan(fans[1], c.fan1);
    ExpectFan(fans[2], {2, 1002, 502, 6002});
    EXPECT_EQ(smc.calls.size(), c.calls);  // no read after a failed key information
    EXPECT_EQ(smc.events.back(), "close 192");
  }
}

}  // namespace
}  // namespace ostrel
