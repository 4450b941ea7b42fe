// What reading the sensors for one document costs on bench_macbookpro (an Intel MacBook Pro:
// coretemp, nvme, battery, applesmc fans in device/, RAPL zones), beside the bare cost of
// reading exactly the value files that document shows:
//   DocumentReaders   the three readers as the snapshot calls them: temperatures, fans, power
//                     (the power reader's clock steps a second per reading, so every reading
//                     carries power); reports the calls and bytes allocated per document
//   BareValueReads    open, read and close of the 18 files whose values the document shows
//                     (8 cores, the nvme composite, the battery; input, min and max of two
//                     fans; the core and uncore counters), by their paths: the floor
// The ratio DocumentReaders / BareValueReads is what finding and choosing the files costs on top
// of reading the values themselves.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/rapl_energy_source.h"
#include "sensors/fans.h"
#include "sensors/ostrel_sensors.h"
#include "sensors/power.h"
#include "sensors/temps.h"

namespace ostrel {
namespace {

const std::string kMacbook = OSTREL_FIXTURES_DIR "/bench_macbookpro";
const std::string kMacbookProc = OSTREL_FIXTURES_DIR "/bench_macbookpro_proc";

// The fixture's counters with a clock that moves one second per call.
class SteppedClockRapl : public RaplEnergySource {
 public:
  using RaplEnergySource::RaplEnergySource;
  double Now() override { return now_ += 1.0; }

 private:
  double now_ = 0.0;  // seconds; one reader thread only
};

void DocumentReaders(benchmark::State& state) {
  SteppedClockRapl rapl(kMacbook, kMacbookProc);
  ResetPowerReaderForTesting(&rapl);
  OstrelTemp temps[16];
  OstrelFan fans[8];
  double cpu, gpu, ane, soc;
  ostrel_read_power(&cpu, &gpu, &ane, &soc);  // the first reading only primes
  int32_t temp_count = 0, fan_count = 0, power = -1;
  const bench::AllocTotals before = bench::AllocatedSoFar();
  for (auto _ : state) {
    HwmonTempSource source(kMacbook);
    temp_count = ReadTemps(source, temps, 16);
    HwmonSmcTransport smc(kMacbook);
    fan_count = ReadFans(smc, fans, 8);
    power = ostrel_read_power(&cpu, &gpu, &ane, &soc);
    benchmark::DoNotOptimize(temps);
    benchmark::DoNotOptimize(fans);
    benchmark::DoNotOptimize(soc);
  }
  const bench::AllocTotals after = bench::AllocatedSoFar();
  const double n = static_cast<double>(state.iterations());
  state.counters["allocs"] = static_cast<double>(after.calls - before.calls) / n;
  state.counters["bytes"] = static_cast<double>(after.bytes - before.bytes) / n;
  ResetPowerReaderForTesting(nullptr);
  if (temp_count != 4 || fan_count != 2 || power != 0) {
    state.SkipWithError("the tree should give four temperatures, two fans and power");
  }
}
BENCHMARK(DocumentReaders);

void BareValueReads(benchmark::State& state) {
  std::vector<std::string> files = {
      kMacbook + "/class/hwmon/hwmon2/temp1_input",
      kMacbook + "/class/power_supply/BAT0/temp",
      kMacbook + "/class/powercap/intel-rapl:0:0/energy_uj",
      kMacbook + "/class/powercap/intel-rapl:0:1/energy_uj",
  };
  for (int core = 2; core <= 9; ++core) {
    files.push_back(kMacbook + "/class/hwmon/hwmon4/temp" + std::to_string(core) + "_input");
  }
  for (const char* fan : {"fan1_", "fan2_"}) {
    for (const char* attribute : {"input", "min", "max"}) {
      files.push_back(kMacbook + "/class/hwmon/hwmon6/device/" + fan + attribute);
    }
  }
  char buf[64];
  for (auto _ : state) {
    for (const std::string& file : files) {
      const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      benchmark::DoNotOptimize(read(fd, buf, sizeof buf));
      close(fd);
    }
  }
  state.counters["files"] = static_cast<double>(files.size());
}
BENCHMARK(BareValueReads);

}  // namespace
}  // namespace ostrel
