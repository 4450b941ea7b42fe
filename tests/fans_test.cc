// The fan reader over an in-memory SMC: the exact calls of one key read, the fan enumeration,
// every failure path, and that the connection is closed exactly once after every open.
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

constexpr int32_t kUntouchedIndex = -77;  // marks records the reader must not write

std::vector<OstrelFan> Untouched(size_t n) {
  return std::vector<OstrelFan>(n, OstrelFan{kUntouchedIndex, -1.0, -2.0, -3.0});
}

std::string KeyText(uint32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>(code >> shift);
  return text;
}

// The keys of the structure calls, in order.
std::vector<std::string> CalledKeys(const FakeSmcTransport& smc) {
  std::vector<std::string> keys;
  for (const auto& call : smc.calls()) keys.push_back(KeyText(LoadSmcField(call.input, 0)));
  return keys;
}

TEST(SmcReadFloatTest, TwoCallsWithTheExactRecords) {
  FakeSmcTransport smc;
  smc.SetKey("F0Ac", kSmcTypeFlt, 1200.0f);
  float value = -1.0f;
  ASSERT_EQ(smcReadFloat({&smc, FakeSmcTransport::kConnection}, "F0Ac", &value), 1);
  EXPECT_EQ(value, 1200.0f);

  const auto& calls = smc.calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const auto& call : calls) {
    EXPECT_EQ(call.connection, FakeSmcTransport::kConnection);
    EXPECT_EQ(call.selector, 2u);
    EXPECT_EQ(call.input_size, 80u);
    EXPECT_EQ(call.output_size_on_entry, 80u);  // set again although the fake left 0 behind
  }
  const SmcParamRecord info = SmcKeyInfoRequest(0x46304163);
  const SmcParamRecord read = SmcReadRequest(0x46304163, 4);  // the size key information gave
  EXPECT_EQ(0, std::memcmp(calls[0].input.bytes, info.bytes, 80));
  EXPECT_EQ(0, std::memcmp(calls[1].input.bytes, read.bytes, 80));
  // The output starts zeroed and is not cleared between the calls.
  const SmcParamRecord zero{};
  EXPECT_EQ(0, std::memcmp(calls[0].output_on_entry.bytes, zero.bytes, 80));
  const SmcParamRecord info_answer = SmcKeyInfoResponse(0x46304163, 4, kSmcTypeFlt);
  EXPECT_EQ(0, std::memcmp(calls[1].output_on_entry.bytes, info_answer.bytes, 80));
}

TEST(SmcReadFloatTest, DecodesEachTypeAndFailsWithoutTouchingTheValue) {
  FakeSmcTransport smc;
  smc.SetKey("AFLT", kSmcTypeFlt, 1234.5f);
  smc.SetKey("AFPE", kSmcTypeFpe2, 1165.0f);
  smc.SetKey("AU16", kSmcTypeUi16, 1500.0f);
  smc.SetKey("AUI8", kSmcTypeUi8, 2.0f);
  smc.SetKey("ZERO", 0, 0.0f);
  smc.SetKey("SP78", SmcCode("sp78"), 0.0f);
  smc.SetKey("INFO", kSmcTypeFlt, 1.0f);
  smc.FailInfo("INFO");
  smc.SetKey("READ", kSmcTypeFlt, 1.0f);
  smc.FailRead("READ");
  const struct {
    const char* key;
    int result;
    float value;
    size_t calls;
  } cases[] = {
      {"AFLT", 1, 1234.5f, 2}, {"AFPE", 1, 1165.0f, 2}, {"AU16", 1, 1500.0f, 2},
      {"AUI8", 1, 2.0f, 2},    {"ZERO", 0, 9.0f, 2},    {"SP78", 0, 9.0f, 2},
      {"INFO", 0, 9.0f, 1},    {"READ", 0, 9.0f, 2},    {"NONE", 0, 9.0f, 1},
  };
  size_t calls = 0;
  for (const auto& c : cases) {
    float value = 9.0f;
    EXPECT_EQ(smcReadFloat({&smc, FakeSmcTransport::kConnection}, c.key, &value), c.result)
        << c.key;
    EXPECT_EQ(value, c.value) << c.key;
    calls += c.calls;
    EXPECT_EQ(smc.calls().size(), calls) << c.key;  // no read after a failed key information
  }
}

TEST(ReadFansTest, TwoFansFilledInKeyOrder) {
  FakeSmcTransport smc;
  smc.SetKey("FNum", kSmcTypeUi8, 2);
  smc.SetKey("F0Ac", kSmcTypeFlt, 1800);
  smc.SetKey("F0Mn", kSmcTypeFpe2, 1200);
  smc.SetKey("F0Mx", kSmcTypeUi16, 6000);
  smc.SetKey("F1Ac", kSmcTypeFlt, 0);  // stopped
  smc.SetKey("F1Mn", kSmcTypeFlt, 1000);
  smc.SetKey("F1Mx", kSmcTypeFlt, 5500.5f);
  auto fans = Untouched(8);
  ASSERT_EQ(ReadFans(smc, fans.data(), 8), 2);
  EXPECT_EQ(fans[0].index, 0);
  EXPECT_EQ(fans[0].rpm, 1800.0);
  EXPECT_EQ(fans[0].minRPM, 1200.0);
  EXPECT_EQ(fans[0].maxRPM, 6000.0);
  EXPECT_EQ(fans[1].index, 1);
  EXPECT_EQ(fans[1].rpm, 0.0);
  EXPECT_EQ(fans[1].minRPM, 1000.0);
  EXPECT_EQ(fans[1].maxRPM, 5500.5);
  for (size_t i = 2; i < fans.size(); ++i) EXPECT_EQ(fans[i].index, kUntouchedIndex);

  // 2 x (1 + 3 x fans) structure calls, two per key, in this order.
  EXPECT_EQ(CalledKeys(smc),
            (std::vector<std::string>{"FNum", "FNum", "F0Ac", "F0Ac", "F0Mn", "F0Mn", "F0Mx",
                                      "F0Mx", "F1Ac", "F1Ac", "F1Mn", "F1Mn", "F1Mx", "F1Mx"}));
  // Find, open with type 0 into a zeroed variable, release right after, calls, one close.
  std::vector<std::string> expected = {"find AppleSMC", "open 81 type 0 var 0", "release 81"};
  expected.insert(expected.end(), 14, "call");
  expected.push_back("close 192");
  EXPECT_EQ(smc.events(), expected);
}

// One row of the enumeration table: how the SMC is set up, what the reader is given, what it
// must report and whether it got as far as an open connection.
struct FanCase {
  const char* name;
  std::function<void(FakeSmcTransport&)> setup;
  int32_t capacity;
  int32_t count;  // returned, and records filled
  bool opened;    // a connection was opened (so exactly one close is due)
  bool found;     // a service was found (so exactly one release is due)
};

void Fans(FakeSmcTransport& smc, uint32_t type, float count) {
  smc.SetKey("FNum", type, count);
  for (int n = 0; n < 12; ++n) {
    const std::string digit = std::to_string(n);
    smc.SetKey(("F" + digit + "Ac").c_str(), kSmcTypeFlt, 1000.0f + n);
    smc.SetKey(("F" + digit + "Mn").c_str(), kSmcTypeFlt, 500.0f + n);
    smc.SetKey(("F" + digit + "Mx").c_str(), kSmcTypeFlt, 6000.0f + n);
  }
}

TEST(ReadFansTest, EnumerationAndEveryFailurePath) {
  const FanCase cases[] = {
      {"no service", [](auto& s) { s.set_has_service(false); }, 8, 0, false, false},
      {"open fails",
       [](auto& s) {
         Fans(s, kSmcTypeUi8, 2);
         s.set_open_fails(true);
       },
       8, 0, false, true},
      {"FNum info fails",
       [](auto& s) {
         Fans(s, kSmcTypeUi8, 2);
         s.FailInfo("FNum");
       },
       8, 0, true, true},
      {"FNum read fails",
       [](auto& s) {
         Fans(s, kSmcTypeUi8, 2);
         s.FailRead("FNum");
       },
       8, 0, true, true},
      {"FNum missing", [](auto& s) { s.SetKey("F0Ac", kSmcTypeFlt, 1); }, 8, 0, true, true},
      {"FNum type zero", [](auto& s) { Fans(s, 0, 2); }, 8, 0, true, true},
      {"FNum type si8", [](auto& s) { Fans(s, SmcCode("si8 "), 2); }, 8, 0, true, true},
      {"FNum 0", [](auto& s) { Fans(s, kSmcTypeUi8, 0); }, 8, 0, true, true},
      {"FNum NaN", [](auto& s) { Fans(s, kSmcTypeFlt, NAN); }, 8, 0, true, true},
      {"FNum -1", [](auto& s) { Fans(s, kSmcTypeFlt, -1); }, 8, 0, true, true},
      {"FNum -inf", [](auto& s) { Fans(s, kSmcTypeFlt, -INFINITY); }, 8, 0, true, true},
      {"FNum 0.99", [](auto& s) { Fans(s, kSmcTypeFlt, 0.99f); }, 8, 0, true, true},
      {"FNum 2.9", [](auto& s) { Fans(s, kSmcTypeFlt, 2.9f); }, 8, 2, true, true},
      {"FNum 2 ui8", [](auto& s) { Fans(s, kSmcTypeUi8, 2); }, 8, 2, true, true},
      {"FNum 1 fpe2", [](auto& s) { Fans(s, kSmcTypeFpe2, 1); }, 8, 1, true, true},
      {"FNum 3 ui16", [](auto& s) { Fans(s, kSmcTypeUi16, 3); }, 8, 3, true, true},
      {"more fans than capacity", [](auto& s) { Fans(s, kSmcTypeUi8, 3); }, 2, 2, true, true},
      {"FNum 1e10 clamps", [](auto& s) { Fans(s, kSmcTypeFlt, 1e10f); }, 8, 8, true, true},
      {"FNum +inf clamps", [](auto& s) { Fans(s, kSmcTypeFlt, INFINITY); }, 8, 8, true, true},
      {"capacity 0", [](auto& s) { Fans(s, kSmcTypeUi8, 2); }, 0, 0, true, true},
      {"capacity -1", [](auto& s) { Fans(s, kSmcTypeUi8, 2); }, -1, 0, true, true},
      {"capacity INT32_MIN", [](auto& s) { Fans(s, kSmcTypeUi8, 2); }, INT32_MIN, 0, true, true},
      {"fans 10 and on not keyed", [](auto& s) { Fans(s, kSmcTypeUi8, 12); }, 16, 10, true, true},
  };
  for (const FanCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSmcTransport smc;
    c.setup(smc);
    auto fans = Untouched(16);
    ASSERT_EQ(ReadFans(smc, fans.data(), c.capacity), c.count);
    for (int32_t n = 0; n < c.count; ++n) {
      EXPECT_EQ(fans[n].index, n);
      EXPECT_EQ(fans[n].rpm, 1000.0 + n);
      EXPECT_EQ(fans[n].minRPM, 500.0 + n);
      EXPECT_EQ(fans[n].maxRPM, 6000.0 + n);
    }
    for (size_t n = c.count; n < fans.size(); ++n) EXPECT_EQ(fans[n].index, kUntouchedIndex);

    EXPECT_EQ(smc.Count("find AppleSMC"), 1);
    EXPECT_EQ(smc.Count("release 81"), c.found ? 1 : 0);
    EXPECT_EQ(smc.Count("close 192"), c.opened ? 1 : 0);
    if (c.opened) {
      // The close is the very last thing, and the release came right after the open.
      EXPECT_EQ(smc.events().back(), "close 192");
      EXPECT_EQ(smc.events()[2], "release 81");
    }
    if (c.found && !c.opened) {
      EXPECT_EQ(smc.events().back(), "release 81");
    }
    if (c.count > 0) {
      EXPECT_EQ(smc.calls().size(), 2u * (1 + 3 * c.count));
    }
  }
}

TEST(ReadFansTest, AFailingSpeedKeyReadsZeroAndTheFanStillCounts) {
  const struct {
    const char* name;
    std::function<void(FakeSmcTransport&)> breakage;
    OstrelFan fan1;  // what fan 1 must read
  } cases[] = {
      {"min info fails", [](auto& s) { s.FailInfo("F1Mn"); }, {1, 1001, 0, 6001}},
      {"min read fails", [](auto& s) { s.FailRead("F1Mn"); }, {1, 1001, 0, 6001}},
      {"current of type sp78",
       [](auto& s) { s.SetKey("F1Ac", SmcCode("sp78"), 9); },
       {1, 0, 501, 6001}},
      {"max of type zero", [](auto& s) { s.SetKey("F1Mx", 0, 9); }, {1, 1001, 501, 0}},
      {"all three fail",
       [](auto& s) {
         s.FailInfo("F1Ac");
         s.FailRead("F1Mn");
         s.FailInfo("F1Mx");
       },
       {1, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSmcTransport smc;
    Fans(smc, kSmcTypeUi8, 3);
    c.breakage(smc);
    auto fans = Untouched(8);
    ASSERT_EQ(ReadFans(smc, fans.data(), 8), 3);
    EXPECT_EQ(fans[0].rpm, 1000.0);
    EXPECT_EQ(fans[1].index, c.fan1.index);
    EXPECT_EQ(fans[1].rpm, c.fan1.rpm);
    EXPECT_EQ(fans[1].minRPM, c.fan1.minRPM);
    EXPECT_EQ(fans[1].maxRPM, c.fan1.maxRPM);
    EXPECT_EQ(fans[2].maxRPM, 6002.0);  // the fans after it are read normally
    EXPECT_EQ(smc.Count("close 192"), 1);
  }
}

TEST(ReadFansTest, NoKeyBeyondFanNineIsFormed) {
  FakeSmcTransport smc;
  Fans(smc, kSmcTypeUi8, 200);
  auto fans = Untouched(64);
  ASSERT_EQ(ReadFans(smc, fans.data(), 64), kMaxKeyedFans);
  const auto keys = CalledKeys(smc);
  EXPECT_EQ(keys.back(), "F9Mx");
  EXPECT_EQ(keys.size(), 2u * (1 + 3 * 10));
  for (const std::string& key : keys) {
    EXPECT_TRUE(key != "F10A" && key != "F10M") << key;  // cut keys that name no fan
  }
  EXPECT_EQ(fans[9].index, 9);
  EXPECT_EQ(fans[10].index, kUntouchedIndex);
}

TEST(ReadFansTest, NullOutputReportsNothingButCloses) {
  FakeSmcTransport smc;
  Fans(smc, kSmcTypeUi8, 2);
  EXPECT_EQ(ReadFans(smc, nullptr, 8), 0);
  EXPECT_EQ(smc.Count("close 192"), 1);
}

}  // namespace
}  // namespace ostrel
