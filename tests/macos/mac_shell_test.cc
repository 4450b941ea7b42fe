// The macOS application shell over the fake system, message by message: the application and its
// delegate class, alerts, the workspace, the log line, the login item and the allocator, with
// every object released exactly once and every autorelease pool popped.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/helper_login_item.h"
#include "platform/macos/mac_platform.h"
#include "platform/macos/mac_process_resources.h"
#include "platform/process_resources.h"
#include "tests/macos/fake_mac.h"

namespace ostrel::macos {
namespace {

using testing::FakeMac;
using Script = std::function<void(FakeMac&)>;
using Call = std::function<std::string(MacPlatform&)>;

MacLibraries* g_libraries;  // those of the platform Calls made

// The messages of `call` on the platform over a fake scripted by `script`, then its result.
std::string Calls(const Script& script, const Call& call) {
  FakeMac fake;
  script(fake);
  MacLibraries libraries(fake);
  g_libraries = &libraries;
  MacPlatform platform(libraries);
  fake.log.clear();
  const std::string result = call(platform);
  return fake.log + " " + result;
}
Script Missing(const char* what) {
  return [=](FakeMac& f) { f.missing = {what}; };
}

struct RecordingDelegate : Application::Delegate {
  void applicationDidFinishLaunching() override { FakeMac::Current().Log("launched"); }
};

// Each row: what is missing, and the calls of making the application, run() and its end.
TEST(AppKitApplicationTest, DelegateClassPolicyAndEventLoop) {
  const std::string start =
      "dlopen(AppKit) getClass(NSApplication)=NSApplication "
      "[NSApplication sharedApplication]=shared getClass(OstrelHelperAppDelegate)=";
  const std::string run =
      " [OstrelHelperAppDelegate alloc]=OstrelHelperAppDelegate1 "
      "[OstrelHelperAppDelegate1 init]=OstrelHelperAppDelegate1 [shared setDelegate: "
      "OstrelHelperAppDelegate1] [shared setActivationPolicy: 1]=0 [shared run] launched";
  // clang-format off
  const struct {
    const char* missing;
    std::string calls;
  } cases[] = {
      {"OstrelHelperAppDelegate", start + "null getClass(NSObject)=NSObject allocateClass(NSObject,"
       "OstrelHelperAppDelegate,0)=OstrelHelperAppDelegate addMethod(OstrelHelperAppDelegate,"
       "applicationDidFinishLaunching:,v@:@) getProtocol(NSApplicationDelegate) addProtocol("
       "OstrelHelperAppDelegate,NSApplicationDelegate) register(OstrelHelperAppDelegate)" + run},
      {"", start + "OstrelHelperAppDelegate" + run.substr(0, run.size() - 9)},  // not told
      {"NSApplication", "dlopen(AppKit) getClass(NSApplication)=null launched"},
      {kAppKitPath, "dlopen(AppKit) launched"},
      {"objc_autoreleasePoolPop", "launched"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    FakeMac fake;
    fake.missing = {c.missing};
    MacLibraries libraries(fake);
    ObjcRuntime runtime(libraries);
    fake.log.clear();
    {
      AppKitApplication application(runtime, libraries);
      RecordingDelegate delegate;
      application.setDelegate(&delegate);
      application.run();
    }
    EXPECT_EQ(fake.log, c.calls);
  }
}

// Each row: the fake's script and a call on the platform, then its messages and result: alerts
// (what runModal answers), the workspace (the installed application, lookups and launches), the
// login item and its log line, and the allocator.
TEST(AppKitShellTest, AlertsWorkspaceLoginItemAndAllocator) {
  const std::string alert =
      "[NSApplication sharedApplication]=shared [shared activateIgnoringOtherApps: 1] [NSAlert "
      "alloc]=NSAlert1 [NSAlert1 init]=NSAlert1 [NSAlert1 setAlertStyle: ";
  const std::string app = "file:///O.app/", open = "[NSWorkspace sharedWorkspace]=shared ",
                    find = open + "[shared URLForApplicationWithBundleIdentifier: @\"id\"]=";
  const auto run = [](AlertContent a) {
    return [=](MacPlatform& p) { return std::to_string(p.alerts().RunModal(a)); };
  };
  const auto pressed = [](long n) { return [=](FakeMac& f) { f.answers["runModal"] = n; }; };
  const auto installed = [](std::optional<std::string> url, const char* missing = "") {
    return [=](FakeMac& f) { f.app_url = url, f.missing = {missing}; };
  };
  const Call lookup = [](MacPlatform& p) {
    return p.workspace().URLForApplication("id").value_or("none");
  };
  // clang-format off
  const struct {
    Script script;
    Call call;
    std::string calls;
  } cases[] = {
      {pressed(1001), run({"", AlertStyle::kInformational, "m", "i", {"OK", "Open"}}), alert +
       "1] [NSAlert1 setMessageText: @\"m\"] [NSAlert1 setInformativeText: @\"i\"] [NSAlert1 "
       "addButtonWithTitle: @\"OK\"]=addBut1 [NSAlert1 addButtonWithTitle: @\"Open\"]=addBut2 "
       "[NSAlert1 runModal]=1001 1001"},
      {pressed(2147483647), run({"", AlertStyle::kWarning, "\xff", "i", {"\xff", "OK"}}), alert +
       "0] [NSAlert1 setInformativeText: @\"i\"] [NSAlert1 addButtonWithTitle: @\"OK\"]=addBut1 "
       "[NSAlert1 runModal]=2147483647 2147483647"},
      {pressed(-2147483649), run({"", AlertStyle::kWarning, "m", "", {}}), alert + "0] [NSAlert1 "
       "setMessageText: @\"m\"] [NSAlert1 setInformativeText: @\"\"] [NSAlert1 runModal]="
       "-2147483649 1000"},
      {Missing("NSAlert"), run({}), " 1000"},
      {installed(app), lookup, find + "NSURL1 [NSURL1 absoluteString]=@\"" + app + "\" " + app},
      {installed(""), lookup, find + "NSURL1 [NSURL1 absoluteString]=@\"\" none"},
      {installed({}), lookup, find + "null none"},
      {installed(app, "NSWorkspaceOpenConfiguration"), lookup, " none"},
      {installed({}), [&](MacPlatform& p) { return p.workspace().OpenApplication(app), "-"; },
       open + "[NSURL URLWithString: @\"" + app + "\"]=NSURL1 [NSWorkspaceOpenConfiguration "
       "configuration]=config1 [shared openApplicationAtURL:configuration:completionHandler: "
       "NSURL1 config1 null] -"},
      {installed({}), [](MacPlatform& p) { return p.workspace().OpenURL("https://o/"), "-"; },
       open + "[NSURL URLWithString: @\"https://o/\"]=NSURL1 [shared openURL: NSURL1]=0 -"},
      {installed({}), [](MacPlatform& p) {
         return p.workspace().OpenURL(""), p.workspace().OpenApplication("\xff"), "-"; },
       open + "[NSURL URLWithString: @\"\"]=null " + open + "-"},
      {installed({}, "NSWorkspaceOpenConfiguration"), [](MacPlatform& p) {
         return p.workspace().OpenURL("a"), p.workspace().OpenApplication("a"), "-"; }, " -"},
      {Missing(kServiceManagementPath), [](MacPlatform& p) {
         return p.loginItem().Register().message() +
                std::to_string(static_cast<int>(p.loginItem().GetStatus())); },
       " SMAppService is not available3"},
      {Missing(""), [](MacPlatform& p) {  // register; unregister refused, logged; the statuses
         HelperLoginItem::set(p.loginItem(), p.log(), true);
         FakeMac::Current().error = "no";
         HelperLoginItem::set(p.loginItem(), p.log(), false);
         p.log().Write("\xff");  // not UTF-8: printed as null
         const std::string log = FakeMac::Current().log;
         std::string statuses;
         for (long status : {-1, 0, 1, 2, 3, 4}) {
           FakeMac::Current().answers["status"] = status;
           statuses += std::to_string(static_cast<int>(p.loginItem().GetStatus()));
         }
         return FakeMac::Current().log = log, statuses; },
       "[SMAppService mainAppService]=mainAp [mainAp registerAndReturnError: &error]=1 "
       "[SMAppService mainAppService]=mainAp [mainAp unregisterAndReturnError: &error]=0 "
       "[NSError1 description]=@\"no\" NSLog(@\"%@\",@\"Ostrel Sensor Helper: login item "
       "unregister failed: no\") NSLog(@\"%@\",null) 301233"},
      {Missing(""), [](MacPlatform&) { return ReleaseFreeMemory(*g_libraries), "-"; },
       "dlopen(libSystem.B.dylib) relief(null,0)=0 -"},
      {Missing("malloc_zone_pressure_relief"),
       [](MacPlatform&) { return ReleaseFreeMemory(*g_libraries), "-"; },
       "dlopen(libSystem.B.dylib) -"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    EXPECT_EQ(Calls(c.script, c.call), c.calls);
  }
}

// The free descriptors as /dev/fd lists them; elsewhere than on a Mac, checked against
// /proc/self/fd through the running system's layer.
TEST(MacLinuxParityTest, TheSameDescriptorsAreFree) {
  EXPECT_GT(FreeDescriptorCount(), 0);
#ifndef __APPLE__
  EXPECT_EQ(FreeDescriptorCount(), ostrel::FreeDescriptorCount());
#endif
  EXPECT_TRUE(CanOpenDescriptors(8) && CanOpenDescriptors(100));
}

// The product's resolver is dlopen and dlsym, objc_msgSend for every message signature.
TEST(DlopenResolverTest, OpensByPathAndFindsByName) {
  DlopenResolver resolver;
  EXPECT_EQ(resolver.Open("/nonexistent/libostrel.dylib"), nullptr);
  void* self = resolver.Open(nullptr);  // the program itself
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(resolver.Symbol(self, "strcasestr"), dlsym(self, "strcasestr"));
  EXPECT_EQ(resolver.Messenger(self, "v@:"), dlsym(self, "objc_msgSend"));
  dlclose(self);
}

}  // namespace
}  // namespace ostrel::macos
