// client.h: the window's side of the wire. HelperClient asks the helper for its document once a
// second (every 5 s while nothing listens) and sends login-item changes, over libsoup 3's
// asynchronous client on the GLib main loop: libsoup parses HTTP/1.1 (status line, headers,
// lengths, garbage) and cancels cleanly there, so nothing is hand-written and nothing blocks.
// A body cut short by an early close is told by its Content-Length and counts as no answer.
//
// At most one request is ever in flight: the next is scheduled only once the previous one has
// finished or was cancelled, and a login-item change waits for the request in flight (it goes
// next, before the following document). A request waiting longer than the slow limit is
// reported once; after the give-up limit it is cancelled.
//
// Lives on the thread that runs the default GLib main context, and reports there. Callbacks
// must not destroy the client. Destroying it cancels what is in flight and turns the default
// main context until that request has wound down; nothing is reported after that.
#ifndef OSTREL_COMPANION_CLIENT_H_
#define OSTREL_COMPANION_CLIENT_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "companion/model.h"

typedef struct _GAsyncResult GAsyncResult;
typedef struct _GObject GObject;
typedef struct _SoupSession SoupSession;

namespace ostrel::window {

// The helper's fixed address.
inline constexpr int kHelperPort = 53843;
// Bodies longer than this are no answer.
inline constexpr size_t kMaxBodyBytes = 1 << 20;

struct Reply {
  std::optional<Failure> failure;  // nothing: `body` is the helper's status-200 body
  std::string body;
  std::string detail;  // why it failed, for a log line
};

struct ClientTiming {
  unsigned interval_ms = 1000;  // from one document request's start to the next
  unsigned absent_ms = 5000;    // after a refused connection
  unsigned slow_ms = 2000;      // a request waiting this long is reported as slow
  unsigned give_up_ms = 10000;  // and this long, cancelled
};

class HelperClient {
 public:
  struct Callbacks {
    std::function<void(const Reply&)> document;
    std::function<void(bool asked, const Reply&)> login;
    std::function<void()> slow;
  };

  // Talks to 127.0.0.1:`port`. Another port and timing are for tests only.
  explicit HelperClient(Callbacks callbacks, int port = kHelperPort, ClientTiming timing = {});
  ~HelperClient();
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;

  // Sends the first document request now, then keeps asking.
  void Start();
  // Asks for the login item on or off: now when nothing is in flight, else next. A later call
  // before it is sent replaces it.
  void SetLoginItem(bool enable);
  // The helper is being started: ask at the normal interval, not the absent one, for a while.
  void ExpectHelper();

 private:
  struct Request;
  static void OnSent(GObject* source, GAsyncResult* result, void* data);
  static void OnRead(GObject* source, GAsyncResult* result, void* data);
  static int OnSlow(void* data);
  static int OnGiveUp(void* data);
  static int OnTick(void* data);

  void Send();
  void Finish(Request* request, Reply reply);
  void Schedule(unsigned delay_ms);
  void ClearTimers();

  Callbacks callbacks_;
  std::string base_url_;
  ClientTiming timing_;
  SoupSession* session_;
  Request* in_flight_ = nullptr;
  std::optional<bool> login_queued_;
  int expect_helper_ = 0;  // refused requests left that retry at the normal interval
  unsigned tick_ = 0, slow_ = 0, give_up_ = 0;  // GLib sources
  bool started_ = false;
};

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_CLIENT_H_
