// connection.cc: one connection on the network thread. Every socket operation happens there;
// other threads only post to it, or ask, under the connection's lock, whether the peer has
// reset.
//
// A reset costs no reading and holds no descriptor: a connection found reset when its request is
// read is closed at once, and while its answer is being made the network thread watches it, so
// that a reset arriving meanwhile closes it then, not when the answer is ready.
#include "server/connection.h"

#include "platform/peer_reset.h"
#include "platform/thread_class.h"
#include "server/text.h"

namespace ostrel {

using asio::ip::tcp;

Connection::Connection(Shared& shared, tcp::socket socket)
    : shared_(shared), socket_(std::move(socket)), drain_deadline_(shared.io) {}

void Connection::Start() {
  std::error_code ignored;
  socket_.non_blocking(true, ignored);
  socket_.async_wait(tcp::socket::wait_read,
                     [self = shared_from_this()](const std::error_code& ec) {
                       if (ec != asio::error::operation_aborted) self->ReadRequest();
                     });
}

void Connection::Answer(std::string response) {
  asio::post(shared_.io, [self = shared_from_this(), response = std::move(response)]() mutable {
    self->Send(std::move(response));
  });
}

void Connection::Abandon() {
  asio::post(shared_.io, [self = shared_from_this()] { self->Close(); });
}

// The lock keeps the descriptor from being closed, and its number reused by another
// connection, while the kernel is asked about it.
bool Connection::PeerGone() const {
  std::lock_guard<std::mutex> hold(close_mu_);
  return closed_ || PeerHasReset(fd_);
}

// The one read. A peer that closed without sending is an empty request; one whose connection
// failed (reset before it sent anything) can be sent nothing and costs nothing more, and neither
// can one that sent its request and reset at once: the reset often arrives before the request
// is read, and the read still returns the request. A peer that only ended its sending side is
// not reset and gets its answer.
void Connection::ReadRequest() {
  std::error_code ec;
  size_t n = socket_.read_some(asio::buffer(shared_.read_buffer), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    Start();  // woken without data after all: wait again
    return;
  }
  if (ec && ec != asio::error::eof) {
    Close();
    return;
  }
  if (ec) n = 0;
  fd_ = socket_.native_handle();
  if (PeerHasReset(fd_)) {
    Close();
    return;
  }
  const std::string_view bytes(shared_.read_buffer.data(), n);
  // A whole request head in one read, nothing cut off: once answered, the connection can be
  // closed at once unless the client sends more meanwhile.
  complete_ = n < Listener::kMaxRequest && bytes.ends_with("\r\n\r\n");
  const std::string_view request = IsValidUtf8(bytes) ? bytes : std::string_view();
  WatchForReset();
  Reply reply(shared_from_this());
  try {
    if (shared_.quick && shared_.quick(request, reply)) return;
  } catch (...) {
    return;  // out of memory, say: the Reply, dropped, closes the connection
  }
  asio::post(shared_.workers,
             [this, request = std::string(request), reply = std::move(reply)]() mutable {
               // A worker enters the helper's thread class before its first request.
               static thread_local const bool entered = (EnterServiceThreadClass(), true);
               (void)entered;
               try {
                 shared_.handler(request, std::move(reply));
               } catch (...) {
                 // Out of memory, say: the Reply, dropped, closes the connection.
               }
             });
}

// While the answer is being made: every wake of the socket (more bytes, an orderly end, a reset)
// is looked at, and a reset closes the connection at once, freeing its descriptor; the answer,
// when it comes, is dropped. The wait is edge-triggered, so waiting again after bytes or an end
// does not spin. Send cancels it.
void Connection::WatchForReset() {
  socket_.async_wait(tcp::socket::wait_read,
                     [self = shared_from_this()](const std::error_code& ec) {
                       if (ec || self->closed_ || self->answered_) return;
                       if (self->PeerGone()) {
                         self->Close();
                       } else {
                         self->WatchForReset();
                       }
                     });
}

void Connection::Send(std::string response) {
  if (closed_) return;
  std::error_code ignored;
  socket_.cancel(ignored);  // the watch for a reset: the write and drain see one themselves
  answered_ = true;
  response_ = std::move(response);
  asio::async_write(socket_, asio::buffer(response_),
                    [self = shared_from_this()](const std::error_code& ec, size_t) {
                      self->response_.clear();
                      std::error_code ignored;
                      if (ec || (self->complete_ && self->socket_.available(ignored) == 0)) {
                        self->Close();  // nothing unread: closing cannot reset the answer
                      } else {
                        self->Drain();
                      }
                    });
}

// Closing a socket that still holds unread bytes makes Linux reset the connection, which can
// destroy the answer in flight. So: end our side, read and drop what the client still sends
// (bounded in bytes and time), and close once the client has finished.
void Connection::Drain() {
  std::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  drain_deadline_.expires_after(std::chrono::seconds(kDrainSeconds));
  drain_deadline_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (!ec) self->Close();
  });
  DrainSome();
}

void Connection::DrainSome() {
  socket_.async_read_some(asio::buffer(shared_.discard_buffer),
                          [self = shared_from_this()](const std::error_code& ec, size_t n) {
                            self->discarded_ += n;
                            if (ec || self->discarded_ >= kMaxDiscard) {
                              self->Close();
                            } else {
                              self->DrainSome();
                            }
                          });
}

// The first call closes, later ones do nothing. The lock keeps PeerGone, on another thread,
// from asking about a descriptor number that has been closed (and perhaps reused).
void Connection::Close() {
  if (closed_) return;
  std::error_code ignored;
  drain_deadline_.cancel();
  {
    std::lock_guard<std::mutex> hold(close_mu_);
    closed_ = true;
    socket_.close(ignored);
  }
  shared_.closed();
}

}  // namespace ostrel
