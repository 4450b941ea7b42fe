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
#include "sensors/fans.h"
#include "sensors/power.h"
#include "sensors/temps.h"
#include "tests/macos/fake_mac.h"
#include "tests/temp_fixtures.h"
#include "tests/test_util.h"

namespace ostrel::macos {
namespace {

using ostrel::testing::Chip;
using ostrel::testing::Concat;
using ostrel::testing::FixtureTree;
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

// A RAPL zone: name, energy_uj, max_energy_range_uj.
FixtureTree Zone(const std::string& entry, const std::string& name, const std::string& energy) {
  const std::string dir = "class/powercap/" + entry + "/";
  return {{dir + "name", name + "\n"},
          {dir + "energy_uj", energy + "\n"},
          {dir + "max_energy_range_uj", "262143328850\n"}};
}

TEST(MacLinuxParityTest, TheSameMachineGivesTheSameRecords) {
  const struct {
    const char* what;
    FixtureTree linux, linux_later;     // sysfs at the first reading; what the second changes
    std::function<void(FakeMac&)> mac;  // the same machine through the macOS fakes
    const char *temps, *fans, *power;
  } machines[] = {
      {"die, storage and battery; two fans; CPU and GPU energy",
       Concat({Chip("hwmon0", "macsmc_hwmon",
                    {{"CPU Core 1 Temperature", 52000},
                     {"SoC Die Temperature", 48000},
                     {"NAND Flash Temperature", 35500},
                     {"Battery Hotspot Temperature", 30250},
                     {"WiFi/BT Module Temperature", 40000}}),
               {{"class/hwmon/hwmon0/fan1_input", "2001\n"},
                {"class/hwmon/hwmon0/fan1_min", "1200\n"},
                {"class/hwmon/hwmon0/fan1_max", "6000\n"},
                {"class/hwmon/hwmon0/fan2_input", "1998\n"},
                {"class/hwmon/hwmon0/fan2_min", "1800\n"},
                {"class/hwmon/hwmon0/fan2_max", "5700\n"}},
               Zone("intel-rapl:0", "package-0", "5000000"),
               Zone("intel-rapl:0:0", "core", "1000000"),
               Zone("intel-rapl:0:1", "uncore", "500000")}),
       Concat({Zone("intel-rapl:0:0", "core", "8000000"),
               Zone("intel-rapl:0:1", "uncore", "1500000")}),
       [](FakeMac& f) {
         f.hid = {{"PMU tdie1", 52},
                  {"PMU tdie2", 48},
                  {"NAND CH0 temp", 35.5},
                  {"gas gauge battery", 30.25},
                  {"PMU tcal", 40}};
         f.smc.SetKey("FNum", kSmcTypeUi8, 2);
         f.smc.SetKey("F0Ac", kSmcTypeFlt, 2001);
         f.smc.SetKey("F0Mn", kSmcTypeFlt, 1200);
         f.smc.SetKey("F0Mx", kSmcTypeFlt, 6000);
         f.smc.SetKey("F1Ac", kSmcTypeFpe2, 1998);
         f.smc.SetKey("F1Mn", kSmcTypeUi16, 1800);
         f.smc.SetKey("F1Mx", kSmcTypeFlt, 5700);
         f.channels = {
             {"CPU Energy", "mJ", 7000}, {"GPU Energy", "nJ", 1000000000}, {"ANE Energy", "mJ", 0}};
       },
       "CPU / SoC (avg) 50|CPU / SoC (peak) 52|SSD 35.5|Battery 30.25",
       "0 2001/1200/6000|1 1998/1800/5700", "3.5 0.5 0 4"},
      {"die and storage; a fan without a maximum; package energy only",
       Concat({Chip("hwmon0", "k10temp",
                    {{"Tctl", 66625}, {"Tdie", 46625}, {"Tccd1", 44250}, {"Tccd2", 48500}}),
               Chip("hwmon1", "nvme", {{"Composite", 36850}, {"Sensor 1", 41850}}),
               {{"class/hwmon/hwmon2/name", "nct6775\n"},
                {"class/hwmon/hwmon2/fan1_input", "1052\n"},
                {"class/hwmon/hwmon2/fan1_min", "300\n"}},
               Zone("intel-rapl:0", "package-0", "0")}),
       Zone("intel-rapl:0", "package-0", "10000000"),
       [](FakeMac& f) {
         f.hid = {{"PMU tdie1", 46.625},
                  {"PMU tdie2", 44.25},
                  {"PMU tdie3", 48.5},
                  {"NAND CH0 temp", 36.85},
                  {"PMU tcal", 66.625}};
         f.smc.SetKey("FNum", kSmcTypeUi8, 1);
         f.smc.SetKey("F0Ac", kSmcTypeFlt, 1052);
         f.smc.SetKey("F0Mn", kSmcTypeFlt, 300);
         f.channels = {{"CPU Energy", std::nullopt, 10000}};
       },
       "CPU / SoC (avg) 46.4583|CPU / SoC (peak) 48.5|SSD 36.85", "0 1052/300/0", "5 0 0 5"},
      {"nothing to read",
       {},
       {},
       [](FakeMac& f) { f.smc.has_service = false, f.group = false; },
       "",
       "",
       "none"},
  };
  for (const auto& m : machines) {
    SCOPED_TRACE(m.what);
    ostrel::testing::TempDir dir;
    ostrel::testing::WriteTree(dir.path(), m.linux);
    HwmonTempSource hwmon(dir.path());
    HwmonSmcTransport hwmon_smc(dir.path());
    RaplAt rapl(dir.path());
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

}  // namespace
}  // namespace ostrel::macos
