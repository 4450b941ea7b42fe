// Cost of one power reading over the RAPL counters of a fixture tree, beside the bare cost of
// reading the same counter files:
//   ReadPower            ostrel_read_power over the fixture's counters, every call an
//                        accepted reading (sample, delta with the stored sample, visit of
//                        each channel); the clock steps one second per call, so no call is
//                        refused as too soon after the last
//   ReadPowerTooSoon     the same with the real clock: after the first, calls come less than
//                        0.05 s apart and give no reading, but still take their sample
//   ReadCounterFiles     reading the counted zones' energy_uj files: the floor
// The tree is bench_macbookpro: package, core, uncore, dram and psys zones.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/linux/rapl_energy_source.h"
#include "platform/linux/sysfs.h"
#include "sensors/ostrel_sensors.h"
#include "sensors/power.h"

namespace ostrel {
namespace {

const std::string kMacbook = OSTREL_FIXTURES_DIR "/bench_macbookpro";
const std::string kMacbookProc = OSTREL_FIXTURES_DIR "/bench_macbookpro_proc";

// The fixture's counters with a clock that moves one second per reading.
class SteppedClockRapl : public RaplEnergySource {
 public:
  using RaplEnergySource::RaplEnergySource;
  double Now() override { return now_ += 1.0; }

 private:
  double now_ = 0.0;  // seconds; one reader thread only
};

void ReadPowerOver(benchmark::State& state, EnergySource* source) {
  ResetPowerReaderForTesting(source);
  double cpu, gpu, ane, soc;
  int32_t status = ostrel_read_power(&cpu, &gpu, &ane, &soc);  // primes the stored sample
  for (auto _ : state) {
    status = ostrel_read_power(&cpu, &gpu, &ane, &soc);
    benchmark::DoNotOptimize(soc);
  }
  state.counters["status"] = status;
  ResetPowerReaderForTesting(nullptr);
}

void ReadPower(benchmark::State& state) {
  SteppedClockRapl source(kMacbook, kMacbookProc);
  ReadPowerOver(state, &source);
}
BENCHMARK(ReadPower);

void ReadPowerTooSoon(benchmark::State& state) {
  RaplEnergySource source(kMacbook, kMacbookProc);
  ReadPowerOver(state, &source);
}
BENCHMARK(ReadPowerTooSoon);

void ReadCounterFiles(benchmark::State& state) {
  // The zones the source counts: core (CPU) and uncore (GPU) of package 0.
  const std::string zones[] = {kMacbook + "/class/powercap/intel-rapl:0:0/energy_uj",
                               kMacbook + "/class/powercap/intel-rapl:0:1/energy_uj"};
  for (auto _ : state) {
    for (const std::string& zone : zones) benchmark::DoNotOptimize(ReadSysfsInt(zone));
  }
}
BENCHMARK(ReadCounterFiles);

}  // namespace
}  // namespace ostrel
