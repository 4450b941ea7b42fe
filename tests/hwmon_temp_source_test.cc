// The sysfs temperature source over fixture trees modeled on real machines and broken files,
// through the reader into the served document, and from many threads at once.
#include "platform/linux/hwmon_temp_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sensors/temps.h"
#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/temp_fixtures.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::Chip;
using testing::Concat;
using testing::FixtureTree;
using testing::TempDir;
using testing::WriteTree;

// Every name the source hands out, joined by "|".
std::string Names(const std::string& root) {
  std::string names;
  HwmonTempSource(root).ForEachSensor(
      [&](const char* name, double) { names += (names.empty() ? "" : "|") + std::string(name); });
  return names;
}

// The readings as "label celsius" (6 significant digits) joined by "|".
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

TEST(HwmonTempSourceTest, Machines) {
  const struct {
    const char* what;
    FixtureTree tree;
    const char* readings;
  } cases[] = {
      {"Intel desktop: the cores, not the package; nvme Composite and drivetemp",
       testing::IntelDesktop(), "CPU / SoC (avg) 52.75|CPU / SoC (peak) 58|SSD 35.925"},
      {"AMD laptop, Tctl only, battery with a temperature", testing::AmdLaptop(false, true),
       "CPU / SoC (avg) 46.625|CPU / SoC (peak) 46.625|SSD 36.85|Battery 31.2"},
      {"AMD laptop with Tdie: Tctl is left out; battery without a temperature",
       testing::AmdLaptop(true, false), "CPU / SoC (avg) 46.4583|CPU / SoC (peak) 48.5|SSD 36.85"},
      {"old-style drivers keep their attributes in device/",
       Concat({Chip("hwmon0/device", "applesmc", {{"TC0P", 45250}}),
               Chip("hwmon1/device", "coretemp", {{"Core 0", 61000}, {"Core 1", 63000}})}),
       "CPU / SoC (avg) 62|CPU / SoC (peak) 63"},
      {"Apple silicon: macsmc_hwmon labels; the SMC battery and its twin count once",
       Concat({Chip("hwmon0", "macsmc_hwmon",
                    {{"NAND Flash Temperature", 35500},
                     {"Battery Hotspot Temperature", 30250},
                     {"WiFi/BT Module Temperature", 40000},
                     {"CPU Core 1 Temperature", 52000},
                     {"SoC Die Temperature", 48000},
                     {nullptr, 47000}}),
               Chip("hwmon1", "macsmc_battery", {{"temp", 30200}}),
               {{"class/hwmon/hwmon1/device", "->class/power_supply/macsmc-battery"},
                {"class/power_supply/macsmc-battery/type", "Battery\n"},
                {"class/power_supply/macsmc-battery/temp", "302\n"}}}),
       "CPU / SoC (avg) 50|CPU / SoC (peak) 52|SSD 35.5|Battery 30.225"},
      {"names never carry another group's word; chargers are not batteries",
       Concat({Chip("hwmon0", "ssd_tdie_battery", {{nullptr, 50000}}),
               Chip("hwmon1", "nvme", {{"Composite", 51000}, {"Tdie NAND battery", 52000}}),
               Chip("hwmon2", "coretemp", {{"Package id 0", 90000}, {"Core 0 SSD", 53000}}),
               Chip("hwmon3", "macsmc_hwmon", {{"NAND near Tdie", 54000}}),
               {{"class/power_supply/ssd-dock-battery/type", "Battery\n"},
                {"class/power_supply/ssd-dock-battery/temp", "300\n"},
                {"class/power_supply/bq25890-charger/type", "USB\n"},
                {"class/power_supply/bq25890-charger/temp", "410\n"}}}),
       "CPU / SoC (avg) 53|CPU / SoC (peak) 53|SSD 52.5|Battery 30"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteTree(dir.path(), c.tree);
    EXPECT_EQ(Read(dir.path()), c.readings);
  }
}

// Only what counts of the AMD laptop is visited: the game pad's battery (scope Device) is not
// the machine's, BAT0's hwmon twin is not read beside the supply, chips that can't count
// (acpitz, thinkpad, amdgpu), the nvme raw sensors and Tctl beside Tdie are left out.
TEST(HwmonTempSourceTest, AmdLaptopNames) {
  TempDir dir;
  WriteTree(dir.path(), testing::AmdLaptop(true, true));
  EXPECT_EQ(Names(dir.path()),
            "battery BAT0|SSD nvme/Composite|tdie k10temp/Tdie|tdie k10temp/Tccd1|"
            "tdie k10temp/Tccd2");
}

TEST(HwmonTempSourceTest, DriversAndTheirLabels) {
  const struct {
    const char* chip;
    std::vector<const char*> labels;  // of temp1, temp2, ...; nullptr: no label
    const char* names;                // the sensors that count, as visited
  } cases[] = {
      {"coretemp", {"Package id 0"}, "tdie coretemp/Package id 0"},  // no cores: the package
      {"coretemp", {"Physical id 0", "Core 0"}, "tdie coretemp/Core 0"},
      {"coretemp", {nullptr, nullptr}, "tdie coretemp/temp2"},  // temp1 is the package
      {"zenpower", {"Tdie", "Tctl", "Tccd1"}, "tdie zenpower/Tdie|tdie zenpower/Tccd1"},
      {"k10temp", {nullptr}, "tdie k10temp/temp1"},  // before Zen: one unlabelled sensor
      {"k10temp", {"Tctl", "Tccd1"}, "tdie k10temp/Tctl|tdie k10temp/Tccd1"},
      {"cpu_thermal", {nullptr}, "tdie cpu_thermal/temp1"},
      {"bigcore0_thermal",
       {nullptr, nullptr},
       "tdie bigcore0_thermal/temp1|tdie bigcore0_thermal/temp2"},
      {"soc_thermal", {nullptr}, "tdie soc_thermal/temp1"},
      {"gpu_thermal", {nullptr}, ""},
      {"nvme", {nullptr, "Composite"}, "SSD nvme/Composite"},  // always temp1, label unread
      {"drivetemp", {nullptr}, "SSD drivetemp/temp1"},
      {"it8688", {"CPU", "Tdie"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    std::vector<testing::FixtureTemp> temps;
    for (const char* label : c.labels) temps.push_back({label, 40000});
    TempDir dir;
    WriteTree(dir.path(), Chip("hwmon0", c.chip, temps));
    EXPECT_EQ(Names(dir.path()), c.names);
  }
}

TEST(HwmonTempSourceTest, BrokenValuesSkipOnlyTheirSensor) {
  enum How { kContents, kMissing, kFolder, kFifo, kFifoWithWriter };
  const struct {
    const char* what;
    std::string contents;
    How how;
  } cases[] = {
      {"empty", "", kContents},
      {"garbage", "N/A\n", kContents},
      {"too hot", "1000001\n", kContents},
      {"below absolute zero", "-273151\n", kContents},
      {"longer than any value", std::string(40, '1'), kContents},
      {"missing", "", kMissing},
      {"unreadable (a folder)", "", kFolder},
      {"FIFO without a writer", "", kFifo},
      {"FIFO that never gets data", "", kFifoWithWriter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteTree(dir.path(),
              Chip("hwmon0", "coretemp", {{"Core 0", 50000}, {"Core 1", 0}, {"Core 2", 60000}}));
    const std::string broken = dir.path() + "/class/hwmon/hwmon0/temp2_input";
    fs::remove(broken);
    int writer = -1;
    if (c.how == kContents) dir.Write("class/hwmon/hwmon0/temp2_input", c.contents);
    if (c.how == kFolder) fs::create_directory(broken);
    if (c.how == kFifo || c.how == kFifoWithWriter) {
      ASSERT_EQ(mkfifo(broken.c_str(), 0600), 0);
    }
    if (c.how == kFifoWithWriter) writer = open(broken.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    EXPECT_EQ(Names(dir.path()), "tdie coretemp/Core 0|tdie coretemp/Core 2");
    if (writer >= 0) close(writer);
  }
}

TEST(HwmonTempSourceTest, BrokenChipsAndFolders) {
  TempDir dir;
  WriteTree(dir.path(), Concat({Chip("hwmon0", "coretemp", {{"Package id 0", 70000}}),
                                Chip("hwmon1", "drivetemp", {}),
                                {{"class/hwmon/hwmon2/temp1_input", "41000\n"},  // no name
                                 {"class/hwmon/hwmon3", "->gone"}}}));
  fs::remove(dir.path() + "/class/hwmon/hwmon0/temp1_label");
  fs::create_directory(dir.path() + "/class/hwmon/hwmon0/temp1_label");  // unreadable label
  for (const char* name : {"temp0_input", "temp01_input", "temp_input", "temp1_inputs",
                           "xtemp1_input", "temp999999_input"}) {
    dir.Write("class/hwmon/hwmon1/" + std::string(name), "30000\n");
  }
  // An unreadable label leaves coretemp's index rule: temp1 is the package, counted without cores.
  EXPECT_EQ(Names(dir.path()), "tdie coretemp/temp1");

  TempDir empty;
  EXPECT_EQ(Names(empty.path()), "");
  EXPECT_EQ(Names(empty.path() + "/nowhere"), "");
  empty.Write("class/hwmon", "not a folder");
  empty.Write("class/power_supply", "not a folder");
  EXPECT_EQ(Names(empty.path()), "");
}

TEST(HwmonTempSourceTest, HugeChipKeepsItsLowestIndices) {
  std::vector<testing::FixtureTemp> temps(300, {nullptr, 40000});
  TempDir dir;
  WriteTree(dir.path(), Chip("hwmon0", "drivetemp", temps));
  const std::string names = Names(dir.path());
  EXPECT_EQ(std::count(names.begin(), names.end(), '|'), 255);
  EXPECT_TRUE(names.ends_with("|SSD drivetemp/temp256")) << names;
}

TEST(TempsEndToEndTest, ServedDocumentCarriesTheFilesValues) {
  const struct {
    FixtureTree tree;
    const char* temperatures;
  } cases[] = {
      {testing::IntelDesktop(),
       R"J([{"label":"CPU / SoC (avg)","celsius":52.75},{"label":"CPU / SoC (peak)","celsius":58.0},
           {"label":"SSD","celsius":35.925}])J"},
      {testing::AmdLaptop(false, true),
       R"J([{"label":"CPU / SoC (avg)","celsius":46.625},
           {"label":"CPU / SoC (peak)","celsius":46.625},
           {"label":"SSD","celsius":36.85},{"label":"Battery","celsius":31.2}])J"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    WriteTree(dir.path(), c.tree);
    SensorServer::Readers readers;
    readers.temps = [root = dir.path()](OstrelTemp* out, int32_t capacity) {
      HwmonTempSource source(root);
      return ReadTemps(source, out, capacity);
    };
    readers.fans = [](OstrelFan*, int32_t) { return 0; };
    readers.power = [](double*, double*, double*, double*) { return -1; };
    testing::FakeLoginItem login;
    SensorServer server(login, 0, readers);
    server.start();
    const std::string body =
        testing::BodyOf(testing::Exchange(server.boundPort(), "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(nlohmann::json::parse(body)["temperatures"], nlohmann::json::parse(c.temperatures));
  }
}

// Sixteen threads read one machine while a drive comes and goes: each sees it whole, with or
// without the drive. The product's entry point over this machine's /sys runs alongside.
TEST(TempsConcurrencyTest, SixteenReadersWhileADriveComesAndGoes) {
  TempDir dir;
  WriteTree(dir.path(), testing::IntelDesktop());
  const std::string link = dir.path() + "/class/hwmon/hwmon6", parked = dir.path() + "/parked";
  const std::string with = Read(dir.path());
  fs::rename(link, parked);
  const std::string without = Read(dir.path());
  ASSERT_NE(with, without);
  OstrelTemp own[16];
  const int32_t own_count = ostrel_read_temps(own, 16);

  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::thread toggler([&] {
    for (bool present = false; !done.load(); present = !present) {
      fs::rename(present ? link : parked, present ? parked : link);
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 16; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        const std::string got = Read(dir.path());
        if (got != with && got != without) ++mismatches;
        OstrelTemp mine[16];
        if (ostrel_read_temps(mine, 16) != own_count) ++mismatches;
      }
    });
  }
  for (std::thread& t : readers) t.join();
  done = true;
  toggler.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace ostrel
