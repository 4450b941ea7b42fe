// connection.h: one accepted connection's exchange: one read of the request, the hand-off to
// a handler, the one answer, then closing (after draining what the client still sends).
//
// Connections are made and started by the listener on its network thread, which alone touches
// their sockets. A connection keeps itself alive through its pending operations and its Reply
// (reply.h); Answer, Abandon and PeerGone may be called from any thread. Everything the
// connections of one listener share lives in a Connection::Shared that the listener owns and
// keeps until its threads have been joined.
#ifndef OSTREL_SERVER_CONNECTION_H_
#define OSTREL_SERVER_CONNECTION_H_

#include <stddef.h>

#include <array>
#include <asio.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "server/listener.h"

namespace ostrel {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  static constexpr size_t kMaxDiscard = 65536;  // bytes drained after the answer, at most
  static constexpr int kDrainSeconds = 2;       // time the drain may take, at most

  // What the connections of one listener share. The buffers are the network thread's alone.
  struct Shared {
    asio::io_context& io;                                   // the network thread's loop
    asio::thread_pool& workers;                             // runs `handler`
    Listener::Handler handler;                              // serves a request on a worker
    Listener::QuickHandler quick;                           // may take one on the network thread
    std::function<void()> closed;                           // told of each close, network thread
    std::array<char, Listener::kMaxRequest> read_buffer{};  // the one read of a request
    std::array<char, 4096> discard_buffer{};                // drained bytes
  };

  Connection(Shared& shared, asio::ip::tcp::socket socket);

  // Network thread: waits for the request. An idle connection holds no buffer, only its socket.
  void Start();

  // Any thread: hands the framed answer to the network thread, which sends it.
  void Answer(std::string response);
  // Any thread: closes the connection unanswered, on the network thread.
  void Abandon();
  // Any thread: true when the client has reset the connection or it is closed.
  bool PeerGone() const;

 private:
  void ReadRequest();
  void WatchForReset();
  void Send(std::string response);
  void Drain();
  void DrainSome();
  void Close();

  Shared& shared_;                     // outlives every connection
  asio::ip::tcp::socket socket_;       // the client connection, network thread only
  asio::steady_timer drain_deadline_;  // bounds the drain in time
  std::string response_;               // the framed answer while it is being sent
  size_t discarded_ = 0;               // bytes drained so far
  int fd_ = -1;                        // the socket's descriptor, for PeerGone, set on reading
  bool complete_ = false;              // the read held a whole request head and nothing more
  bool answered_ = false;              // Send has begun: the watch for a reset has ended
  mutable std::mutex close_mu_;        // held while the socket closes and while PeerGone asks
  bool closed_ = false;                // Close has run; written under close_mu_
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_CONNECTION_H_
