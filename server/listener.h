// listener.h: the loopback TCP listener and its one-request-per-connection exchange.
//
// A Listener owns one network thread, which accepts, reads, writes and closes every connection
// (so an idle connection costs a socket and a few hundred bytes, never a thread), and a small
// pool of worker threads, on which the request handler runs. A request may first be offered to
// a quick handler on the network thread, which takes it when it can answer without waiting (the
// server queues snapshot requests for a shared reading there, saving a trip through a worker).
// Either handler answers through a Reply, at once or later from any thread (the server's shared
// sensor readings answer from their own thread), so a slow answer never delays accepting or
// reading other connections.
//
// Descriptors: the listener keeps kDescriptorReserve descriptors free for the work around it (a
// sensor reading, login-item requests, the launch alert, the log). While fewer are free it
// stops accepting, and new connections wait in the kernel's backlog until some close.
//
// Memory: after a burst of connections, once the burst has been quiet for a moment, the
// listener hands the heap's free pages back to the system.
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

namespace ostrel {

class Listener {
 public:
  class Session;  // one accepted connection, defined in listener.cc
  struct Impl;    // the io context, acceptor and threads, defined in listener.cc

  // The answer to one request. Send it once, from any thread; a Reply dropped without Send
  // closes its connection without an answer.
  class Reply {
   public:
    explicit Reply(std::shared_ptr<Session> session);
    Reply(Reply&&) noexcept = default;
    Reply& operator=(Reply&& other) noexcept;  // drops the answer this one owed
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply();

    // Frames `body` (a JSON text) as the one response of the connection and sends it. The
    // Reply is spent afterwards.
    void Send(std::string_view body);

    // True when the client has reset the connection: nothing sent can reach it any more.
    // A client that only ended its sending side is not gone: it still reads the answer.
    bool PeerGone() const;

   private:
    std::shared_ptr<Session> session_;  // null once sent
  };

  // Serves one request: its text (well-formed UTF-8, possibly empty) and the Reply to answer
  // it with. Runs on the worker threads, possibly on several at once.
  using Handler = std::function<void(std::string_view request, Reply reply)>;
  // Offered each request first, on the network thread: takes `reply` (moving from it) and
  // returns true, or leaves it and returns false to hand the request to the workers. Must not
  // wait for anything.
  using QuickHandler = std::function<bool(std::string_view request, Reply& reply)>;

  static constexpr int kWorkers = 4;            // handlers that may run at the same time
  static constexpr size_t kMaxRequest = 8192;   // bytes taken by the one read of a request
  static constexpr size_t kMaxDiscard = 65536;  // bytes drained after the answer, at most
  static constexpr int kDrainSeconds = 2;       // time the drain may take, at most
  static constexpr int kAcceptPauseMs = 100;    // pause when descriptors are short
  static constexpr int kAcceptBatch = 64;       // connections taken in one turn, at most
  // Descriptors kept free for the work besides the connections themselves: one sensor reading
  // needs up to 8 at once; the login-item workers, the launch alert and the log up to 16 more;
  // the rest is slack for the runtime.
  static constexpr int64_t kDescriptorReserve = 32;
  // After this many connections, and a second without any closing, free heap goes back.
  static constexpr int kTrimAfterConnections = 1024;
  static constexpr int kTrimQuietMs = 1000;

  // Binds 127.0.0.1:`port` (0 picks a free port, for tests) with SO_REUSEADDR, listens, and
  // starts serving with `quick` (may be empty) and `handler`. Throws std::system_error, whose
  // what() names the address and the system's reason, when the socket cannot be created, bound
  // or put to listen.
  Listener(uint16_t port, Handler handler, QuickHandler quick = nullptr);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Stops accepting and serving and joins the network and worker threads; answers sent after
  // this are dropped. Call from one thread; later calls do nothing.
  void Stop();

  // The port actually bound.
  uint16_t port() const;

  // Descriptors the process may still open, as the network thread last estimated them (exact
  // for its own connections, counted afresh at least once a second); any thread.
  int64_t FreeDescriptors() const;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_LISTENER_H_
