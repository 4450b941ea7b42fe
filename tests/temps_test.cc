// Temperatures: the reader's grouping over a fake source, the bounded sysfs reads beneath the
// Linux source, and the hwmon source over fixture trees of real machines and broken files.
#include "sensors/temps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/sysfs.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using Pair = std::pair<std::optional<std::string>, double>;

// Hands out `pairs` on every walk, in order.
struct FakeTempSource : TempSource {
  std::vector<Pair> pairs;
  void ForEachSensor(const Visitor& visit) override {
    for (const Pair& p : pairs) visit(p.first ? p.first->c_str() : nullptr, p.second);
  }
};

constexpr char kAvg[] = "CPU / SoC (avg)";
constexpr char kPeak[] = "CPU / SoC (peak)";

TEST(TempsTest, GroupsRangeOrderAndCapacity) {
  struct Reading {
    const char* label;
    double celsius;
  };
  const std::vector<Pair> all = {{"gas gauge battery", 30}, {"NAND CH0", 35}, {"PMU tdie1", 50}};
  const std::string x123(123, 'x');
  const struct {
    const char* what;
    std::vector<Pair> pairs;
    int32_t capacity;
    std::vector<Reading> expected;
  } cases[] = {
      {"groups in fixed order", all, 16, {{kAvg, 50}, {kPeak, 50}, {"SSD", 35}, {"Battery", 30}}},
      {"capacity 3", all, 3, {{kAvg, 50}, {kPeak, 50}, {"SSD", 35}}},
      {"capacity 1", all, 1, {{kAvg, 50}}},
      {"capacity 0", all, 0, {}},
      {"lowest capacity", all, INT32_MIN, {}},
      {"average and peak",
       {{"tdie a", 47}, {"tdie b", 61}, {"tdie c", 52}},
       16,
       {{kAvg, 160.0 / 3}, {kPeak, 61}}},
      {"no die sensor",
       {{"NAND CH0", 33}, {"battery", 29.5}},
       16,
       {{"SSD", 33}, {"Battery", 29.5}}},
      {"case is ignored",
       {{"TDIE3", 41}, {"tDiE4", 43}, {"nand", 30}, {"ssd0", 40}, {"BATTERY", 28}, {"battery", 30}},
       16,
       {{kAvg, 42}, {kPeak, 43}, {"SSD", 35}, {"Battery", 29}}},
      {"first group wins",
       {{"tdie battery", 44}, {"SSD tdie", 46}, {"battery SSD", 31}},
       16,
       {{kAvg, 45}, {kPeak, 46}, {"SSD", 31}}},
      {"130 is out, 129.9 in",
       {{"tdie a", 130.0}, {"tdie b", 129.9}},
       16,
       {{kAvg, 129.9}, {kPeak, 129.9}}},
      {"0 and below are out", {{"tdie a", 0.0}, {"tdie b", -5}, {"SSD", -0.0}}, 16, {}},
      {"NaN and infinities are out",
       {{"tdie a", NAN}, {"tdie b", INFINITY}, {"SSD", -INFINITY}, {"battery", NAN}, {"tdie", 60}},
       16,
       {{kAvg, 60}, {kPeak, 60}}},
      {"no word, no name", {{"PMU tcal", 50}, {"td ie", 40}, {"", 40}, {std::nullopt, 50}}, 16, {}},
      {"a word ending at byte 127 counts", {{x123 + "tdie", 50}}, 16, {{kAvg, 50}, {kPeak, 50}}},
      {"a word cut at byte 127 does not", {{"x" + x123 + "tdie", 50}}, 16, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeTempSource source;
    source.pairs = c.pairs;
    OstrelTemp got[8], want[8];
    std::memset(got, 0xAB, sizeof got);
    std::memset(want, 0xAB, sizeof want);
    ASSERT_EQ(ReadTemps(source, got, c.capacity), static_cast<int32_t>(c.expected.size()));
    for (size_t i = 0; i < c.expected.size(); ++i) {
      std::memcpy(want[i].label, c.expected[i].label, strlen(c.expected[i].label) + 1);
      want[i].celsius = c.expected[i].celsius;
      EXPECT_STREQ(got[i].label, want[i].label);
      EXPECT_EQ(got[i].celsius, want[i].celsius);
    }
    // Only the label's text, its zero and the value are written; nothing else changes.
    EXPECT_EQ(std::memcmp(got, want, sizeof got), 0);
    if (c.capacity <= 0) {
      EXPECT_EQ(ReadTemps(source, nullptr, c.capacity), 0);
    }
  }
}

TEST(SysfsTest, ParseAndBoundedReads) {
  const struct {
    std::string text;
    std::optional<int64_t> value;
  } cases[] = {
      {"45000\n", 45000},
      {"-12\r\n", -12},
      {"+7", 7},
      {" \t0 \n", 0},
      {"9223372036854775807\n", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", {}},
      {"-9223372036854775809", {}},
      {"", {}},
      {"\n", {}},
      {"-", {}},
      {"12a", {}},
      {"1 2", {}},
      {"0x10", {}},
      {"4.5", {}},
      {std::string("12\0", 3), {}},
  };
  for (const auto& c : cases) {
    int64_t value = -1;
    EXPECT_EQ(ParseSysfsInt(c.text, &value), c.value.has_value()) << "'" << c.text << "'";
    if (c.value) {
      EXPECT_EQ(value, *c.value) << c.text;
    }
  }
  TempDir dir;
  dir.WriteTree("a/name=coretemp \r\nb/name=" + std::string(300, 'n') + "\nv/ok=45000\nv/junk=N/A");
  dir.Write("v/big", std::string(31, '1'));   // a whole read, but beyond int64
  dir.Write("v/full", std::string(32, '1'));  // fills the buffer: maybe cut
  dir.Write("v/empty", "");
  std::string text;
  ASSERT_TRUE(ReadSysfsText(dir.path() + "/a/name", &text));
  EXPECT_EQ(text, "coretemp");
  ASSERT_TRUE(ReadSysfsText(dir.path() + "/b/name", &text));
  EXPECT_EQ(text, std::string(255, 'n'));
  EXPECT_FALSE(ReadSysfsText(dir.path() + "/missing", &text));
  const int fd = open((dir.path() + "/v").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int64_t value = 0;
  EXPECT_TRUE(ReadSysfsIntAt(fd, "ok", &value) && value == 45000);
  EXPECT_TRUE(ReadSysfsInt(dir.path() + "/v/ok", &value) && value == 45000);
  for (const char* name : {"junk", "big", "full", "empty", "missing", "."}) {
    EXPECT_FALSE(ReadSysfsIntAt(fd, name, &value)) << name;
    EXPECT_FALSE(ReadSysfsInt(dir.path() + "/v/" + name, &value)) << name;
  }
  char buf[8];
  EXPECT_EQ(ReadAttributeAt(fd, "ok", buf, 2), 2);  // one bounded read
  close(fd);
  // A FIFO never blocks: without a writer it reads as empty, with an idle one it fails.
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(ReadAttribute(fifo.c_str(), buf, sizeof buf), 0);
  const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  EXPECT_EQ(ReadAttribute(fifo.c_str(), buf, sizeof buf), -1);
  EXPECT_EQ(errno, EAGAIN);
  close(writer);
}

TEST(SysfsTest, NaturalOrderAndHwmonChips) {
  for (auto [a, b] : {std::pair{"hwmon2", "hwmon10"},
                      {"fan1_input", "fan1_label"},
                      {"temp9_input", "temp10_input"},
                      {"a", "ab"},
                      {"x007", "x8"},
                      {"a1b", "a01c"},
                      {"B", "a"},
                      {"a\x7F", "a\x80"},
                      {"a01", "a1b"}}) {
    EXPECT_TRUE(NaturalLess(a, b)) << a << " < " << b;
    EXPECT_FALSE(NaturalLess(b, a)) << b << " < " << a;
  }
  EXPECT_FALSE(NaturalLess("a", "a"));
  EXPECT_FALSE(NaturalLess("a01", "a1"));
  TempDir sys;
  sys.WriteTree(
      "class/hwmon/hwmon10/name=nvme\nclass/hwmon/hwmon2/name=coretemp\r\n"
      "class/hwmon/hwmon3/device/name=applesmc\nclass/hwmon/hwmon4/temp1_input=1\n"
      "class/hwmon/hwmon5/device/name=x\nclass/hwmon/hwmon5/name=it87\nclass/hwmon/other/name=y");
  std::string chips;
  for (const HwmonChip& chip : ListHwmonChips(sys.path())) {
    chips += chip.attr_dir.substr(sys.path().size() + 13) + "=" + chip.name + "|";
  }
  EXPECT_EQ(chips, "hwmon2=coretemp|hwmon3/device=applesmc|hwmon4=|hwmon5=it87|hwmon10=nvme|");
  EXPECT_TRUE(ListHwmonChips(sys.path() + "/nowhere").empty());
}

// The readings over `root` as "label celsius" (6 significant digits) joined by "|".
std::string Read(const std::string& root) {
  HwmonTempSource source(root);
  OstrelTemp out[16];
  std::string text;
  for (int32_t i = 0, n = ReadTemps(source, out, 16); i < n; ++i) {
    char reading[96];
    snprintf(reading, sizeof reading, "%s%.63s %g", i ? "|" : "", out[i].label, out[i].celsius);
    text += reading;
  }
  return text;
}

// Every name the source hands out (or only its group tag, the first word), joined by "|".
std::string Names(const std::string& root, bool tags = false) {
  std::string names;
  HwmonTempSource(root).ForEachSensor([&](const char* name, double) {
    const std::string text = name;
    names += (names.empty() ? "" : "|") + (tags ? text.substr(0, text.find(' ')) : text);
  });
  return names;
}

TEST(HwmonTempSourceTest, Machines) {
  const struct {
    const char* tree;  // in tests/fixtures/trees/
    const char* readings;
  } cases[] = {
      // The cores, not the package; nvme Composite and drivetemp.
      {"intel_desktop", "CPU / SoC (avg) 52.75|CPU / SoC (peak) 58|SSD 35.925"},
      // Tdie and the CCDs, not Tctl; the battery once, not its hwmon twin; not the game pad.
      {"amd_laptop", "CPU / SoC (avg) 46.4583|CPU / SoC (peak) 48.5|SSD 36.85|Battery 31.2"},
      {"old_style", "CPU / SoC (avg) 62|CPU / SoC (peak) 63"},
      {"apple_silicon", "CPU / SoC (avg) 50|CPU / SoC (peak) 52|SSD 35.5|Battery 30.225"},
      {"foreign_words", "CPU / SoC (avg) 53|CPU / SoC (peak) 53|SSD 52.5|Battery 30"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.WriteTree(
        testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/" + std::string(c.tree) + ".tree"));
    EXPECT_EQ(Read(dir.path()), c.readings) << c.tree;
    if (c.tree == std::string("amd_laptop")) {
      EXPECT_EQ(Names(dir.path()),
                "battery BAT0|other acpitz/temp1|other thinkpad/temp1|other thinkpad/temp2|"
                "other thinkpad/temp3|SSD nvme/Composite|other nvme/Sensor 1|other nvme/Sensor 2|"
                "other amdgpu/temp1|other k10temp/Tctl|tdie k10temp/Tdie|tdie k10temp/Tccd1|"
                "tdie k10temp/Tccd2");
    }
  }
}

TEST(HwmonTempSourceTest, DriversAndTheirLabels) {
  const struct {
    const char* chip;
    std::vector<const char*> labels;  // of temp1, temp2, ...; nullptr: no label file
    const char* tags;                 // the group tag of each sensor
  } cases[] = {
      {"coretemp", {"Package id 0"}, "tdie"},  // no cores: the package stands for the die
      {"coretemp", {"Physical id 0", "Core 0"}, "other|tdie"},
      {"coretemp", {nullptr, nullptr}, "other|tdie"},  // temp1 is the package
      {"zenpower", {"Tdie", "Tctl", "Tccd1"}, "tdie|other|tdie"},
      {"k10temp", {nullptr}, "tdie"},  // before Zen: one unlabelled sensor
      {"k10temp", {"Tctl", "Tccd1", nullptr}, "tdie|tdie|other"},
      {"cpu_thermal", {nullptr}, "tdie"},
      {"bigcore0_thermal", {nullptr, nullptr}, "tdie|tdie"},
      {"soc_thermal", {nullptr}, "tdie"},
      {"gpu_thermal", {nullptr}, "other"},
      {"cpu_thermalx", {nullptr}, "other"},
      {"nvme", {nullptr, nullptr}, "SSD|other"},           // temp1 is the composite
      {"nvme", {"Composite ", "Composite\r"}, "SSD|SSD"},  // labels end in blanks, CR too
      {"k10temp", {"Tdie\t", "Tctl"}, "tdie|other"},
      {"drivetemp", {nullptr}, "SSD"},
      {"macsmc_hwmon", {"SoC x", "ssd", "battery", "Fan"}, "tdie|SSD|battery|other"},
      {"it8688", {"CPU", "Tdie"}, "other|other"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::string tree = "class/hwmon/hwmon0/name=" + std::string(c.chip);
    for (size_t i = 0; i < c.labels.size(); ++i) {
      const std::string temp = "\nclass/hwmon/hwmon0/temp" + std::to_string(i + 1);
      tree += temp + "_input=40000";
      if (c.labels[i] != nullptr) tree += temp + "_label=" + c.labels[i];
    }
    dir.WriteTree(tree);
    EXPECT_EQ(Names(dir.path(), /*tags=*/true), c.tags) << c.chip << " " << c.labels.size();
  }
}

TEST(HwmonTempSourceTest, BrokenFilesSkipOnlyTheirSensor) {
  for (const char* broken : {"", "N/A", "1000001", "-273151", "1111111111111111111111111111111",
                             "missing", "folder", "fifo", "fifo with writer"}) {
    TempDir dir;
    dir.WriteTree(
        "class/hwmon/hwmon0/name=coretemp\nclass/hwmon/hwmon0/temp1_input=50000\n"
        "class/hwmon/hwmon0/temp3_input=1000000\nclass/hwmon/hwmon0/temp4_input=-273150");
    const std::string path = dir.path() + "/class/hwmon/hwmon0/temp2_input";
    const std::string how = broken;
    int writer = -1;
    if (how == "folder") fs::create_directory(path);
    if (how.starts_with("fifo")) mkfifo(path.c_str(), 0600);
    if (how == "fifo with writer") writer = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (how != "missing" && !fs::exists(path)) dir.Write("class/hwmon/hwmon0/temp2_input", how);
    EXPECT_EQ(Names(dir.path()), "other coretemp/temp1|tdie coretemp/temp3|tdie coretemp/temp4")
        << broken;
    if (writer >= 0) close(writer);
  }
}

TEST(HwmonTempSourceTest, BrokenChipsFoldersAndAHugeChip) {
  TempDir dir;
  dir.WriteTree(
      "class/hwmon/hwmon0/name=coretemp\nclass/hwmon/hwmon0/temp1_input=70000\n"
      "class/hwmon/hwmon1/name=drivetemp\nclass/hwmon/hwmon2/temp1_input=41000\n"
      "class/hwmon/hwmon3->gone\nclass/power_supply/BAT1/temp=300\n"
      "class/power_supply/BAT1/type=Battery\r\nclass/power_supply/BAT1/scope=System\n"
      "class/power_supply/BAT2/temp=10001\nclass/power_supply/BAT2/type=Battery\n"
      "class/power_supply/BAT3/type=Battery\nclass/power_supply/BAT4/temp=-2731\n"
      "class/power_supply/BAT4/type=Battery");
  fs::create_directory(dir.path() + "/class/hwmon/hwmon0/temp1_label");  // unreadable label
  for (const char* name : {"temp0_input", "temp01_input", "temp_input", "temp1_inputs",
                           "xtemp1_input", "temp999999_input"}) {
    dir.Write("class/hwmon/hwmon1/" + std::string(name), "30000\n");
  }
  // Without its label, coretemp's temp1 is the package, counted as there are no cores.
  EXPECT_EQ(Names(dir.path()), "battery BAT1|battery BAT4|tdie coretemp/temp1|other /temp1");
  TempDir empty;
  EXPECT_EQ(Names(empty.path() + "/nowhere"), "");
  empty.WriteTree("class/hwmon=not a folder\nclass/power_supply=not a folder");
  EXPECT_EQ(Names(empty.path()), "");
  // 300 inputs: the 256 lowest indices are read.
  TempDir huge;
  std::string tree = "class/hwmon/hwmon0/name=drivetemp";
  for (int i = 300; i >= 1; --i)
    tree += "\nclass/hwmon/hwmon0/temp" + std::to_string(i) + "_input=1";
  huge.WriteTree(tree);
  const std::string names = Names(huge.path());
  EXPECT_EQ(std::count(names.begin(), names.end(), '|'), 255);
  EXPECT_TRUE(names.starts_with("SSD drivetemp/temp1|SSD drivetemp/temp2|")) << names;
  EXPECT_TRUE(names.ends_with("|SSD drivetemp/temp256")) << names;
}

}  // namespace
}  // namespace ostrel
