// connection.cc: one connection, outside the event loop while it can be, in it when it must
// wait. Outside the loop, whichever thread holds the connection does its socket calls under its
// lock (the network thread reading the request, then the thread answering it); once in the
// loop, only the network thread does, and other threads post to it or ask, under the lock,
// whether the peer has reset.
//
// A reset costs no reading and holds no descriptor for long: a connection whose request goes to
// the workers is closed at once when found reset after its read; one whose answer waits behind
// a reading in progress is watched in the loop, so that a reset arriving meanwhile closes it
// then; a snapshot request is asked whether its client has reset when its reading starts.
#include "server/connection.h"

#include <errno.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/peer_reset.h"
#include "platform/thread_class.h"
#include "server/text.h"

namespace ostrel {

using asio::ip::tcp;

namespace {

// True when the client has sent bytes that nobody has read (or that cannot be told).
bool HasUnread(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) != 0 || n > 0;
}

}  // namespace

Connection::Connection(Shared& shared, int fd)
    : shared_(shared), fd_(fd), socket_(shared.io), drain_deadline_(shared.io) {}

void Connection::Start() { ReadRequest(); }

// Outside the loop: sends at once and closes when the whole answer went out and nothing is left
// unread (the usual case); otherwise the loop finishes the sending and drains.
void Connection::Answer(std::string response) {
  std::unique_lock<std::mutex> hold(mu_);
  if (closed_) return;
  if (!in_loop_) {
    answered_ = true;
    ssize_t n;
    do {
      n = send(fd_, response.data(), response.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const bool failed = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
    const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
    if (failed || (sent == response.size() && complete_ && !HasUnread(fd_))) {
      closed_ = true;
      close(fd_);
      hold.unlock();
      shared_.closed();
      return;
    }
    hold.unlock();
    asio::post(shared_.io, [self = shared_from_this(), response = std::move(response), sent]() {
      self->Send(std::move(response), sent);
    });
    return;
  }
  hold.unlock();
  asio::post(shared_.io, [self = shared_from_this(), response = std::move(response)]() mutable {
    self->Send(std::move(response), 0);
  });
}

void Connection::Abandon() {
  std::unique_lock<std::mutex> hold(mu_);
  if (closed_) return;
  if (in_loop_) {
    hold.unlock();
    asio::post(shared_.io, [self = shared_from_this()] { self->Close(); });
    return;
  }
  closed_ = true;
  close(fd_);
  hold.unlock();
  shared_.closed();
}

void Connection::Watch() {
  asio::post(shared_.io, [self = shared_from_this()] {
    {
      std::lock_guard<std::mutex> hold(self->mu_);
      if (self->closed_ || self->answered_ || self->in_loop_) return;
    }
    if (self->JoinLoop()) {
      self->WatchForReset();
    } else {
      self->Close();
    }
  });
}

// The lock keeps the descriptor from being closed, and its number reused by another
// connection, while the kernel is asked about it.
bool Connection::PeerGone() const {
  std::lock_guard<std::mutex> hold(mu_);
  return closed_ || PeerHasReset(fd_);
}

// The one read, on the network thread: at once when the connection is accepted, again when the
// loop sees bytes arrive. A peer that closed without sending is an empty request; one whose
// connection failed (reset before it sent anything) can be sent nothing and costs nothing more,
// and neither can one that sent its request and reset at once: the reset often arrives before
// the request is read, and the read still returns the request. A peer that only ended its
// sending side is not reset and gets its answer.
void Connection::ReadRequest() {
  ssize_t n;
  do {
    n = recv(fd_, shared_.read_buffer.data(), shared_.read_buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    if (!JoinLoop()) {
      Close();
      return;
    }
    socket_.async_wait(tcp::socket::wait_read,
                       [self = shared_from_this()](const std::error_code& ec) {
                         if (ec != asio::error::operation_aborted) self->ReadRequest();
                       });
    return;
  }
  if (n < 0) {
    Close();
    return;
  }
  const std::string_view bytes(shared_.read_buffer.data(), static_cast<size_t>(n));
  // A whole request head in one read, nothing cut off: once answered, the connection can be
  // closed at once unless the client sends more meanwhile.
  complete_ = bytes.size() < Listener::kMaxRequest && bytes.ends_with("\r\n\r\n");
  const std::string_view request = IsValidUtf8(bytes) ? bytes : std::string_view();
  if (in_loop_) WatchForReset();
  Reply reply(shared_from_this());
  try {
    // A snapshot request taken here is asked again whether its client has reset when its
    // reading starts (shared_readings.h), so that question costs nothing here.
    if (shared_.quick && shared_.quick(request, reply)) return;
  } catch (...) {
    return;  // out of memory, say: the Reply, dropped, closes the connection
  }
  if (PeerHasReset(fd_)) return;  // the Reply, dropped, closes the connection
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

// Network thread: registers the socket with the loop, once. False when it is closed or cannot
// be registered.
bool Connection::JoinLoop() {
  std::lock_guard<std::mutex> hold(mu_);
  if (closed_) return false;
  if (in_loop_) return true;
  std::error_code ec;
  socket_.assign(tcp::v4(), fd_, ec);
  if (ec) return false;
  socket_.non_blocking(true, ec);  // it is already; this tells the loop
  in_loop_ = true;
  return true;
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

// Network thread: sends what is left of the answer from byte `sent` on.
void Connection::Send(std::string response, size_t sent) {
  if (!JoinLoop()) {
    Close();
    return;
  }
  {
    std::lock_guard<std::mutex> hold(mu_);
    answered_ = true;
  }
  std::error_code ignored;
  socket_.cancel(ignored);  // the watch for a reset: the write and drain see one themselves
  response_ = std::move(response);
  asio::async_write(socket_, asio::buffer(response_) + sent,
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

// Network thread; the first close wins, later ones do nothing. The lock keeps PeerGone, on
// another thread, from asking about a descriptor number that has been closed (and perhaps
// reused).
void Connection::Close() {
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (closed_) return;
    closed_ = true;
    if (in_loop_) {
      std::error_code ignored;
      drain_deadline_.cancel();
      socket_.close(ignored);
    } else {
      close(fd_);
    }
  }
  shared_.closed();
}

}  // namespace ostrel
