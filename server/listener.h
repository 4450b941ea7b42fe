// listener.h: the loopback TCP listener: it binds 127.0.0.1, accepts connections and runs the
// threads that serve them.
//
// A Listener owns one network thread, which accepts and runs every connection's exchange
// (connection.h), so an idle connection costs a socket and a few hundred bytes, never a thread,
// and a small pool of worker threads, on which the request handler runs. A request may first be
// offered to a quick handler on the network thread, which takes it when it can answer without
// waiting. Either handler answers through a Reply (reply.h), at once or later from any thread,
// so a slow answer never delays accepting or reading other connections.
//
// Descriptors: while the server's budget (descriptor_budget.h) has no room, the listener stops
// accepting, and new connections wait in the kernel's backlog until some close.
//
// Stop() (also run by the destructor) stops accepting and serving and joins the threads; every
// Reply must be gone before the Listener itself is destroyed.
#ifndef OSTREL_SERVER_LISTENER_H_
#define OSTREL_SERVER_LISTENER_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/descriptor_budget.h"
#include "server/reply.h"

namespace ostrel {

class Listener {
 public:
  struct Impl;  // the io context, acceptor and threads, defined in listener.cc

  // Serves one request: its text (well-formed UTF-8, possibly empty) and the Reply to answer
  // it with. Runs on the worker threads, possibly on several at once.
  using Handler = std::function<void(std::string_view request, Reply reply)>;
  // Offered each request first, on the network thread: takes `reply` (moving from it) and
  // returns true, or leaves it and returns false to hand the request to the workers. Must not
  // wait for anything.
  using QuickHandler = std::function<bool(std::string_view request, Reply& reply)>;

  static constexpr int kWorkers = 4;           // handlers that may run at the same time
  static constexpr size_t kMaxRequest = 8192;  // bytes taken by the one read of a request
  static constexpr int kAcceptBatch = 64;      // connections taken in one turn, at most

  // Binds 127.0.0.1:`port` (0 picks a free port, for tests), with address reuse where the
  // system asks for it (platform/address_reuse.h), listens, and starts serving with `quick`
  // (may be empty) and `handler`, accepting only while `budget` (borrowed; it must outlive the
  // listener) has room. Throws std::system_error, whose what() names the address and the
  // system's reason, when the socket cannot be created, bound or put to listen.
  Listener(uint16_t port, DescriptorBudget& budget, Handler handler, QuickHandler quick = nullptr);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Stops accepting and serving and joins the network and worker threads; answers sent after
  // this are dropped. Call from one thread; later calls do nothing.
  void Stop();

  // The port actually bound.
  uint16_t port() const;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_LISTENER_H_
