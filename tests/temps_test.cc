// Temperatures: the reader's grouping, the bounded sysfs reads and the hwmon source's trees.
#include "sensors/temps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/sysfs.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// Hands out "name=celsius" pairs joined by '|' on every walk; "(none)" is a sensor without name.
struct ScriptedSource : TempSource {
  explicit ScriptedSource(std::string pairs) : pairs(std::move(pairs)) {}
  void ForEachSensor(const Visitor& visit) override {
    std::istringstream in(pairs);
    for (std::string pair; std::getline(in, pair, '|');) {
      const std::string name = pair.substr(0, pair.rfind('='));
      visit(name == "(none)" ? nullptr : name.c_str(), strtod(&pair[pair.rfind('=') + 1], nullptr));
    }
  }
  std::string pairs;
};

// Groups, their range, order and the capacity, as "label celsius" joined by "|".
TEST(TempsTest, GroupsRangeOrderAndCapacity) {
  const std::string all = "gas gauge battery=30|NAND CH0=35|PMU tdie1=50", x123(123, 'x');
  const std::string dies = "CPU / SoC (avg) 50|CPU / SoC (peak) 50";
  const struct {
    std::string pairs;
    int32_t capacity;
    std::string readings;
  } cases[] = {// clang-format off
      {all, 16, dies + "|SSD 35|Battery 30"}, {all, 3, dies + "|SSD 35"}, {all, 1, "CPU / SoC (avg) 50"},
      {all, 0, ""}, {"NAND CH0=33|battery=29.5", 16, "SSD 33|Battery 29.5"},
      {"TDIE3=41|tDiE4=43|nand=30|ssd0=40|BATTERY=28|battery=30", 16,
       "CPU / SoC (avg) 42|CPU / SoC (peak) 43|SSD 35|Battery 29"},
      {"tdie a=130|tdie b=129.9", 16, "CPU / SoC (avg) 129.9|CPU / SoC (peak) 129.9"},
      {"tdie a=0|tdie b=-5|SSD=-0|tdie=nan|tdie=inf|SSD=-inf|battery=nan", 16, ""},
      {"PMU tcal=50|td ie=40|=40|(none)=50", 16, ""}, {x123 + "tdie=50", 16, dies},
      {"x" + x123 + "tdie=50", 16, ""}};
  // clang-format on
  for (const auto& c : cases) {
    ScriptedSource source(c.pairs);
    OstrelTemp out[16];
    memset(out, 0xAB, sizeof out);  // a label without its terminator runs into these
    std::string text;
    for (int32_t i = 0, n = ReadTemps(source, out, c.capacity); i < n; ++i)
      text += (i ? "|" : "") + std::string(out[i].label) + " " + testing::Number(out[i].celsius);
    EXPECT_EQ(text, c.readings) << c.pairs << " " << c.capacity;
  }
}

TEST(SysfsTest, ParseAndBoundedReads) {
  // clang-format off
  const std::pair<std::string, std::optional<int64_t>> cases[] = {
      {"45000\n", 45000}, {"-12\r\n", -12}, {" \t0 \n", 0}, {"", {}}, {"\n", {}}, {"12a", {}},
      {"9223372036854775807\n", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", {}}, {"-9223372036854775809", {}}, {std::string("12\0", 3), {}}};
  // clang-format on
  for (const auto& [text, want] : cases) EXPECT_EQ(ParseSysfsInt(text), want) << text;
  TempDir dir;
  dir.WriteTree("a=coretemp \r\nb=" + std::string(300, 'n') + "\nv/ok=45000\nv/junk=N/A");
  dir.Write("v/big", std::string(31, '1')), dir.Write("v/full", std::string(32, '1'));  // cut?
  EXPECT_EQ(
      *ReadSysfsText(dir.path() + "/a") + std::to_string(ReadSysfsText(dir.path() + "/b")->size()),
      "coretemp255");
  EXPECT_FALSE(ReadSysfsText(dir.path() + "/missing"));
  const int fd = open((dir.path() + "/v").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const char* name : {"junk", "big", "full", "missing", "."})  // "ok" passes
    EXPECT_NE(ReadSysfsIntAt(fd, name) || ReadSysfsInt(dir.path() + "/v/" + name),
              ReadSysfsIntAt(fd, "ok") == 45000 && ReadSysfsInt(dir.path() + "/v/ok") == 45000);
  char buf[8];
  EXPECT_EQ(ReadAttributeAt(fd, "ok", buf, 2), 2u);  // one bounded read
  // A closer holds at most kMaxOpen files and closes them together, the rest when it goes.
  const auto before = testing::OpenFileCount();
  {
    FileCloser closer;
    for (size_t i = 0; i < FileCloser::kMaxOpen + 2; ++i)
      ReadAttributeAt(fd, "ok", buf, sizeof buf, &closer);
    EXPECT_EQ(testing::OpenFileCount(), before + 2);
  }
  EXPECT_EQ(testing::OpenFileCount(), before);
  close(fd);
}

// Natural order; listings: each entry once across getdents64 buffers, the lowest when too many.
TEST(SysfsTest, NaturalOrderAndListings) {
  // clang-format off
  for (auto [a, b] : {std::pair{"hwmon2", "hwmon10"}, {"fan1_input", "fan1_label"}, {"a", "ab"},
                      {"temp9_input", "temp10_input"}, {"x007", "x8"}, {"a1b", "a01c"}, {"B", "a"},
                      {"a\x7F", "a\x80"}, {"a01", "a1b"}, {"a9", "a10"}, {"a1", "b"}})
    // clang-format on
    EXPECT_TRUE(NaturalLess(a, b) && !NaturalLess(b, a)) << "< " << ::testing::PrintToString(b);
  EXPECT_FALSE(NaturalLess("a", "a") || NaturalLess("a01", "a1") || NaturalLess("a1", "a01"));
  TempDir sys;
  const std::string hwmon = sys.path() + "/class/hwmon";
  for (int n = 299; n >= 0; --n) fs::create_directories(hwmon + "/hwmon" + std::to_string(n));
  sys.WriteTree("class/hwmon/other/name=y\nclass/hwmon/.hidden=");  // only "." and ".." skipped
  ScopedFd first = OpenDirAt(AT_FDCWD, hwmon.c_str()), second = OpenDirAt(AT_FDCWD, hwmon.c_str());
  ASSERT_TRUE(first && second);
  size_t seen = 0;
  for (DirLister lister(first.get()); lister.Next() != nullptr;) ++seen;
  HwmonEntries chips;
  ListHwmonEntries(second.get(), &chips);
  ASSERT_EQ(chips.size(), 256u);
  EXPECT_EQ(std::to_string(seen) + chips[0] + chips[2] + chips[10] + chips[255],
            "302hwmon0hwmon2hwmon10hwmon255");
}

// Every name the source hands out, joined by "|".
std::string Names(const std::string& root) {
  std::string names;
  HwmonTempSource(root).ForEachSensor(
      [&](const char* name, double) { names += (names.empty() ? "" : "|") + std::string(name); });
  return names;
}

// A chip's name, its temp1, temp2, ... as "<label>[@<input>]" ("-": no label; input 40000 unless
// given), then after "=" the sensors that count, as visited. Labels may end in blanks or CR.
TEST(HwmonTempSourceTest, DriversAndTheirLabels) {
  const std::string broken = "coretemp|-@50000|-@";  // a broken temp2 skips only its sensor
  const std::string rest = "|-@1000000|-@-273150=tdie coretemp/temp3|tdie coretemp/temp4";
  std::vector<std::string> cases = {
      // clang-format off
      "coretemp|Package id 0=tdie coretemp/Package id 0", "coretemp|-|-=tdie coretemp/temp2",
      "coretemp|Physical id 0|Core 0\r=tdie coretemp/Core 0", "k10temp|-=tdie k10temp/temp1",
      "k10temp|Tccd1 |Tdie\t|Tctl=tdie k10temp/Tccd1|tdie k10temp/Tdie",
      "cpu_thermal|-=tdie cpu_thermal/temp1", "cpu_thermalx|-=", "gpu_thermal|-=",
      "bigcore0_thermal|-|-=tdie bigcore0_thermal/temp1|tdie bigcore0_thermal/temp2",
      "soc_thermal|-=tdie soc_thermal/temp1", "nvme|-|Composite=SSD nvme/Composite"};
  for (const char* input : {"", "1000001", "-273151", "missing"})
    cases.push_back(broken + input + rest);
  // clang-format on
  for (const std::string& c : cases) {
    std::istringstream parts(c.substr(0, c.find('=')));
    std::string tree = "class/hwmon/hwmon0/name=", label;
    for (int i = 0; std::getline(parts, label, '|'); ++i) {
      const std::string temp = "\nclass/hwmon/hwmon0/temp" + std::to_string(i);
      const size_t at = label.find('@');
      const std::string input = at == std::string::npos ? "40000" : label.substr(at + 1);
      if (i == 0) tree += label;
      if (i > 0 && label.substr(0, at) != "-") tree += temp + "_label=" + label.substr(0, at);
      if (i > 0 && input != "missing") tree += temp + "_input=" + input;
    }
    TempDir dir;
    dir.WriteTree(tree);
    EXPECT_EQ(Names(dir.path()), c.substr(c.find('=') + 1)) << c;
  }
}

// Broken chips and batteries, names that are no inputs or beyond index 99999, and no folders.
TEST(HwmonTempSourceTest, BrokenChipsFoldersAndAHugeChip) {
  TempDir dir;
  std::string tree =
      "class/hwmon/hwmon0/name=coretemp\nclass/hwmon/hwmon0/temp1_input=70000\n"
      "class/hwmon/hwmon1/name=drivetemp\nclass/hwmon/hwmon2/temp1_input=41000\n"
      "class/hwmon/hwmon3->gone\nclass/power_supply/BAT1/temp=300\n"
      "class/power_supply/BAT1/type=Battery\r\nclass/power_supply/BAT1/scope=System\n"
      "class/power_supply/BAT2/temp=10001\nclass/power_supply/BAT2/type=Battery\n"
      "class/power_supply/BAT3/type=Battery\nclass/power_supply/BAT4/temp=-2731\n"
      "class/power_supply/BAT4/type=Battery";
  for (const char* name : {"temp0_input", "temp01_input", "temp_input", "temp1_inputs",
                           "xtemp1_input", "temp100000_input", "temp99999_input"})
    tree += "\nclass/hwmon/hwmon1/" + std::string(name) + "=30000";
  dir.WriteTree(tree);
  fs::create_directory(dir.path() + "/class/hwmon/hwmon0/temp1_label");  // unreadable label
  EXPECT_EQ(Names(dir.path()),
            "battery BAT1|battery BAT4|tdie coretemp/temp1|SSD drivetemp/temp99999");
  EXPECT_EQ(Names(dir.path() + "/nowhere"), "");
}

}  // namespace
}  // namespace ostrel
