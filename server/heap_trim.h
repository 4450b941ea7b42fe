// heap_trim.h: gives the heap's free pages back to the system once a burst of connections is
// over, so that a helper that has served a burst shrinks back to its idle size.
//
// Told of every closed connection, on any thread; its timer runs on the network thread's loop,
// which it outlives.
#ifndef OSTREL_SERVER_HEAP_TRIM_H_
#define OSTREL_SERVER_HEAP_TRIM_H_

#include <stdint.h>

#include <asio.hpp>
#include <atomic>

namespace ostrel {

class HeapTrim {
 public:
  // After this many connections, and once none has closed for kQuietMs, free heap goes back.
  static constexpr int kAfterConnections = 1024;
  static constexpr int kQuietMs = 1000;

  explicit HeapTrim(asio::io_context& io) : timer_(io) {}

  // One more connection has closed.
  void ConnectionClosed();

 private:
  void TrimWhenQuiet();

  asio::steady_timer timer_;         // waits for the burst to end; network thread
  std::atomic<uint64_t> closed_{0};  // connections closed so far
  std::atomic<uint64_t> closed_at_trim_{0};
  uint64_t closed_at_arm_ = 0;      // network thread: `closed_` when the timer was last set
  std::atomic<bool> armed_{false};  // the timer is set, or about to be
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_HEAP_TRIM_H_
