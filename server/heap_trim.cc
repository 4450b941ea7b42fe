// heap_trim.cc: a burst of connections leaves the heap full of freed blocks that the allocator
// keeps; once no connection has closed for a while, the burst is over and they go back.
#include "server/heap_trim.h"

#include "platform/heap_release.h"

namespace ostrel {

void HeapTrim::ConnectionClosed() {
  const uint64_t closed = ++closed_;
  if (!armed_ && closed - closed_at_trim_ >= static_cast<uint64_t>(kAfterConnections) &&
      !armed_.exchange(true)) {
    asio::post(timer_.get_executor(), [this] { TrimWhenQuiet(); });
  }
}

void HeapTrim::TrimWhenQuiet() {
  closed_at_arm_ = closed_;
  timer_.expires_after(std::chrono::milliseconds(kQuietMs));
  timer_.async_wait([this](const std::error_code& ec) {
    if (ec) return;
    if (closed_ != closed_at_arm_) {  // still busy: look again later
      TrimWhenQuiet();
      return;
    }
    closed_at_trim_ = closed_.load();
    armed_ = false;
    ReleaseFreeMemory();
  });
}

}  // namespace ostrel
