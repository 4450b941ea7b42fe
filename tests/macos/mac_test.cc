// The macOS layers over the fake system, call by call, with every object released exactly once
// and every autorelease pool popped (FakeMac's destructor checks).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/login_item.h"
#include "platform/macos/apple_smc_transport.h"
#include "platform/macos/dev_fd_open_files.h"
#include "platform/macos/hid_temp_source.h"
#include "platform/macos/icucore_grapheme_breaks.h"
#include "platform/macos/ioreport_energy_source.h"
#include "platform/macos/mac_platform.h"
#include "platform/macos/pthread_qos.h"
#include "platform/macos/zone_relief_heap_release.h"
#include "platform/open_files.h"
#include "sensors/fans.h"
#include "sensors/power.h"
#include "tests/machine_records.h"
#include "tests/macos/fake_mac.h"

namespace ostrel::macos {
namespace {

using testing::FakeMac;
using Script = std::function<void(FakeMac&)>;
using Walk = std::function<std::string(MacLibraries&, FakeMac&)>;

// What `walk` tells over a fake with three HID sensors, one fan and three energy channels.
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

// `call` on the platform, as a walk: its messages, then its result.
Walk On(const std::function<std::string(MacPlatform&)>& call) {
  return [=](MacLibraries& libraries, FakeMac& fake) {
    MacPlatform platform(libraries);
    fake.log.clear();
    const std::string result = call(platform);
    return fake.log + " " + result;
  };
}

struct RecordingDelegate : Application::Delegate {
  void applicationDidFinishLaunching() override { FakeMac::current->Log("launched"); }
};

// The calls of making the application, run() and its end.
std::string Launch(MacLibraries& libraries, FakeMac& fake) {
  ObjcRuntime runtime(libraries);
  RecordingDelegate delegate;
  fake.log.clear();
  AppKitApplication application(runtime, libraries);
  application.setDelegate(&delegate);
  application.run();
  return fake.log;
}

// The calls of one walk and the (name, celsius) visits.
std::string Temperatures(MacLibraries& libraries, FakeMac& fake) {
  HidTempSource source(libraries);
  fake.log.clear();
  source.ForEachSensor([&](const char* name, double celsius) {
    fake.Log((name ? name : "null") + (":" + std::to_string(int(celsius))));
  });
  return fake.log;
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
  for (int call = 0; call < 2; ++call) {
    double w[4];
    char text[96];
    const int32_t status = ostrel_read_power(&w[0], &w[1], &w[2], &w[3]);
    snprintf(text, sizeof text, "|%d %g %g %g %g", status, w[0], w[1], w[2], w[3]);
    fake.log += text;
  }
  ResetPowerReaderForTesting(nullptr);
  return fake.log;
}

// Statuses as mapped ('+': enabled), registering, and a refused unregister, which is logged.
std::string Login(MacLibraries& libraries, FakeMac& fake) {
  MacPlatform p(libraries);
  std::string statuses;
  for (long status : {-1, 0, 1, 2, 3, 4}) {
    fake.answers["status"] = status;
    statuses += std::to_string(static_cast<int>(p.loginItem().GetStatus())) +
                (HelperLoginItem::isEnabled(p.loginItem()) ? "+" : "");
  }
  fake.log.clear();
  HelperLoginItem::set(p.loginItem(), p.log(), true);
  fake.error = "no";
  HelperLoginItem::set(p.loginItem(), p.log(), false);
  return statuses + " " + fake.log;
}

// Each row: the fake's script and a walk of one layer, then the calls it made and what it told.
TEST(MacLayersTest, EveryPath) {
  const std::string alert =
      "[NSApplication sharedApplication]=shared [shared activateIgnoringOtherApps: 1] [NSAlert "
      "alloc]=NSAlert1 [NSAlert1 init]=NSAlert1 [NSAlert1 setAlertStyle: ";
  const std::string app = "file:///O.app/", open = "[NSWorkspace sharedWorkspace]=shared ";
  const auto modal = [](AlertContent a) {
    return On([=](MacPlatform& p) { return std::to_string(p.alerts().RunModal(a)); });
  };
  const auto pressed = [](long n) { return [=](FakeMac& f) { f.answers["runModal"] = n; }; };
  const Walk lookup =
      On([](MacPlatform& p) { return p.workspace().URLForApplication("id").value_or("none"); });
  const Walk relieve = [](MacLibraries& l, FakeMac& f) { return ReleaseFreeMemory(l), f.log; };
  const Walk qos = [](MacLibraries& l, FakeMac& f) {
    const bool entered = EnterUtilityClass(l);
    return std::to_string(entered) + f.log;
  };
  // The cluster ends of "e\u0301x" (4 bytes), as the walk hands them on.
  const Walk clusters = [](MacLibraries& l, FakeMac& f) {
    f.breaks = {3, 4};
    if (auto walk = IcuCore(l.icu_core).Breaks("e\u0301x")) {
      while (const size_t end = walk->Next()) f.Log(std::to_string(end));
    }
    return f.log;
  };
  const std::string icu =
      "dlopen(libicucore.A.dylib) openUTF8(null,e\u0301x,4)=ut1 openBreaks(0,'',"
      "null,0)=";
  // clang-format off
  const struct {
    Script script;
    Walk walk;
    std::string told;
  } cases[] = {
      {Missing(""), Temperatures, "dlopen(IOKit) Client(default)=c1 Dict(\"PrimaryUsagePage\"="
       "9:65280;\"PrimaryUsage\"=9:5,2,keys,values)=d1 Match(c1,d1) Services(c1)=a1 Property(s1,"
       "\"Product\")=\"P\" Event(s1,15)=e1 Float(e1,983040)=50 Text(\"P\",128)=1 P:50 Property(s2,"
       "\"Product\")=null Event(s2,15)=e2 Float(e2,983040)=40 null:40 Property(s3,\"Product\")="
       "\"N\" Event(s3,15)=null"},
      {Missing(""), Fans, "1 forccccccx 0"},
      {Missing(kIOKitPath), Fans, "0  0"},
      {Missing(kIOKitPath), Temperatures, "dlopen(IOKit) dlopen(IOKit) dlopen(IOKit) dlopen(IOKit) "
       "dlopen(IOKit) dlopen(IOKit)"},
      {Missing("IOHIDEventSystemClientCopyServices"), Temperatures, "dlopen(IOKit)"},
      {Missing("IOServiceMatching"), Fans, "0  0"},
      {Missing("sub"), Power, "dlopen(libIOReport.dylib) Group(\"Energy Model\",null,0)=ch1 "
       "Copy(default,ch1)=ch2 Subscribe(ch2,null)=null,null|-1 0 0 0 0|-1 0 0 0 0"},
      {Missing(kIOReportPath), Power, "dlopen(libIOReport.dylib)|-1 0 0 0 0|-1 0 0 0 0"},
      {[](FakeMac& f) { f.smc.has_service = false; }, Fans, "0 f 0"},
      {[](FakeMac& f) { f.smc.open_fails = true; }, Fans, "0 for 0"},
      {[](FakeMac& f) { f.smc.keys["FNum"].read_fails = true; }, Fans, "0 forccx 0"},
      {Missing(""), Power, "dlopen(libIOReport.dylib) Group(\"Energy Model\",null,0)=ch1 "
       "Copy(default,ch1)=ch2 Subscribe(ch2,null)=sub1,null Sample(sub1,ch2)=smp1|-1 0 0 0 0 "
       "Sample(sub1,ch2)=smp2 Delta(smp1,smp2)=dl1 Text(\"CPU Energy\",128)=1 Text(\"mJ\",16)=1 "
       "Text(\"GPU Energy\",128)=1 Text(\"X\",128)=1|0 3.5 0.5 0 4"},
      {Missing("_NSConcreteStackBlock"), Power, "dlopen(libIOReport.dylib)|-1 0 0 0 0|-1 0 0 0 0"},
      {Missing("OstrelHelperAppDelegate"), Launch, "dlopen(AppKit) getClass(NSApplication)="
       "NSApplication [NSApplication sharedApplication]=shared getClass(OstrelHelperAppDelegate)="
       "null getClass(NSObject)=NSObject allocateClass(NSObject,OstrelHelperAppDelegate,0)="
       "OstrelHelperAppDelegate addMethod(OstrelHelperAppDelegate,applicationDidFinishLaunching:,"
       "v@:@) getProtocol(NSApplicationDelegate) addProtocol(OstrelHelperAppDelegate,"
       "NSApplicationDelegate) register(OstrelHelperAppDelegate) [OstrelHelperAppDelegate alloc]="
       "OstrelHelperAppDelegate1 [OstrelHelperAppDelegate1 init]=OstrelHelperAppDelegate1 [shared "
       "setDelegate: OstrelHelperAppDelegate1] [shared setActivationPolicy: 1]=0 [shared run] "
       "launched"},
      {Missing("NSApplication"), Launch, "dlopen(AppKit) getClass(NSApplication)=null launched"},
      {pressed(1001), modal({"", AlertStyle::kInformational, "m", "i", {"OK", "Open"}}), alert +
       "1] [NSAlert1 setMessageText: @\"m\"] [NSAlert1 setInformativeText: @\"i\"] [NSAlert1 "
       "addButtonWithTitle: @\"OK\"]=addBut1 [NSAlert1 addButtonWithTitle: @\"Open\"]=addBut2 "
       "[NSAlert1 runModal]=1001 1001"},
      {pressed(2147483647), modal({"", AlertStyle::kWarning, "\xff", "i", {"\xff", "OK"}}), alert +
       "0] [NSAlert1 setInformativeText: @\"i\"] [NSAlert1 addButtonWithTitle: @\"OK\"]=addBut1 "
       "[NSAlert1 runModal]=2147483647 2147483647"},
      {pressed(-2147483649), modal({"", AlertStyle::kWarning, "m", "", {}}), alert + "0] [NSAlert1 "
       "setMessageText: @\"m\"] [NSAlert1 setInformativeText: @\"\"] [NSAlert1 runModal]="
       "-2147483649 1000"},
      {Missing("NSAlert"), modal({}), " 1000"},
      {[&](FakeMac& f) { f.app_url = app; }, lookup, open + "[shared URLForApplicationWith"
       "BundleIdentifier: @\"id\"]=NSURL1 [NSURL1 absoluteString]=@\"" + app + "\" " + app},
      {Missing("NSWorkspaceOpenConfiguration"), lookup, " none"},
      {Missing(""), On([&](MacPlatform& p) { return p.workspace().OpenApplication(app), "-"; }),
       open + "[NSURL URLWithString: @\"" + app + "\"]=NSURL1 [NSWorkspaceOpenConfiguration "
       "configuration]=config1 [shared openApplicationAtURL:configuration:completionHandler: "
       "NSURL1 config1 null] -"},
      {Missing(""), On([](MacPlatform& p) { return p.workspace().OpenURL("https://o/"), "-"; }),
       open + "[NSURL URLWithString: @\"https://o/\"]=NSURL1 [shared openURL: NSURL1]=0 -"},
      {Missing(kServiceManagementPath), On([](MacPlatform& p) { return p.loginItem().Register()
       .message() + std::to_string(static_cast<int>(p.loginItem().GetStatus())); }),
       " SMAppService is not available3"},
      {Missing(""), Login, "301+233 [SMAppService mainAppService]=mainAp [mainAp "
       "registerAndReturnError: &error]=1 [SMAppService mainAppService]=mainAp [mainAp "
       "unregisterAndReturnError: &error]=0 [NSError1 description]=@\"no\" NSLog(@\"%@\",@\"Ostrel "
       "Sensor Helper: login item unregister failed: no\")"},
      {Missing(""), relieve, "dlopen(libSystem.B.dylib) relief(null,0)=0"},
      {Missing(""), qos, "1dlopen(libSystem.B.dylib) qos(17,0)=0"},
      {Missing("pthread_set_qos_class_self_np"), qos, "0dlopen(libSystem.B.dylib)"},
      {Missing(""), clusters, icu + "bi1 setText(bi1,ut1) 3 4 closeBreaks(bi1) closeText(ut1)"},
      {Missing("iterator"), clusters, icu + "null closeText(ut1)"},
      {Missing("ubrk_setUText"), clusters, "dlopen(libicucore.A.dylib)"},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(Calls(c.script, c.walk), c.told);
}

// The Ryzen laptop (the table's amd_laptop) through the macOS fakes: its Linux records.
TEST(MacLinuxParityTest, TheSameMachineGivesTheSameRecords) {
  FakeMac fake;
  fake.clock = {100, 101};
  fake.hid = {{"gas gauge battery", 31.2}, {"NAND CH0", 36.85}, {"PMU tcal", 66.625}};
  for (double c : {46.625, 44.25, 48.5}) fake.hid.push_back({"PMU tdie", c});
  fake.smc.keys = {{"FNum", {kSmcTypeUi16, 1}}, {"F0Ac", {kSmcTypeFlt, 2370}}};
  fake.channels = {{"CPU Energy", std::nullopt, 6000}, {"ANE", "mJ", 0}};
  MacLibraries libraries(fake);
  HidTempSource hid(libraries);
  AppleSmcTransport smc(libraries);
  IOReportEnergySource io_report(libraries);
  EXPECT_EQ(ostrel::testing::Records(hid, smc, ostrel::testing::PowerAfter(io_report, [] {})),
            ostrel::testing::kMachineRecords[2].second);
}

// dlopen/dlsym resolution; free descriptors as /dev/fd lists them (checked against Linux's layer).
TEST(DlopenResolverTest, ResolverAndDescriptors) {
  DlopenResolver resolver;
  EXPECT_EQ(resolver.Open("/nonexistent/libostrel.dylib"), nullptr);
  void* self = resolver.Open(nullptr);  // the program itself
  EXPECT_EQ(resolver.Symbol(self, "strcasestr"), dlsym(self, "strcasestr"));
  dlclose(self);
#ifndef __APPLE__
  EXPECT_EQ(FreeDescriptorCount(), ostrel::FreeDescriptorCount());
#endif
  EXPECT_TRUE(CanOpenDescriptors(8) && CanOpenDescriptors(100));
}

}  // namespace
}  // namespace ostrel::macos
