// One machine shown both ways, as a Linux sysfs tree and through the macOS fakes, and the records
// the three readers make of it: the same through either system's layer.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/rapl_energy_source.h"
#include "platform/macos/apple_smc_transport.h"
#include "platform/macos/hid_temp_source.h"
#include "platform/macos/ioreport_energy_source.h"
#include "platform/macos/mac_process_resources.h"
#include "platform/process_resources.h"
#include "sensors/fans.h"
#include "sensors/power.h"
#include "sensors/temps.h"
#include "tests/macos/fake_mac.h"
#include "tests/test_util.h"

namespace ostrel::macos {
namespace {

using ostrel::testing::ReadWholeFile;
using testing::FakeMac;

std::string Temps(TempSource& source) {
  OstrelTemp out[16];
  std::string text;
  for (int32_t i = 0, n = ReadTemps(source, out, 16); i < n; ++i) {
    char reading[96];
    snprintf(reading, sizeof reading, "%s%.63s %g", i ? "|" : "", out[i].label, out[i].celsius);
    text += reading;
  }
  return text;
}

std::string Fans(SmcTransport& smc) {
  OstrelFan out[8];
  std::string text;
  for (int32_t i = 0, n = ReadFans(smc, out, 8); i < n; ++i) {
    char fan[96];
    snprintf(fan, sizeof fan, "%s%d %g/%g/%g", i ? "|" : "", out[i].index, out[i].rpm,
             out[i].minRPM, out[i].maxRPM);
    text += fan;
  }
  return text;
}

// Two power readings over `source`, `between` run between them: the second, or "none".
std::string Power(EnergySource& source, const std::function<void()>& between) {
  ResetPowerReaderForTesting(&source);
  double cpu, gpu, ane, soc;
  ostrel_read_power(&cpu, &gpu, &ane, &soc);
  between();
  const int32_t status = ostrel_read_power(&cpu, &gpu, &ane, &soc);
  ResetPowerReaderForTesting(nullptr);
  char text[96];
  snprintf(text, sizeof text, "%g %g %g %g", cpu, gpu, ane, soc);
  return status == 0 ? text : "none";
}

// The RAPL counters with the test's clock (the source's own is the system's).
struct RaplAt : RaplEnergySource {
  using RaplEnergySource::RaplEnergySource;
  double Now() override {
    const double now = clock.front();
    clock.pop_front();
    return now;
  }
  std::deque<double> clock = {100, 102};
};

// A RAPL zone as fixture tree lines: name, energy_uj, max_energy_range_uj.
std::string Zone(const std::string& entry, const std::string& name, const std::string& energy) {
  const std::string dir = "class/powercap/" + entry + "/";
  return dir + "name=" + name + "\n" + dir + "energy_uj=" + energy + "\n" + dir +
         "max_energy_range_uj=262143328850\n";
}

TEST(MacLinuxParityTest, TheSameMachineGivesTheSameRecords) {
  // The same temperatures, fans and energy on macOS: sensors named as the HID services name
  // them, the fan keys of the SMC, the energy channels of IOReport.
  auto die = [](FakeMac& f, std::initializer_list<double> values) {
    for (double celsius : values) f.hid.push_back({"PMU tdie", celsius});
  };
  const struct {
    const char* what;
    std::string linux, linux_later;     // sysfs at the first reading; what the second changes
    std::function<void(FakeMac&)> mac;  // the same machine through the macOS fakes
    const char *temps, *fans, *power;
  } machines[] = {
      {"Intel desktop; CPU and GPU energy",
       ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/intel_desktop.tree") +
           Zone("intel-rapl:0", "package-0", "5000000") +
           Zone("intel-rapl:0:0", "core", "1000000") + Zone("intel-rapl:0:1", "uncore", "500000"),
       Zone("intel-rapl:0:0", "core", "8000000") + Zone("intel-rapl:0:1", "uncore", "1500000"),
       [&](FakeMac& f) {
         f.hid = {{"PMU tcal", 27.8}, {"NAND CH0 temp", 38.85}};
         die(f, {52, 55, 51, 58, 50, 53, 54, 49});
         f.hid.push_back({"SSD", 33});
         f.smc.keys["FNum"] = {kSmcTypeUi8, 1};
         f.smc.keys["F0Ac"] = {kSmcTypeFpe2, 1054};
         f.channels = {{"CPU Energy", "mJ", 7000}, {"GPU Energy", "nJ", 1000000000}};
       },
       "CPU / SoC (avg) 52.75|CPU / SoC (peak) 58|SSD 35.925", "0 1054/0/0", "3.5 0.5 0 4"},
      {"AMD laptop with Tdie; a fan with a minimum; package energy only",
       ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/amd_laptop.tree") +
           "class/hwmon/hwmon2/fan1_min=1200\n" + Zone("intel-rapl:0", "package-0", "0"),
       Zone("intel-rapl:0", "package-0", "10000000"),
       [&](FakeMac& f) {
         f.hid = {{"gas gauge battery", 31.2}, {"NAND CH0", 36.85}, {"PMU tcal", 66.625}};
         die(f, {46.625, 44.25, 48.5});
         f.smc.keys["FNum"] = {kSmcTypeUi16, 1};
         f.smc.keys["F0Ac"] = {kSmcTypeFlt, 2370};
         f.smc.keys["F0Mn"] = {kSmcTypeUi16, 1200};
         f.channels = {{"CPU Energy", std::nullopt, 10000}, {"ANE", "mJ", 0}};
       },
       "CPU / SoC (avg) 46.4583|CPU / SoC (peak) 48.5|SSD 36.85|Battery 31.2", "0 2370/1200/0",
       "5 0 0 5"},
      {"nothing to read", "", "", [](FakeMac& f) { f.smc.has_service = false, f.group = false; },
       "", "", "none"},
  };
  for (const auto& m : machines) {
    SCOPED_TRACE(m.what);
    ostrel::testing::TempDir dir;
    ostrel::testing::WriteTree(dir.path(), m.linux);
    HwmonTempSource hwmon(dir.path());
    HwmonSmcTransport hwmon_smc(dir.path());
    RaplAt rapl(dir.path(), dir.path() + "/proc");  // no cpuinfo there: vendor unknown
    EXPECT_EQ(Temps(hwmon), m.temps);
    EXPECT_EQ(Fans(hwmon_smc), m.fans);
    EXPECT_EQ(Power(rapl, [&] { ostrel::testing::WriteTree(dir.path(), m.linux_later); }), m.power);

    FakeMac fake;
    fake.clock = {100, 102};
    m.mac(fake);
    MacLibraries libraries(fake);
    HidTempSource hid(libraries);
    AppleSmcTransport smc(libraries);
    IOReportEnergySource io_report(libraries);
    EXPECT_EQ(Temps(hid), m.temps);
    EXPECT_EQ(Fans(smc), m.fans);
    EXPECT_EQ(Power(io_report, [] {}), m.power);
  }
}

// /dev/fd and /proc/self/fd list the same descriptors.
TEST(MacLinuxParityTest, TheSameDescriptorsAreFree) {
  const int64_t free_count = FreeDescriptorCount();
  EXPECT_GT(free_count, 0);
  EXPECT_EQ(free_count, ostrel::FreeDescriptorCount());
  EXPECT_TRUE(CanOpenDescriptors(8));
}

}  // namespace
}  // namespace ostrel::macos
