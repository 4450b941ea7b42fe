// machine_records.h: what the readers make of each fixture machine, shared by the Linux and macOS
// layers' tests. The power reader is process-wide: one test at a time.
#ifndef OSTREL_TESTS_MACHINE_RECORDS_H_
#define OSTREL_TESTS_MACHINE_RECORDS_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "sensors/fans.h"
#include "sensors/power.h"
#include "sensors/temps.h"

namespace ostrel::testing {

// tests/fixtures/<name> (or trees/<name>.tree): temperatures # fans # power once each RAPL counter
// moved 6 J per level (packages 6 J, subzones 12 J) in 1 s ("-": none). Intel counts cores and
// uncore, not package, dram, psys or MMIO; AMD counts the package, not its one-core zone.
// clang-format off
inline constexpr std::pair<const char*, const char*> kMachineRecords[] = {
    {"bench_macbookpro", "CPU / SoC (avg) 59.5|CPU / SoC (peak) 63|SSD 38.85|Battery 31.5 # "
                         "1796/1200/5927|1834/1200/6195 # 12/12/0/24"},
    {"intel_desktop", "CPU / SoC (avg) 52.75|CPU / SoC (peak) 58|SSD 35.925 # 1054/0/0 # -"},
    {"amd_laptop", "CPU / SoC (avg) 46.4583|CPU / SoC (peak) 48.5|SSD 36.85|Battery 31.2 # "
                   "2370/0/0 # 6/0/0/6"},
    {"old_style", "CPU / SoC (avg) 62|CPU / SoC (peak) 63 #  # -"},
    {"apple_silicon", "CPU / SoC (avg) 50|CPU / SoC (peak) 52|SSD 35.5|Battery 30.225 #  # -"},
    {"foreign_words", "CPU / SoC (avg) 53|CPU / SoC (peak) 53|SSD 52.5|Battery 30 #  # -"},
    {"fans_mixed", "CPU / SoC (avg) 45|CPU / SoC (peak) 45 # 1052/300/0|0/0/0|777/0/0|"
                   "2001/2000/6156|1998/1800/5700|0/0/0|1500/0/0|2921/0/0 # -"},
    {"twelve_chip_laptop",
     "CPU / SoC (avg) 52.75|CPU / SoC (peak) 58|SSD 35.5667|Battery 29.8 #  # -"},
    {"rk3588_mainline", "CPU / SoC (avg) 45.0833|CPU / SoC (peak) 46.25 #  # -"}};
// clang-format on

// One power reading as "cpu/gpu/ane/soc", or "-" for none (status -1, all four left at 0).
inline std::string ReadPower() {
  double w[4] = {9, 9, 9, 9};
  char text[128] = "-";
  const int32_t status = ostrel_read_power(&w[0], &w[1], &w[2], &w[3]);
  EXPECT_TRUE(status == 0 || (status == -1 && w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0));
  if (status == 0) snprintf(text, sizeof text, "%.10g/%.10g/%.10g/%.10g", w[0], w[1], w[2], w[3]);
  return text;
}

// The second of two power readings over `source`, `between` run between them.
inline std::string PowerAfter(EnergySource& source, const std::function<void()>& between) {
  ResetPowerReaderForTesting(&source);
  ReadPower();
  between();
  const std::string power = ReadPower();
  ResetPowerReaderForTesting(nullptr);
  return power;
}

// The temperatures and fans read through `temps` and `smc`, then `power`, as kMachineRecords.
inline std::string Records(TempSource& temps, SmcTransport& smc, const std::string& power) {
  const auto g = [](double value) {
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return std::string(text);
  };
  std::string got;
  OstrelTemp t[16];
  for (int32_t i = 0, n = ReadTemps(temps, t, 16); i < n; ++i)
    got += (i ? "|" : "") + std::string(t[i].label) + " " + g(t[i].celsius);
  got += " # ";
  OstrelFan f[16];
  for (int32_t i = 0, n = ReadFans(smc, f, 16); i < n; ++i)
    got += (i ? "|" : "") + g(f[i].rpm) + "/" + g(f[i].minRPM) + "/" + g(f[i].maxRPM);
  return got + " # " + power;
}

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_MACHINE_RECORDS_H_
