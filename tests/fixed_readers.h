// fixed_readers.h: stateless readers with fixed readings, and an in-memory login item recording
// (under its lock) what it was asked; for tests, benchmarks and the test server program.
#ifndef OSTREL_TESTS_FIXED_READERS_H_
#define OSTREL_TESTS_FIXED_READERS_H_

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "server/sensor_server.h"

namespace ostrel::testing {

// Readers that find nothing: no temperatures, no fans, no power reading.
inline SensorServer::Readers NoReaders() {
  return {[](OstrelTemp*, int32_t) { return 0; }, [](OstrelFan*, int32_t) { return 0; },
          [](double*, double*, double*, double*) { return -1; }};
}

// Copies up to `capacity` of `n` records.
template <typename T, int32_t n>
int32_t CopyFixed(const T (&from)[n], T* out, int32_t capacity) {
  return static_cast<int32_t>(std::copy_n(from, std::clamp(capacity, 0, n), out) - out);
}

// Four temperatures, two fans (one stopped) and a power reading: a laptop's document.
inline SensorServer::Readers FixedReaders() {
  static const OstrelTemp kTemps[] = {
      {"CPU / SoC (avg)", 52.5}, {"CPU / SoC (peak)", 64.25}, {"SSD", 38}, {"Battery", 31.5}};
  static const OstrelFan kFans[] = {{0, 1800, 1200, 6000}, {1, 0, 1200, 6000}};
  return {[](OstrelTemp* out, int32_t capacity) { return CopyFixed(kTemps, out, capacity); },
          [](OstrelFan* out, int32_t capacity) { return CopyFixed(kFans, out, capacity); },
          [](double* cpu, double* gpu, double* ane, double* soc) {
            *cpu = 3.5, *gpu = 0.5, *ane = 0.25, *soc = 4.25;
            return 0;
          }};
}

// A login item in memory, which converts to the server's; it must outlive the server.
class FakeLoginItem final : public LoginItemService, public LogSink {
 public:
  operator SensorServer::LoginItem() { return {*this, *this}; }
  Status Register() override { return Change(true); }
  Status Unregister() override { return Change(false); }
  LoginItemStatus GetStatus() override {
    return enabled_ ? LoginItemStatus::kEnabled : LoginItemStatus::kNotRegistered;
  }
  void Write(std::string_view line) override {
    std::lock_guard<std::mutex> hold(mu_);
    log_.append(line).append("\n");
  }
  std::vector<bool> calls() {
    std::lock_guard<std::mutex> hold(mu_);
    return calls_;
  }
  std::string log() {
    std::lock_guard<std::mutex> hold(mu_);
    return log_;
  }
  std::atomic<bool> refuse_{false};  // when set, every change is refused

 private:
  Status Change(bool enable) {
    std::lock_guard<std::mutex> hold(mu_);
    calls_.push_back(enable);
    if (refuse_) return Status::Error("refused");
    enabled_ = enable;
    return Status::Ok();
  }
  std::mutex mu_;                     // guards calls_ and log_
  std::vector<bool> calls_;           // every change asked for, in order
  std::string log_;                   // the lines logged, each ended by a line feed
  std::atomic<bool> enabled_{false};  // the state reported
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FIXED_READERS_H_
