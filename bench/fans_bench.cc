// Cost of one fan reading over fixture trees, beside the bare cost of reading the same files:
//   ReadFans          what ostrel_read_fans does per document: a transport of its own, the
//                     "AppleSMC" lookup and open (which lists the hwmon fans), then two record
//                     exchanges per key, each read answered from a fresh file read
//   ListAndReadFiles  listing the hwmon fans (HwmonFanList) and reading each fan's input, min
//                     and max once
//   ReadFilesOnly     reading those files from their paths, known in advance: the floor
// Trees: bench_macbookpro (applesmc, two fans, attributes in hwmon<N>/device/) and fans_desktop
// (a Super-I/O chip and a graphics card, four fans).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/sysfs.h"
#include "sensors/fans.h"

namespace ostrel {
namespace {

const std::string kMacbook = OSTREL_FIXTURES_DIR "/bench_macbookpro";
const std::string kDesktop = OSTREL_FIXTURES_DIR "/fans_desktop";

void ReadFansOver(benchmark::State& state, const std::string& root) {
  OstrelFan fans[8];
  int32_t count = 0;
  for (auto _ : state) {
    HwmonSmcTransport smc(root);
    count = ReadFans(smc, fans, 8);
    benchmark::DoNotOptimize(fans);
  }
  state.counters["fans"] = count;
  if (count == 0) state.SkipWithError("no fans found in the fixture tree");
}
BENCHMARK_CAPTURE(ReadFansOver, macbook, kMacbook);
BENCHMARK_CAPTURE(ReadFansOver, desktop, kDesktop);

void ListAndReadFiles(benchmark::State& state, const std::string& root) {
  for (auto _ : state) {
    const HwmonFanList fans(root);
    float sum = 0;
    for (size_t n = 0; n < fans.listed(); ++n) {
      for (const char* attribute : {"input", "min", "max"}) {
        sum += fans.ReadRpm(n, attribute).value_or(0);
      }
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK_CAPTURE(ListAndReadFiles, macbook, kMacbook);
BENCHMARK_CAPTURE(ListAndReadFiles, desktop, kDesktop);

// The attribute path prefixes of each tree's fans, in fan order.
const std::vector<std::string> kMacbookFans = {kMacbook + "/class/hwmon/hwmon6/device/fan1_",
                                               kMacbook + "/class/hwmon/hwmon6/device/fan2_"};
const std::vector<std::string> kDesktopFans = {
    kDesktop + "/class/hwmon/hwmon2/fan1_", kDesktop + "/class/hwmon/hwmon2/fan2_",
    kDesktop + "/class/hwmon/hwmon2/fan3_", kDesktop + "/class/hwmon/hwmon3/fan1_"};

void ReadFilesOnly(benchmark::State& state, const std::vector<std::string>& prefixes) {
  for (auto _ : state) {
    int64_t sum = 0;
    for (const std::string& prefix : prefixes) {
      for (const char* attribute : {"input", "min", "max"}) {
        sum += ReadSysfsInt(prefix + attribute).value_or(0);
      }
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK_CAPTURE(ReadFilesOnly, macbook, kMacbookFans);
BENCHMARK_CAPTURE(ReadFilesOnly, desktop, kDesktopFans);

}  // namespace
}  // namespace ostrel
