// listener.cc: the acceptor on Asio. One network thread runs the io_context: it takes
// connections from the backlog, starts each one's exchange (connection.cc) and, while
// descriptors are short, leaves new connections waiting in the backlog.
#include "server/listener.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/address_reuse.h"
#include "platform/thread_class.h"
#include "server/connection.h"
#include "server/descriptor_budget.h"
#include "server/heap_trim.h"

namespace ostrel {

using asio::ip::tcp;

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

}  // namespace

struct Listener::Impl {
  Impl(uint16_t port, DescriptorBudget& b, Handler h, QuickHandler q);
  void Accept();
  void PauseAccepting();
  void OnConnectionClosed();
  void Run();

  // First, so that it outlives the loop and the pool: destroying them drops pending handlers,
  // whose Replies still post to the loop through it.
  Connection::Shared shared;
  DescriptorBudget& budget;                 // the server's; the network thread's part of it
  asio::io_context io{1};                   // the network thread's event loop
  tcp::acceptor acceptor{io};               // bound to 127.0.0.1
  asio::steady_timer accept_pause{io};      // waits while descriptors are short
  asio::thread_pool workers{kWorkers};      // runs the handler
  HeapTrim heap_trim{io};                   // gives freed heap back after a burst
  std::thread io_thread;                    // runs Run()
  std::atomic<bool> accept_waiting{false};  // paused for want of descriptors
};

Listener::Impl::Impl(uint16_t port, DescriptorBudget& b, Handler h, QuickHandler q)
    : shared{io, workers, std::move(h), std::move(q), [this] { OnConnectionClosed(); }}, budget(b) {
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

// Takes connections from the backlog with accept4 (non-blocking and close-on-exec from the
// start) until it is empty, then waits for the listening socket to become readable. The wait is
// edge-triggered: it wakes only for connections that arrive after it begins, so the backlog must
// be empty when it does, or a full backlog (where no new connection can arrive) would never wake
// it. At most kAcceptBatch are taken in one turn; the next turn is posted so that the open
// connections are served in between.
void Listener::Impl::Accept() {
  for (int taken = 0; taken < kAcceptBatch; ++taken) {
    if (!budget.RoomToAccept()) {
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
      budget.Exhausted();
      PauseAccepting();
      return;
    }
    budget.Accepted();
    // The request is read at once; a client that reset while its connection waited in the
    // backlog (a reset flood) is found out by that read and closed before it costs a turn of
    // the loop.
    std::make_shared<Connection>(shared, fd)->Start();
  }
  asio::post(io, [this] { Accept(); });
}

// Accepting resumes after the pause, or at once when a closing connection cancels it.
void Listener::Impl::PauseAccepting() {
  accept_waiting = true;
  accept_pause.expires_after(std::chrono::milliseconds(DescriptorBudget::kAcceptPauseMs));
  accept_pause.async_wait([this](const std::error_code&) {
    accept_waiting = false;
    Accept();
  });
}

// Any thread: connections are closed by whichever thread answers them.
void Listener::Impl::OnConnectionClosed() {
  // Accepting waits for descriptors: this one may be what it waits for (the pause's handler
  // then runs at once and counts afresh).
  if (budget.Closed() && accept_waiting) {
    asio::post(io, [this] {
      if (accept_waiting) accept_pause.cancel();
    });
  }
  heap_trim.ConnectionClosed();
}

Listener::Listener(uint16_t port, DescriptorBudget& budget, Handler handler, QuickHandler quick)
    : impl_(std::make_unique<Impl>(port, budget, std::move(handler), std::move(quick))) {}

Listener::~Listener() { Stop(); }

void Listener::Stop() {
  if (!impl_->io_thread.joinable()) return;
  impl_->io.stop();
  impl_->io_thread.join();
  impl_->workers.stop();
  impl_->workers.join();
}

uint16_t Listener::port() const {
  std::error_code ignored;
  return impl_->acceptor.local_endpoint(ignored).port();
}

}  // namespace ostrel
