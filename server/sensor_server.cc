// sensor_server.cc: construction and start of the server; routing and the document live in
// route.cc and snapshot.cc.
#include "server/sensor_server.h"

namespace ostrel {

SensorServer::SensorServer(LoginItemControl& login_item)
    : SensorServer(login_item, kPort, Readers{}) {}

SensorServer::SensorServer(LoginItemControl& login_item, uint16_t port, Readers readers)
    : login_item_(login_item), port_(port), readers_(std::move(readers)) {}

SensorServer::~SensorServer() {
  // Stop the worker threads before the lock and the readers they use go away.
  listener_.reset();
}

void SensorServer::start() {
  auto listener = std::make_unique<Listener>(
      port_, [this](std::string_view request) { return route(request); });
  listener_ = std::move(listener);
}

}  // namespace ostrel
