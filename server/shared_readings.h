// shared_readings.h: one sensor reading at a time, shared by every snapshot request waiting
// when it starts.
//
// A request is answered with the first reading that starts after it was handed in; every
// request waiting when a reading starts gets that reading's document. So each document is built
// from readings taken after its request arrived, readings happen only when requests wait, and
// under load the sensors are read once per batch rather than once per request. A reading that
// never returns holds up only the snapshot requests that wait for it.
//
// Descriptors: a reading starts only when the server's budget (descriptor_budget.h) has room
// for it, and its document is thrown away (and the reading taken again) when there is none by
// its end, so no document is built from reads that failed for want of descriptors.
//
// A request that arrives while the reading thread is busy (reading, or waiting for descriptors)
// is watched for a reset meanwhile (Reply::Watch); one that finds it idle is read for at once.
//
// One reading thread, owned here, calls `read` and sends the answers; Request runs on any
// thread. Destroying the
// object waits for a reading in progress, then drops the requests still waiting (their
// connections are closed unanswered).
#ifndef OSTREL_SERVER_SHARED_READINGS_H_
#define OSTREL_SERVER_SHARED_READINGS_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/descriptor_budget.h"
#include "server/reply.h"

namespace ostrel {

class SharedReadings {
 public:
  // Queue length from which requests whose clients have reset are weeded out on arrival.
  static constexpr size_t kWeedFloor = 64;

  // `read` takes one reading and returns its document; it runs on the reading thread only.
  // `budget` is borrowed and must outlive this object.
  SharedReadings(std::function<std::string()> read, const DescriptorBudget& budget);
  ~SharedReadings();
  SharedReadings(const SharedReadings&) = delete;
  SharedReadings& operator=(const SharedReadings&) = delete;

  // Answers `reply` with the document of the first reading that starts after this call.
  void Request(Reply reply);

 private:
  void Run();

  const std::function<std::string()> read_;  // one reading, as a document
  const DescriptorBudget& budget_;           // the server's
  // Watches every waiting request: they wait longer than the next reading. Holds mu_.
  void WatchWaiting();

  std::mutex mu_;                 // guards what follows up to thread_
  std::condition_variable wake_;  // a request came, or the end
  std::vector<Reply> waiting_;    // requests for the next reading, in arrival order
  size_t weed_at_ = kWeedFloor;   // queue length at which reset requests go next
  bool stopping_ = false;         // the destructor has begun
  bool busy_ = false;             // the reading thread is not waiting for requests
  std::thread thread_;            // runs Run(); last, so it starts after the rest
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_SHARED_READINGS_H_
