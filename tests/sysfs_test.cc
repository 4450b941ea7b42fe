// Bounded sysfs reads, strict integer parsing and hwmon chip listing over fixture trees.
#include "platform/linux/sysfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

TEST(SysfsTest, ParseSysfsInt) {
  struct Case {
    std::string text;
    bool ok;
    int64_t value;
  };
  const Case cases[] = {
      {"45000\n", true, 45000},
      {"-12\n", true, -12},
      {"+7", true, 7},
      {"  0 \n", true, 0},
      {"9223372036854775807\n", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"", false, 0},
      {"\n", false, 0},
      {"-", false, 0},
      {"12a", false, 0},
      {"1 2", false, 0},
      {"0x10", false, 0},
      {"4.5", false, 0},
      {std::string("12\0", 3), false, 0},
  };
  for (const Case& c : cases) {
    int64_t value = -1;
    EXPECT_EQ(ParseSysfsInt(c.text, &value), c.ok) << "'" << c.text << "'";
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(SysfsTest, ReadSysfsIntRejectsUnreadableAndOversizedFiles) {
  TempDir dir;
  dir.Write("good", "42000\n");
  dir.Write("empty", "");
  dir.Write("garbage", "\xFF\xFE junk");
  dir.Write("huge", std::string(100, '1'));
  dir.MakeDir("folder");
  int64_t value = 0;
  EXPECT_TRUE(ReadSysfsInt(dir.path() + "/good", &value));
  EXPECT_EQ(value, 42000);
  for (const char* name : {"empty", "garbage", "huge", "folder", "missing"}) {
    EXPECT_FALSE(ReadSysfsInt(dir.path() + "/" + name, &value)) << name;
  }
}

TEST(SysfsTest, ReadSysfsTextTrimsTheLineEnd) {
  TempDir dir;
  dir.Write("name", "coretemp\n");
  dir.Write("long", std::string(1000, 'n'));
  std::string text;
  ASSERT_TRUE(ReadSysfsText(dir.path() + "/name", &text));
  EXPECT_EQ(text, "coretemp");
  ASSERT_TRUE(ReadSysfsText(dir.path() + "/long", &text));
  EXPECT_EQ(text.size(), 255u);
  EXPECT_FALSE(ReadSysfsText(dir.path() + "/missing", &text));
}

TEST(SysfsTest, NaturalOrder) {
  EXPECT_TRUE(NaturalLess("hwmon2", "hwmon10"));
  EXPECT_FALSE(NaturalLess("hwmon10", "hwmon2"));
  EXPECT_TRUE(NaturalLess("fan1_input", "fan1_label"));
  EXPECT_TRUE(NaturalLess("temp9_input", "temp10_input"));
  EXPECT_FALSE(NaturalLess("a", "a"));
  EXPECT_TRUE(NaturalLess("a", "ab"));
}

// Listing without allocation: every entry once, across several buffers of getdents64, and the
// natural order of what is kept, the lowest names when there are more than fit.
TEST(SysfsTest, ListingsKeepTheLowestNamesInNaturalOrder) {
  TempDir sys;
  for (int n = 299; n >= 0; --n) sys.MakeDir("class/hwmon/hwmon" + std::to_string(n));
  sys.Write("class/hwmon/other/name", "ignored\n");
  const std::string class_path = sys.path() + "/class/hwmon";
  ScopedFd first(OpenDirAt(AT_FDCWD, class_path.c_str())),
      second(OpenDirAt(AT_FDCWD, class_path.c_str()));
  ASSERT_TRUE(first && second);
  size_t seen = 0;
  DirLister lister(first.get());
  while (const char* name = lister.Next()) seen += name[0] != '.';
  EXPECT_EQ(seen, 301u);
  HwmonEntries chips;
  ListHwmonEntries(second.get(), &chips);
  ASSERT_EQ(chips.size(), 256u);
  EXPECT_STREQ(chips[0], "hwmon0");
  EXPECT_STREQ(chips[2], "hwmon2");
  EXPECT_STREQ(chips[10], "hwmon10");
  EXPECT_STREQ(chips[255], "hwmon255");
  SortedNames<2, 6> names;
  for (const char* name : {"b10", "b9", "toolong", "a", "b2"}) names.Add(name);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_STREQ(names[0], "a");
  EXPECT_STREQ(names[1], "b2");
  EXPECT_EQ(OpenDirAt(AT_FDCWD, (sys.path() + "/nowhere").c_str()), -1);
}

TEST(SysfsTest, ReadAtFolderDescriptor) {
  TempDir dir;
  dir.Write("hwmon0/temp1_input", "45000\n");
  dir.Write("hwmon0/temp2_input", "junk\n");
  dir.Write("hwmon0/temp3_input", std::string(32, '1'));
  dir.Write("hwmon0/temp4_input", std::string(31, '1'));
  const int fd = open((dir.path() + "/hwmon0").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char buf[8];
  EXPECT_EQ(ReadAttributeAt(fd, "temp1_input", buf, sizeof buf), 6);
  EXPECT_EQ(std::string(buf, 6), "45000\n");
  EXPECT_EQ(ReadAttributeAt(fd, "temp1_input", buf, 2), 2);  // one bounded read
  EXPECT_EQ(ReadAttributeAt(fd, "missing", buf, sizeof buf), -1);
  EXPECT_EQ(errno, ENOENT);
  int64_t value = 0;
  EXPECT_TRUE(ReadSysfsIntAt(fd, "temp1_input", &value));
  EXPECT_EQ(value, 45000);
  EXPECT_FALSE(ReadSysfsIntAt(fd, "temp2_input", &value));
  EXPECT_FALSE(ReadSysfsIntAt(fd, "temp3_input", &value));  // fills the buffer: maybe cut
  EXPECT_FALSE(ReadSysfsIntAt(fd, "temp4_input", &value));  // 31 digits: beyond int64
  EXPECT_FALSE(ReadSysfsIntAt(fd, "missing", &value));
  // Paths below the folder and absolute paths work too; AT_FDCWD means the current folder.
  EXPECT_TRUE(ReadSysfsIntAt(fd, (dir.path() + "/hwmon0/temp1_input").c_str(), &value));
  EXPECT_TRUE(ReadSysfsIntAt(AT_FDCWD, (dir.path() + "/hwmon0/temp1_input").c_str(), &value));
  close(fd);
  EXPECT_EQ(ReadAttributeAt(fd, "temp1_input", buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADF);
}

// A FIFO never blocks the reader: without a writer it reads as empty, with an idle writer
// the read fails with EAGAIN.
TEST(SysfsTest, ReadAtDoesNotBlockOnFifos) {
  TempDir dir;
  const std::string fifo = dir.path() + "/temp1_input";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  char buf[8];
  EXPECT_EQ(ReadAttributeAt(AT_FDCWD, fifo.c_str(), buf, sizeof buf), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(ReadAttributeAt(AT_FDCWD, fifo.c_str(), buf, sizeof buf), -1);
  EXPECT_EQ(errno, EAGAIN);
  int64_t value;
  EXPECT_FALSE(ReadSysfsIntAt(AT_FDCWD, fifo.c_str(), &value));
  close(writer);
}

}  // namespace
}  // namespace ostrel
