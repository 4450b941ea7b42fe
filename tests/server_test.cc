// The server layer: routing and the document as pure functions, the text helpers, and the
// exchange over real loopback TCP (bytes on the wire, odd clients, workers, binding).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstring>

#include "server/route.h"
#include "server/snapshot.h"
#include "server/text.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::Exchange;

// Each case is the route ("S" snapshot, "L" login item, "L1"/"L0" with the switch), a space and
// the request. Only the target of the first line counts; a lone LF or CR ends no line; a space
// or "?" with a combining mark does not split; "1" with a mark is not "1".
TEST(RouteTest, TheFirstLineTargetDecides) {
  // clang-format off
  for (const std::string c : {
      "S GET / HTTP/1.1\r\nHost: x\r\n\r\n",       "L GET /loginitem HTTP/1.1\r\n",
      "L1 GET /loginitem?enable=1 HTTP/1.1\r\n",    "L0 POST /loginitem?enable=0 HTTP/1.1",
      "L1 GET /loginitem?enable=1&enable=0",        "L1 GET /loginitem?enable=0&enable=1",
      "L1 GET /loginitem?enable=10 HTTP/1.1",       "L0 GET /loginitem?xenable=0 HTTP/1.1",
      "L GET /loginitem?enable=true",               "L GET /loginitem? HTTP/1.1",
      "L GET ?/loginitem HTTP/1.1",                 "L GET /loginitem",
      "L1 GET  /loginitem?enable=1",                "L1    GET /loginitem?enable=1",
      "S GET /loginitem/ HTTP/1.1",                 "S GET /LoginItem",
      "S GET /login%69tem",                         "S GET /status?enable=1",
      "S GET http://127.0.0.1:53843/loginitem",     "S GET",
      "S ",                                         "S \r\n\r\n",
      "L1 \r\n\r\nGET /loginitem?enable=1\r\n",     "L1 GET /loginitem?enable=1 HTTP/1.1\nHost:x\n",
      "S GET /loginitem\nHost: x\n",                "S GET /loginitem\rX HTTP/1.1",
      "L GET /loginitem enable=1",                  "L GET /loginitem HTTP/1.1\r\nX: enable=1\r\n",
      "S GET \u0301/loginitem HTTP/1.1",            "S GET /loginitem \u0301HTTP/1.1",
      "S GET /loginitem?\u0301enable=1 HTTP/1.1",   "L GET /loginitem?enable=1\u0301 HTTP/1.1",
      "L0 GET /loginitem?enable=0 HTTP/1.1\r\nX: caf\u00e9\r\n"}) {
    // clang-format on
    const Route route = RouteRequest(c.substr(c.find(' ') + 1));
    const std::string got =
        std::string(route.login_item ? "L" : "S") + (route.enable ? *route.enable ? "1" : "0" : "");
    EXPECT_EQ(got, c.substr(0, c.find(' '))) << c;
  }
  EXPECT_EQ(LoginItemBody(true), "{\"ok\":true,\"loginItem\":true}");
  EXPECT_EQ(LoginItemBody(false), "{\"ok\":true,\"loginItem\":false}");
}

constexpr char kEmpty[] =
    "{\"temperatures\":[],\"fans\":[],\"power\":{},\"loginItem\":false,\"helper\":\"ostrel\","
    "\"version\":1}";

TEST(SnapshotTest, DocumentFromReadings) {
  const OstrelTemp temps[] = {{"CPU / SoC (avg)", 52.5}, {"Bad\xFF", 38}, {"a\0b", 1}};
  const OstrelFan fans[] = {{0, 1800, 1200, 6000}, {1, NAN, 0, 0}};
  Readings r{temps, 2, 2, fans, 1, 1, 0, 3.5, 0.5, 0.25, 4.25, true};
  EXPECT_EQ(
      SnapshotDocument(r),
      "{\"temperatures\":[{\"label\":\"CPU / SoC (avg)\",\"celsius\":52.5},{\"label\":\"Bad"
      "\xEF\xBF\xBD\",\"celsius\":38.0}],\"fans\":[{\"index\":0,\"rpm\":1800.0,\"min\":1200.0,"
      "\"max\":6000.0}],\"power\":{\"soc\":4.25,\"cpu\":3.5,\"gpu\":0.5,\"ane\":0.25},"
      "\"loginItem\":true,\"helper\":\"ostrel\",\"version\":1}");
  EXPECT_EQ(SnapshotDocument(Readings{}), kEmpty);
  OstrelTemp full_label = {"", 2};
  std::memset(full_label.label, 'x', sizeof full_label.label);  // no terminator in the field
  const Readings labels{&full_label, 1, 1}, counts{temps, 3, 2, fans, -1, 1, 1},
      zero{temps + 2, 1, 1};
  EXPECT_EQ(SnapshotDocument(labels), "{\"temperatures\":[{\"label\":\"" + std::string(64, 'x') +
                                          "\",\"celsius\":2.0}]," + std::string(kEmpty + 19));
  EXPECT_EQ(SnapshotDocument(counts), kEmpty);  // counts beyond the buffers, power not read
  EXPECT_EQ(SnapshotDocument(zero),
            "{\"temperatures\":[{\"label\":\"a\",\"celsius\":1.0}]," + std::string(kEmpty + 19));
  r.fan_count = r.fan_capacity = 2;  // JSON has no NaN: the whole document fails
  EXPECT_EQ(SnapshotDocument(r), "{}");
}

TEST(TextTest, Utf8AndClusters) {
  for (const char* valid : {"", "caf\xC3\xA9", "\xF4\x8F\xBF\xBF", "\r\n"})
    EXPECT_TRUE(IsValidUtf8(valid));
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80",
                          "ab\xE2\x82", "\xE2\x28\xA1", "\xFF"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
  EXPECT_TRUE(IsValidUtf8(std::string("a\0b", 3)));
  EXPECT_EQ(ToValidUtf8("a\377b\342\202"), "a\uFFFDb\uFFFD");
  EXPECT_EQ(ToValidUtf8("\355\240\200\u00e9"), "\uFFFD\uFFFD\uFFFD\u00e9");
  for (const auto& [text, want] : {std::pair{"\r\r\n\n", "\r|\r\n|\n|"},
                                   {"\xC3\xA9\r\n \xCC\x81?", "\xC3\xA9|\r\n| \xCC\x81|?|"}}) {
    std::string got;
    ClusterCursor cursor(text);
    for (std::string_view cluster; cursor.Next(&cluster);) got.append(cluster).append("|");
    EXPECT_EQ(got, want);
  }
}

std::string Framed(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(testing::NoReaders()); }
  void Start(SensorServer::Readers readers) {
    server_ = std::make_unique<SensorServer>(login_, 0, std::move(readers));
    server_->start();
    port_ = server_->boundPort();
  }
  testing::FakeLoginItem login_;
  std::unique_ptr<SensorServer> server_;
  uint16_t port_ = 0;
};

TEST_F(ExchangeTest, EveryRequestGetsItsFramedAnswer) {
  const std::string head = "GET /loginitem?enable=0 HTTP/1.1\r\nX: ";
  const std::pair<std::string, std::string> cases[] = {
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", kEmpty},
      // Text that is not well-formed UTF-8 is routed as empty: the snapshot.
      {"GET /loginitem?enable=1 \xC0\xAF", kEmpty},
      {std::string("\0\0\0", 3), kEmpty},
      // Only the first read (8192 bytes) is routed, here cut inside "é"; the rest is drained
      // and the answer still arrives whole.
      {head + std::string(8191 - head.size(), 'a') + "\u00e9", kEmpty},
      {"GET /loginitem?enable=1 HTTP/1.1\r\n\r\n", "{\"ok\":true,\"loginItem\":true}"},
      {"GET /loginitem HTTP/1.1\r\n\r\n", "{\"ok\":true,\"loginItem\":true}"},
      {head + std::string(9000, 'a'), "{\"ok\":true,\"loginItem\":false}"},
  };
  for (const auto& [request, body] : cases) EXPECT_EQ(Exchange(port_, request), Framed(body));
  login_.refuse_ = true;  // the answer tells the state as it is
  EXPECT_EQ(Exchange(port_, "GET /loginitem?enable=1"),
            Framed("{\"ok\":true,\"loginItem\":false}"));
  EXPECT_EQ(login_.calls(), (std::vector<bool>{true, false, true}));
  SensorServer::Readers readers = testing::NoReaders();  // "début": 6 bytes, 5 characters
  readers.temps = [](OstrelTemp* out, int32_t) { return out[0] = {"d\u00e9but", 4}, 1; };
  Start(readers);
  const std::string response = Exchange(port_, "GET /");
  EXPECT_NE(response.find("d\u00e9but"), std::string::npos);
  EXPECT_EQ(response, Framed(testing::BodyOf(response)));
}

TEST_F(ExchangeTest, OnlyTheFirstReadOfAConnectionCounts) {
  auto read_all = [](int fd) {
    std::string got(4096, '\0');
    got.resize(std::max<ssize_t>(0, recv(fd, got.data(), got.size(), MSG_WAITALL)));
    close(fd);
    return got;
  };
  int fd = testing::ConnectLoopback(port_);
  ASSERT_EQ(send(fd, "GET /log", 8, MSG_NOSIGNAL), 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  send(fd, "initem?enable=1 HTTP/1.1\r\n\r\n", 28, MSG_NOSIGNAL);  // may meet a closed socket
  EXPECT_EQ(read_all(fd), Framed(kEmpty));
  fd = testing::ConnectLoopback(port_);  // a client that closes without sending gets an answer
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(read_all(fd), Framed(kEmpty));
  EXPECT_TRUE(login_.calls().empty());
}

// A whole request with nothing after it: the server closes as soon as the answer is written,
// while the client still holds its end (a drain would keep the connection for 2 s).
TEST_F(ExchangeTest, AWholeRequestIsClosedAtOnce) {
  const size_t before = testing::OpenFileCount();
  const int fd = testing::ConnectLoopback(port_);
  ASSERT_EQ(send(fd, "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL), 18);
  char buf[4096];
  while (recv(fd, buf, sizeof buf, 0) > 0) {
  }
  EXPECT_TRUE(testing::WaitFor([&] { return testing::OpenFileCount() == before + 1; }, 1));
  close(fd);
}

// After the answer the server drains at most 64 KiB, then closes on the rest, resetting a client
// that goes on sending; a drain without that bound would swallow all 64 MB.
TEST_F(ExchangeTest, DrainIsBoundedInBytes) {
  const int fd = testing::ConnectLoopback(port_);
  const std::string chunk(1 << 20, 'a');
  int sent = 0;
  while (sent < 64 && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) ++sent;
  close(fd);
  EXPECT_LT(sent, 64);
}

// A reading that does not return holds up only the snapshot requests: the login item is
// answered and new connections are read meanwhile. Those waiting when the next reading starts
// share it (one that only ended its sending side still gets its answer), and a reading waited
// for only by clients that have reset is never taken.
TEST_F(ExchangeTest, StuckReadingHoldsOnlySnapshotsThenWaitingRequestsShareOne) {
  std::mutex mu;
  std::condition_variable cv;
  bool shut = true;
  int calls = 0;
  SensorServer::Readers readers = testing::NoReaders();  // reading n reports n degrees
  readers.temps = [&](OstrelTemp* out, int32_t) {
    std::unique_lock<std::mutex> lock(mu);
    const int n = ++calls;
    cv.wait(lock, [&] { return !shut; });
    out[0] = {"reading", static_cast<double>(n)};
    return 1;
  };
  Start(readers);
  auto gate = [&](bool open) {
    std::lock_guard<std::mutex> lock(mu);
    shut = !open;
    cv.notify_all();
  };
  auto count = [&] {
    std::lock_guard<std::mutex> lock(mu);
    return calls;
  };
  auto ask = [&](bool half_close) {
    const int fd = testing::ConnectLoopback(port_);
    send(fd, "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL);
    if (half_close) shutdown(fd, SHUT_WR);
    return fd;
  };
  auto body = [](int fd) {  // of the answer, and the reading's number in it
    std::string got(4096, '\0');
    got.resize(std::max<ssize_t>(0, recv(fd, got.data(), got.size(), MSG_WAITALL)));
    close(fd);
    const std::string text = testing::BodyOf(got);
    return std::pair(text, std::atoi(text.c_str() + text.find("celsius\":") + 9));
  };
  const int first = ask(false);
  ASSERT_TRUE(testing::WaitFor([&] { return count() == 1; }, 10));
  EXPECT_EQ(testing::BodyOf(Exchange(port_, "GET /loginitem?enable=1")),
            "{\"ok\":true,\"loginItem\":true}");
  const int second = ask(false), half_closed = ask(true);
  testing::Reset(ask(false));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the server read them
  gate(true);
  EXPECT_EQ(body(first).second, 1);
  const auto shared = body(second);
  EXPECT_EQ(shared.second, 2);  // which started after the login item was switched
  EXPECT_NE(shared.first.find("\"loginItem\":true"), std::string::npos) << shared.first;
  EXPECT_EQ(body(half_closed), shared);
  gate(false);
  const int third = ask(false);
  ASSERT_TRUE(testing::WaitFor([&] { return count() == 3; }, 10));
  testing::Reset(ask(false));
  testing::Reset(ask(false));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  gate(true);
  EXPECT_EQ(body(third).second, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(count(), 3);
  server_.reset();  // before the readers' state above goes
}

TEST(ExchangeBindTest, BusyPortRestartAndIpv4Only) {
  testing::FakeLoginItem login;
  auto first = std::make_unique<SensorServer>(login, 0, testing::NoReaders());
  first->start();
  const uint16_t port = first->boundPort();
  SensorServer second(login, port, testing::NoReaders());  // its message: see HelperAppTest
  EXPECT_THROW(second.start(), std::system_error);
  EXPECT_EQ(second.boundPort(), 0);
  Exchange(port, "GET /");  // leaves the server's end in TIME_WAIT
  first.reset();
  EXPECT_NO_THROW(second.start());
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr{static_cast<sa_family_t>(AF_INET6), htons(port), 0, in6addr_loopback, 0};
  EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
}

}  // namespace
}  // namespace ostrel
