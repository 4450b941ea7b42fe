// listener.h: the loopback TCP listener and its one-request-per-connection exchange.
//
// A Listener owns one network thread, which accepts, reads, writes and closes every connection
// (so an idle connection costs a socket and a few hundred bytes, never a thread), and a pool of
// worker threads, on which the request handler runs: a slow handler never delays accepting or
// reading other connections, and kWorkers handlers can run at once before further requests
// queue. Destroying the Listener stops accepting, joins every thread and drops every connection.
#ifndef OSTREL_SERVER_LISTENER_H_
#define OSTREL_SERVER_LISTENER_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ostrel {

class Listener {
 public:
  // Turns the request text (well-formed UTF-8, possibly empty) into the response body. Runs on
  // the worker threads, possibly on several at once.
  using Handler = std::function<std::string(std::string_view request)>;

  static constexpr int kWorkers = 16;           // handlers that may run at the same time
  static constexpr size_t kMaxRequest = 8192;   // bytes taken by the one read of a request
  static constexpr size_t kMaxDiscard = 65536;  // bytes drained after the answer, at most
  static constexpr int kDrainSeconds = 2;       // time the drain may take, at most
  static constexpr int kAcceptPauseMs = 100;    // pause when the fd table is full

  // Binds 127.0.0.1:`port` (0 picks a free port, for tests) with SO_REUSEADDR, listens, and
  // starts serving with `handler`. Throws std::system_error, whose what() names the address and
  // the system's reason, when the socket cannot be created, bound or put to listen.
  Listener(uint16_t port, Handler handler);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The port actually bound.
  uint16_t port() const;

  struct Impl;  // the io context, acceptor and threads; defined in listener.cc

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_LISTENER_H_
