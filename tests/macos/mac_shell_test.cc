// The macOS application shell over the fake system, message by message: the application and its
// delegate class, the launch alert, opening Ostrel or its web page, the log line and the login
// item, with every object made released exactly once and every autorelease pool popped.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/helper_login_item.h"
#include "app/launch_alert.h"
#include "platform/macos/mac_platform.h"
#include "platform/macos/mac_process_resources.h"
#include "tests/macos/fake_mac.h"

namespace ostrel::macos {
namespace {

using testing::FakeMac;
using testing::Lines;
using testing::operator+;

// The platform over a fake system; the log then starts empty.
struct Shell {
  explicit Shell(const std::function<void(FakeMac&)>& script = {}) : scripted(Apply(script)) {
    fake.log.clear();
  }
  bool Apply(const std::function<void(FakeMac&)>& script) {
    if (script) script(fake);
    return true;
  }
  FakeMac fake;
  bool scripted;  // the script ran before the platform was made
  MacLibraries libraries{fake};
  MacPlatform platform{libraries};
};

// Tells the fake log when launching has finished.
struct RecordingDelegate : Application::Delegate {
  void applicationDidFinishLaunching() override { FakeMac::Current().Log("did finish launching"); }
};

TEST(AppKitApplicationTest, DelegateClassPolicyAndEventLoop) {
  FakeMac fake;
  fake.missing = {"OstrelHelperAppDelegate"};  // made at run time: absent until registered
  MacLibraries libraries(fake);
  ObjcRuntime runtime(libraries);
  fake.log.clear();
  AppKitApplication application(runtime, libraries);
  RecordingDelegate delegate;
  application.setDelegate(&delegate);
  application.run();
  EXPECT_EQ(
      fake.log,
      (Lines{std::string("dlopen ") + kAppKitPath, "objc_getClass(\"NSApplication\")=NSApplication",
             "[NSApplication sharedApplication]=NSApp",
             "objc_getClass(\"OstrelHelperAppDelegate\")=null",
             "objc_getClass(\"NSObject\")=NSObject",
             "objc_allocateClassPair(NSObject,\"OstrelHelperAppDelegate\",0)="
             "OstrelHelperAppDelegate",
             "class_addMethod(OstrelHelperAppDelegate,applicationDidFinishLaunching:,v@:@)",
             "objc_getProtocol(\"NSApplicationDelegate\")",
             "class_addProtocol(OstrelHelperAppDelegate,NSApplicationDelegate)",
             "objc_registerClassPair(OstrelHelperAppDelegate)",
             "[OstrelHelperAppDelegate alloc]=OstrelHelperAppDelegate1",
             "[OstrelHelperAppDelegate1 init]=OstrelHelperAppDelegate1",
             "[NSApp setDelegate: OstrelHelperAppDelegate1]", "[NSApp setActivationPolicy: 1]=1",
             "[NSApp run]", "did finish launching", "[OstrelHelperAppDelegate1 release]"}));
}

TEST(AppKitApplicationTest, WithoutAppKitTheDelegateIsStillToldOnce) {
  Shell shell([](FakeMac& f) { f.missing = {kAppKitPath}; });
  RecordingDelegate delegate;
  shell.platform.application().setDelegate(&delegate);
  shell.platform.application().run();
  EXPECT_EQ(shell.fake.log, Lines{"did finish launching"});
}

TEST(AppKitAlertPresenterTest, LaunchAlerts) {
  auto str = [](const std::string& text) { return "@\"" + text + "\""; };
  auto text_lines = [&](const char* setter, const std::string& text) {
    return Lines{std::string("[NSAlert1 ") + setter + " " + str(text) + "]",
                 "[" + str(text) + " release]"};
  };
  auto button = [&](int n, const std::string& title) {
    return Lines{"[NSAlert1 addButtonWithTitle: " + str(title) + "]=NSButton" + std::to_string(n),
                 "[" + str(title) + " release]"};
  };
  const Lines start = {"[NSApplication sharedApplication]=NSApp",
                       "[NSApp activateIgnoringOtherApps: YES]", "[NSAlert alloc]=NSAlert1",
                       "[NSAlert1 init]=NSAlert1"};
  const std::string failed_text =
      std::string(kFailedInformativeHead) + "53843" + kFailedInformativeTail;
  const struct {
    bool started;
    long pressed;
    Lines messages;
  } cases[] = {
      {true, 1001,
       start + Lines{"[NSAlert1 setAlertStyle: 1]"} +
           text_lines("setMessageText:", kStartedMessage) +
           text_lines("setInformativeText:", kStartedInformative) + button(1, kOkButton) +
           button(2, kOpenOstrelButton)},
      {false, 1000,
       start + Lines{"[NSAlert1 setAlertStyle: 0]"} +
           text_lines("setMessageText:", kFailedMessage) +
           text_lines("setInformativeText:", failed_text) + button(1, kOkButton)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.started);
    Shell shell;
    shell.fake.modal_response = c.pressed;
    EXPECT_EQ(shell.platform.alerts().RunModal(LaunchAlert(c.started, 53843)), c.pressed);
    const Lines end = {"[NSAlert1 runModal]=" + std::to_string(c.pressed), "[NSAlert1 release]"};
    EXPECT_EQ(shell.fake.log, c.messages + end);
  }
}

TEST(AppKitWorkspaceTest, FindAndOpen) {
  const std::string app = "file:///Applications/Ostrel.app/";
  const Lines shared = {"[NSWorkspace sharedWorkspace]=sharedWorkspace"};
  auto url = [](const std::string& text, const char* answer = "NSURL1") {
    return Lines{"[NSURL URLWithString: @\"" + text + "\"]=" + answer,
                 "[@\"" + text + "\" release]"};
  };
  const Lines lookup = {
      "[NSWorkspace sharedWorkspace]=sharedWorkspace",
      "[sharedWorkspace URLForApplicationWithBundleIdentifier: @\"com.ostrel.Ostrel\"]=NSURL1",
      "[@\"com.ostrel.Ostrel\" release]"};
  const struct {
    const char* what;
    std::function<std::string(Workspace&)> call;
    std::optional<std::string> installed;
    std::string result;
    Lines messages;
  } cases[] = {
      {"installed", [](Workspace& w) { return w.URLForApplication("com.ostrel.Ostrel").value(); },
       app, app, lookup + Lines{"[NSURL1 absoluteString]=@\"" + app + "\""}},
      {"not installed",
       [](Workspace& w) { return w.URLForApplication("com.ostrel.Ostrel").value_or("none"); },
       std::nullopt,
       "none",
       {lookup[0],
        "[sharedWorkspace URLForApplicationWithBundleIdentifier: @\"com.ostrel.Ostrel\"]=null",
        lookup[2]}},
      {"open the application", [&](Workspace& w) { return w.OpenApplication(app), ""; },
       std::nullopt, "",
       shared + url(app) +
           Lines{"[NSWorkspaceOpenConfiguration configuration]=configuration1",
                 "[sharedWorkspace openApplicationAtURL:configuration:completionHandler: NSURL1 "
                 "configuration1 null]"}},
      {"open the web page", [](Workspace& w) { return w.OpenURL("https://ostrel.app/"), ""; },
       std::nullopt, "",
       shared + url("https://ostrel.app/") + Lines{"[sharedWorkspace openURL: NSURL1]=1"}},
      {"not a URL: nothing opens", [](Workspace& w) { return w.OpenURL(""), ""; }, std::nullopt, "",
       shared + url("", "null")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Shell shell;
    shell.fake.app_url = c.installed;
    EXPECT_EQ(c.call(shell.platform.workspace()), c.result);
    EXPECT_EQ(shell.fake.log, c.messages);
  }
}

TEST(AppServiceLoginItemTest, RegisterUnregisterStatusAndTheLogLine) {
  const std::string refusal = "Error Domain=SMAppServiceErrorDomain Code=1 \"100% refused\"";
  const struct {
    const char* what;
    bool enable;
    std::optional<std::string> error;
    Lines messages;
  } cases[] = {
      {"register",
       true,
       std::nullopt,
       {"[SMAppService mainAppService]=mainAppService",
        "[mainAppService registerAndReturnError: &error]=1"}},
      {"unregister refused",
       false,
       refusal,
       {"[SMAppService mainAppService]=mainAppService",
        "[mainAppService unregisterAndReturnError: &error]=0",
        "[NSError1 description]=@\"" + refusal + "\"",
        "NSLog(@\"%@\",@\"Ostrel Sensor Helper: login item unregister failed: " + refusal + "\")",
        "[@\"Ostrel Sensor Helper: login item unregister failed: " + refusal + "\" release]",
        "[@\"%@\" release]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Shell shell;
    shell.fake.login_error = c.error;
    HelperLoginItem::set(shell.platform.loginItem(), shell.platform.log(), c.enable);
    EXPECT_EQ(shell.fake.log, c.messages);
  }
  const struct {
    long platform;
    LoginItemStatus status;
  } statuses[] = {{0, LoginItemStatus::kNotRegistered},    {1, LoginItemStatus::kEnabled},
                  {2, LoginItemStatus::kRequiresApproval}, {3, LoginItemStatus::kNotFound},
                  {4, LoginItemStatus::kNotFound},         {-1, LoginItemStatus::kNotFound}};
  for (const auto& s : statuses) {
    Shell shell;
    shell.fake.login_status = s.platform;
    EXPECT_EQ(shell.platform.loginItem().GetStatus(), s.status) << s.platform;
    EXPECT_EQ(shell.fake.log, (Lines{"[SMAppService mainAppService]=mainAppService",
                                     "[mainAppService status]=" + std::to_string(s.platform)}));
  }
  Shell without([](FakeMac& f) { f.missing = {kServiceManagementPath}; });
  EXPECT_EQ(without.platform.loginItem().Register().message(), "SMAppService is not available");
  EXPECT_EQ(without.platform.loginItem().GetStatus(), LoginItemStatus::kNotFound);
  EXPECT_EQ(without.fake.log, Lines{});
}

TEST(MacProcessResourcesTest, FreeMemoryThroughTheAllocator) {
  const Lines lookup = {std::string("dlopen ") + kSystemPath,
                        "dlsym libSystem.B.dylib malloc_zone_pressure_relief"};
  for (const bool present : {true, false}) {
    FakeMac fake;
    if (!present) fake.missing = {"malloc_zone_pressure_relief"};
    MacLibraries libraries(fake);
    ReleaseFreeMemory(libraries);
    EXPECT_EQ(fake.log, present ? lookup + Lines{"malloc_zone_pressure_relief(null,0)=0"} : lookup);
  }
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
