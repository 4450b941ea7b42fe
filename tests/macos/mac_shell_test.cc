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

// The platform over a fake system scripted by `script`; the log then starts empty.
struct Shell {
  explicit Shell(const Script& script = {}) : scripted(script && (script(fake), true)) {
    fake.log.clear();
  }
  FakeMac fake;
  bool scripted;  // the script ran before the platform was made
  MacLibraries libraries{fake};
  MacPlatform platform{libraries};
};

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
  const struct {
    std::set<std::string> missing;
    std::string calls;
  } cases[] = {
      {{"OstrelHelperAppDelegate"},
       start +
           "null getClass(NSObject)=NSObject allocateClass(NSObject,OstrelHelperAppDelegate,0)"
           "=OstrelHelperAppDelegate "
           "addMethod(OstrelHelperAppDelegate,applicationDidFinishLaunching:,v@:@) "
           "getProtocol(NSApplicationDelegate) "
           "addProtocol(OstrelHelperAppDelegate,NSApplicationDelegate) "
           "register(OstrelHelperAppDelegate)" +
           run},
      {{},
       start + "OstrelHelperAppDelegate" + run.substr(0, run.size() - 9)},  // no method: not told
      {{"NSApplication"}, "dlopen(AppKit) getClass(NSApplication)=null launched"},
      {{kAppKitPath}, "dlopen(AppKit) launched"},
      {{"objc_autoreleasePoolPop"}, "launched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    FakeMac fake;
    fake.missing = c.missing;
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

// Each row: the alert and what runModal answers, then the messages and what RunModal returns.
TEST(AppKitAlertPresenterTest, LaunchAlerts) {
  const std::string start =
      "[NSApplication sharedApplication]=shared [shared activateIgnoringOtherApps: 1] [NSAlert "
      "alloc]=NSAlert1 [NSAlert1 init]=NSAlert1 [NSAlert1 setAlertStyle: ";
  const struct {
    AlertContent alert;
    long pressed;
    std::string calls;
  } cases[] = {
      {{"", AlertStyle::kInformational, "m", "i", {"OK", "Open"}},
       1001,
       start + "1] [NSAlert1 setMessageText: @\"m\"] [NSAlert1 setInformativeText: @\"i\"] "
               "[NSAlert1 addButtonWithTitle: @\"OK\"]=addBut1 [NSAlert1 addButtonWithTitle: "
               "@\"Open\"]=addBut2 [NSAlert1 runModal]=1001 1001"},
      {{"", AlertStyle::kWarning, "\xff", "i", {"\xff", "OK"}},
       2147483647,
       start + "0] [NSAlert1 setInformativeText: @\"i\"] [NSAlert1 addButtonWithTitle: "
               "@\"OK\"]=addBut1 [NSAlert1 runModal]=2147483647 2147483647"},
      {{"", AlertStyle::kWarning, "m", "", {}},
       -2147483649,
       start + "0] [NSAlert1 setMessageText: @\"m\"] [NSAlert1 setInformativeText: @\"\"] "
               "[NSAlert1 runModal]=-2147483649 1000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    Shell shell;
    shell.fake.answers["runModal"] = c.pressed;
    const int result = shell.platform.alerts().RunModal(c.alert);
    EXPECT_EQ(shell.fake.log + " " + std::to_string(result), c.calls);
  }
  Shell without([](FakeMac& f) { f.missing = {"NSAlert"}; });
  EXPECT_EQ(without.platform.alerts().RunModal({}), 1000);
  EXPECT_EQ(without.fake.log, "");
}

// Each row: what is missing, the installed application, a call, then its messages and result.
TEST(AppKitWorkspaceTest, FindAndOpen) {
  const std::string app = "file:///O.app/", open = "[NSWorkspace sharedWorkspace]=shared ",
                    find = open + "[shared URLForApplicationWithBundleIdentifier: @\"id\"]=";
  const auto lookup = [](Workspace& w) { return w.URLForApplication("id").value_or("none"); };
  const struct {
    const char* missing;
    std::optional<std::string> installed;
    std::function<std::string(Workspace&)> call;
    std::string calls;
  } cases[] = {
      {"", app, lookup, find + "NSURL1 [NSURL1 absoluteString]=@\"" + app + "\" " + app},
      {"", "", lookup, find + "NSURL1 [NSURL1 absoluteString]=@\"\" none"},
      {"", {}, lookup, find + "null none"},
      {"NSWorkspaceOpenConfiguration", app, lookup, " none"},
      {"",
       {},
       [&](Workspace& w) { return w.OpenApplication(app), "-"; },
       open + "[NSURL URLWithString: @\"" + app +
           "\"]=NSURL1 [NSWorkspaceOpenConfiguration "
           "configuration]=config1 [shared openApplicationAtURL:configuration:"
           "completionHandler: NSURL1 config1 null] -"},
      {"",
       {},
       [](Workspace& w) { return w.OpenURL("https://o/"), "-"; },
       open + "[NSURL URLWithString: @\"https://o/\"]=NSURL1 [shared openURL: NSURL1]=0 -"},
      {"",
       {},
       [](Workspace& w) { return w.OpenURL(""), w.OpenApplication("\xff"), "-"; },
       open + "[NSURL URLWithString: @\"\"]=null " + open + "-"},
      {"NSWorkspaceOpenConfiguration",
       {},
       [](Workspace& w) { return w.OpenURL("a"), w.OpenApplication("a"), "-"; },
       " -"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    Shell shell([&](FakeMac& f) { f.missing = {c.missing}; });
    shell.fake.app_url = c.installed;
    const std::string result = c.call(shell.platform.workspace());
    EXPECT_EQ(shell.fake.log + " " + result, c.calls);
  }
}

// Register, and an unregister refused (logged through NSLog); the status mapping; and
// without ServiceManagement.
TEST(AppServiceLoginItemTest, RegisterUnregisterStatusAndTheLogLine) {
  {
    Shell without([](FakeMac& f) { f.missing = {kServiceManagementPath}; });
    EXPECT_EQ(without.platform.loginItem().Register().message(), "SMAppService is not available");
    EXPECT_EQ(without.platform.loginItem().GetStatus(), LoginItemStatus::kNotFound);
    EXPECT_EQ(without.fake.log, "");
  }
  const std::string line = "Ostrel Sensor Helper: login item unregister failed: no";
  Shell shell;
  HelperLoginItem::set(shell.platform.loginItem(), shell.platform.log(), true);
  shell.fake.error = "no";
  HelperLoginItem::set(shell.platform.loginItem(), shell.platform.log(), false);
  shell.platform.log().Write("\xff");  // not UTF-8: printed as null
  EXPECT_EQ(shell.fake.log,
            "[SMAppService mainAppService]=mainAp [mainAp registerAndReturnError: &error]=1 "
            "[SMAppService mainAppService]=mainAp [mainAp unregisterAndReturnError: &error]=0 "
            "[NSError1 description]=@\"no\" NSLog(@\"%@\",@\"" +
                line + "\") NSLog(@\"%@\",null)");
  std::string statuses;
  for (long status : {-1, 0, 1, 2, 3, 4}) {
    shell.fake.answers["status"] = status;
    statuses += std::to_string(static_cast<int>(shell.platform.loginItem().GetStatus()));
  }
  EXPECT_EQ(statuses, "301233");
}

TEST(MacProcessResourcesTest, FreeMemoryThroughTheAllocator) {
  for (const char* missing : {"", "malloc_zone_pressure_relief"}) {
    FakeMac fake;
    fake.missing = {missing};
    MacLibraries libraries(fake);
    ReleaseFreeMemory(libraries);
    EXPECT_EQ(fake.log, *missing ? "dlopen(libSystem.B.dylib)"
                                 : "dlopen(libSystem.B.dylib) relief(null,0)=0");
  }
}

// The free descriptors as /dev/fd lists them; elsewhere than on a Mac, checked against
// /proc/self/fd through the running system's layer.
TEST(MacLinuxParityTest, TheSameDescriptorsAreFree) {
  EXPECT_GT(FreeDescriptorCount(), 0);
#ifndef __APPLE__
  EXPECT_EQ(FreeDescriptorCount(), ostrel::FreeDescriptorCount());
#endif
  EXPECT_TRUE(CanOpenDescriptors(8));
  EXPECT_TRUE(CanOpenDescriptors(100));
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
