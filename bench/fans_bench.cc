// Cost of one fan reading over fixture trees, beside the bare cost of reading the same files:
//   ReadFans          what ostrel_read_fans does per document: a transport of its own, the
//                     "AppleSMC" lookup and open (which lists the hwmon fans), then two record
//                     exchanges per key, each read answered from a fresh file read
//   ListAndReadFiles  listing the hwmon fans and reading each fan's input, min and max once
//   ReadFilesOnly     reading those files from paths known in advance: the floor
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

// Reads input, min and max of every fan under the given attribute path prefixes.
int64_t ReadFanFiles(const std::vector<std::string>& prefixes) {
  int64_t sum = 0, value;
  for (const std::string& prefix : prefixes) {
    for (const char* attribute : {"input", "min", "max"}) {
      if (ReadSysfsInt(prefix + attribute, &value)) sum += value;
    }
  }
  return sum;
}

void ListAndReadFiles(benchmark::State& state, const std::string& root) {
  for (auto _ : state) benchmark::DoNotOptimize(ReadFanFiles(ListHwmonFans(root)));
}
BENCHMARK_CAPTURE(ListAndReadFiles, macbook, kMacbook);
BENCHMARK_CAPTURE(ListAndReadFiles, desktop, kDesktop);

void ReadFilesOnly(benchmark::State& state, const std::string& root) {
  const std::vector<std::string> prefixes = ListHwmonFans(root);
  for (auto _ : state) benchmark::DoNotOptimize(ReadFanFiles(prefixes));
}
BENCHMARK_CAPTURE(ReadFilesOnly, macbook, kMacbook);
BENCHMARK_CAPTURE(ReadFilesOnly, desktop, kDesktop);

}  // namespace
}  // namespace ostrel
