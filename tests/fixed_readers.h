// fixed_readers.h: sensor readers that report the same readings on every call, and an
// in-memory login item that records what it was asked, for tests, benchmarks and the test
// server program (no gtest here). The readers keep no state; the login item locks its record.
#ifndef OSTREL_TESTS_FIXED_READERS_H_
#define OSTREL_TESTS_FIXED_READERS_H_

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

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

// Four temperatures, two fans (one stopped) and a power reading: a laptop's document.
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

// Converts to the server's login-item operations; it must then outlive the server.
class FakeLoginItem {
 public:
  operator SensorServer::LoginItem() {
    return {[this](bool enable) {
              std::lock_guard<std::mutex> hold(mu_);
              calls_.push_back(enable);
              if (!refuse_) enabled_ = enable;
            },
            [this] { return enabled_.load(); }};
  }
  std::vector<bool> calls() {
    std::lock_guard<std::mutex> hold(mu_);
    return calls_;
  }
  void set_enabled(bool enabled) { enabled_ = enabled; }
  void set_refuse(bool refuse) { refuse_ = refuse; }

 private:
  std::mutex mu_;                     // guards calls_
  std::vector<bool> calls_;           // every change asked for, in order
  std::atomic<bool> enabled_{false};  // the state reported
  std::atomic<bool> refuse_{false};   // when set, changes are refused (nothing changes)
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FIXED_READERS_H_
