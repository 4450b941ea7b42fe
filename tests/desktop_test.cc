// Desktop integration on Linux: desktop entry files, the environment and XDG folders, and the
// autostart entry as the login item.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "platform/linux/autostart.h"
#include "platform/linux/desktop_entry.h"
#include "platform/linux/environment.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using Strings = std::vector<std::string>;
using testing::Env;
using testing::Joined;

TEST(DesktopEntryTest, ParseAndExec) {
  // The raw Exec value ("-" when the text is no entry, "?" when it has none) and the text; $
  // stands for "[Desktop Entry]\n".
  // clang-format off
  for (std::string text : {"x a=b|# c\n\n$Exec = x a=b", "|$Exec=",
       "x|[Desktop Entry]\r\n Exec=\tx \r\n",
       "?|$[A]\nK=1\n[B]\nK=1", "x|$Name[d]=X\nExec=x\n[Desktop Action a]\nExec=y", "-|# nothing",
       "?|$Name[de@euro]=X\nAZaz09-=Y", "-|[Other]\nA=1\n$Exec=x", "-|Exec=x\n$", "-|$not a key",
       "-|$E xec=x", "-|$Name[]=x", "-|$Name[a]b]=x", "-|$Name[a=x", "-|$=x", "-|$Exec=x\nExec=y",
       "-|$[O]\nA=1\nA=2", "-|$Exec=x\n$", "-|[Desktop Entry\nExec=x", "-|$[]", "-|$[a[b]"}) {
    // clang-format on
    for (size_t at; (at = text.find('$')) != std::string::npos;)
      text.replace(at, 1, "[Desktop Entry]\n");
    const std::optional<DesktopEntry> entry = ParseDesktopEntry(text.substr(text.find('|') + 1));
    EXPECT_EQ(entry ? entry->Get("Exec").value_or("?") : "-", text.substr(0, text.find('|')))
        << text;
  }
  // Each argument in <>, "-" when unbalanced.
  // clang-format off
  for (const auto& [exec, args] : {std::pair{"  /bin/x \t --flag\n", "</bin/x><--flag>"},
       {"/bin/x %U %f --a=%u 100%% %", "</bin/x><--a=><100%><%>"}, {"\"/open", "-"}, {"", ""},
       {"\"a\\\"", "-"}, {"\"/a b/x\" \"\" \"%%\"", "</a b/x><><%>"},
       {"\"/a\\\"b\\\\\"", "</a\"b\\>"}}) {
    // clang-format on
    std::string got = SplitExec(exec) ? "" : "-";
    for (const std::string& arg : SplitExec(exec).value_or(Strings{})) got += "<" + arg + ">";
    EXPECT_EQ(got, args) << exec;
  }
  EXPECT_EQ(UnescapeDesktopValue("a\\sb\\nc\\td\\re\\\\f\\x\\"), "a b\nc\td\re\\f\\x\\");
  EXPECT_EQ(EscapeDesktopValue(" a b\\\n\t\r"), "\\sa b\\\\\\n\\t\\r");
}

TEST(EnvironmentTest, VariablesAndXdgFolders) {
  Environment env = Env("B=2 A= C=3 HOME=h XDG_DATA_HOME=d XDG_DATA_DIRS=/a:r::/b:");
  env.Unset("C");
  EXPECT_TRUE(env.Get("A") == "" && !env.GetNonEmpty("A") && !env.Get("C"));
  EXPECT_EQ(Joined(env.Entries()), "A= B=2 HOME=h XDG_DATA_DIRS=/a:r::/b: XDG_DATA_HOME=d");
  EXPECT_EQ(Joined(XdgDataDirs(env)), "/a /b");  // relative ones ignored
  EXPECT_EQ(XdgConfigHome(env), std::nullopt);
  EXPECT_EQ(Joined(XdgDataDirs(Env("HOME=/h/ XDG_DATA_DIRS="))),
            "/h/.local/share /usr/local/share /usr/share");
  ASSERT_EQ(setenv("OSTREL_ENV_TEST", "a=b", 1), 0);
  EXPECT_EQ(Environment::Current().Get("OSTREL_ENV_TEST"), "a=b");
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
  std::string Listing() const {  // the autostart folder's files
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Folder()))
      names.insert(e.path().filename());
    return Joined(Strings(names.begin(), names.end()));
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
  ASSERT_TRUE(service.Register().ok());
  // A killed writer's temporary file is neither the entry nor ours to remove.
  dir_.Write("home/.config/autostart/.id.desktop.Xy12Zq", "[Desktop Entry]\nType=Appl");
  ASSERT_TRUE(service.Register().ok());  // again: rewritten whole
  EXPECT_EQ(ReadWholeFile(Folder() + "/id.desktop"), Expected());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled);
  struct stat folder, file;  // folders it makes are private
  ASSERT_EQ(stat(Folder().c_str(), &folder) + stat((Folder() + "/id.desktop").c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_EQ(file.st_mode & 07777, 0644u);
  ASSERT_TRUE(service.Unregister().ok());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotRegistered);
  EXPECT_EQ(Listing(), ".id.desktop.Xy12Zq");
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
  const std::string no_home = "no configuration folder: HOME is not an absolute path";
  EXPECT_EQ(Service().Register().message() + Service().Unregister().message(), no_home + no_home);
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
  const char* other = ": starts another program";
  using enum LoginItemStatus;
  // The entry's text, its status, and the refusal to unregister after the entry's path.
  const std::tuple<std::string, LoginItemStatus, const char*> cases[] = {
      // clang-format off
      {head + exec + "X-GNOME-Autostart-enabled=false\n", kRequiresApproval, ""},
      {head + exec + "Hidden=true\n", kRequiresApproval, ""},
      {head + exec + "Hidden=false\nX-GNOME-Autostart-enabled=True\n", kEnabled, ""},
      {"# mine\n" + head + "Exec=" + linked + " --quiet %U\n", kEnabled, ""},
      {head + "Exec=/nowhere/helper\n", kNotFound, other},  {head, kNotFound, other},
      {head + "Exec=\"" + exe_ + "\n", kNotFound, other},  {"", kNotFound, ": not a desktop entry"},
      {"[Desktop Entry]\n" + exec, kNotFound, ": not an application's entry"},
      {head + exec + big, kEnabled, ""},  // 64 KiB at most
      {head + exec + "x" + big, kNotFound, ": File too large"}};
  // clang-format on
  XdgAutostartService service = Service();
  for (const auto& [text, status, refusal] : cases) {
    dir_.Write("home/.config/autostart/id.desktop", text);
    EXPECT_EQ(service.GetStatus(), status) << text.substr(0, 200);
    EXPECT_EQ(service.Unregister().message(), *refusal ? entry + refusal : "")
        << text.substr(0, 200);
    EXPECT_EQ(ReadWholeFile(entry), status == kEnabled ? "" : text) << text.substr(0, 200);
  }
  // What /proc/self/exe names once the program's file was replaced or removed.
  EXPECT_EQ(LiveExecutablePath(exe_ + " (deleted)"), exe_);
  EXPECT_EQ(LiveExecutablePath(dir_.path() + "/gone (deleted)"), "");
}

TEST_F(AutostartTest, FailedWritesLeaveTheOldEntry) {
  const std::string old_text = "[Desktop Entry]\nExec=/old/helper\n";
  dir_.Write("home/.config/autostart/id.desktop", old_text);
  // The disk fills up after a few bytes; a write makes no progress; writes are interrupted or
  // short, and resumed.
  int calls = 0, mode = 0;
  auto write = [&](int fd, const void* data, size_t size) -> ssize_t {
    if (mode == 1 || (mode == 0 && ++calls > 1)) return mode ? 0 : (errno = ENOSPC, -1);
    if (mode == 2 && ++calls % 2) return errno = EINTR, -1;
    return ::write(fd, data, std::min<size_t>(size, 7));
  };
  for (const char* reason : {": No space left on device", ": Input/output error", ""}) {
    const std::string error = Service(write).Register().message();
    EXPECT_TRUE(*reason ? error.starts_with(Folder() + "/.id.desktop.") : error.empty()) << error;
    EXPECT_TRUE(error.ends_with(reason)) << error;
    EXPECT_EQ(ReadWholeFile(Folder() + "/id.desktop"), *reason ? old_text : Expected());
    EXPECT_EQ(Listing(), "id.desktop");
    ++mode;
  }
}

}  // namespace
}  // namespace ostrel
