// fixed_readers.h: sensor readers that report the same readings on every call (nothing at all,
// or realistic values), for tests, benchmarks and the test server program (no gtest here: the
// program links it). The readers keep no state, so any number of threads may call them at once.
#ifndef OSTREL_TESTS_FIXED_READERS_H_
#define OSTREL_TESTS_FIXED_READERS_H_

#include <cstring>

#include "server/sensor_server.h"

namespace ostrel::testing {

// Readers that find nothing: no temperatures, no fans, no power reading.
inline SensorServer::Readers NoReaders() {
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  readers.power = [](double*, double*, double*, double*) { return -1; };
  return readers;
}

// Four temperatures, two fans (one stopped) and a power reading: a document of the size a
// laptop's helper serves.
inline SensorServer::Readers FixedReaders() {
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp* out, int32_t capacity) {
    static constexpr const char* kLabels[] = {"CPU / SoC (avg)", "CPU / SoC (peak)", "SSD",
                                              "Battery"};
    static constexpr double kValues[] = {52.5, 64.25, 38.0, 31.5};
    int32_t n = 0;
    for (; n < 4 && n < capacity; ++n) {
      std::strncpy(out[n].label, kLabels[n], sizeof out[n].label - 1);
      out[n].celsius = kValues[n];
    }
    return n;
  };
  readers.fans = [](OstrelFan* out, int32_t capacity) {
    int32_t n = 0;
    if (n < capacity) out[n++] = OstrelFan{0, 1800.0, 1200.0, 6000.0};
    if (n < capacity) out[n++] = OstrelFan{1, 0.0, 1200.0, 6000.0};
    return n;
  };
  readers.power = [](double* cpu, double* gpu, double* ane, double* soc) {
    *cpu = 3.5;
    *gpu = 0.5;
    *ane = 0.25;
    *soc = 4.25;
    return 0;
  };
  return readers;
}

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FIXED_READERS_H_
