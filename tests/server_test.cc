// The server layer: routing and the document as pure functions, the text helpers, and the
// exchange over real loopback TCP (framing on the wire, odd clients, workers, binding).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <vector>

#include "server/route.h"
#include "server/sensor_server.h"
#include "server/snapshot.h"
#include "server/text.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::Exchange;
using testing::FakeLoginItem;

// "S" for the snapshot, "L" for the login item, "L1"/"L0" with a switch.
std::string Decided(std::string_view request) {
  const Route route = RouteRequest(request);
  if (!route.login_item) return "S";
  return route.enable ? (*route.enable ? "L1" : "L0") : "L";
}

TEST(RouteTest, TheFirstLineTargetDecides) {
  const struct {
    std::string request;
    const char* route;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "S"},
      {"GET /loginitem HTTP/1.1\r\n\r\n", "L"},
      {"GET /loginitem?enable=1 HTTP/1.1\r\n\r\n", "L1"},
      {"POST /loginitem?enable=0 HTTP/1.1\r\n\r\n", "L0"},
      {"GET /loginitem?enable=1&enable=0 HTTP/1.1", "L1"},  // enable=1 wins
      {"GET /loginitem?enable=0&enable=1 HTTP/1.1", "L1"},
      {"GET /loginitem?enable=10 HTTP/1.1", "L1"},
      {"GET /loginitem?xenable=0 HTTP/1.1", "L0"},
      {"GET /loginitem?enable=true HTTP/1.1", "L"},
      {"GET /loginitem? HTTP/1.1", "L"},
      {"GET ?/loginitem HTTP/1.1", "L"},  // empty pieces are skipped
      {"GET /loginitem", "L"},
      {"GET  /loginitem?enable=1", "L1"},
      {"   GET /loginitem?enable=1", "L1"},
      {"GET /loginitem/ HTTP/1.1", "S"},
      {"GET /LoginItem HTTP/1.1", "S"},
      {"GET /login%69tem HTTP/1.1", "S"},
      {"GET /status?enable=1 HTTP/1.1", "S"},
      {"GET http://127.0.0.1:53843/loginitem HTTP/1.1", "S"},
      {"GET", "S"},
      {"", "S"},
      {"\r\n\r\n", "S"},
      {"\r\n\r\nGET /loginitem?enable=1 HTTP/1.1\r\n", "L1"},
      {"GET /loginitem?enable=1 HTTP/1.1\nHost: x\n\n", "L1"},  // a lone LF ends no line
      {"GET /loginitem\nHost: x\n", "S"},                       // so the target runs on
      {"GET /loginitem\rX HTTP/1.1", "S"},                      // nor does a lone CR
      {"GET /loginitem HTTP/1.1\r\nX: enable=1\r\n", "L"},      // switches only in the target
      {"GET /loginitem enable=1", "L"},
      {"GET \xCC\x81/loginitem HTTP/1.1", "S"},  // a space with a combining mark: no split
      {"GET /loginitem \xCC\x81HTTP/1.1", "S"},
      {"GET /loginitem?\xCC\x81"
       "enable=1 HTTP/1.1",
       "S"},                                              // nor at a "?" with one
      {"GET /loginitem?enable=1\xCC\x81 HTTP/1.1", "L"},  // "1" with a mark is not "1"
      {"GET /loginitem?enable=0 HTTP/1.1\r\nX: caf\xC3\xA9\r\n", "L0"},
  };
  for (const auto& c : cases) EXPECT_EQ(Decided(c.request), c.route) << c.request;
  EXPECT_EQ(LoginItemBody(true), "{\"ok\":true,\"loginItem\":true}");
  EXPECT_EQ(LoginItemBody(false), "{\"ok\":true,\"loginItem\":false}");
}

constexpr char kEmptyDocument[] =
    "{\"temperatures\":[],\"fans\":[],\"power\":{},\"loginItem\":false,\"helper\":\"ostrel\","
    "\"version\":1}";

TEST(SnapshotTest, DocumentFromReadings) {
  const OstrelTemp temps[] = {{"CPU / SoC (avg)", 52.5}, {"SSD", 38}};
  const OstrelFan fans[] = {{0, 1800, 1200, 6000}, {1, 0, 1200, 6000}};
  const OstrelFan nan_fan[] = {{0, NAN, 0, 0}};
  OstrelTemp odd[3] = {{"Bad\xFF", 1}, {"", 2}, {"a\0b", 3}};
  std::memset(odd[1].label, 'x', sizeof odd[1].label);  // no terminator in the field
  const auto full = [&](Readings* r) {
    *r = Readings{temps, 2, 2, fans, 2, 2, 0, 3.5, 0.5, 0.25, 4.25, true};
  };
  const struct {
    const char* name;
    std::function<void(Readings*)> set;
    std::string document;
  } cases[] = {
      {"full", full,
       "{\"temperatures\":[{\"label\":\"CPU / SoC (avg)\",\"celsius\":52.5},{\"label\":\"SSD\","
       "\"celsius\":38.0}],\"fans\":[{\"index\":0,\"rpm\":1800.0,\"min\":1200.0,\"max\":6000.0},"
       "{\"index\":1,\"rpm\":0.0,\"min\":1200.0,\"max\":6000.0}],\"power\":{\"soc\":4.25,\"cpu\":"
       "3.5,\"gpu\":0.5,\"ane\":0.25},\"loginItem\":true,\"helper\":\"ostrel\",\"version\":1}"},
      {"nothing read", [](Readings*) {}, kEmptyDocument},
      {"counts beyond the buffers",
       [&](Readings* r) { full(r), r->temp_count = 3, r->fan_count = -1, r->power_status = 1; },
       "{\"temperatures\":[],\"fans\":[],\"power\":{},\"loginItem\":true,\"helper\":\"ostrel\","
       "\"version\":1}"},
      {"labels cut at their zero or field, and repaired",
       [&](Readings* r) { r->temps = odd, r->temp_count = r->temp_capacity = 3; },
       "{\"temperatures\":[{\"label\":\"Bad\xEF\xBF\xBD\",\"celsius\":1.0},{\"label\":\"" +
           std::string(64, 'x') +
           "\",\"celsius\":2.0},{\"label\":\"a\",\"celsius\":3.0}],\"fans\":[],\"power\":{},"
           "\"loginItem\":false,\"helper\":\"ostrel\",\"version\":1}"},
      {"NaN fan speed", [&](Readings* r) { full(r), r->fans = nan_fan, r->fan_count = 1; }, "{}"},
      {"infinite power", [&](Readings* r) { full(r), r->soc = INFINITY; }, "{}"},
  };
  for (const auto& c : cases) {
    Readings readings;
    c.set(&readings);
    EXPECT_EQ(SnapshotDocument(readings), c.document) << c.name;
  }
}

TEST(TextTest, Utf8AndClusters) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"GET / HTTP/1.1\r\n", true},
      {"caf\xC3\xA9", true},
      {"\xF4\x8F\xBF\xBF", true},
      {std::string("a\0b", 3), true},
      {"\xC0\xAF", false},
      {"\xE0\x80\xAF", false},
      {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false},
      {"\x80", false},
      {"ab\xE2\x82", false},
      {"\xE2\x28\xA1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
  EXPECT_EQ(ToValidUtf8("a\xFF"
                        "b\xE2\x82"),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(ToValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  auto clusters = [](std::string_view text) {
    std::vector<std::string> out;
    ClusterCursor cursor(text);
    for (std::string_view cluster; cursor.Next(&cluster);) out.emplace_back(cluster);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(clusters("\r\r\n\n"), (V{"\r", "\r\n", "\n"}));
  EXPECT_EQ(clusters("\xC3\xA9\r\n \xCC\x81?"), (V{"\xC3\xA9", "\r\n", " \xCC\x81", "?"}));
}

std::string Framed(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void Start(SensorServer::Readers readers = testing::NoReaders()) {
    server_ = std::make_unique<SensorServer>(login_, 0, std::move(readers));
    server_->start();
    port_ = server_->boundPort();
  }
  void SetUp() override { Start(); }

  FakeLoginItem login_;
  std::unique_ptr<SensorServer> server_;
  uint16_t port_ = 0;
};

TEST_F(ExchangeTest, EveryRequestGetsItsFramedAnswer) {
  constexpr char kLong[] = "GET /loginitem?enable=0 HTTP/1.1\r\nX: ";
  const struct {
    std::string request;
    std::string answer;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", kEmptyDocument},
      // Text that is not well-formed UTF-8 is routed as empty: the snapshot.
      {"GET /loginitem?enable=1 \xC0\xAF", kEmptyDocument},
      {"GET /loginitem?enable=1 \xF4\x90\x80\x80", kEmptyDocument},
      {std::string("\0\0\0", 3), kEmptyDocument},
      // Only the first read (8192 bytes) is routed, here cut inside "é"; the rest is drained
      // and the answer still arrives whole.
      {std::string(kLong).append(8191 - strlen(kLong), 'a') + "\xC3\xA9", kEmptyDocument},
      {"GET /loginitem?enable=1 HTTP/1.1\r\n\r\n", "{\"ok\":true,\"loginItem\":true}"},
      {"GET /loginitem HTTP/1.1\r\n\r\n", "{\"ok\":true,\"loginItem\":true}"},
      {kLong + std::string(9000, 'a'), "{\"ok\":true,\"loginItem\":false}"},
  };
  for (const auto& c : cases) EXPECT_EQ(Exchange(port_, c.request), Framed(c.answer));
  EXPECT_EQ(login_.calls(), (std::vector<bool>{true, false}));
  // A refused change: the answer tells the state as it is.
  login_.set_refuse(true);
  EXPECT_EQ(Exchange(port_, "GET /loginitem?enable=1 HTTP/1.1\r\n\r\n"),
            Framed("{\"ok\":true,\"loginItem\":false}"));
}

TEST_F(ExchangeTest, ContentLengthCountsBytes) {
  SensorServer::Readers readers = testing::NoReaders();
  readers.temps = [](OstrelTemp* out, int32_t) {
    out[0] = OstrelTemp{
        "d\xC3\xA9"
        "but",
        40};  // 6 bytes, 5 characters
    return 1;
  };
  Start(readers);
  const std::string response = Exchange(port_, "GET /");
  EXPECT_NE(response.find("d\xC3\xA9"
                          "but"),
            std::string::npos);
  EXPECT_EQ(response, Framed(testing::BodyOf(response)));
}

TEST_F(ExchangeTest, OnlyTheFirstReadOfAConnectionCounts) {
  auto read_all = [](int fd) {
    std::string got;
    char buf[512];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, n);
    close(fd);
    return got;
  };
  int fd = testing::ConnectLoopback(port_);
  ASSERT_EQ(send(fd, "GET /log", 8, MSG_NOSIGNAL), 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  send(fd, "initem?enable=1 HTTP/1.1\r\n\r\n", 28, MSG_NOSIGNAL);  // may meet a closed socket
  EXPECT_EQ(read_all(fd), Framed(kEmptyDocument));
  // A client that closes without sending still gets its answer.
  fd = testing::ConnectLoopback(port_);
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(read_all(fd), Framed(kEmptyDocument));
  EXPECT_TRUE(login_.calls().empty());
}

// After the answer the server drains at most 64 KiB and then closes on the rest, resetting a
// client that goes on sending; a drain without that bound would swallow all 64 MB.
TEST_F(ExchangeTest, DrainIsBoundedInBytes) {
  const int fd = testing::ConnectLoopback(port_);
  const std::string chunk(1 << 20, 'a');
  int sent = 0;
  while (sent < 64 && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) ++sent;
  close(fd);
  EXPECT_LT(sent, 64);
}

TEST_F(ExchangeTest, SixteenSlowSnapshotsAtOnceAndIdleConnectionsBlockNothing) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> blocked{0};
  SensorServer::Readers readers = testing::NoReaders();
  readers.fans = [&](OstrelFan*, int32_t) {
    blocked++;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
    return 0;
  };
  Start(readers);
  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(testing::ConnectLoopback(port_));
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 17; ++i) {
    clients.emplace_back([&] { good += Exchange(port_, "GET /") == Framed(kEmptyDocument); });
  }
  ASSERT_TRUE(testing::WaitFor([&] { return blocked == 16; }, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a 17th would be in by now
  EXPECT_EQ(blocked.load(), 16);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), 17);
  for (int fd : idle) close(fd);
  server_.reset();  // before the readers' state above goes
}

TEST(ExchangeBindTest, BusyPortRestartAndIpv4Only) {
  FakeLoginItem login;
  uint16_t port;
  {
    SensorServer first(login, 0, testing::NoReaders());
    first.start();
    port = first.boundPort();
    SensorServer second(login, port, testing::NoReaders());
    try {
      second.start();
      ADD_FAILURE() << "a second server started on a busy port";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EADDRINUSE);
      EXPECT_EQ(std::string(e.what()),
                "bind 127.0.0.1:" + std::to_string(port) + ": Address already in use");
    }
    EXPECT_EQ(second.boundPort(), 0);
    Exchange(port, "GET /");  // leaves a connection in TIME_WAIT
  }
  SensorServer again(login, port, testing::NoReaders());
  EXPECT_NO_THROW(again.start());
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(port);
  addr.sin6_addr = in6addr_loopback;
  EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
}

}  // namespace
}  // namespace ostrel
