// sensor_server.h: the loopback HTTP server that serves the sensor snapshot.
//
// One SensorServer exists per process, owned by the application for the whole run. `start`
// runs on the main thread. Requests are routed on the listener's network thread (or, when their
// text needs ICU, on its worker threads); login-item requests are answered on the workers,
// several at once, while snapshot requests share the readings of one reading thread
// (shared_readings.h): at most one reading is in progress at a time. The only lock of the
// readings is `powerLock_`, held around each power reading, because the power reader keeps its
// previous sample between calls. The login item's service and log are the platform's, lent
// through the application; they must outlive the server.
#ifndef OSTREL_SERVER_SENSOR_SERVER_H_
#define OSTREL_SERVER_SENSOR_SERVER_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/log_sink.h"
#include "platform/login_item.h"
#include "sensors/ostrel_sensors.h"
#include "server/listener.h"
#include "server/shared_readings.h"

namespace ostrel {

class SensorServer {
 public:
  static constexpr uint16_t kPort = 53843;  // the helper's one and only port, on 127.0.0.1

  // The readers a document is built from: the machine's own unless a test supplies others.
  struct Readers {
    std::function<int32_t(OstrelTemp*, int32_t)> temps = ostrel_read_temps;
    std::function<int32_t(OstrelFan*, int32_t)> fans = ostrel_read_fans;
    std::function<int32_t(double*, double*, double*, double*)> power = ostrel_read_power;
  };

  // The helper's login item, switched and read through HelperLoginItem (platform/login_item.h)
  // on many threads at once: the system's service and the log a refused change goes to.
  struct LoginItem {
    LoginItemService& service;
    LogSink& log;
  };

  // The product's server: 127.0.0.1:53843, the machine's readers. Nothing is opened yet.
  explicit SensorServer(LoginItem login_item);
  // For tests only: another port (0 = any free one) and other readers.
  SensorServer(LoginItem login_item, uint16_t port, Readers readers);
  ~SensorServer();
  SensorServer(const SensorServer&) = delete;
  SensorServer& operator=(const SensorServer&) = delete;

  // Binds and starts serving. Throws std::system_error (what() names the address and the
  // system's reason, e.g. "Address already in use") when the listener cannot be created; the
  // server then stays without a listener. Call once.
  void start();

  // The body for one request text (well-formed UTF-8, possibly empty), made on the calling
  // thread: the login-item answer for the path /loginitem, the snapshot document for
  // everything else. Never fails. The listener's requests go through `serve` instead, which
  // shares snapshot readings.
  std::string route(std::string_view request);

  // The snapshot document: compact JSON built from one fresh reading, or "{}" when it cannot
  // be written. Never fails.
  std::string snapshotJSON();

  // The port the listener is bound to; 0 before a successful start.
  uint16_t boundPort() const { return listener_ ? listener_->port() : 0; }

  // The lock held around each power reading (exposed so tests can watch it).
  std::mutex& powerLock() { return powerLock_; }

 private:
  // Answers one request of the listener: the login item at once, the snapshot with the next
  // shared reading.
  void serve(std::string_view request, Reply reply);
  // The network thread's part: queues a snapshot request that routes without ICU for the next
  // shared reading (true), or leaves the request to `serve` (false).
  bool queueSnapshot(std::string_view request, Reply& reply);
  // Switches the login item when `enable` holds a switch, then answers with its state.
  std::string LoginItemAnswer(std::optional<bool> enable);

  DescriptorBudget budget_;             // shared by the listener and the reading thread
  std::unique_ptr<Listener> listener_;  // set by a successful start, never cleared before exit
  std::unique_ptr<SharedReadings> readings_;  // the reading thread, made by start
  std::mutex powerLock_;                      // serialises ostrel_read_power
  const LoginItem login_item_;                // borrowed from the platform
  const uint16_t port_;                       // kPort in the product
  const Readers readers_;                     // the machine's readers in the product
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_SENSOR_SERVER_H_
