// fake_login_item.h: an in-memory login item that records what it was asked.
#ifndef OSTREL_TESTS_FAKE_LOGIN_ITEM_H_
#define OSTREL_TESTS_FAKE_LOGIN_ITEM_H_

#include <atomic>
#include <mutex>
#include <vector>

#include "server/sensor_server.h"

namespace ostrel::testing {

// Converts to the server's login-item operations, so it can be handed to a SensorServer as is;
// it must then outlive the server.
class FakeLoginItem {
 public:
  operator SensorServer::LoginItem() {
    return {[this](bool enable) { Set(enable); }, [this] { return IsEnabled(); }};
  }
  void Set(bool enable) {
    std::lock_guard<std::mutex> hold(mu_);
    calls_.push_back(enable);
    if (!refuse_) enabled_ = enable;
  }
  bool IsEnabled() { return enabled_; }

  std::vector<bool> calls() {
    std::lock_guard<std::mutex> hold(mu_);
    return calls_;
  }
  void set_enabled(bool enabled) { enabled_ = enabled; }
  void set_refuse(bool refuse) { refuse_ = refuse; }

 private:
  std::mutex mu_;
  std::vector<bool> calls_;           // every Set argument, in order
  std::atomic<bool> enabled_{false};  // the state IsEnabled reports
  std::atomic<bool> refuse_{false};   // when set, Set changes nothing (a refused change)
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_LOGIN_ITEM_H_
