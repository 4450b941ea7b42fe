// sensor_server.cc: construction and start of the server, and the answer for one request; the
// routing decision lives in route.cc and the document in snapshot.cc.
#include "server/sensor_server.h"

#include "server/route.h"

namespace ostrel {

SensorServer::SensorServer(LoginItem login_item)
    : SensorServer(std::move(login_item), kPort, Readers{}) {}

SensorServer::SensorServer(LoginItem login_item, uint16_t port, Readers readers)
    : login_item_(std::move(login_item)), port_(port), readers_(std::move(readers)) {}

SensorServer::~SensorServer() {
  // Stop the worker threads before the lock and the readers they use go away.
  listener_.reset();
}

void SensorServer::start() {
  auto listener = std::make_unique<Listener>(
      port_, [this](std::string_view request) { return route(request); });
  listener_ = std::move(listener);
}

std::string SensorServer::route(std::string_view request) {
  const Route decided = RouteRequest(request);
  if (!decided.login_item) return snapshotJSON();
  if (decided.enable) login_item_.set(*decided.enable);
  return LoginItemBody(login_item_.isEnabled());
}

}  // namespace ostrel
