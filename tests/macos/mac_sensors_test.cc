// The macOS sensor sources over the fake system, call by call: the HID temperature source, the
// AppleSMC transport under the fan reader and the IOReport source under the power reader, on
// their normal path and on each failure path, with every object released exactly once.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/macos/apple_smc_transport.h"
#include "platform/macos/hid_temp_source.h"
#include "platform/macos/ioreport_energy_source.h"
#include "sensors/fans.h"
#include "sensors/power.h"
#include "tests/macos/fake_mac.h"

namespace ostrel::macos {
namespace {

using testing::FakeMac;
using testing::Lines;
using testing::operator+;
using Script = std::function<void(FakeMac&)>;

// --- Temperatures ---

const Lines kHidLookups = {"dlsym IOKit IOHIDEventSystemClientCreate",
                           "dlsym IOKit IOHIDEventSystemClientSetMatching",
                           "dlsym IOKit IOHIDEventSystemClientCopyServices",
                           "dlsym IOKit IOHIDServiceClientCopyProperty",
                           "dlsym IOKit IOHIDServiceClientCopyEvent",
                           "dlsym IOKit IOHIDEventGetFloatValue"};
const Lines kHidMatching = {
    "IOHIDEventSystemClientCreate(default)=client1",
    "CFStringCreateWithCString(null,\"PrimaryUsagePage\",0x8000100)",
    "CFStringCreateWithCString(null,\"PrimaryUsage\",0x8000100)",
    "CFNumberCreate(null,9,65280)=number1",
    "CFNumberCreate(null,9,5)=number2",
    "CFDictionaryCreate(null,[\"PrimaryUsagePage\",\"PrimaryUsage\"],[number1,number2],2,keys,"
    "values)=dict1",
    "CFRelease(number1)",
    "CFRelease(number2)",
    "CFRelease(\"PrimaryUsagePage\")",
    "CFRelease(\"PrimaryUsage\")",
    "IOHIDEventSystemClientSetMatching(client1,dict1)",
    "CFRelease(dict1)"};
// Service n reading `celsius` with no name.
Lines Unnamed(int n, const char* celsius) {
  const std::string s = "service" + std::to_string(n), e = "event" + std::to_string(n);
  return {"CFArrayGetValueAtIndex(array1," + std::to_string(n - 1) + ")=" + s,
          "IOHIDServiceClientCopyEvent(" + s + ",15,0,0)=" + e,
          "IOHIDEventGetFloatValue(" + e + ",0xf0000)=" + celsius, "CFRelease(" + e + ")"};
}

TEST(HidTempSourceTest, CallsOnEveryPath) {
  const Script three = [](FakeMac& f) {
    f.hid = {{"PMU tdie1", 50}, {std::nullopt, 40}, {"NAND CH0", std::nullopt}};
  };
  const Lines named = {"IOHIDEventSystemClientCopyServices(client1)=array1",
                       "CFStringCreateWithCString(null,\"Product\",0x8000100)",
                       "CFArrayGetCount(array1)=3",
                       "CFArrayGetValueAtIndex(array1,0)=service1",
                       "IOHIDServiceClientCopyProperty(service1,\"Product\")=\"PMU tdie1\"",
                       "IOHIDServiceClientCopyEvent(service1,15,0,0)=event1",
                       "IOHIDEventGetFloatValue(event1,0xf0000)=50",
                       "CFStringGetCString(\"PMU tdie1\",128,0x8000100)=1",
                       "CFRelease(event1)",
                       "CFRelease(\"PMU tdie1\")",
                       "CFArrayGetValueAtIndex(array1,1)=service2",
                       "IOHIDServiceClientCopyProperty(service2,\"Product\")=null",
                       "IOHIDServiceClientCopyEvent(service2,15,0,0)=event2",
                       "IOHIDEventGetFloatValue(event2,0xf0000)=40",
                       "CFRelease(event2)",
                       "CFArrayGetValueAtIndex(array1,2)=service3",
                       "IOHIDServiceClientCopyProperty(service3,\"Product\")=\"NAND CH0\"",
                       "IOHIDServiceClientCopyEvent(service3,15,0,0)=null",
                       "CFRelease(\"NAND CH0\")",
                       "CFRelease(\"Product\")",
                       "CFRelease(array1)",
                       "CFRelease(client1)"};
  const std::string iokit = std::string("dlopen ") + kIOKitPath;
  const struct {
    const char* what;
    Script script;
    Lines calls;
    const char* visits;
  } cases[] = {
      {"named, unnamed, no event", three, Lines{iokit} + kHidLookups + kHidMatching + named,
       "PMU tdie1 50|(none) 40"},
      {"IOKit missing: tried again at each lookup", [](FakeMac& f) { f.missing = {kIOKitPath}; },
       Lines(6, iokit), ""},
      {"a function missing", [](FakeMac& f) { f.missing = {"IOHIDEventGetFloatValue"}; },
       Lines{iokit} + kHidLookups, ""},
      {"no name lookup: every name is none",
       [&](FakeMac& f) { three(f), f.missing = {"IOHIDServiceClientCopyProperty"}; },
       Lines{iokit} + kHidLookups + kHidMatching +
           Lines{"IOHIDEventSystemClientCopyServices(client1)=array1",
                 "CFArrayGetCount(array1)=3"} +
           Unnamed(1, "50") + Unnamed(2, "40") +
           Lines{"CFArrayGetValueAtIndex(array1,2)=service3",
                 "IOHIDServiceClientCopyEvent(service3,15,0,0)=null", "CFRelease(array1)",
                 "CFRelease(client1)"},
       "(none) 50|(none) 40"},
      {"no client", [](FakeMac& f) { f.client_fails = true; },
       Lines{iokit} + kHidLookups + Lines{"IOHIDEventSystemClientCreate(default)=null"}, ""},
      {"no service array", [](FakeMac& f) { f.services_fail = true; },
       Lines{iokit} + kHidLookups + kHidMatching +
           Lines{"IOHIDEventSystemClientCopyServices(client1)=null", "CFRelease(client1)"},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeMac fake;
    c.script(fake);
    MacLibraries libraries(fake);
    HidTempSource source(libraries);
    fake.log.clear();
    std::string visits;
    source.ForEachSensor([&](const char* name, double celsius) {
      visits += (visits.empty() ? "" : "|") + std::string(name ? name : "(none)") + " " +
                std::to_string(static_cast<int>(celsius));
    });
    EXPECT_EQ(fake.log, c.calls);
    EXPECT_EQ(visits, c.visits);
    // The IOKit handle is kept: the next walk looks the functions up without opening again.
    fake.log.clear();
    source.ForEachSensor([](const char*, double) {});
    EXPECT_EQ(fake.log.front(), fake.missing.count(kIOKitPath) ? iokit : kHidLookups.front());
  }
}

// --- Fans ---

TEST(AppleSmcTransportTest, CallsUnderTheFanReader) {
  auto key = [](const char* k, int command, int result = 0) {
    return "IOConnectCallStructMethod(0xc0,2," + std::string(k) + "/" + std::to_string(command) +
           ",80,80)=" + std::to_string(result);
  };
  const Lines found = {"IOServiceMatching(\"AppleSMC\")=dict1",
                       "IOServiceGetMatchingService(0x0,dict1)=0x51",
                       "IOServiceOpen(0x51,task,0,&0)=0", "IOObjectRelease(0x51)"};
  const struct {
    const char* what;
    Script script;
    Lines calls;
    int32_t fans;
  } cases[] = {
      {"one fan",
       [](FakeMac& f) {
         f.smc.keys["FNum"] = {kSmcTypeUi8, 1};
         f.smc.keys["F0Ac"] = {kSmcTypeFlt, 1200};
         f.smc.keys["F0Mn"] = {kSmcTypeFpe2, 500};
         f.smc.keys["F0Mx"] = {kSmcTypeUi16, 6000};
       },
       found + Lines{key("FNum", 9), key("FNum", 5), key("F0Ac", 9), key("F0Ac", 5), key("F0Mn", 9),
                     key("F0Mn", 5), key("F0Mx", 9), key("F0Mx", 5), "IOServiceClose(0xc0)"},
       1},
      {"IOKit missing", [](FakeMac& f) { f.missing = {kIOKitPath}; }, {}, 0},
      {"a function missing", [](FakeMac& f) { f.missing = {"IOServiceClose"}; }, {}, 0},
      {"no task port", [](FakeMac& f) { f.missing = {"mach_task_self_"}; }, {}, 0},
      {"no service",
       [](FakeMac& f) { f.smc.has_service = false; },
       {found[0], "IOServiceGetMatchingService(0x0,dict1)=0x0"},
       0},
      {"open fails",
       [](FakeMac& f) { f.smc.open_fails = true; },
       {found[0], found[1], "IOServiceOpen(0x51,task,0,&0)=4", found[3]},
       0},
      {"a call fails", [](FakeMac& f) { f.smc.keys["FNum"].info_fails = true; },
       found + Lines{key("FNum", 9, 3), "IOServiceClose(0xc0)"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeMac fake;
    c.script(fake);
    MacLibraries libraries(fake);
    AppleSmcTransport smc(libraries);
    fake.log.clear();
    OstrelFan fans[8] = {};
    EXPECT_EQ(ReadFans(smc, fans, 8), c.fans);  // the records: MacLinuxParityTest
    EXPECT_EQ(fake.log, c.calls);
  }
}

// --- Power ---

// Three calls of the power reader over `source` from its state at process start, as
// "status cpu gpu ane soc" each.
std::string ReadPower(EnergySource& source) {
  ResetPowerReaderForTesting(&source);
  std::string readings;
  for (int call = 0; call < 3; ++call) {
    double cpu, gpu, ane, soc;
    const int32_t status = ostrel_read_power(&cpu, &gpu, &ane, &soc);
    char text[96];
    snprintf(text, sizeof text, "%s%d %g %g %g %g", call ? "|" : "", status, cpu, gpu, ane, soc);
    readings += text;
  }
  return readings;
}

TEST(IOReportEnergySourceTest, CallsUnderThePowerReader) {
  const Lines lookups = {std::string("dlopen ") + kIOReportPath,
                         "dlsym libIOReport.dylib IOReportCopyChannelsInGroup",
                         "dlsym libIOReport.dylib IOReportCreateSubscription",
                         "dlsym libIOReport.dylib IOReportCreateSamples",
                         "dlsym libIOReport.dylib IOReportCreateSamplesDelta",
                         "dlsym libIOReport.dylib IOReportIterate",
                         "dlsym libIOReport.dylib IOReportChannelGetChannelName",
                         "dlsym libIOReport.dylib IOReportSimpleGetIntegerValue",
                         "dlsym libIOReport.dylib IOReportChannelGetUnitLabel"};
  const Lines group = {"CFStringCreateWithCString(null,\"Energy Model\",0x8000100)",
                       "IOReportCopyChannelsInGroup(\"Energy Model\",null,0,0,0)=channels1",
                       "CFRelease(\"Energy Model\")"};
  const Lines copy = {"CFDictionaryCreateMutableCopy(default,0,channels1)=channels2",
                      "CFRelease(channels1)"};
  auto sample = [](int n, const char* sampled_over, int now) {
    return Lines{"IOReportCreateSamples(subscription1," + std::string(sampled_over) +
                     ",null)=sample" + std::to_string(n),
                 "CFAbsoluteTimeGetCurrent()=" + std::to_string(now)};
  };
  const Lines delta = {"IOReportCreateSamplesDelta(sample1,sample2,null)=delta1",
                       "CFRelease(sample1)",
                       "IOReportIterate(delta1,block)",
                       "IOReportChannelGetChannelName(channel1)=\"CPU Energy\"",
                       "CFStringGetCString(\"CPU Energy\",128,0x8000100)=1",
                       "IOReportChannelGetUnitLabel(channel1)=\"mJ\"",
                       "CFStringGetCString(\"mJ\",16,0x8000100)=1",
                       "IOReportSimpleGetIntegerValue(channel1,0)=7000",
                       "IOReportChannelGetChannelName(channel2)=\"GPU Energy\"",
                       "CFStringGetCString(\"GPU Energy\",128,0x8000100)=1",
                       "IOReportChannelGetUnitLabel(channel2)=null",
                       "IOReportSimpleGetIntegerValue(channel2,0)=1000000000",
                       "IOReportChannelGetChannelName(channel3)=\"ANE Energy and more\"",
                       "CFStringGetCString(\"ANE Energy and more\",128,0x8000100)=1",
                       "CFRelease(delta1)"};
  const std::string none = "-1 0 0 0 0|-1 0 0 0 0|-1 0 0 0 0";
  const Lines subscribed = {
      "IOReportCreateSubscription(null,channels2,&null,0,null)=subscription1,null"};
  const Lines no_delta = {"IOReportCreateSamplesDelta(sample2,sample3,null)=null",
                          "CFRelease(sample2)"};
  const struct {
    const char* what;
    Script script;
    Lines calls;
    std::string readings;
    Lines kept;  // what the reader held, released at its reset
  } cases[] = {
      {"reads from the second call on; a failed delta",
       [](FakeMac&) {},
       lookups + group + copy + subscribed + sample(1, "channels2", 100) +
           sample(2, "channels2", 102) + delta + sample(3, "channels2", 104) + no_delta,
       "-1 0 0 0 0|0 3.5 0.5 0 4|-1 0 0 0 0",
       {"CFRelease(sample3)", "CFRelease(channels2)", "CFRelease(subscription1)"}},
      {"library missing: never tried again",
       [](FakeMac& f) { f.missing = {kIOReportPath}; },
       {lookups[0]},
       none,
       {}},
      {"an entry point missing",
       [](FakeMac& f) { f.missing = {"IOReportIterate"}; },
       lookups,
       none,
       {}},
      {"no channel group",
       [](FakeMac& f) { f.group = false; },
       lookups + Lines{group[0], "IOReportCopyChannelsInGroup(\"Energy Model\",null,0,0,0)=null",
                       group[2]},
       none,
       {}},
      {"no subscription: the copy is released",
       [](FakeMac& f) { f.subscription = false; },
       lookups + group + copy +
           Lines{"IOReportCreateSubscription(null,channels2,&null,0,null)=null,null",
                 "CFRelease(channels2)"},
       none,
       {}},
      {"a set of its own: samples over it, the copy released",
       [](FakeMac& f) {
         f.hands_back = true, f.deltas = {false, false};
       },
       lookups + group + copy +
           Lines{"IOReportCreateSubscription(null,channels2,&null,0,null)=subscription1,"
                 "channels3",
                 "CFRelease(channels2)"} +
           sample(1, "channels3", 100) + sample(2, "channels3", 102) +
           Lines{"IOReportCreateSamplesDelta(sample1,sample2,null)=null", "CFRelease(sample1)"} +
           sample(3, "channels3", 104) + no_delta,
       none,
       {"CFRelease(sample3)", "CFRelease(channels3)", "CFRelease(subscription1)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeMac fake;
    fake.clock = {100, 102, 104};
    fake.channels = {{"CPU Energy", "mJ", 7000},
                     {"GPU Energy", std::nullopt, 1000000000},
                     {"ANE Energy and more", "mJ", 99}};
    fake.deltas = {true, false};
    c.script(fake);
    MacLibraries libraries(fake);
    IOReportEnergySource source(libraries);
    fake.log.clear();
    EXPECT_EQ(ReadPower(source), c.readings);
    EXPECT_EQ(fake.log, c.calls);
    fake.log.clear();
    ResetPowerReaderForTesting(nullptr);
    EXPECT_EQ(fake.log, c.kept);
  }
}

}  // namespace
}  // namespace ostrel::macos
