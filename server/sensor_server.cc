// sensor_server.cc: construction and start of the server, and the answer for one request; the
// routing decision lives in route.cc, the document in snapshot.cc and the sharing of readings
// in shared_readings.cc.
#include "server/sensor_server.h"

#include "server/route.h"
#include "server/text.h"

namespace ostrel {

SensorServer::SensorServer(LoginItem login_item)
    : SensorServer(std::move(login_item), kPort, Readers{}) {}

SensorServer::SensorServer(LoginItem login_item, uint16_t port, Readers readers)
    : login_item_(std::move(login_item)), port_(port), readers_(std::move(readers)) {}

SensorServer::~SensorServer() {
  // No request comes in any more; then the reading thread ends (after a reading in progress),
  // dropping the requests that still wait; the connections go with the listener last. The
  // product never gets here: it ends without destroying the server (app/main.cc).
  if (listener_) listener_->Stop();
  readings_.reset();
  listener_.reset();
}

void SensorServer::start() {
  // The readings come first: the listener serves from its first moment on.
  readings_ = std::make_unique<SharedReadings>([this] { return snapshotJSON(); }, budget_);
  try {
    listener_ = std::make_unique<Listener>(
        port_, budget_,
        [this](std::string_view request, Reply reply) { serve(request, std::move(reply)); },
        [this](std::string_view request, Reply& reply) { return queueSnapshot(request, reply); });
  } catch (...) {
    readings_.reset();
    throw;
  }
}

// On the network thread: an ASCII request is routed at once (a few microseconds, no ICU), and a
// snapshot request joins the next shared reading without a trip through a worker. Login-item
// requests, which may wait for the disk, and texts that need ICU go to the workers.
bool SensorServer::queueSnapshot(std::string_view request, Reply& reply) {
  if (!IsAscii(request) || RouteRequest(request).login_item) return false;
  readings_->Request(std::move(reply));
  return true;
}

void SensorServer::serve(std::string_view request, Reply reply) {
  const Route decided = RouteRequest(request);
  if (!decided.login_item) {
    readings_->Request(std::move(reply));
    return;
  }
  // Not shared: a login-item request changes state, and its answer must be what it did.
  reply.Send(LoginItemAnswer(decided.enable));
}

std::string SensorServer::LoginItemAnswer(std::optional<bool> enable) {
  if (enable) HelperLoginItem::set(login_item_.service, login_item_.log, *enable);
  return LoginItemBody(HelperLoginItem::isEnabled(login_item_.service));
}

std::string SensorServer::route(std::string_view request) {
  const Route decided = RouteRequest(request);
  if (!decided.login_item) return snapshotJSON();
  return LoginItemAnswer(decided.enable);
}

}  // namespace ostrel
