// Cost of building one snapshot document: over readers that report nothing (the document's own
// framework), over readers that report a full laptop's worth of fixed readings (labels,
// numbers, the power object), so the JSON writing is measured apart from reading sensors, and
// over the real readers pointed at a fixture tree.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/alloc_count.h"
#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/rapl_energy_source.h"
#include "sensors/fans.h"
#include "sensors/power.h"
#include "sensors/temps.h"
#include "server/sensor_server.h"
#include "tests/fixed_readers.h"

namespace ostrel {
namespace {

using NoLoginItem = testing::FakeLoginItem;

SensorServer::Readers FullReaders() {
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp* out, int32_t) {
    static constexpr const char* kLabels[] = {"CPU / SoC (avg)", "CPU / SoC (peak)", "SSD",
                                              "Battery"};
    static constexpr double kValues[] = {58.9375, 63.0, 39.85, 31.5};
    for (int i = 0; i < 4; ++i) {
      std::strcpy(out[i].label, kLabels[i]);
      out[i].celsius = kValues[i];
    }
    return 4;
  };
  readers.fans = [](OstrelFan* out, int32_t) {
    out[0] = OstrelFan{0, 1796.0, 1200.0, 5927.0};
    out[1] = OstrelFan{1, 1834.0, 1200.0, 6195.0};
    return 2;
  };
  readers.power = [](double* cpu, double* gpu, double* ane, double* soc) {
    *cpu = 7.4321;
    *gpu = 0.8123;
    *ane = 0.0;
    *soc = 8.2444;
    return 0;
  };
  return readers;
}

void SnapshotEmpty(benchmark::State& state) {
  NoLoginItem login;
  SensorServer server(login, 0, testing::NoReaders());
  for (auto _ : state) benchmark::DoNotOptimize(server.snapshotJSON());
}
BENCHMARK(SnapshotEmpty);

void SnapshotFixedReadings(benchmark::State& state) {
  NoLoginItem login;
  SensorServer server(login, 0, FullReaders());
  for (auto _ : state) benchmark::DoNotOptimize(server.snapshotJSON());
}
BENCHMARK(SnapshotFixedReadings);

// One server's documents built from several threads at once, as the listener's workers do:
// the power reading is taken under the server's one lock.
void SnapshotSharedServer(benchmark::State& state) {
  static NoLoginItem login;
  static SensorServer server(login, 0, FullReaders());
  for (auto _ : state) benchmark::DoNotOptimize(server.snapshotJSON());
}
BENCHMARK(SnapshotSharedServer)->ThreadRange(1, 16)->UseRealTime();

// The readers over the bench_macbookpro fixture tree instead of /sys: the document as the
// load run's helper builds it. The power reader's clock steps a second per reading, so every
// document carries power figures.
class SteppedClockRapl : public RaplEnergySource {
 public:
  using RaplEnergySource::RaplEnergySource;
  double Now() override { return now_ += 1.0; }

 private:
  double now_ = 0.0;  // seconds; called under the server's power lock only
};

const std::string kMacbook = OSTREL_FIXTURES_DIR "/bench_macbookpro";
const std::string kMacbookProc = OSTREL_FIXTURES_DIR "/bench_macbookpro_proc";

SensorServer::Readers FixtureReaders() {
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp* out, int32_t capacity) {
    HwmonTempSource source(kMacbook);
    return ReadTemps(source, out, capacity);
  };
  readers.fans = [](OstrelFan* out, int32_t capacity) {
    HwmonSmcTransport smc(kMacbook);
    return ReadFans(smc, out, capacity);
  };
  readers.power = ostrel_read_power;
  return readers;
}

void SnapshotFixtureTree(benchmark::State& state) {
  SteppedClockRapl rapl(kMacbook, kMacbookProc);
  ResetPowerReaderForTesting(&rapl);
  NoLoginItem login;
  SensorServer server(login, 0, FixtureReaders());
  server.snapshotJSON();  // the power reader's first call only primes it
  std::string document;
  const bench::AllocTotals before = bench::AllocatedSoFar();
  for (auto _ : state) {
    document = server.snapshotJSON();
    benchmark::DoNotOptimize(document);
  }
  const bench::AllocTotals after = bench::AllocatedSoFar();
  const double n = static_cast<double>(state.iterations());
  state.counters["bytes"] = static_cast<double>(document.size());
  // What one whole document allocates: readers, JSON writing and the text itself.
  state.counters["alloc_calls"] = static_cast<double>(after.calls - before.calls) / n;
  state.counters["alloc_bytes"] = static_cast<double>(after.bytes - before.bytes) / n;
  // Every source must have given something, or this measures less than the load run's helper.
  if (document.find("\"Battery\"") == std::string::npos ||
      document.find("\"index\":1") == std::string::npos ||
      document.find("\"soc\"") == std::string::npos) {
    state.SkipWithError(("incomplete document: " + document).c_str());
  }
  ResetPowerReaderForTesting(nullptr);
}
BENCHMARK(SnapshotFixtureTree);

}  // namespace
}  // namespace ostrel
