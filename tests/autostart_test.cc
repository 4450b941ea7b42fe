// The XDG autostart login-item service over a temporary HOME: register, status, unregister, the
// failure paths, entries edited by the user, concurrent registrations and failed writes.
#include "platform/linux/autostart.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

constexpr char kId[] = "com.ostrel.Ostrel.SensorHelper";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class AutostartTest : public ::testing::Test {
 protected:
  AutostartTest() {
    // The program the entry starts: a real file, so symlinks to it can be resolved.
    exe_ = dir_.path() + "/opt/ostrel sensor/ostrel-sensor-helper";
    dir_.Write("opt/ostrel sensor/ostrel-sensor-helper", "binary");
    env_.Set("HOME", home());
  }
  std::string home() const { return dir_.path() + "/home"; }
  std::string autostart() const { return home() + "/.config/autostart"; }
  std::string entry() const { return autostart() + "/" + kId + ".desktop"; }

  XdgAutostartService Service(XdgAutostartService::WriteFn write = nullptr) {
    return XdgAutostartService(kId, "Ostrel Sensor Helper", AutostartPathsFor(env_, exe_),
                               std::move(write));
  }
  std::string ExpectedText() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Ostrel Sensor Helper\n"
           "TryExec=" +
           exe_ +
           "\n"
           "Exec=\"" +
           exe_ +
           "\"\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
  }

  TempDir dir_;
  Environment env_;
  std::string exe_;
};

TEST_F(AutostartTest, RegisterStatusUnregister) {
  XdgAutostartService service = Service();
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotRegistered);
  std::string error;
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(ReadFile(entry()), ExpectedText());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled);
  struct stat st;
  ASSERT_EQ(stat(entry().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(stat(autostart().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);  // made by us: private, as XDG asks
  EXPECT_EQ(ListDir(autostart()), std::vector<std::string>{std::string(kId) + ".desktop"});

  ASSERT_TRUE(service.Unregister().ok());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotRegistered);
  EXPECT_TRUE(ListDir(autostart()).empty());
}

TEST_F(AutostartTest, RegisterAgainRewritesTheEntryAndLeavesNeighboursAlone) {
  dir_.Write("home/.config/autostart/other.desktop", "[Desktop Entry]\nExec=/bin/other\n");
  dir_.Write("home/.config/autostart/" + std::string(kId) + ".desktop",
             "[Desktop Entry]\nType=Application\nExec=/old/place/helper\nHidden=true\n");
  XdgAutostartService service = Service();
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotFound);
  std::string error;
  ASSERT_TRUE(service.Register().ok());
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(ReadFile(entry()), ExpectedText());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled);
  EXPECT_EQ(ReadFile(autostart() + "/other.desktop"), "[Desktop Entry]\nExec=/bin/other\n");
  EXPECT_EQ(ListDir(autostart()),
            (std::vector<std::string>{std::string(kId) + ".desktop", "other.desktop"}));
}

TEST_F(AutostartTest, UnregisterWithoutEntryFailsWithTheReason) {
  XdgAutostartService service = Service();
  std::string error;
  EXPECT_FALSE((error = service.Unregister().message()).empty());
  EXPECT_EQ(error, entry() + ": No such file or directory");
  struct stat st;
  EXPECT_NE(stat(home().c_str(), &st), 0);  // nothing was created on the way
}

TEST_F(AutostartTest, FolderThatCannotBeCreated) {
  // A regular file where the configuration folder should be: mkdir fails even for root.
  dir_.Write("home/.config", "not a folder");
  XdgAutostartService service = Service();
  std::string error;
  EXPECT_FALSE((error = service.Register().message()).empty());
  EXPECT_EQ(error, home() + "/.config: Not a directory");
  EXPECT_EQ(ReadFile(home() + "/.config"), "not a folder");
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotRegistered);
  EXPECT_FALSE((error = service.Unregister().message()).empty());
  EXPECT_EQ(error, entry() + ": Not a directory");
}

TEST_F(AutostartTest, ConfigHomeFromTheEnvironment) {
  env_.Set("XDG_CONFIG_HOME", dir_.path() + "/cfg");
  std::string error;
  ASSERT_TRUE(Service().Register().ok());
  EXPECT_EQ(ReadFile(dir_.path() + "/cfg/autostart/" + kId + ".desktop"), ExpectedText());
  env_.Set("XDG_CONFIG_HOME", "relative/cfg");  // ignored: not absolute
  ASSERT_TRUE(Service().Register().ok());
  EXPECT_EQ(ReadFile(entry()), ExpectedText());
  env_.Unset("XDG_CONFIG_HOME");
  env_.Unset("HOME");
  EXPECT_FALSE((error = Service().Register().message()).empty());
  EXPECT_EQ(error, "no configuration folder: HOME is not an absolute path");
  EXPECT_EQ(Service().GetStatus(), LoginItemStatus::kNotFound);
}

// Status and unregistering of what users and other programs leave at the entry path:
// unregistering removes only the helper's own enabled entry, keeps its own switched-off one, and
// refuses anything else with the reason.
TEST_F(AutostartTest, EntriesEditedByTheUser) {
  const std::string linked = dir_.path() + "/link-to-helper";
  ASSERT_EQ(symlink(exe_.c_str(), linked.c_str()), 0);
  struct Case {
    const char* name;
    std::string text;
    LoginItemStatus status;
    const char* refusal;  // the unregister failure after the entry's path; "" for success
  };
  const std::string exec = "Exec=\"" + exe_ + "\"\n";
  const std::string head = "[Desktop Entry]\nType=Application\n";
  const char* kOther = ": starts another program";
  const Case cases[] = {
      {"ours", head + exec, LoginItemStatus::kEnabled, ""},
      {"autostart-disabled", head + exec + "X-GNOME-Autostart-enabled=false\n",
       LoginItemStatus::kRequiresApproval, ""},
      {"hidden", head + exec + "Hidden=true\n", LoginItemStatus::kRequiresApproval, ""},
      {"hidden-false", head + exec + "Hidden=false\nX-GNOME-Autostart-enabled=true\n",
       LoginItemStatus::kEnabled, ""},
      {"with-arguments", head + "Exec=\"" + exe_ + "\" --quiet %U\n", LoginItemStatus::kEnabled,
       ""},
      {"through-symlink", head + "Exec=" + linked + "\n", LoginItemStatus::kEnabled, ""},
      {"comment-and-name", "# mine\n" + head + "Name=Mine\n" + exec, LoginItemStatus::kEnabled, ""},
      {"other-program", head + "Exec=/usr/bin/other\n", LoginItemStatus::kNotFound, kOther},
      {"other-program-hidden", head + "Exec=/usr/bin/other\nHidden=true\n",
       LoginItemStatus::kNotFound, kOther},
      {"unquoted-with-space", head + "Exec=" + exe_ + "\n", LoginItemStatus::kNotFound, kOther},
      {"program-on-path", head + "Exec=ostrel-sensor-helper\n", LoginItemStatus::kNotFound, kOther},
      {"no-exec", head, LoginItemStatus::kNotFound, kOther},
      {"open-quote", head + "Exec=\"" + exe_ + "\n", LoginItemStatus::kNotFound, kOther},
      {"not-an-application", "[Desktop Entry]\nType=Link\n" + exec, LoginItemStatus::kNotFound,
       ": not an application's entry"},
      {"no-type", "[Desktop Entry]\n" + exec, LoginItemStatus::kNotFound,
       ": not an application's entry"},
      {"garbage", "\x01\x02garbage", LoginItemStatus::kNotFound, ": not a desktop entry"},
      {"empty", "", LoginItemStatus::kNotFound, ": not a desktop entry"},
  };
  XdgAutostartService service = Service();
  for (const Case& c : cases) {
    dir_.Write("home/.config/autostart/" + std::string(kId) + ".desktop", c.text);
    EXPECT_EQ(service.GetStatus(), c.status) << c.name;
    const Status unregistered = service.Unregister();
    if (*c.refusal == '\0') {
      EXPECT_TRUE(unregistered.ok()) << c.name << ": " << unregistered.message();
    } else {
      EXPECT_EQ(unregistered.message(), entry() + c.refusal) << c.name;
    }
    const bool removed = c.status == LoginItemStatus::kEnabled;
    EXPECT_EQ(ReadFile(entry()), removed ? "" : c.text) << c.name;
  }

  // Things at the entry path that are no file to read: never opened (a FIFO would block a
  // reader), never removed, and replaced by registering.
  struct Thing {
    const char* name;
    std::function<int(const char*)> make;
  };
  const std::string ours = dir_.path() + "/dotfiles/ours.desktop";
  dir_.Write("dotfiles/ours.desktop", head + exec);
  const Thing things[] = {
      {"folder", [](const char* path) { return mkdir(path, 0700); }},
      {"fifo", [](const char* path) { return mkfifo(path, 0600); }},
      {"device", [](const char* path) { return symlink("/dev/zero", path); }},
  };
  std::remove(entry().c_str());
  for (const Thing& t : things) {
    ASSERT_EQ(t.make(entry().c_str()), 0) << t.name;
    EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotFound) << t.name;
    EXPECT_EQ(service.Unregister().message(), entry() + ": not a regular file") << t.name;
    struct stat st;
    EXPECT_EQ(lstat(entry().c_str(), &st), 0) << t.name;
    if (S_ISDIR(st.st_mode)) rmdir(entry().c_str());
    ASSERT_TRUE(service.Register().ok()) << t.name;
    EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled) << t.name;
    ASSERT_TRUE(service.Unregister().ok()) << t.name;
  }
  // An entry kept elsewhere and linked in, as dotfile managers do, is read through the link;
  // unregistering removes the link, not the file.
  ASSERT_EQ(symlink(ours.c_str(), entry().c_str()), 0);
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled);
  ASSERT_TRUE(service.Unregister().ok());
  EXPECT_EQ(ReadFile(ours), head + exec);
}

// What /proc/self/exe names after the program's file was replaced or removed.
TEST_F(AutostartTest, LiveExecutablePath) {
  dir_.Write("bin/weird (deleted)", "a file really named so");
  const std::string bin = dir_.path() + "/bin/";
  const std::pair<std::string, std::string> cases[] = {
      {exe_, exe_},
      {exe_ + " (deleted)", exe_},  // replaced in place: the new program at the same path
      {bin + "weird (deleted)", bin + "weird (deleted)"},
      {bin + "gone (deleted)", ""},  // removed, nothing in its place
      {bin + "gone", bin + "gone"},  // no suffix: taken as it is
  };
  for (const auto& [target, path] : cases) EXPECT_EQ(LiveExecutablePath(target), path) << target;
}

TEST_F(AutostartTest, ExecutableWithReservedCharactersRoundTrips) {
  exe_ = dir_.path() + "/o\"dd $dir`/back\\slash 100%/helper";
  dir_.Write("o\"dd $dir`/back\\slash 100%/helper", "binary");
  XdgAutostartService service = Service();
  std::string error;
  ASSERT_TRUE(service.Register().ok());
  const std::string text = ReadFile(entry());
  EXPECT_NE(
      // '"', '$', '`' and '\' get a backslash and '%' is doubled; the value escape then doubles
      // every backslash.
      text.find("Exec=\"" + dir_.path() +
                "/o\\\\\"dd \\\\$dir\\\\`/back\\\\\\\\slash 100%%/helper\"\n"),
      std::string::npos)
      << text;
  // TryExec takes the path as a plain value: only the backslash is escaped.
  EXPECT_NE(text.find("TryExec=" + dir_.path() + "/o\"dd $dir`/back\\\\slash 100%/helper\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled);
}

TEST_F(AutostartTest, FailedWriteLeavesTheOldEntryIntact) {
  std::string error;
  // An entry the user already has, for another build of the helper.
  const std::string old_text = "[Desktop Entry]\nType=Application\nExec=/old/helper\n";
  dir_.Write("home/.config/autostart/" + std::string(kId) + ".desktop", old_text);
  // The disk fills up after a few bytes.
  int calls = 0;
  XdgAutostartService service = Service([&calls](int fd, const void* data, size_t size) -> ssize_t {
    if (++calls == 1) return ::write(fd, data, std::min<size_t>(size, 10));
    errno = ENOSPC;
    return -1;
  });
  EXPECT_FALSE((error = service.Register().message()).empty());
  EXPECT_EQ(error.rfind(autostart() + "/." + kId + ".desktop.", 0), 0u) << error;
  EXPECT_NE(error.find(": No space left on device"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(entry()), old_text);
  EXPECT_EQ(ListDir(autostart()), std::vector<std::string>{std::string(kId) + ".desktop"});

  // A write that makes no progress at all is a failure too, not an endless loop.
  XdgAutostartService stuck = Service([](int, const void*, size_t) -> ssize_t { return 0; });
  EXPECT_FALSE((error = stuck.Register().message()).empty());
  EXPECT_NE(error.find(": Input/output error"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(entry()), old_text);
  EXPECT_EQ(ListDir(autostart()), std::vector<std::string>{std::string(kId) + ".desktop"});
}

TEST_F(AutostartTest, TemporaryFileOfAKilledWriterIsNeverTheEntry) {
  // What a helper killed between write and rename leaves behind: half an entry under a
  // temporary name.
  const std::string stale = "." + std::string(kId) + ".desktop.Xy12Zq";
  dir_.Write("home/.config/autostart/" + stale, "[Desktop Entry]\nType=Appl");
  XdgAutostartService service = Service();
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kNotRegistered);
  std::string error;
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(service.GetStatus(), LoginItemStatus::kEnabled);
  EXPECT_EQ(ReadFile(entry()), ExpectedText());
  // Not ours to remove: the service touches its one file only.
  EXPECT_EQ(ListDir(autostart()), (std::vector<std::string>{stale, std::string(kId) + ".desktop"}));
}

TEST_F(AutostartTest, InterruptedWritesAreResumed) {
  int calls = 0;
  XdgAutostartService service = Service([&calls](int fd, const void* data, size_t size) -> ssize_t {
    ++calls;
    if (calls % 2 == 1) {
      errno = EINTR;
      return -1;
    }
    return ::write(fd, data, std::min<size_t>(size, 7));  // short writes
  });
  std::string error;
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(ReadFile(entry()), ExpectedText());
}

// Many threads register, unregister and read the status of one entry at once: every status
// read sees a whole entry or none, every file read is the whole text, and no temporary file is
// left behind.
class AutostartConcurrencyTest : public AutostartTest {};

TEST_F(AutostartConcurrencyTest, ConcurrentRegistersNeverTearTheEntry) {
  constexpr int kWriters = 6;
  constexpr int kRounds = 40;
  XdgAutostartService service = Service();
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, failed{0}, unexpected_status{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::string error;
      for (int i = 0; i < kRounds; ++i) {
        // Writers 0 and 1 also unregister now and then; that may find no entry, since another
        // writer may just have removed it, so its result is not counted.
        if (w < 2 && i % 4 == 3) {
          service.Unregister();
        } else if (!service.Register().ok()) {
          failed++;
        }
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      const std::string expected = ExpectedText();
      while (!done.load()) {
        LoginItemStatus status = service.GetStatus();
        if (status != LoginItemStatus::kEnabled && status != LoginItemStatus::kNotRegistered) {
          unexpected_status++;
        }
        std::ifstream in(entry(), std::ios::binary);
        if (in) {
          std::stringstream ss;
          ss << in.rdbuf();
          if (ss.str() != expected) torn++;
        }
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  done = true;
  for (size_t t = kWriters; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(unexpected_status.load(), 0);
  std::string error;
  ASSERT_TRUE(service.Register().ok());
  EXPECT_EQ(ReadFile(entry()), ExpectedText());
  EXPECT_EQ(ListDir(autostart()), std::vector<std::string>{std::string(kId) + ".desktop"});
}

}  // namespace
}  // namespace ostrel
