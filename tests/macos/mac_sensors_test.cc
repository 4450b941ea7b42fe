// The macOS sensor sources over the fake system: the HID temperature walk, the AppleSMC transport
// under the fan reader and the IOReport source under the power reader, on their normal path and
// each failure path, with every object released exactly once (FakeMac's destructor checks).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/macos/apple_smc_transport.h"
#include "platform/macos/hid_temp_source.h"
#include "platform/macos/ioreport_energy_source.h"
#include "sensors/fans.h"
#include "sensors/power.h"
#include "tests/macos/fake_mac.h"

namespace ostrel::macos {
namespace {

using testing::FakeMac;
using Script = std::function<void(FakeMac&)>;

// Each row: the fake's script, then the calls of one walk and the (name, celsius) visits.
TEST(HidTempSourceTest, CallsOnEveryPath) {
  const Script three = [](FakeMac& f) { f.hid = {{"P", 50}, {std::nullopt, 40}, {"N", {}}}; };
  const std::string match =
      "dlopen(IOKit) Client(default)=c1 Dict(\"PrimaryUsagePage\"=9:65280;"
      "\"PrimaryUsage\"=9:5,2,keys,values)=d1 Match(c1,d1) Services(c1)=";
  const struct {
    Script script;
    std::string calls;
  } cases[] = {
      {three, match +
                  "a1 Property(s1,\"Product\")=\"P\" Event(s1,15)=e1 Float(e1,983040)=50 "
                  "Text(\"P\",128)=1 P:50 Property(s2,\"Product\")=null Event(s2,15)=e2 "
                  "Float(e2,983040)=40 null:40 Property(s3,\"Product\")=\"N\" Event(s3,15)=null"},
      {[&](FakeMac& f) { three(f), f.missing = {"IOHIDServiceClientCopyProperty"}; },
       match + "a1 Event(s1,15)=e1 Float(e1,983040)=50 null:50 Event(s2,15)=e2 Float(e2,983040)=40 "
               "null:40 Event(s3,15)=null"},
      {[](FakeMac& f) { f.missing = {kIOKitPath}; },
       "dlopen(IOKit) dlopen(IOKit) dlopen(IOKit) dlopen(IOKit) dlopen(IOKit) dlopen(IOKit)"},
      {[](FakeMac& f) { f.missing = {"IOHIDEventGetFloatValue"}; }, "dlopen(IOKit)"},
      {[](FakeMac& f) { f.missing = {"kCFTypeDictionaryValueCallBacks"}; }, "dlopen(IOKit)"},
      {[](FakeMac& f) { f.missing = {"c"}; }, "dlopen(IOKit) Client(default)=null"},
      {[](FakeMac& f) { f.missing = {"number2"}; }, "dlopen(IOKit) Client(default)=c1"},
      {[](FakeMac& f) { f.missing = {"a"}; }, match + "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    FakeMac fake;
    c.script(fake);
    MacLibraries libraries(fake);
    HidTempSource source(libraries);
    fake.log.clear();
    source.ForEachSensor([&](const char* name, double celsius) {
      fake.Log((name ? name : "null") + (":" + std::to_string(int(celsius))));
    });
    EXPECT_EQ(fake.log, c.calls);
    // IOKit stays open: the next walk opens it again only when it could not be opened.
    fake.log.clear();
    source.ForEachSensor([](const char*, double) {});
    EXPECT_EQ(fake.log.starts_with("dlopen"), fake.missing.count(kIOKitPath) > 0);
  }
}

// Each row: the fake's script, the SMC's events (find, open, release, calls, close), the fans.
TEST(AppleSmcTransportTest, CallsUnderTheFanReader) {
  const struct {
    Script script;
    const char* events;
    int32_t fans;
  } cases[] = {
      {[](FakeMac& f) {
         f.smc.keys = {{"FNum", {kSmcTypeUi8, 1}}, {"F0Ac", {kSmcTypeFlt, 1200}}};
       },
       "forccccccx", 1},
      {[](FakeMac& f) { f.missing = {kIOKitPath}; }, "", 0},
      {[](FakeMac& f) { f.missing = {"IOServiceMatching"}; }, "", 0},
      {[](FakeMac& f) { f.missing = {"mach_task_self_"}; }, "", 0},
      {[](FakeMac& f) { f.missing = {"d"}; }, "", 0},
      {[](FakeMac& f) { f.smc.has_service = false; }, "f", 0},
      {[](FakeMac& f) { f.smc.open_fails = true; }, "for", 0},
      {[](FakeMac& f) { f.smc.keys["FNum"].info_fails = true; }, "forcx", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.events);
    FakeMac fake;
    c.script(fake);
    MacLibraries libraries(fake);
    AppleSmcTransport smc(libraries);
    OstrelFan fans[8] = {};
    EXPECT_EQ(ReadFans(smc, fans, 8), c.fans);
    EXPECT_EQ(fake.smc.events, c.events);
    EXPECT_EQ(fake.smc.bad_calls, 0);
  }
}

// Each row: the fake's script, then the calls and the results ("status cpu gpu ane soc") of two
// power readings.
TEST(IOReportEnergySourceTest, CallsUnderThePowerReader) {
  const std::string open = "dlopen(libIOReport.dylib)",
                    group = open + " Group(\"Energy Model\",null,0)=",
                    subscribe = group + "ch1 Copy(default,ch1)=ch2 Subscribe(ch2,null)=",
                    none = "-1 0 0 0 0|-1 0 0 0 0|";
  const struct {
    Script script;
    std::string calls, readings;
  } cases[] = {
      {[](FakeMac&) {},
       subscribe + "sub1,null Sample(sub1,ch2)=smp1 Sample(sub1,ch2)=smp2 Delta(smp1,smp2)=dl1 "
                   "Text(\"CPU Energy\",128)=1 Text(\"mJ\",16)=1 Text(\"GPU Energy\",128)=1 "
                   "Text(\"X\",128)=1",
       "-1 0 0 0 0|0 3.5 0.5 0 4|"},
      {[](FakeMac& f) { f.missing = {kIOReportPath}; }, open, none},
      {[](FakeMac& f) { f.missing = {"IOReportIterate"}; }, open, none},
      {[](FakeMac& f) { f.missing = {"ch1"}; }, group + "null", none},
      {[](FakeMac& f) { f.missing = {"sub"}; }, subscribe + "null,null", none},
      {[](FakeMac& f) { f.answers["hands back"] = 1, f.missing = {"dl"}; },
       subscribe + "sub1,own1 Sample(sub1,own1)=smp1 Sample(sub1,own1)=smp2 Delta(smp1,smp2)=null",
       none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    FakeMac fake;
    fake.clock = {100, 102};
    fake.channels = {{"CPU Energy", "mJ", 7000}, {"GPU Energy", {}, 1000000000}, {"X", "mJ", 9}};
    c.script(fake);
    MacLibraries libraries(fake);
    IOReportEnergySource source(libraries);
    fake.log.clear();
    ResetPowerReaderForTesting(&source);
    std::string readings;
    for (int call = 0; call < 2; ++call) {
      double w[4];
      char text[96];
      const int32_t status = ostrel_read_power(&w[0], &w[1], &w[2], &w[3]);
      snprintf(text, sizeof text, "%d %g %g %g %g|", status, w[0], w[1], w[2], w[3]);
      readings += text;
    }
    ResetPowerReaderForTesting(nullptr);
    EXPECT_EQ(fake.log, c.calls);
    EXPECT_EQ(readings, c.readings);
  }
}

}  // namespace
}  // namespace ostrel::macos
