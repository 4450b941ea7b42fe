// listener.cc: the exchange on Asio. One network thread runs the io_context: it accepts, waits
// for a request, reads it once, sends the answer, shuts down the sending side, drains what the
// client still sends and closes. Requests are handed to a pool of worker threads; answers come
// back through a Reply, which posts them to the network thread, so every socket is touched on
// that one thread only (the reading thread only asks, under the session's lock, whether the peer
// has reset). A Session is kept alive by its own pending operations and by its Reply, as in
// Asio's echo server.
//
// A reset costs no reading and holds no descriptor: a connection found reset when its request is
// read is closed at once, and while its answer is being made the network thread watches it, so
// that a reset arriving meanwhile closes it then, not when the answer is ready.
#include "server/listener.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/address_reuse.h"
#include "platform/process_resources.h"
#include "platform/socket_state.h"
#include "platform/thread_class.h"
#include "server/http_framing.h"
#include "server/text.h"

namespace ostrel {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// The next connection of the backlog, non-blocking and close-on-exec, or -1 with errno: one
// accept4 where the system has it, accept and two flag changes elsewhere (macOS).
int AcceptNonBlocking(int listener) {
#if defined(__linux__)
  return accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
  const int fd = accept(listener, nullptr, nullptr);
  if (fd >= 0) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return fd;
#endif
}

// Keeps a socket from leaking into the programs the helper starts (the dialog tool, the
// browser): an inherited listener would hold the port after the helper is gone.
void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }  // the only descriptor flag

// Descriptors are counted afresh at least this often, so that what others open or close
// (readers, login-item writes, the dialog tool's pipes) is seen.
constexpr auto kRecountInterval = std::chrono::seconds(1);

}  // namespace

struct Listener::Impl {
  Impl(uint16_t port, Handler h, QuickHandler q);
  void Accept();
  bool RoomToAccept();
  void PauseAccepting();
  void OnSessionClosed();
  void TrimWhenQuiet();
  void Run();

  asio::io_context io{1};                       // the network thread's event loop
  tcp::acceptor acceptor{io};                   // bound to 127.0.0.1
  asio::steady_timer accept_pause{io};          // waits while descriptors are short
  asio::steady_timer trim_timer{io};            // waits for a burst to end
  asio::thread_pool workers{kWorkers};          // runs `handler`
  Handler handler;                              // serves one request on a worker
  QuickHandler quick;                           // may take one on the network thread
  std::array<char, kMaxRequest> read_buffer{};  // network thread only: the one read
  std::array<char, 4096> discard_buffer{};      // network thread only: drained bytes
  std::thread io_thread;                        // runs Run()

  // Network thread only, from here on.
  // As last counted, less those accepted, plus those closed since; written by the network
  // thread only, read by any.
  std::atomic<int64_t> free_descriptors{0};
  Clock::time_point counted_at;  // when they were last counted
  bool accept_waiting = false;   // accepting has paused for want of descriptors
  uint64_t closed = 0;           // connections closed so far
  uint64_t closed_at_trim = 0;   // `closed` when the heap was last trimmed
  uint64_t closed_at_arm = 0;    // `closed` when the trim timer was last set
  bool trim_armed = false;       // the trim timer is set
};

class Listener::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Listener::Impl& owner, tcp::socket socket)
      : owner_(owner), socket_(std::move(socket)), drain_deadline_(owner.io) {}

  // Waits for the request without holding a buffer: an idle connection costs only its socket.
  void Start() {
    std::error_code ignored;
    socket_.non_blocking(true, ignored);
    socket_.async_wait(tcp::socket::wait_read,
                       [self = shared_from_this()](const std::error_code& ec) {
                         if (ec != asio::error::operation_aborted) self->ReadRequest();
                       });
  }

  // Any thread: hands the framed answer to the network thread.
  void Answer(std::string response) {
    asio::post(owner_.io, [self = shared_from_this(), response = std::move(response)]() mutable {
      self->Send(std::move(response));
    });
  }

  // Any thread: closes without an answer, on the network thread.
  void Abandon() {
    asio::post(owner_.io, [self = shared_from_this()] { self->Close(); });
  }

  // Any thread. The lock keeps the descriptor from being closed, and its number reused by
  // another connection, while the kernel is asked about it.
  bool PeerGone() const {
    std::lock_guard<std::mutex> hold(close_mu_);
    return closed_ || PeerHasReset(fd_);
  }

 private:
  // The one read. A peer that closed without sending is an empty request; one whose connection
  // failed (reset before it sent anything) can be sent nothing and costs nothing more, and
  // neither can one that sent its request and reset at once: the reset often arrives before the
  // request is read, and the read still returns the request. A peer that only ended its sending
  // side is not reset and gets its answer.
  void ReadRequest() {
    std::error_code ec;
    size_t n = socket_.read_some(asio::buffer(owner_.read_buffer), ec);
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
    const std::string_view bytes(owner_.read_buffer.data(), n);
    // A whole request head in one read, nothing cut off: once answered, the connection can be
    // closed at once unless the client sends more meanwhile.
    complete_ = n < kMaxRequest && bytes.ends_with("\r\n\r\n");
    const std::string_view request = IsValidUtf8(bytes) ? bytes : std::string_view();
    WatchForReset();
    Reply reply(shared_from_this());
    try {
      if (owner_.quick && owner_.quick(request, reply)) return;
    } catch (...) {
      return;  // out of memory, say: the Reply, dropped, closes the connection
    }
    asio::post(owner_.workers,
               [this, request = std::string(request), reply = std::move(reply)]() mutable {
                 // A worker enters the helper's thread class before its first request.
                 static thread_local const bool entered = (EnterServiceThreadClass(), true);
                 (void)entered;
                 try {
                   owner_.handler(request, std::move(reply));
                 } catch (...) {
                   // Out of memory, say: the Reply, dropped, closes the connection.
                 }
               });
  }

  // While the answer is being made: every wake of the socket (more bytes, an orderly end, a
  // reset) is looked at, and a reset closes the connection at once, freeing its descriptor; the
  // answer, when it comes, is dropped. The wait is edge-triggered, so waiting again after bytes
  // or an end does not spin. Send cancels it.
  void WatchForReset() {
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

  void Send(std::string response) {
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
  void Drain() {
    std::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    drain_deadline_.expires_after(std::chrono::seconds(Listener::kDrainSeconds));
    drain_deadline_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->Close();
    });
    DrainSome();
  }

  void DrainSome() {
    socket_.async_read_some(asio::buffer(owner_.discard_buffer),
                            [self = shared_from_this()](const std::error_code& ec, size_t n) {
                              self->discarded_ += n;
                              if (ec || self->discarded_ >= Listener::kMaxDiscard) {
                                self->Close();
                              } else {
                                self->DrainSome();
                              }
                            });
  }

  // Network thread only; the first call closes, later ones do nothing.
  void Close() {
    if (closed_) return;
    std::error_code ignored;
    drain_deadline_.cancel();
    {
      std::lock_guard<std::mutex> hold(close_mu_);
      closed_ = true;
      socket_.close(ignored);
    }
    owner_.OnSessionClosed();
  }

  Listener::Impl& owner_;              // outlives every session (joins before it goes)
  tcp::socket socket_;                 // the client connection, network thread only
  asio::steady_timer drain_deadline_;  // bounds the drain in time
  std::string response_;               // the framed answer while it is being sent
  size_t discarded_ = 0;               // bytes drained so far
  int fd_ = -1;                        // the socket's descriptor, for PeerGone, set on reading
  bool complete_ = false;              // the read held a whole request head and nothing more
  bool answered_ = false;              // Send has begun: the watch for a reset has ended
  // Held while the socket closes and while PeerGone asks about it, so that the reading thread
  // never asks about a descriptor number that has been closed (and perhaps reused).
  mutable std::mutex close_mu_;
  bool closed_ = false;  // Close has run; written under close_mu_, on the network thread
};

Listener::Reply::Reply(std::shared_ptr<Session> session) : session_(std::move(session)) {}

Listener::Reply::~Reply() {
  if (session_) session_->Abandon();
}

Listener::Reply& Listener::Reply::operator=(Reply&& other) noexcept {
  if (this != &other) {
    if (session_) session_->Abandon();
    session_ = std::move(other.session_);
  }
  return *this;
}

void Listener::Reply::Send(std::string_view body) {
  if (!session_) return;
  session_->Answer(FrameResponse(body));
  session_.reset();
}

bool Listener::Reply::PeerGone() const { return !session_ || session_->PeerGone(); }

Listener::Impl::Impl(uint16_t port, Handler h, QuickHandler q)
    : handler(std::move(h)), quick(std::move(q)) {
  const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
  const std::string where = "127.0.0.1:" + std::to_string(port);
  std::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (ec) throw std::system_error(ec, "socket for " + where);
  SetCloseOnExec(acceptor.native_handle());
  acceptor.non_blocking(true, ec);  // accept4 must find the backlog empty, not wait
  if (ec) throw std::system_error(ec, "socket for " + where);
  // Whether to ask for address reuse is the system's call (address_reuse.h says why).
  if (ListenerReusesAddress()) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (ec) throw std::system_error(ec, "setsockopt on " + where);
  acceptor.bind(endpoint, ec);
  if (ec) throw std::system_error(ec, "bind " + where);
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) throw std::system_error(ec, "listen on " + where);
  Accept();
  io_thread = std::thread([this] {
    EnterServiceThreadClass();
    Run();
  });
}

void Listener::Impl::Run() {
  for (;;) {
    try {
      io.run();
      return;  // stopped by Stop()
    } catch (...) {
      // A handler failed (out of memory, say): that connection is lost, the server goes on.
    }
  }
}

// The descriptor count costs time in proportion to the open descriptors, so it is taken only
// when the running estimate comes near the reserve, and once a second to catch what others
// opened or closed meanwhile.
bool Listener::Impl::RoomToAccept() {
  const Clock::time_point now = Clock::now();
  if (free_descriptors <= kDescriptorReserve || now - counted_at >= kRecountInterval) {
    free_descriptors = FreeDescriptorCount();
    counted_at = now;
  }
  return free_descriptors > kDescriptorReserve;
}

// Takes connections from the backlog with accept4 (non-blocking and close-on-exec from the
// start) until it is empty, then waits for the listening socket to become readable. The wait is
// edge-triggered: it wakes only for connections that arrive after it begins, so the backlog must
// be empty when it does, or a full backlog (where no new connection can arrive) would never wake
// it. At most kAcceptBatch are taken in one turn; the next turn is posted so that the open
// connections are served in between.
void Listener::Impl::Accept() {
  for (int taken = 0; taken < kAcceptBatch; ++taken) {
    if (!RoomToAccept()) {
      PauseAccepting();  // new connections wait in the backlog meanwhile
      return;
    }
    const int fd = AcceptNonBlocking(acceptor.native_handle());
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;  // that one left
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        acceptor.async_wait(tcp::acceptor::wait_read, [this](const std::error_code& ec) {
          if (ec != asio::error::operation_aborted) Accept();
        });
        return;
      }
      // EMFILE, ENFILE, ENOBUFS, ENOMEM: the connection stays in the backlog. Count afresh,
      // pause, keep serving the open connections, then try again.
      free_descriptors = 0;
      PauseAccepting();
      return;
    }
    --free_descriptors;
    // A client that reset while its connection waited in the backlog (a reset flood) can be
    // sent nothing: closing it here, before it costs a session and a turn of the loop, keeps
    // the open descriptors to the connections that are live.
    if (PeerHasReset(fd)) {
      close(fd);
      OnSessionClosed();
      continue;
    }
    tcp::socket socket(io);
    std::error_code ec;
    socket.assign(tcp::v4(), fd, ec);
    if (ec) {
      close(fd);
      ++free_descriptors;
      continue;
    }
    std::make_shared<Session>(*this, std::move(socket))->Start();
  }
  asio::post(io, [this] { Accept(); });
}

// Accepting resumes after the pause, or at once when a closing connection cancels it.
void Listener::Impl::PauseAccepting() {
  accept_waiting = true;
  accept_pause.expires_after(std::chrono::milliseconds(kAcceptPauseMs));
  accept_pause.async_wait([this](const std::error_code&) {
    accept_waiting = false;
    Accept();
  });
}

void Listener::Impl::OnSessionClosed() {
  ++free_descriptors;
  ++closed;
  // Accepting waits for descriptors: this one may be what it waits for (the pause's handler
  // then runs at once and counts afresh).
  if (accept_waiting && free_descriptors > kDescriptorReserve) accept_pause.cancel();
  if (!trim_armed && closed - closed_at_trim >= static_cast<uint64_t>(kTrimAfterConnections)) {
    trim_armed = true;
    TrimWhenQuiet();
  }
}

// A burst of connections leaves the heap full of freed blocks that the allocator keeps; once
// no connection has closed for a while, the burst is over and they go back to the system.
void Listener::Impl::TrimWhenQuiet() {
  closed_at_arm = closed;
  trim_timer.expires_after(std::chrono::milliseconds(kTrimQuietMs));
  trim_timer.async_wait([this](const std::error_code& ec) {
    if (ec) return;
    if (closed != closed_at_arm) {  // still busy: look again later
      TrimWhenQuiet();
      return;
    }
    trim_armed = false;
    closed_at_trim = closed;
    ReleaseFreeMemory();
  });
}

Listener::Listener(uint16_t port, Handler handler, QuickHandler quick)
    : impl_(std::make_unique<Impl>(port, std::move(handler), std::move(quick))) {}

Listener::~Listener() { Stop(); }

void Listener::Stop() {
  if (!impl_->io_thread.joinable()) return;
  impl_->io.stop();
  impl_->io_thread.join();
  impl_->workers.stop();
  impl_->workers.join();
}

int64_t Listener::FreeDescriptors() const { return impl_->free_descriptors.load(); }

uint16_t Listener::port() const {
  std::error_code ec;
  return impl_->acceptor.local_endpoint(ec).port();
}

}  // namespace ostrel
