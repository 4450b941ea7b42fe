// listener.cc: the exchange on Asio. One network thread runs the io_context: it accepts, waits
// for a request, reads it once, sends the answer, shuts down the sending side, drains what the
// client still sends and closes. Requests are handed to a pool of worker threads and their
// answers handed back to the network thread, so every socket is touched on that one thread only.
// A Session is kept alive by its own pending operations, as in Asio's echo server.
#include "server/listener.h"

#include <fcntl.h>

#include <array>
#include <asio.hpp>
#include <chrono>
#include <thread>

#include "server/http_framing.h"
#include "server/text.h"

namespace ostrel {

using asio::ip::tcp;

namespace {

// Keeps a socket from leaking into the programs the helper starts (the dialog tool, the
// browser): an inherited listener would hold the port after the helper is gone.
void SetCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace

struct Listener::Impl {
  Impl(uint16_t port, Handler h);
  void Accept();
  void OnAccept(const std::error_code& ec, tcp::socket socket);
  void Run();

  asio::io_context io{1};                       // the network thread's event loop
  tcp::acceptor acceptor{io};                   // bound to 127.0.0.1
  asio::steady_timer accept_pause{io};          // backs off while the fd table is full
  asio::thread_pool workers{kWorkers};          // runs `handler`
  Handler handler;                              // request text -> body
  std::array<char, kMaxRequest> read_buffer{};  // network thread only: the one read
  std::array<char, 4096> discard_buffer{};      // network thread only: drained bytes
  std::thread io_thread;                        // runs Run()
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
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

 private:
  // The one read. A failed read, or a peer that closed without sending, is an empty request.
  void ReadRequest() {
    std::error_code ec;
    size_t n = socket_.read_some(asio::buffer(owner_.read_buffer), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      Start();  // woken without data after all: wait again
      return;
    }
    std::string request(owner_.read_buffer.data(), ec ? 0 : n);
    asio::post(owner_.workers, [self = shared_from_this(), request = std::move(request)] {
      self->Answer(request);
    });
  }

  // On a worker thread: decode, route, frame; then back to the network thread to send.
  void Answer(const std::string& request) {
    std::string body;
    try {
      body = owner_.handler(IsValidUtf8(request) ? std::string_view(request) : std::string_view());
    } catch (...) {
      body = "{}";
    }
    asio::post(owner_.io, [self = shared_from_this(), response = FrameResponse(body)]() mutable {
      self->Send(std::move(response));
    });
  }

  void Send(std::string response) {
    response_ = std::move(response);
    asio::async_write(socket_, asio::buffer(response_),
                      [self = shared_from_this()](const std::error_code&, size_t) {
                        self->response_.clear();
                        self->Drain();
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

  void Close() {
    std::error_code ignored;
    drain_deadline_.cancel();
    socket_.close(ignored);
  }

  Listener::Impl& owner_;              // outlives every session (joins before it goes)
  tcp::socket socket_;                 // the client connection, network thread only
  asio::steady_timer drain_deadline_;  // bounds the drain in time
  std::string response_;               // the framed answer while it is being sent
  size_t discarded_ = 0;               // bytes drained so far
};

}  // namespace

Listener::Impl::Impl(uint16_t port, Handler h) : handler(std::move(h)) {
  const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
  const std::string where = "127.0.0.1:" + std::to_string(port);
  std::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (ec) throw std::system_error(ec, "socket for " + where);
  SetCloseOnExec(acceptor.native_handle());
  // SO_REUSEADDR lets a restarted helper bind while its old connections sit in TIME_WAIT; it
  // still refuses a port that a live process listens on. SO_REUSEPORT would not, and is never set.
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (ec) throw std::system_error(ec, "setsockopt on " + where);
  acceptor.bind(endpoint, ec);
  if (ec) throw std::system_error(ec, "bind " + where);
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) throw std::system_error(ec, "listen on " + where);
  Accept();
  io_thread = std::thread([this] { Run(); });
}

void Listener::Impl::Run() {
  for (;;) {
    try {
      io.run();
      return;  // stopped by ~Listener
    } catch (...) {
      // A handler failed (out of memory, say): that connection is lost, the server goes on.
    }
  }
}

void Listener::Impl::Accept() {
  acceptor.async_accept(
      [this](const std::error_code& ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
}

void Listener::Impl::OnAccept(const std::error_code& ec, tcp::socket socket) {
  if (!ec) {
    SetCloseOnExec(socket.native_handle());
    std::make_shared<Session>(*this, std::move(socket))->Start();
    Accept();
    return;
  }
  if (ec == asio::error::operation_aborted) return;
  if (ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
      ec == asio::error::interrupted) {
    Accept();  // that one client is gone; the next may be waiting
    return;
  }
  // EMFILE, ENFILE, ENOBUFS, ENOMEM: the pending connection stays in the backlog and would wake
  // us again at once. Pause, keep serving the open connections, then try again.
  accept_pause.expires_after(std::chrono::milliseconds(kAcceptPauseMs));
  accept_pause.async_wait([this](const std::error_code& wait_ec) {
    if (!wait_ec) Accept();
  });
}

Listener::Listener(uint16_t port, Handler handler)
    : impl_(std::make_unique<Impl>(port, std::move(handler))) {}

Listener::~Listener() {
  impl_->io.stop();
  impl_->io_thread.join();
  impl_->workers.stop();
  impl_->workers.join();
}

uint16_t Listener::port() const {
  std::error_code ec;
  return impl_->acceptor.local_endpoint(ec).port();
}

}  // namespace ostrel
