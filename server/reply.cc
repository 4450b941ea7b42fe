// reply.cc: a Reply hands its framed answer, or its abandonment, to its connection.
#include "server/reply.h"

#include "server/connection.h"
#include "server/http_framing.h"

namespace ostrel {

Reply::Reply(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

Reply::~Reply() {
  if (connection_) connection_->Abandon();
}

Reply& Reply::operator=(Reply&& other) noexcept {
  if (this != &other) {
    if (connection_) connection_->Abandon();
    connection_ = std::move(other.connection_);
  }
  return *this;
}

void Reply::Send(std::string_view body) {
  if (!connection_) return;
  connection_->Answer(FrameResponse(body));
  connection_.reset();
}

bool Reply::PeerGone() const { return !connection_ || connection_->PeerGone(); }

void Reply::Watch() {
  if (connection_) connection_->Watch();
}

}  // namespace ostrel
