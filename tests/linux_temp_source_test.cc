// The sysfs temperature source over fixture trees modeled on real machines: which sensors it
// hands out, under which names, in which order, and what it does with broken trees.
#include "platform/linux_temp_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "sensors/temps.h"
#include "tests/fake_sysfs.h"
#include "tests/temp_fixtures.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::BuildAmdLaptop;
using testing::BuildIntelDesktop;
using testing::FakeSysfs;
using testing::TempDir;

using Pairs = std::vector<std::pair<std::string, double>>;

// Every pair the source hands out, a missing name written as "(none)".
Pairs Collect(const std::string& root) {
  Pairs pairs;
  LinuxTempSource source(root);
  source.ForEachSensor([&pairs](const char* name, double celsius) {
    pairs.emplace_back(name != nullptr ? name : "(none)", celsius);
  });
  return pairs;
}

struct Reading {
  std::string label;
  double celsius;
  bool operator==(const Reading&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Reading& r) {
  return os << r.label << "=" << r.celsius;
}

std::vector<Reading> Read(const std::string& root) {
  LinuxTempSource source(root);
  OstrelTemp out[16] = {};
  const int32_t n = ReadTemps(source, out, 16);
  std::vector<Reading> readings;
  for (int32_t i = 0; i < n; ++i) readings.push_back({out[i].label, out[i].celsius});
  return readings;
}

TEST(LinuxTempSourceTest, IntelDesktop) {
  TempDir dir;
  BuildIntelDesktop(FakeSysfs(dir.path()));
  const Pairs expected = {
      {"other acpitz/temp1", 27.8},          {"other acpitz/temp2", 29.8},
      {"SSD nvme/Composite", 38.85},         {"other nvme/Sensor 1", 38.85},
      {"other nvme/Sensor 2", 41.85},        {"other pch_cannonlake/temp1", 47.0},
      {"other coretemp/Package id 0", 58.0}, {"tdie coretemp/Core 0", 52.0},
      {"tdie coretemp/Core 1", 55.0},        {"tdie coretemp/Core 2", 51.0},
      {"tdie coretemp/Core 3", 58.0},        {"tdie coretemp/Core 4", 50.0},
      {"tdie coretemp/Core 5", 53.0},        {"tdie coretemp/Core 6", 54.0},
      {"tdie coretemp/Core 7", 49.0},        {"other nct6798/temp1", 34.0},
      {"other nct6798/temp2", 40.5},         {"other nct6798/temp3", -62.0},
      {"other nct6798/temp7", 56.0},         {"other iwlwifi_1/temp1", 41.0},
      {"SSD drivetemp/temp1", 33.0},
  };
  EXPECT_EQ(Collect(dir.path()), expected);
  const std::vector<Reading> readings = {
      {"CPU / SoC (avg)", 52.75}, {"CPU / SoC (peak)", 58.0}, {"SSD", (38.85 + 33.0) / 2}};
  EXPECT_EQ(Read(dir.path()), readings);
}

TEST(LinuxTempSourceTest, AmdLaptopWithTctlOnly) {
  TempDir dir;
  BuildAmdLaptop(FakeSysfs(dir.path()), /*with_tdie=*/false, /*battery_temp=*/true);
  const Pairs expected = {
      // The game pad's battery (scope Device) is not the machine's; BAT0's twin (hwmon1) is
      // skipped because the supply itself is read.
      {"battery BAT0", 31.2},
      {"other acpitz/temp1", 45.0},
      {"other thinkpad/temp1", 45.0},
      {"other thinkpad/temp2", 40.0},
      {"other thinkpad/temp3", -128.0},
      {"other thinkpad/temp4", 38.0},
      {"SSD nvme/Composite", 36.85},
      {"other nvme/Sensor 1", 36.85},
      {"other nvme/Sensor 2", 41.85},
      {"other amdgpu/temp1", 44.0},  // labels of unmapped chips are not read
      {"tdie k10temp/Tctl", 46.625},
  };
  EXPECT_EQ(Collect(dir.path()), expected);
  const std::vector<Reading> readings = {
      {"CPU / SoC (avg)", 46.625}, {"CPU / SoC (peak)", 46.625}, {"SSD", 36.85}, {"Battery", 31.2}};
  EXPECT_EQ(Read(dir.path()), readings);
}

TEST(LinuxTempSourceTest, AmdLaptopWithTdieLeavesTctlOut) {
  TempDir dir;
  BuildAmdLaptop(FakeSysfs(dir.path()), /*with_tdie=*/true, /*battery_temp=*/false);
  const Pairs got = Collect(dir.path());
  const Pairs cpu(got.end() - 4, got.end());
  const Pairs expected = {
      {"other k10temp/Tctl", 66.625},
      {"tdie k10temp/Tdie", 46.625},
      {"tdie k10temp/Tccd1", 44.25},
      {"tdie k10temp/Tccd2", 48.5},
  };
  EXPECT_EQ(cpu, expected);
  for (const auto& [name, celsius] : got) EXPECT_EQ(name.find("battery"), std::string::npos);
  const std::vector<Reading> readings = {
      {"CPU / SoC (avg)", (46.625 + 44.25 + 48.5) / 3}, {"CPU / SoC (peak)", 48.5}, {"SSD", 36.85}};
  EXPECT_EQ(Read(dir.path()), readings);
}

// Without a temperature on the supply there is no battery reading, and no twin to skip.
TEST(LinuxTempSourceTest, BatteryWithoutTemperature) {
  TempDir dir;
  BuildAmdLaptop(FakeSysfs(dir.path()), false, /*battery_temp=*/false);
  const std::vector<Reading> readings = {
      {"CPU / SoC (avg)", 46.625}, {"CPU / SoC (peak)", 46.625}, {"SSD", 36.85}};
  EXPECT_EQ(Read(dir.path()), readings);
}

TEST(LinuxTempSourceTest, CpuDriversAndTheirLabels) {
  struct Case {
    const char* what;
    const char* chip;
    std::vector<std::pair<int, const char*>> sensors;  // index and label (null: none)
    std::vector<std::string> names;                    // expected names, in index order
  };
  const Case cases[] = {
      {"coretemp without core sensors counts the package",
       "coretemp",
       {{1, "Package id 0"}},
       {"tdie coretemp/Package id 0"}},
      {"coretemp of old kernels says Physical id",
       "coretemp",
       {{1, "Physical id 0"}, {2, "Core 0"}},
       {"other coretemp/Physical id 0", "tdie coretemp/Core 0"}},
      {"coretemp with sparse core numbers",
       "coretemp",
       {{1, "Package id 1"}, {10, "Core 8"}, {18, "Core 16"}},
       {"other coretemp/Package id 1", "tdie coretemp/Core 8", "tdie coretemp/Core 16"}},
      {"coretemp without labels goes by index",
       "coretemp",
       {{1, nullptr}, {2, nullptr}},
       {"other coretemp/temp1", "tdie coretemp/temp2"}},
      {"zenpower puts Tdie first",
       "zenpower",
       {{1, "Tdie"}, {2, "Tctl"}, {3, "Tccd1"}},
       {"tdie zenpower/Tdie", "other zenpower/Tctl", "tdie zenpower/Tccd1"}},
      {"k10temp before Zen has one unlabelled sensor",
       "k10temp",
       {{1, nullptr}},
       {"tdie k10temp/temp1"}},
      {"k10temp with CCDs but no Tdie counts Tctl",
       "k10temp",
       {{1, "Tctl"}, {3, "Tccd1"}, {4, "Tccd2"}},
       {"tdie k10temp/Tctl", "tdie k10temp/Tccd1", "tdie k10temp/Tccd2"}},
      {"Raspberry Pi thermal zone", "cpu_thermal", {{1, nullptr}}, {"tdie cpu_thermal/temp1"}},
      {"Allwinner thermal zone", "cpu0_thermal", {{1, nullptr}}, {"tdie cpu0_thermal/temp1"}},
      {"RK3588 big cores",
       "bigcore0_thermal",
       {{1, nullptr}, {2, nullptr}},
       {"tdie bigcore0_thermal/temp1", "tdie bigcore0_thermal/temp2"}},
      {"Rockchip SoC zone", "soc_thermal", {{1, nullptr}}, {"tdie soc_thermal/temp1"}},
      {"GPU zone is not the CPU", "gpu_thermal", {{1, nullptr}}, {"other gpu_thermal/temp1"}},
      {"nvme without labels: temp1 is the composite",
       "nvme",
       {{1, nullptr}, {2, nullptr}},
       {"SSD nvme/temp1", "other nvme/temp2"}},
      {"labels of unknown chips are not read",
       "it8688",
       {{1, "CPU"}, {2, "Tdie"}},
       {"other it8688/temp1", "other it8688/temp2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    FakeSysfs sys(dir.path());
    const std::string chip = sys.AddChip(0, "devices/platform/x", c.chip);
    int milli = 40000;
    for (const auto& [index, label] : c.sensors) {
      FakeSysfs::AddTemp(chip, index, std::to_string(milli += 1000) + "\n", label);
    }
    std::vector<std::string> names;
    for (const auto& pair : Collect(dir.path())) names.push_back(pair.first);
    EXPECT_EQ(names, c.names);
  }
}

TEST(LinuxTempSourceTest, OldStyleChipsKeepAttributesInDevice) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  // Kernels before 3.x kept coretemp's attributes in the platform device folder; applesmc
  // (Intel Macs) still does.
  std::string chip = sys.AddOldStyleChip(0, "devices/platform/applesmc.768", "applesmc");
  FakeSysfs::AddTemp(chip, 1, "45250\n", "TC0P");
  FakeSysfs::AddTemp(chip, 2, "39000\n", "TB0T");
  chip = sys.AddOldStyleChip(1, "devices/platform/coretemp.0", "coretemp");
  FakeSysfs::AddTemp(chip, 1, "61000\n", "Core 0");
  FakeSysfs::AddTemp(chip, 2, "63000\n", "Core 1");
  const Pairs expected = {
      {"other applesmc/temp1", 45.25},
      {"other applesmc/temp2", 39.0},
      {"tdie coretemp/Core 0", 61.0},
      {"tdie coretemp/Core 1", 63.0},
  };
  EXPECT_EQ(Collect(dir.path()), expected);
}

TEST(LinuxTempSourceTest, AppleSiliconSmc) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  const std::string smc = "devices/platform/soc@200000000/23e400000.smc";
  const std::string chip = sys.AddChip(0, smc + "/macsmc-hwmon", "macsmc_hwmon");
  FakeSysfs::AddTemp(chip, 1, "35500\n", "NAND Flash Temperature");
  FakeSysfs::AddTemp(chip, 2, "30250\n", "Battery Hotspot Temperature");
  FakeSysfs::AddTemp(chip, 3, "38000\n", "Charge Regulator Temperature");
  FakeSysfs::AddTemp(chip, 4, "40000\n", "WiFi/BT Module Temperature");
  FakeSysfs::AddTemp(chip, 5, "52000\n", "CPU Core 1 Temperature");
  FakeSysfs::AddTemp(chip, 6, "48000\n", "SoC Die Temperature");
  FakeSysfs::AddTemp(chip, 7, "47000\n");  // a key without a label in the device tree
  FakeSysfs::WriteFile(chip + "/power1_input", "5800000\n");
  // The SMC battery's supply is "macsmc-battery"; its hwmon twin is "macsmc_battery".
  const std::string battery =
      sys.AddSupply(smc + "/macsmc-power", "macsmc-battery", "Battery", "302");
  sys.AddSupplyTwin(1, battery, "macsmc-battery", "30200");
  const Pairs expected = {
      {"battery macsmc-battery", 30.2},
      {"SSD macsmc_hwmon/NAND Flash Temperature", 35.5},
      {"battery macsmc_hwmon/Battery Hotspot Temperature", 30.25},
      {"other macsmc_hwmon/Charge Regulator Temperature", 38.0},
      {"other macsmc_hwmon/WiFi/BT Module Temperature", 40.0},
      {"tdie macsmc_hwmon/CPU Core 1 Temperature", 52.0},
      {"tdie macsmc_hwmon/SoC Die Temperature", 48.0},
      {"other macsmc_hwmon/temp7", 47.0},
  };
  EXPECT_EQ(Collect(dir.path()), expected);
  const std::vector<Reading> readings = {{"CPU / SoC (avg)", 50.0},
                                         {"CPU / SoC (peak)", 52.0},
                                         {"SSD", 35.5},
                                         {"Battery", (30.2 + 30.25) / 2}};
  EXPECT_EQ(Read(dir.path()), readings);
}

TEST(LinuxTempSourceTest, BatteryTwinsAndSupplies) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  // A supply named "battery" (common on ARM boards): its twin is named "battery" too.
  const std::string battery =
      sys.AddSupply("devices/platform/battery", "battery", "Battery", "285");
  sys.AddSupplyTwin(3, battery, "battery", "28500");
  // A chip that only shares a supply's name is not its twin; its name still matches nothing.
  const std::string bat1 = sys.AddSupply("devices/platform/bat1", "BAT1", "Battery", "300");
  const std::string impostor = sys.AddChip(4, "devices/platform/other", "BAT1");
  FakeSysfs::AddTemp(impostor, 1, "77000\n", "temp");
  // A charger with a temperature is not a battery.
  sys.AddSupply("devices/platform/charger", "bq25890-charger-0", "USB", "410");
  // Unreadable or strange supply files.
  sys.AddSupply("devices/platform/b2", "BAT2", "Battery", "hot");
  sys.AddSupply("devices/platform/b3", "BAT3", "Battery", "99999999");
  const std::string untyped = sys.AddSupply("devices/platform/b4", "BAT4", "Battery", "250");
  fs::remove(untyped + "/type");
  const std::string system_scope = sys.AddSupply("devices/platform/b5", "BAT5", "Battery", "-50");
  FakeSysfs::WriteFile(system_scope + "/scope", "System\n");
  const Pairs expected = {
      {"battery BAT1", 30.0},
      {"battery BAT5", -5.0},
      {"battery battery", 28.5},
      {"other BAT1/temp1", 77.0},
  };
  EXPECT_EQ(Collect(dir.path()), expected);
}

// Makes the file at `path` fail to read in a given way.
enum class Breakage {
  kNone,
  kMissing,
  kDirectory,
  kSocket,
  kFifoNoWriter,
  kFifoEmpty,
  kIoError,
  kDanglingLink
};

// Holds what keeps a broken file broken (a listening socket, a FIFO's writer).
struct Broken {
  int fd = -1;
  ~Broken() {
    if (fd >= 0) close(fd);
  }
};

void Break(const std::string& path, Breakage how, Broken* keep) {
  if (how == Breakage::kNone) return;
  fs::remove(path);
  switch (how) {
    case Breakage::kNone:
    case Breakage::kMissing:
      break;
    case Breakage::kDirectory:  // EISDIR
      fs::create_directory(path);
      break;
    case Breakage::kSocket: {  // open() of a socket file fails with ENXIO
      keep->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr = {};
      addr.sun_family = AF_UNIX;
      ASSERT_LT(path.size(), sizeof addr.sun_path);
      std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
      ASSERT_EQ(bind(keep->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
      break;
    }
    case Breakage::kFifoNoWriter:  // reads 0 bytes at once
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      break;
    case Breakage::kFifoEmpty:  // a writer that never writes: read() fails with EAGAIN
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      keep->fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
      ASSERT_GE(keep->fd, 0);
      break;
    case Breakage::kIoError:  // reading our own memory at address 0 fails with EIO
      fs::create_symlink("/proc/self/mem", path);
      break;
    case Breakage::kDanglingLink:
      fs::create_symlink(path + ".gone", path);
      break;
  }
}

TEST(LinuxTempSourceTest, BrokenValuesSkipOnlyTheirSensor) {
  struct Case {
    const char* what;
    std::string contents;
    Breakage breakage;
  };
  const Breakage kFile = Breakage::kNone;  // a regular file with the contents
  const Case cases[] = {
      {"empty file", "", kFile},
      {"only a line end", "\n", kFile},
      {"not a number", "N/A\n", kFile},
      {"a fraction", "45.5\n", kFile},
      {"trailing junk", "45000x\n", kFile},
      {"hexadecimal", "0xAFC8\n", kFile},
      {"binary", std::string("\x00\xFF\x01", 3), kFile},
      {"embedded zero",
       std::string("45\x00"
                   "000\n",
                   7),
       kFile},
      {"too hot", "1000001\n", kFile},
      {"colder than absolute zero", "-273151\n", kFile},
      {"beyond 64 bits", "99999999999999999999\n", kFile},
      {"longer than any value", std::string(40, '1'), kFile},
      {"missing", "", Breakage::kMissing},
      {"a folder (EISDIR)", "", Breakage::kDirectory},
      {"a socket (ENXIO)", "", Breakage::kSocket},
      {"a FIFO without writer (0 bytes)", "", Breakage::kFifoNoWriter},
      {"a FIFO without data (EAGAIN)", "", Breakage::kFifoEmpty},
      {"an I/O error (EIO)", "", Breakage::kIoError},
      {"a dangling link (ENOENT)", "", Breakage::kDanglingLink},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    FakeSysfs sys(dir.path());
    const std::string chip = sys.AddChip(0, "devices/platform/coretemp.0", "coretemp");
    FakeSysfs::AddTemp(chip, 2, "50000\n", "Core 0");
    FakeSysfs::AddTemp(chip, 3, c.contents, "Core 1");
    FakeSysfs::AddTemp(chip, 4, "60000\n", "Core 2");
    Broken keep;
    Break(chip + "/temp3_input", c.breakage, &keep);
    const Pairs expected = {{"tdie coretemp/Core 0", 50.0}, {"tdie coretemp/Core 2", 60.0}};
    EXPECT_EQ(Collect(dir.path()), expected);
  }
}

TEST(LinuxTempSourceTest, BrokenChipsAndLabels) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  // Labels that cannot be read: coretemp falls back to its index rule.
  std::string chip = sys.AddChip(0, "devices/platform/coretemp.0", "coretemp");
  FakeSysfs::AddTemp(chip, 1, "70000\n", "Package id 0");
  FakeSysfs::AddTemp(chip, 2, "50000\n", "Core 0");
  Broken keep;
  Break(chip + "/temp1_label", Breakage::kDirectory, &keep);
  Break(chip + "/temp2_label", Breakage::kIoError, &keep);
  // A chip without a name, one whose name is garbage, one whose folder has gone.
  chip = sys.AddChip(1, "devices/platform/a", "");
  fs::remove(chip + "/name");
  FakeSysfs::AddTemp(chip, 1, "41000\n");
  chip = sys.AddChip(2, "devices/platform/b", std::string("\xFF\xFE", 2));
  FakeSysfs::AddTemp(chip, 1, "42000\n");
  chip = sys.AddChip(3, "devices/platform/c", "drivetemp");
  fs::remove_all(chip);
  // Entries that only look like inputs.
  chip = sys.AddChip(4, "devices/platform/d", "drivetemp");
  for (const char* name : {"temp0_input", "temp01_input", "temp_input", "temp1_inputs",
                           "temp1_input~", "xtemp1_input", "temp999999_input"}) {
    FakeSysfs::WriteFile(chip + "/" + name, "30000\n");
  }
  const Pairs expected = {
      {"other coretemp/temp1", 70.0},
      {"tdie coretemp/temp2", 50.0},
      {"other /temp1", 41.0},
      {"other \xFF\xFE/temp1", 42.0},
  };
  EXPECT_EQ(Collect(dir.path()), expected);

  // No class folders at all, or files where they should be.
  TempDir empty;
  EXPECT_TRUE(Collect(empty.path()).empty());
  EXPECT_TRUE(Collect(empty.path() + "/nowhere").empty());
  empty.Write("class/hwmon", "not a folder");
  empty.Write("class/power_supply", "not a folder");
  EXPECT_TRUE(Collect(empty.path()).empty());
}

// A name never carries a word that would put it into another group than its tag's.
TEST(LinuxTempSourceTest, NamesMatchOnlyTheirOwnGroup) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  sys.AddSupply("devices/platform/b", "ssd-dock-battery", "Battery", "300");
  std::string chip = sys.AddChip(0, "devices/platform/a", "ssd_tdie_battery");
  FakeSysfs::AddTemp(chip, 1, "50000\n");
  chip = sys.AddChip(1, "devices/platform/b", "nvme");
  FakeSysfs::AddTemp(chip, 1, "51000\n", "Composite");
  FakeSysfs::AddTemp(chip, 2, "52000\n", "Tdie NAND battery");
  chip = sys.AddChip(2, "devices/platform/c", "coretemp");
  FakeSysfs::AddTemp(chip, 2, "53000\n", "Core 0 SSD battery");
  chip = sys.AddChip(3, "devices/platform/d", "macsmc_hwmon");
  FakeSysfs::AddTemp(chip, 1, "54000\n", "NAND near Tdie");
  FakeSysfs::AddTemp(chip, 2, "55000\n", "Battery near Tdie");
  const Pairs expected = {
      {"battery", 30.0},
      {"other", 50.0},
      {"SSD nvme/Composite", 51.0},
      {"other", 52.0},
      {"tdie coretemp/Core 0 SSD battery", 53.0},
      {"SSD", 54.0},
      {"battery", 55.0},
  };
  EXPECT_EQ(Collect(dir.path()), expected);
}

TEST(LinuxTempSourceTest, ChipsThatAppearAndVanishBetweenCalls) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  std::string chip = sys.AddChip(2, "devices/platform/coretemp.0", "coretemp");
  FakeSysfs::AddTemp(chip, 2, "50000\n", "Core 0");
  EXPECT_EQ(Collect(dir.path()), (Pairs{{"tdie coretemp/Core 0", 50.0}}));

  // A drive is plugged in as hwmon10: it sorts after hwmon2.
  chip = sys.AddChip(10, "devices/pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0", "nvme");
  FakeSysfs::AddTemp(chip, 1, "40000\n", "Composite");
  // The value changed since the last call: nothing is remembered.
  FakeSysfs::AddTemp(dir.path() + "/devices/platform/coretemp.0/hwmon/hwmon2", 2, "51000\n",
                     "Core 0");
  EXPECT_EQ(Collect(dir.path()),
            (Pairs{{"tdie coretemp/Core 0", 51.0}, {"SSD nvme/Composite", 40.0}}));

  // The CPU chip's module is unloaded.
  fs::remove(dir.path() + "/class/hwmon/hwmon2");
  fs::remove_all(dir.path() + "/devices/platform/coretemp.0");
  EXPECT_EQ(Collect(dir.path()), (Pairs{{"SSD nvme/Composite", 40.0}}));
}

// A chip with more inputs than the source reads keeps its lowest indices.
TEST(LinuxTempSourceTest, HugeChipKeepsItsFirstSensors) {
  TempDir dir;
  FakeSysfs sys(dir.path());
  const std::string chip = sys.AddChip(0, "devices/platform/x", "drivetemp");
  for (int i = 300; i >= 1; --i) FakeSysfs::AddTemp(chip, i, std::to_string(i * 100) + "\n");
  const Pairs got = Collect(dir.path());
  ASSERT_EQ(got.size(), 256u);
  EXPECT_EQ(got.front(), (std::pair<std::string, double>{"SSD drivetemp/temp1", 0.1}));
  EXPECT_EQ(got.back(), (std::pair<std::string, double>{"SSD drivetemp/temp256", 25.6}));
}

}  // namespace
}  // namespace ostrel
