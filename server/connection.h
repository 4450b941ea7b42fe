// connection.h: one accepted connection's exchange: one read of the request, the hand-off to
// a handler, the one answer, then closing (after draining what the client still sends).
//
// A connection starts outside the network thread's event loop: its request is read at once
// when it is already there, and its answer is sent, and the connection closed, by whichever
// thread makes the answer (a worker, the reading thread), so the usual exchange costs no trip
// back to the network thread. It joins the loop when it must wait there: for a request not yet
// sent, for a reset while its answer waits behind a reading in progress (Watch), for an answer
// that does not go out at once, or to drain what the client still sends; from then on only the
// network thread touches its socket, and answers are posted to it.
//
// Connections are made and started by the listener on its network thread. A connection keeps
// itself alive through its pending operations and its Reply (reply.h); Answer, Abandon, Watch
// and PeerGone may be called from any thread. Everything the connections of one listener share
// lives in a Connection::Shared that the listener owns and keeps until its threads have been
// joined.
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
    std::function<void()> closed;                           // told of each close, any thread
    std::array<char, Listener::kMaxRequest> read_buffer{};  // the one read of a request
    std::array<char, 4096> discard_buffer{};                // drained bytes
  };

  // Takes `fd`, an accepted non-blocking socket.
  Connection(Shared& shared, int fd);

  // Network thread: reads the request, at once or once it comes. An idle connection holds no
  // buffer, only its socket.
  void Start();

  // Any thread: sends the framed answer and closes, or hands both to the network thread.
  void Answer(std::string response);
  // Any thread: closes the connection unanswered.
  void Abandon();
  // Any thread: the answer will wait; from now on a reset closes the connection when it comes.
  void Watch();
  // Any thread: true when the client has reset the connection or it is closed.
  bool PeerGone() const;

 private:
  void ReadRequest();
  bool JoinLoop();
  void WatchForReset();
  void Send(std::string response, size_t sent);
  void Drain();
  void DrainSome();
  void Close();

  Shared& shared_;                     // outlives every connection
  const int fd_;                       // the client connection, closed by Close
  asio::ip::tcp::socket socket_;       // fd_ once in the loop; network thread only then
  asio::steady_timer drain_deadline_;  // bounds the drain in time
  std::string response_;               // the framed answer while the loop sends it
  size_t discarded_ = 0;               // bytes drained so far
  bool complete_ = false;              // the read held a whole request head and nothing more
  // Guards what follows. Before the connection joins the loop the thread holding it does the
  // exchange; afterwards the flags are the network thread's, written under it.
  mutable std::mutex mu_;
  bool in_loop_ = false;   // fd_ is registered with the loop (socket_ holds it)
  bool answered_ = false;  // the answer has begun: the watch for a reset has ended
  bool closed_ = false;    // fd_ is closed
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_CONNECTION_H_
