// Desktop integration on Linux: desktop entry files, the environment and XDG folders, the
// autostart entry as the login item, and finding and launching the main application.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/linux/autostart.h"
#include "platform/linux/desktop_entry.h"
#include "platform/linux/xdg_workspace.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using Strings = std::vector<std::string>;
using testing::Env;

TEST(DesktopEntryTest, ParseAndExec) {
  // The raw Exec value ("-" when the text is no entry, "?" when it has none) and the text.
  // clang-format off
  const std::pair<const char*, std::string> cases[] = {
      {"/bin/x", "[Desktop Entry]\nType=Application\nExec=/bin/x\n"},
      {"/bin/x a=b", "# c\n\n[Desktop Entry]\nExec = /bin/x a=b"},
      {"/bin/x", "[Desktop Entry]\r\n Exec=\t/bin/x \r\n"},  {"", "[Desktop Entry]\nExec=\n"},
      {"/bin/x", "[Desktop Entry]\nName[de]=X\nExec=/bin/x\n[Desktop Action a]\nExec=/bin/y\n"},
      {"?", "[Desktop Entry]\nName[de@euro]=X\nName-2=Y\n"},  {"-", ""},  {"-", "# nothing\n"},
      {"-", "[Other]\nA=1\n[Desktop Entry]\nExec=/bin/x\n"}, {"-", "Exec=x\n[Desktop Entry]\n"},
      {"-", "[Desktop Entry]\nExec=/bin/x\nnot a key\n"}, {"-", "[Desktop Entry]\nE xec=/bin/x\n"},
      {"-", "[Desktop Entry]\nName[]=x\n"},   {"-", "[Desktop Entry]\nName[a]b]=x\n"},
      {"-", "[Desktop Entry]\n=x\n"},         {"-", "[Desktop Entry]\nExec=/bin/x\nExec=/bin/y\n"},
      {"-", "[Desktop Entry]\n[Other]\nA=1\nA=2\n"},
      {"-", "[Desktop Entry]\nExec=x\n[Desktop Entry]\n"},
      {"-", "[Desktop Entry\nExec=/bin/x\n"},  {"-", "[Desktop Entry]\n[]\n"},
      {"-", "[Desktop Entry]\n[a[b]\n"}};
  // clang-format on
  for (const auto& [exec, text] : cases) {
    const std::optional<DesktopEntry> entry = ParseDesktopEntry(text);
    EXPECT_EQ(entry ? entry->Get("Exec").value_or("?") : "-", exec) << text;
  }
  EXPECT_EQ(UnescapeDesktopValue("a\\sb\\nc\\td\\re\\\\f\\x\\"), "a b\nc\td\re\\f\\x\\");
  EXPECT_EQ(EscapeDesktopValue(" a b\\\n\t\r"), "\\sa b\\\\\\n\\t\\r");
  // Quoted, reserved characters escaped, '%' doubled; then the value escapes double every
  // backslash. And back again.
  const std::string path = "/a b/\"$`\\%/%f\ttab";
  const std::string written = EscapeDesktopValue(QuoteExecArgument(path));
  EXPECT_EQ(written, "\"/a b/\\\\\"\\\\$\\\\`\\\\\\\\%%/%%f\\ttab\"");
  EXPECT_EQ(SplitExec(UnescapeDesktopValue(written)), Strings{path});
  const struct {
    const char* exec;
    std::optional<Strings> args;
  } splits[] = {
      {"  /bin/x \t --flag\n", Strings{"/bin/x", "--flag"}},
      {"/bin/x %U %f --a=%u 100%% %", Strings{"/bin/x", "--a=", "100%", "%"}},
      {"\"/a b/x\" \"\" \"%%\"", Strings{"/a b/x", "", "%"}},
      {"\"/a\\\"b\\\\\"", Strings{"/a\"b\\"}},
      {"\"/open", std::nullopt},
      {"", Strings{}},
  };
  for (const auto& c : splits) EXPECT_EQ(SplitExec(c.exec), c.args) << c.exec;
  EXPECT_EQ(DesktopBoolean("true"), true);
  EXPECT_EQ(DesktopBoolean("false"), false);
  EXPECT_EQ(DesktopBoolean("True"), std::nullopt);
}

TEST(EnvironmentTest, VariablesAndXdgFolders) {
  Environment env = Env("B=2 A= C=3");
  env.Unset("C");
  EXPECT_EQ(env.Get("A"), "");
  EXPECT_EQ(env.GetNonEmpty("A"), std::nullopt);
  EXPECT_EQ(env.Entries(), (Strings{"A=", "B=2"}));
  ASSERT_EQ(setenv("OSTREL_ENV_TEST", "a=b", 1), 0);
  EXPECT_EQ(Environment::Current().Get("OSTREL_ENV_TEST"), "a=b");
  // clang-format off
  for (const auto& [vars, config, data] : {
      std::tuple{"HOME=/h/", "/h/.config", "/h/.local/share /usr/local/share /usr/share"},
      {"HOME=/h XDG_CONFIG_HOME=/c XDG_DATA_HOME=/d XDG_DATA_DIRS=/a:r::/b:", "/c", "/d /a /b"},
      {"HOME=/h XDG_CONFIG_HOME=c XDG_DATA_HOME=d", "/h/.config",
       "/h/.local/share /usr/local/share /usr/share"},
      {"HOME=h XDG_DATA_DIRS=", "-", "/usr/local/share /usr/share"},
      {"HOME=", "-", "/usr/local/share /usr/share"}}) {
    // clang-format on
    std::string dirs;
    for (const std::string& dir : XdgDataDirs(Env(vars))) dirs += (dirs.empty() ? "" : " ") + dir;
    EXPECT_EQ(XdgConfigHome(Env(vars)).value_or("-"), config) << vars;
    EXPECT_EQ(dirs, data) << vars;
  }
}

class AutostartTest : public ::testing::Test {
 protected:
  AutostartTest() {
    exe_ = dir_.path() + "/o\"dd $dir`/back\\slash 100%/helper";
    dir_.Write("o\"dd $dir`/back\\slash 100%/helper", "binary");
    env_.Set("HOME", dir_.path() + "/home");
  }
  XdgAutostartService Service(XdgAutostartService::WriteFn write = nullptr) {
    return XdgAutostartService("id", "Ostrel Sensor Helper", AutostartPathsFor(env_, exe_),
                               std::move(write));
  }
  std::string Folder() const { return dir_.path() + "/home/.config/autostart"; }
  Strings Listing() const {
    Strings names;
    for (const auto& e : std::filesystem::directory_iterator(Folder())) {
      names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Expected() const {
    // TryExec takes the path as a plain value (only the backslash escaped), Exec quoted.
    return "[Desktop Entry]\nType=Application\nName=Ostrel Sensor Helper\nTryExec=" + dir_.path() +
           "/o\"dd $dir`/back\\\\slash 100%/helper\nExec=\"" + dir_.path() +
           "/o\\\\\"dd \\\\$dir\\\\`/back\\\\\\\\slash 100%%/helper\"\nTerminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
  }

  TempDir dir_;
  Environment env_;
  std::string exe_;
};

TEST_F(AutostartTest, RegisterStatusUnregister) {
  XdgAutostartService service = Service();
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotRegistered);
  EXPECT_EQ(service.Unregister().message(), Folder() + "/id.desktop: No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/home"));  // nothing made on the way
  dir_.Write("home/.config/autostart/.id.desktop.Xy12Zq", "[Desktop Entry]\nType=Appl");
  dir_.Write("home/.config/autostart/other.desktop", "[Desktop Entry]\n");
  ASSERT_TRUE(service.Register().ok());
  ASSERT_TRUE(service.Register().ok());  // again: rewritten whole
  EXPECT_EQ(ReadWholeFile(Folder() + "/id.desktop"), Expected());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled);
  struct stat st;
  ASSERT_EQ(stat((Folder() + "/id.desktop").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // A killed writer's temporary file is neither the entry nor ours to remove.
  EXPECT_EQ(Listing(), (Strings{".id.desktop.Xy12Zq", "id.desktop", "other.desktop"}));
  ASSERT_TRUE(service.Unregister().ok());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotRegistered);
  EXPECT_EQ(Listing(), (Strings{".id.desktop.Xy12Zq", "other.desktop"}));
  // Folders it makes are private.
  std::filesystem::remove_all(dir_.path() + "/home");
  ASSERT_TRUE(service.Register().ok());
  ASSERT_EQ(stat(Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(AutostartTest, FoldersFromTheEnvironmentAndTheirFailures) {
  env_.Set("XDG_CONFIG_HOME", dir_.path() + "/cfg/");
  ASSERT_TRUE(Service().Register().ok());
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/cfg/autostart/id.desktop"), Expected());
  env_.Set("XDG_CONFIG_HOME", "relative/cfg");  // not absolute: ignored
  dir_.Write("home/.config", "in the way");
  EXPECT_EQ(Service().Register().message(), dir_.path() + "/home/.config: Not a directory");
  EXPECT_EQ(Service().GetStatus(), LoginItemStatus::kNotRegistered);
  EXPECT_EQ(Service().Unregister().message(), Folder() + "/id.desktop: Not a directory");
  env_.Unset("HOME");
  EXPECT_EQ(Service().Register().message(),
            "no configuration folder: HOME is not an absolute path");
  EXPECT_EQ(Service().Unregister().message(),
            "no configuration folder: HOME is not an absolute path");
  EXPECT_EQ(Service().GetStatus(), LoginItemStatus::kNotFound);
  env_.Set("HOME", dir_.path());
  exe_.clear();
  EXPECT_EQ(Service().Register().message(),
            "the autostart folder or this program cannot be located");
}

// What users and other programs leave at the entry path: its status, and unregistering, which
// removes only the helper's own enabled entry, keeps its own switched-off one, and refuses
// anything else with the reason.
TEST_F(AutostartTest, EntriesEditedByTheUser) {
  const std::string linked = dir_.path() + "/link-to-helper", entry = Folder() + "/id.desktop";
  ASSERT_EQ(symlink(exe_.c_str(), linked.c_str()), 0);
  const std::string head = "[Desktop Entry]\nType=Application\n";
  const std::string exec = "Exec=" + EscapeDesktopValue(QuoteExecArgument(exe_)) + "\n";
  const std::string big = "#" + std::string(65536 - head.size() - exec.size() - 2, 'x') + "\n";
  const char *other = ": starts another program", *no_app = ": not an application's entry";
  using enum LoginItemStatus;
  const struct {
    std::string text;
    LoginItemStatus status;
    const char* refusal;  // of unregistering, after the entry's path; "" when it succeeds
  } cases[] = {
      // clang-format off
      {head + exec, kEnabled, ""},
      {head + exec + "X-GNOME-Autostart-enabled=false\n", kRequiresApproval, ""},
      {head + exec + "Hidden=true\n", kRequiresApproval, ""},
      {head + exec + "Hidden=false\nX-GNOME-Autostart-enabled=True\n", kEnabled, ""},
      {"# mine\n" + head + "Exec=" + linked + " --quiet %U\n", kEnabled, ""},
      {head + "Exec=/usr/bin/other\nHidden=true\n", kNotFound, other},
      {head + "Exec=" + exe_ + "\n", kNotFound, other},  {head + "Exec=helper\n", kNotFound, other},
      {head + "Exec=" + std::filesystem::relative(linked).string() + "\n", kNotFound, other},
      {head + "Exec=/nowhere/helper\n", kNotFound, other},  {head + "Exec=\n", kNotFound, other},
      {head, kNotFound, other},  {head + "Exec=\"" + exe_ + "\n", kNotFound, other},
      {"[Desktop Entry]\nType=Link\n" + exec, kNotFound, no_app},
      {"[Desktop Entry]\n" + exec, kNotFound, no_app},
      {"\x01\x02garbage", kNotFound, ": not a desktop entry"},
      {"", kNotFound, ": not a desktop entry"},
      {head + exec + big, kEnabled, ""},  // 64 KiB at most
      {head + exec + "x" + big, kNotFound, ": File too large"}};
  // clang-format on
  XdgAutostartService service = Service();
  for (const auto& c : cases) {
    dir_.Write("home/.config/autostart/id.desktop", c.text);
    EXPECT_EQ(service.GetStatus(), c.status) << c.text.substr(0, 200);
    EXPECT_EQ(service.Unregister().message(), *c.refusal ? entry + c.refusal : "")
        << c.text.substr(0, 200);
    EXPECT_EQ(ReadWholeFile(entry), c.status == kEnabled ? "" : c.text) << c.text.substr(0, 200);
  }
  // Things at the path that are no file to read: never opened (a FIFO would block a reader),
  // never removed, and replaced by registering.
  std::filesystem::remove(entry);
  int (*const makers[])(const char*) = {[](const char* p) { return mkdir(p, 0700); },
                                        [](const char* p) { return mkfifo(p, 0600); },
                                        [](const char* p) { return symlink("/dev/zero", p); }};
  for (auto make : makers) {
    ASSERT_EQ(make(entry.c_str()), 0);
    EXPECT_EQ(service.GetStatus(), kNotFound);
    EXPECT_EQ(service.Unregister().message(), entry + ": not a regular file");
    struct stat st;
    EXPECT_EQ(lstat(entry.c_str(), &st), 0);
    if (S_ISDIR(st.st_mode)) rmdir(entry.c_str());
    ASSERT_TRUE(service.Register().ok());
    EXPECT_EQ(service.GetStatus(), kEnabled);
    ASSERT_TRUE(service.Unregister().ok());
  }
  // An entry kept elsewhere and linked in, as dotfile managers do: read through the link;
  // unregistering removes the link, not the file.
  dir_.Write("dotfiles/ours.desktop", head + exec);
  ASSERT_EQ(symlink((dir_.path() + "/dotfiles/ours.desktop").c_str(), entry.c_str()), 0);
  EXPECT_EQ(service.GetStatus(), kEnabled);
  ASSERT_TRUE(service.Unregister().ok());
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/dotfiles/ours.desktop"), head + exec);
  // What /proc/self/exe names once the program's file was replaced or removed.
  dir_.Write("bin/weird (deleted)", "a file really named so");
  const std::string bin = dir_.path() + "/bin/";
  // clang-format off
  for (const auto& [target, path] : {std::pair{exe_, exe_}, {exe_ + " (deleted)", exe_},
       {bin + "weird (deleted)", bin + "weird (deleted)"}, {bin + "gone (deleted)", std::string()},
       {bin + "gone", bin + "gone"}}) {
    // clang-format on
    EXPECT_EQ(LiveExecutablePath(target), path) << target;
  }
}

TEST_F(AutostartTest, FailedWritesLeaveTheOldEntry) {
  const std::string old_text = "[Desktop Entry]\nType=Application\nExec=/old/helper\n";
  dir_.Write("home/.config/autostart/id.desktop", old_text);
  int calls = 0;
  // The disk fills up after a few bytes; a write that makes no progress fails too.
  const XdgAutostartService::WriteFn writes[] = {
      [&calls](int fd, const void* data, size_t size) -> ssize_t {
        if (++calls == 1) return ::write(fd, data, std::min<size_t>(size, 10));
        errno = ENOSPC;
        return -1;
      },
      [](int, const void*, size_t) -> ssize_t { return 0; }};
  const char* reasons[] = {": No space left on device", ": Input/output error"};
  for (int i = 0; i < 2; ++i) {
    const std::string error = Service(writes[i]).Register().message();
    EXPECT_TRUE(error.starts_with(Folder() + "/.id.desktop.")) << error;
    EXPECT_TRUE(error.ends_with(reasons[i])) << error;
    EXPECT_EQ(ReadWholeFile(Folder() + "/id.desktop"), old_text);
    EXPECT_EQ(Listing(), Strings{"id.desktop"});
  }
  // Interrupted and short writes are resumed.
  ASSERT_TRUE(Service([&calls](int fd, const void* data, size_t size) -> ssize_t {
                if (++calls % 2) return errno = EINTR, -1;
                return ::write(fd, data, std::min<size_t>(size, 7));
              })
                  .Register()
                  .ok());
  EXPECT_EQ(ReadWholeFile(Folder() + "/id.desktop"), Expected());
}

TEST(XdgWorkspaceTest, FindsTheEntryAndLaunches) {
  const std::string file = "/applications/com.ostrel.Ostrel.desktop";
  const std::string entry = "[Desktop Entry]\nType=Application\nExec=/opt/ostrel/ostrel\n";
  const std::string hidden = "[Desktop Entry]\nHidden=true\n";
  const std::string big = entry + std::string(256 * 1024 - entry.size(), '#') + "\n";  // +1 byte
  const struct {
    std::vector<std::pair<std::string, std::string>> files;
    std::optional<std::string> found;
    bool data_home = true;  // XDG_DATA_HOME set
  } cases[] = {
      // clang-format off
      {{}, std::nullopt},
      {{{"data-home" + file, entry}, {"sys1" + file, entry}}, "data-home" + file},
      {{{"sys2" + file, entry}}, "sys2" + file},
      {{{"sys1" + file, entry}, {"sys2" + file, entry}}, "sys1" + file},
      {{{"data-home" + file, hidden}, {"sys2" + file, entry}}, std::nullopt},
      {{{"data-home" + file, "[Desktop Entry]\nHidden=false\n"}}, "data-home" + file},
      {{{"data-home" + file, "garbage"}, {"sys2" + file, entry}}, "sys2" + file},
      {{{"data-home" + file, big}, {"sys2" + file, entry}}, "sys2" + file},  // 256 KiB at most
      {{{"data-home" + file, big.substr(0, big.size() - 2) + "\n"}}, "data-home" + file},
      {{{"data-home" + file + "/x", entry}}, std::nullopt},
      {{{"sys1/applications/com.ostrel.Other.desktop", entry}}, std::nullopt},
      {{{"home/.local/share" + file, entry}}, "home/.local/share" + file, false}};
  // clang-format on
  PosixProcessRunner runner;
  for (const auto& c : cases) {
    TempDir root;
    Environment env;
    env.Set("HOME", root.path() + "/home");
    if (c.data_home) env.Set("XDG_DATA_HOME", root.path() + "/data-home");
    env.Set("XDG_DATA_DIRS", root.path() + "/sys1:relative:" + root.path() + "/sys2");
    for (const auto& [relative, contents] : c.files) root.Write(relative, contents);
    XdgWorkspace workspace(runner, [env] { return env; });
    EXPECT_EQ(workspace.URLForApplication("com.ostrel.Ostrel"),
              c.found ? std::optional(root.path() + "/" + *c.found) : std::nullopt)
        << c.files.size();
    EXPECT_EQ(workspace.URLForApplication(c.found ? "../applications/com.ostrel.Ostrel" : ""),
              std::nullopt);
  }
  // The launchers are scripts that record how they were called; nothing waits for them.
  TempDir bin;
  auto launcher = [&](const std::string& name) {
    bin.Write(name, "#!/bin/sh\necho \"${0##*/} $*\" >> " + bin.path() + "/launched\n");
    chmod((bin.path() + "/" + name).c_str(), 0755);
  };
  launcher("gtk-launch");
  launcher("xdg-open");
  const Environment env = Env("PATH=" + bin.path());
  XdgWorkspace workspace(runner, [env] { return env; });
  auto launched = [&](int lines) {
    std::string text;
    testing::WaitFor(
        [&] {
          text = ReadWholeFile(bin.path() + "/launched");
          return std::count(text.begin(), text.end(), '\n') >= lines;
        },
        10);
    return text;
  };
  workspace.OpenApplication("/x/com.ostrel.Ostrel.desktop");  // no gio: gtk-launch, by its id
  launched(1);
  workspace.OpenApplication("/x/.desktop");
  launched(2);
  launcher("gio");
  workspace.OpenApplication("/x/com.ostrel.Ostrel.desktop");
  launched(3);
  workspace.OpenURL("https://ostrel.app/");
  EXPECT_EQ(launched(4),
            "gtk-launch com.ostrel.Ostrel\ngtk-launch .desktop\ngio launch "
            "/x/com.ostrel.Ostrel.desktop\nxdg-open https://ostrel.app/\n");
}

}  // namespace
}  // namespace ostrel
