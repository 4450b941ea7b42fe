// The helper's client on a GLib main loop against a scripted loopback server that counts the
// connections open at once: odd answers, refusals, login changes queued behind a document.
#include "companion/client.h"

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace ostrel::window {
namespace {

// GIO's defaults would read the desktop's proxy settings through dconf, on a thread of its own
// that ThreadSanitizer cannot see into; the client needs neither (it never uses a proxy).
const bool kPlainGio = [] {
  setenv("GSETTINGS_BACKEND", "memory", 1);
  setenv("GIO_USE_PROXY_RESOLVER", "dummy", 1);
  return true;
}();

constexpr ClientTiming kFast{50, 200, 400, 1000};
const std::string kDocument = R"({"temperatures":[],"fans":[],"power":{},"loginItem":true})";

// What the server does with one connection, after reading the request's head.
struct Act {
  enum Kind { kAnswer, kSilent, kCloseEarly, kGarbage } kind = kAnswer;
  int delay_ms = 0;
  std::string body = kDocument;
};

class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<Act> script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 16);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~ScriptedServer() {
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& t : connections_) t.join();
    close(listener_);
  }
  int port() const { return port_; }
  int most_open() const { return most_open_; }
  std::vector<std::string> targets() {
    std::lock_guard<std::mutex> hold(lock_);
    return targets_;
  }

 private:
  void Accept() {
    for (size_t n = 0;; ++n) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      const timeval bound{3, 0};  // a client that never closes fails the test, not hangs it
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
      {
        // Open means the client has not closed its end, however late our threads notice.
        std::lock_guard<std::mutex> hold(lock_);
        int open = 1;
        for (int other : live_) {
          pollfd probe{other, POLLRDHUP, 0};
          open += poll(&probe, 1, 0) == 0;
        }
        most_open_ = std::max(most_open_.load(), open);
        live_.push_back(fd);
      }
      connections_.emplace_back([this, fd, act = script_[std::min(n, script_.size() - 1)]] {
        Serve(fd, act);
        std::lock_guard<std::mutex> hold(lock_);
        live_.erase(std::find(live_.begin(), live_.end(), fd));
        close(fd);
      });
    }
  }
  void Serve(int fd, const Act& act) {
    std::string request;
    char buffer[4096];
    ssize_t got;
    while (request.find("\r\n\r\n") == std::string::npos &&
           (got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
      request.append(buffer, got);
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      targets_.push_back(request.substr(4, request.find(' ', 4) - 4));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(act.delay_ms));
    std::string out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(act.body.size()) +
                      "\r\nConnection: close\r\n\r\n" + act.body;
    if (act.kind == Act::kSilent) {
      while (recv(fd, buffer, sizeof buffer, 0) > 0) {
      }  // until the client gives up and closes
      return;
    }
    if (act.kind == Act::kCloseEarly) out.resize(out.size() - act.body.size() / 2);
    if (act.kind == Act::kGarbage) out = "\x01garbage\r\n\r\n" + act.body;
    send(fd, out.data(), out.size(), MSG_NOSIGNAL);
  }

  std::vector<Act> script_;
  int listener_, port_;
  std::atomic<int> most_open_{0};
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // touched by the acceptor only, until it is joined
  std::mutex lock_;
  std::vector<std::string> targets_;
  std::vector<int> live_;  // connections being served
};

// What the client reported, in order: 'o' a body, 'r' refused, 'n' no answer, 's' slow,
// 'L'/'l' the login answer on/off, 'x' no login answer.
struct Outcome {
  std::string events;
  std::vector<std::string> bodies;
};

Outcome RunClient(int port, size_t replies, bool ask_login = false) {
  Outcome run;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  size_t count = 0;
  const auto note = [&](const Reply& reply, char ok) {
    run.events += !reply.failure ? ok : reply.failure == Failure::kRefused ? 'r' : 'n';
    if (!reply.failure) run.bodies.push_back(reply.body);
    if (++count == replies) g_main_loop_quit(loop);
  };
  {
    HelperClient client({[&](const Reply& reply) { note(reply, 'o'); },
                         [&](bool, const Reply& reply) {
                           const std::optional<bool> on =
                               reply.failure ? std::nullopt : ParseLoginAnswer(reply.body);
                           run.events += on ? (*on ? 'L' : 'l') : 'x';
                           if (++count == replies) g_main_loop_quit(loop);
                         },
                         [&] { run.events += 's'; }},
                        port, kFast);
    client.Start();
    if (ask_login) client.SetLoginItem(true);
    const guint guard = g_timeout_add_seconds(
        10,
        [](void* l) {
          g_main_loop_quit(static_cast<GMainLoop*>(l));
          return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    g_source_remove(guard);
  }
  g_main_loop_unref(loop);
  return run;
}

TEST(WindowClient, ScriptedAnswers) {
  struct Row {
    const char* name;
    std::vector<Act> script;
    std::string events;  // besides 's', which only the slow rows must show (a loaded machine
    bool slow;           // may make any request slow)
  };
  const std::string big(kMaxBodyBytes + 1, ' ');
  const Row rows[] = {
      {"answers", {{}, {Act::kAnswer, 0, "{}"}}, "oo", false},
      {"slow, then recovers", {{Act::kAnswer, 800}, {}}, "oo", true},
      {"silent", {{Act::kSilent}, {}}, "no", true},
      {"closing early", {{Act::kCloseEarly}, {}}, "no", false},
      {"garbage", {{Act::kGarbage}, {}}, "no", false},
      {"too long", {{Act::kAnswer, 0, big}, {}}, "no", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server(row.script);
    Outcome run = RunClient(server.port(), row.events.size());
    const size_t slow = std::erase(run.events, 's');
    EXPECT_EQ(run.events, row.events);
    if (row.slow) {
      EXPECT_GE(slow, 1u);
    }
    EXPECT_EQ(server.most_open(), 1);  // never two requests at once
    for (const std::string& body : run.bodies) EXPECT_TRUE(body == kDocument || body == "{}");
  }
}

TEST(WindowClient, LoginChangeWaitsForTheDocumentInFlight) {
  ScriptedServer server(
      {{Act::kAnswer, 200}, {Act::kAnswer, 0, R"({"ok":true,"loginItem":false})"}, {}});
  const Outcome run = RunClient(server.port(), 3, /*ask_login=*/true);
  EXPECT_EQ(run.events, "olo");
  EXPECT_EQ(server.most_open(), 1);
  const std::vector<std::string> targets = server.targets();
  ASSERT_GE(targets.size(), 3u);
  EXPECT_EQ(targets[0], "/");
  EXPECT_EQ(targets[1], "/loginitem?enable=1");
  EXPECT_EQ(targets[2], "/");
}

TEST(WindowClient, Refused) {
  int port;
  {
    ScriptedServer closed(std::vector<Act>{Act{}});
    port = closed.port();
  }  // nothing listens there now
  EXPECT_EQ(RunClient(port, 2).events, "rr");
}

}  // namespace
}  // namespace ostrel::window
