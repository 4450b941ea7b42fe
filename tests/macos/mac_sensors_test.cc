// The macOS sensor sources over the fake system: the HID temperature walk, the AppleSMC transport
// under the fan reader and the IOReport source under the power reader, on their normal path and
// failure paths, with every object released exactly once (FakeMac's destructor checks).
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
using Walk = std::function<std::string(MacLibraries&, FakeMac&)>;

// What `walk` tells over a fake with three HID sensors, one fan and three energy channels,
// scripted by `script`.
std::string Calls(const Script& script, const Walk& walk) {
  FakeMac fake;
  fake.hid = {{"P", 50}, {std::nullopt, 40}, {"N", {}}};
  fake.smc.keys = {{"FNum", {kSmcTypeUi8, 1}}, {"F0Ac", {kSmcTypeFlt, 1200}}};
  fake.channels = {{"CPU Energy", "mJ", 7000}, {"GPU Energy", {}, 1000000000}, {"X", "mJ", 9}};
  fake.clock = {100, 102};
  script(fake);
  MacLibraries libraries(fake);
  return walk(libraries, fake);
}
Script Missing(const char* what) {
  return [=](FakeMac& f) { f.missing = {what}; };
}

// The calls of one walk and the (name, celsius) visits; "again" when the next walk opens IOKit
// again (only when it could not be opened).
std::string Temperatures(MacLibraries& libraries, FakeMac& fake) {
  HidTempSource source(libraries);
  fake.log.clear();
  source.ForEachSensor([&](const char* name, double celsius) {
    fake.Log((name ? name : "null") + (":" + std::to_string(int(celsius))));
  });
  const std::string log = fake.log;
  fake.log.clear();
  source.ForEachSensor([](const char*, double) {});
  return log + (fake.log.starts_with("dlopen") ? " again" : "");
}

// The fans read, the SMC's events (find, open, release, calls, close) and malformed calls.
std::string Fans(MacLibraries& libraries, FakeMac& fake) {
  AppleSmcTransport smc(libraries);
  OstrelFan fans[8] = {};
  const int32_t count = ReadFans(smc, fans, 8);
  return std::to_string(count) + " " + fake.smc.events + " " + std::to_string(fake.smc.bad_calls);
}

// The calls and the results ("status cpu gpu ane soc") of two power readings.
std::string Power(MacLibraries& libraries, FakeMac& fake) {
  IOReportEnergySource source(libraries);
  fake.log.clear();
  ResetPowerReaderForTesting(&source);
  std::string readings;
  for (int call = 0; call < 2; ++call) {
    double w[4];
    char text[96];
    const int32_t status = ostrel_read_power(&w[0], &w[1], &w[2], &w[3]);
    snprintf(text, sizeof text, "|%d %g %g %g %g", status, w[0], w[1], w[2], w[3]);
    readings += text;
  }
  ResetPowerReaderForTesting(nullptr);
  return fake.log + readings;
}

// Each row: the fake's script and a source's walk, then what the walk tells.
TEST(MacSensorSourcesTest, HidSmcAndIOReportOnEveryPath) {
  const std::string match =
                        "dlopen(IOKit) Client(default)=c1 Dict(\"PrimaryUsagePage\"=9:65280;"
                        "\"PrimaryUsage\"=9:5,2,keys,values)=d1 Match(c1,d1) Services(c1)=",
                    io = "dlopen(libIOReport.dylib)", none = "|-1 0 0 0 0|-1 0 0 0 0",
                    subscribe = io +
                                " Group(\"Energy Model\",null,0)=ch1 Copy(default,ch1)=ch2 "
                                "Subscribe(ch2,null)=";
  const Script hands_back = [](FakeMac& f) { f.answers["hands back"] = 1, f.missing = {"dl"}; };
  // clang-format off
  const struct {
    Script script;
    Walk walk;
    std::string told;
  } cases[] = {
      {Missing(""), Temperatures, match + "a1 Property(s1,\"Product\")=\"P\" Event(s1,15)=e1 "
       "Float(e1,983040)=50 Text(\"P\",128)=1 P:50 Property(s2,\"Product\")=null Event(s2,15)=e2 "
       "Float(e2,983040)=40 null:40 Property(s3,\"Product\")=\"N\" Event(s3,15)=null"},
      {Missing("IOHIDServiceClientCopyProperty"), Temperatures, match + "a1 Event(s1,15)=e1 "
       "Float(e1,983040)=50 null:50 Event(s2,15)=e2 Float(e2,983040)=40 null:40 Event(s3,15)=null"},
      {Missing(kIOKitPath), Temperatures, "dlopen(IOKit) dlopen(IOKit) dlopen(IOKit) "
       "dlopen(IOKit) dlopen(IOKit) dlopen(IOKit) again"},
      {Missing("kCFTypeDictionaryValueCallBacks"), Temperatures, "dlopen(IOKit)"},
      {Missing("c"), Temperatures, "dlopen(IOKit) Client(default)=null"},
      {Missing("number2"), Temperatures, "dlopen(IOKit) Client(default)=c1"},
      {Missing("a"), Temperatures, match + "null"},
      {Missing(""), Fans, "1 forccccccx 0"},
      {[](FakeMac& f) { f.smc.open_fails = true; }, Fans, "0 for 0"},
      {Missing(kIOKitPath), Fans, "0  0"},
      {Missing("mach_task_self_"), Fans, "0  0"},
      {Missing("d"), Fans, "0  0"},
      {Missing(""), Power, subscribe + "sub1,null Sample(sub1,ch2)=smp1 Sample(sub1,ch2)=smp2 "
       "Delta(smp1,smp2)=dl1 Text(\"CPU Energy\",128)=1 Text(\"mJ\",16)=1 "
       "Text(\"GPU Energy\",128)=1 Text(\"X\",128)=1|-1 0 0 0 0|0 3.5 0.5 0 4"},
      {Missing(kIOReportPath), Power, io + none},
      {Missing("sub"), Power, subscribe + "null,null" + none},
      {hands_back, Power, subscribe + "sub1,own1 Sample(sub1,own1)=smp1 Sample(sub1,own1)=smp2 "
       "Delta(smp1,smp2)=null" + none},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.told);
    EXPECT_EQ(Calls(c.script, c.walk), c.told);
  }
}

}  // namespace
}  // namespace ostrel::macos
