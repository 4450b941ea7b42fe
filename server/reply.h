// reply.h: the answer owed to one request, held by whatever code makes that answer.
//
// A Reply is a move-only handle on one accepted connection (connection.h); it keeps the
// connection alive until it is sent or dropped. It may be moved to, sent from and asked from
// any thread, one thread at a time. Dropping a Reply unsent closes its connection unanswered.
#ifndef OSTREL_SERVER_REPLY_H_
#define OSTREL_SERVER_REPLY_H_

#include <memory>
#include <string_view>

namespace ostrel {

class Connection;

class Reply {
 public:
  explicit Reply(std::shared_ptr<Connection> connection);
  Reply(Reply&&) noexcept = default;
  Reply& operator=(Reply&& other) noexcept;  // drops the answer this one owed
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  ~Reply();

  // Frames `body` (a JSON text) as the one response of the connection and sends it. The Reply
  // is spent afterwards; sending a spent Reply does nothing.
  void Send(std::string_view body);

  // True when the client has reset the connection (or the Reply is spent): nothing sent can
  // reach it any more. A client that only ended its sending side still reads the answer.
  bool PeerGone() const;

  // Says that the answer will not be made at once: from now on a reset closes the connection
  // when it arrives, freeing its descriptor before the answer is ready. Without it, a reset is
  // found when the answer is sent or PeerGone asks.
  void Watch();

 private:
  std::shared_ptr<Connection> connection_;  // null once sent
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_REPLY_H_
