// descriptor_budget.h: the process's open-file descriptors, budgeted in one place: the limit
// raised once at start, the reserve kept free beside the connections, the check before
// accepting a connection and the check before taking a sensor reading.
//
// Near the limit a new connection waits in the kernel's backlog (it is not accepted) and a
// reading is postponed, so a document never lacks a sensor for want of descriptors.
//
// One budget per server, owned by it. The network thread alone calls RoomToAccept, Accepted
// and Exhausted; Closed and RoomToRead may run on any thread (connections are closed by the
// thread that answers them).
#ifndef OSTREL_SERVER_DESCRIPTOR_BUDGET_H_
#define OSTREL_SERVER_DESCRIPTOR_BUDGET_H_

#include <stdint.h>

#include <atomic>
#include <chrono>

namespace ostrel {

class DescriptorBudget {
 public:
  // Descriptors kept free for the work besides the connections themselves: one sensor reading
  // needs up to kPerReading at once; the login-item workers, the launch alert and the log up to
  // 16 more; the rest is slack for the runtime.
  static constexpr int64_t kReserve = 32;
  // Descriptors one reading may hold at once (a folder listing, a chip's folder and one of its
  // files, with room to spare).
  static constexpr int kPerReading = 8;
  // Without room, accepting pauses for kAcceptPauseMs (or until a connection closes), and a
  // reading waits kReadRetryMs before it tries again: longer than the power reader's 0.05 s, so
  // that a reading taken again still has an interval to average over.
  static constexpr int kAcceptPauseMs = 100;
  static constexpr int kReadRetryMs = 60;
  // The most a process may have open on macOS (OPEN_MAX); a higher limit is refused there.
  static constexpr uint64_t kMaxOpenFiles = 10240;

  // Raises the soft limit on open files to the hard one (or to kMaxOpenFiles where the system
  // refuses more), so that a burst of connections does not run out at a distribution's default
  // of 1024 or macOS's 256. Call once, at start. Returns the soft limit in force afterwards
  // (the old one when it could not be raised; 0 when it cannot be read).
  static uint64_t RaiseLimit();

  // Network thread: true when more than kReserve descriptors are free, so that a connection
  // may be accepted now.
  bool RoomToAccept();
  // Network thread: a connection was accepted.
  void Accepted() { --free_; }
  // Any thread: a connection was closed. True when the estimate, without counting, is above
  // the reserve now.
  bool Closed() { return ++free_ > kReserve; }
  // Network thread: accepting failed for want of descriptors; the next check counts afresh.
  void Exhausted() { free_ = 0; }

  // Any thread: true when a reading can open the kPerReading descriptors it needs now. Costs
  // nothing while descriptors are plentiful; near the reserve it takes them and gives them back.
  bool RoomToRead() const;

 private:
  // The free descriptors as last counted, less those accepted, plus those closed since: exact
  // for the connections, counted afresh near the reserve and at least once a second for the
  // rest. Recounted by the network thread, raised by any.
  std::atomic<int64_t> free_{0};
  std::chrono::steady_clock::time_point counted_at_;  // network thread: the last count
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_DESCRIPTOR_BUDGET_H_
