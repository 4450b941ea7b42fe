// shared_readings.cc: the reading thread's loop: wait for requests, make sure descriptors are
// there, take the waiting batch, read once, answer the batch.
#include "server/shared_readings.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/thread_class.h"

namespace ostrel {

SharedReadings::SharedReadings(std::function<std::string()> read, const DescriptorBudget& budget)
    : read_(std::move(read)), budget_(budget), thread_([this] {
        EnterServiceThreadClass();
        Run();
      }) {}

SharedReadings::~SharedReadings() {
  {
    std::lock_guard<std::mutex> hold(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void SharedReadings::Request(Reply reply) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (stopping_) return;  // the Reply, dropped, closes its connection
    // The listener closes a connection as soon as its peer resets, but its Reply stays here
    // until a reading takes it; while a reading is slow (or stuck), a reset flood would pile
    // them up. Weeding them out each time the queue doubles keeps it to the live requests at
    // a constant cost per request.
    if (waiting_.size() >= weed_at_) {
      std::erase_if(waiting_, [](const Reply& r) { return r.PeerGone(); });
      weed_at_ = std::max(kWeedFloor, 2 * waiting_.size());
    }
    if (busy_) reply.Watch();
    waiting_.push_back(std::move(reply));
  }
  wake_.notify_one();
}

void SharedReadings::WatchWaiting() {
  for (Reply& reply : waiting_) reply.Watch();
}

void SharedReadings::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    busy_ = false;
    wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    busy_ = true;

    // Short of descriptors (a full table, in this process or the system): a reading now could
    // only come back with sensors missing. Wait, keep the requests, try again.
    lock.unlock();
    const bool room = budget_.RoomToRead();
    lock.lock();
    if (!room) {
      WatchWaiting();
      wake_.wait_for(lock, std::chrono::milliseconds(DescriptorBudget::kReadRetryMs),
                     [this] { return stopping_; });
      continue;
    }

    // The reading starts: it answers exactly the requests waiting now. Clients that reset
    // their connection meanwhile are dropped (their connections close now, not after the
    // reading); when all have, there is nothing to read for.
    std::vector<Reply> batch;
    batch.swap(waiting_);
    weed_at_ = kWeedFloor;
    lock.unlock();
    std::erase_if(batch, [](const Reply& r) { return r.PeerGone(); });
    if (batch.empty()) {
      lock.lock();
      continue;
    }

    const std::string document = read_();
    if (!budget_.RoomToRead()) {
      // Descriptors ran short during the reading, so some reads may have failed for want of
      // them: the document may lack sensors that are there. Put the batch back in front and
      // read again.
      lock.lock();
      batch.insert(batch.end(), std::make_move_iterator(waiting_.begin()),
                   std::make_move_iterator(waiting_.end()));
      waiting_.swap(batch);
      WatchWaiting();
      wake_.wait_for(lock, std::chrono::milliseconds(DescriptorBudget::kReadRetryMs),
                     [this] { return stopping_; });
      continue;
    }
    for (Reply& reply : batch) reply.Send(document);
    batch.clear();
    lock.lock();
  }
}

}  // namespace ostrel
