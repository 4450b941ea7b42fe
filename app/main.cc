// main.cc: process entry. Starts the sensor server and keeps the process alive.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "server/sensor_server.h"

namespace {

// Until the login-item service is wired in: never registered, and a change always fails.
class NoLoginItem : public ostrel::LoginItemControl {
 public:
  void Set(bool) override {}
  bool IsEnabled() override { return false; }
};

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  NoLoginItem login_item;
  ostrel::SensorServer server(login_item);
  try {
    server.start();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "Ostrel Sensor Helper: server failed to start: %s\n", e.what());
  }
  for (;;) pause();
}
