// Finding the main application's desktop entry over temporary XDG data folders, and what the
// launchers are asked to do (the process runner is faked).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/helper_app.h"
#include "app/launch_alert.h"
#include "platform/linux/xdg_workspace.h"
#include "tests/fake_login_item.h"
#include "tests/fake_platform.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::FakeLoginItem;
using testing::FakePresenter;
using testing::FakeRunner;
using testing::RecordingLog;
using testing::TempDir;

constexpr char kEntry[] =
    "[Desktop Entry]\nType=Application\nName=Ostrel\nExec=/opt/ostrel/ostrel\n";
constexpr char kId[] = "com.ostrel.Ostrel";

class XdgWorkspaceTest : public ::testing::Test {
 protected:
  XdgWorkspaceTest() {
    env_.Set("HOME", dir_.path() + "/home");
    env_.Set("XDG_DATA_HOME", dir_.path() + "/data-home");
    env_.Set("XDG_DATA_DIRS", dir_.path() + "/sys1:relative/dir:" + dir_.path() + "/sys2");
    env_.Set("PATH", dir_.path() + "/bin");
    dir_.MakeDir("bin");
  }
  XdgWorkspace Workspace() {
    return XdgWorkspace(runner_, [env = env_] { return env; });
  }
  void InstallTool(const std::string& name) {
    dir_.Write("bin/" + name, "#!/bin/sh\n");
    chmod((dir_.path() + "/bin/" + name).c_str(), 0755);
  }
  std::string Path(const std::string& relative) { return dir_.path() + "/" + relative; }

  TempDir dir_;
  Environment env_;
  FakeRunner runner_;
};

TEST_F(XdgWorkspaceTest, FindsTheEntryInTheMostImportantFolder) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // relative path, contents
    std::optional<std::string> found;                        // relative path
    bool unset_data_home = false;
  };
  const std::string file = std::string("/applications/") + kId + ".desktop";
  const Case cases[] = {
      {"none", {}, std::nullopt},
      {"data-home", {{"data-home" + file, kEntry}, {"sys1" + file, kEntry}}, "data-home" + file},
      {"second-data-dir", {{"sys2" + file, kEntry}}, "sys2" + file},
      {"first-data-dir-wins", {{"sys1" + file, kEntry}, {"sys2" + file, kEntry}}, "sys1" + file},
      {"hidden-removes-it",
       {{"data-home" + file, "[Desktop Entry]\nHidden=true\n"}, {"sys2" + file, kEntry}},
       std::nullopt},
      {"broken-entry-skipped",
       {{"data-home" + file, "garbage"}, {"sys2" + file, kEntry}},
       "sys2" + file},
      {"folder-not-file", {{"data-home" + file + "/x", kEntry}}, std::nullopt},
      {"other-identifier", {{"sys1/applications/com.ostrel.Other.desktop", kEntry}}, std::nullopt},
      {"default-data-home",
       {{"home/.local/share" + file, kEntry}},
       "home/.local/share" + file,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;  // a fresh tree for each case
    Environment env;
    env.Set("HOME", root.path() + "/home");
    env.Set("XDG_DATA_HOME", root.path() + "/data-home");
    env.Set("XDG_DATA_DIRS", root.path() + "/sys1:relative/dir:" + root.path() + "/sys2");
    if (c.unset_data_home) env.Unset("XDG_DATA_HOME");
    for (const auto& [relative, contents] : c.files) root.Write(relative, contents);
    std::optional<std::string> expected;
    if (c.found) expected = root.path() + "/" + *c.found;
    XdgWorkspace workspace(runner_, [env] { return env; });
    EXPECT_EQ(workspace.URLForApplication(kId), expected);
  }
}

TEST_F(XdgWorkspaceTest, IdentifierCannotNameAFileElsewhere) {
  dir_.Write("sys1/applications/x.desktop", kEntry);
  EXPECT_EQ(Workspace().URLForApplication("../applications/x"), std::nullopt);
  EXPECT_EQ(Workspace().URLForApplication(""), std::nullopt);
}

TEST_F(XdgWorkspaceTest, LaunchersAndTheirArguments) {
  const std::string location = Path("sys1/applications/com.ostrel.Ostrel.desktop");
  Workspace().OpenApplication(location);  // neither gio nor gtk-launch: gtk-launch is tried
  InstallTool("gtk-launch");
  Workspace().OpenApplication(location);
  InstallTool("gio");
  Workspace().OpenApplication(location);
  Workspace().OpenURL("https://ostrel.app/");
  EXPECT_EQ(runner_.launches(),
            (std::vector<std::vector<std::string>>{{"gtk-launch", "com.ostrel.Ostrel"},
                                                   {"gtk-launch", "com.ostrel.Ostrel"},
                                                   {"gio", "launch", location},
                                                   {"xdg-open", "https://ostrel.app/"}}));
  EXPECT_TRUE(runner_.runs().empty());  // nothing is waited for
}

// "Open Ostrel" end to end over the XDG workspace: the entry decides between launching the
// application and opening the web page.
TEST_F(XdgWorkspaceTest, OpenOstrelFromTheSuccessAlert) {
  InstallTool("gio");
  for (bool installed : {true, false}) {
    SCOPED_TRACE(installed ? "installed" : "not installed");
    FakeRunner runner;
    const std::string entry = Path("data-home/applications/com.ostrel.Ostrel.desktop");
    if (installed) {
      dir_.Write("data-home/applications/com.ostrel.Ostrel.desktop", kEntry);
    } else {
      std::remove(entry.c_str());
    }
    XdgWorkspace workspace(runner, [env = env_] { return env; });
    FakePresenter presenter;
    presenter.response = kSecondButtonReturn;
    RecordingLog log;
    FakeLoginItem login;
    SensorServer::Readers readers;
    readers.temps = [](OstrelTemp*, int32_t) { return 0; };
    readers.fans = [](OstrelFan*, int32_t) { return 0; };
    readers.power = [](double*, double*, double*, double*) { return -1; };
    HelperApp app(std::make_unique<SensorServer>(login, 0, readers),
                  HelperApp::Services{presenter, workspace, log});
    app.applicationDidFinishLaunching();
    const std::vector<std::string> expected =
        installed ? std::vector<std::string>{"gio", "launch", entry}
                  : std::vector<std::string>{"xdg-open", "https://ostrel.app/"};
    EXPECT_EQ(runner.launches(), std::vector<std::vector<std::string>>{expected});
  }
}

}  // namespace
}  // namespace ostrel
