// The server layer: the document and the text helpers as pure functions, and routing and the
// exchange over real loopback TCP (bytes on the wire, odd clients, shared readings, binding).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "server/http_framing.h"
#include "server/route.h"
#include "server/snapshot.h"
#include "server/text.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using namespace testing;  // NOLINT: the shared test helpers

constexpr char kEmpty[] =
    "{\"temperatures\":[],\"fans\":[],\"power\":{},\"loginItem\":false,\"helper\":\"ostrel\","
    "\"version\":1}";

TEST(SnapshotTest, DocumentFromReadings) {
  const OstrelTemp temps[] = {{"CPU / SoC (avg)", 52.5}, {"Bad\xFF", 38}};
  const OstrelFan fans[] = {{0, 1800, 1200, 6000}, {1, NAN, 0, 0}};
  Readings r{temps, 2, 2, fans, 1, 1, 0, 3.5, 0.5, 0.25, 4.25, true};
  EXPECT_EQ(
      SnapshotDocument(r),
      "{\"temperatures\":[{\"label\":\"CPU / SoC (avg)\",\"celsius\":52.5},{\"label\":\"Bad"
      "\xEF\xBF\xBD\",\"celsius\":38.0}],\"fans\":[{\"index\":0,\"rpm\":1800.0,\"min\":1200.0,"
      "\"max\":6000.0}],\"power\":{\"soc\":4.25,\"cpu\":3.5,\"gpu\":0.5,\"ane\":0.25},"
      "\"loginItem\":true,\"helper\":\"ostrel\",\"version\":1}");
  OstrelTemp full_label = {"", 2};
  std::memset(full_label.label, 'x', sizeof full_label.label);  // no terminator in the field
  const Readings labels{&full_label, 1, 1}, counts{temps, 3, 2, fans, -1, 1, 1};
  EXPECT_EQ(SnapshotDocument(labels), "{\"temperatures\":[{\"label\":\"" + std::string(64, 'x') +
                                          "\",\"celsius\":2.0}]," + std::string(kEmpty + 19));
  EXPECT_EQ(SnapshotDocument(counts), kEmpty);  // counts beyond the buffers, power not read
  r.fan_count = r.fan_capacity = 2;             // JSON has no NaN: the whole document fails
  EXPECT_EQ(SnapshotDocument(r), "{}");
  // Each ill-formed subpart becomes one U+FFFD; the body's length is in bytes, not characters.
  EXPECT_EQ(ToValidUtf8("a\377b\355\240\200\342\202"), "a\uFFFDb\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(FrameResponse("\u00e9"),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: "
            "close\r\n\r\n\u00e9");
}

// The UTF-8 checks agree with ICU's decoder on every lead byte followed by up to three bytes,
// each from every range that decides a sequence (trail bytes, ASCII, leads).
TEST(TextTest, Utf8ChecksAgreeWithIcu) {
  const std::string kNext = "\x41\x80\x8F\x90\x9F\xA0\xBF\xC0\xC2\xE0\xED\xF4\xFF";
  const auto icu = [](const std::string& bytes, bool* valid) {
    std::string fixed;
    for (int32_t i = 0, start = 0, n = static_cast<int32_t>(bytes.size()); i < n; start = i) {
      UChar32 c;
      U8_NEXT(bytes.data(), i, n, c);
      fixed += c < 0 ? "\uFFFD" : bytes.substr(start, i - start);
      *valid = *valid && c >= 0;
    }
    return fixed;
  };
  std::vector<std::string> texts;
  for (int lead = 0; lead < 256; ++lead) texts.push_back(std::string(1, static_cast<char>(lead)));
  for (size_t from = 0, to = texts.size(), round = 0; round < 3;
       ++round, from = to, to = texts.size()) {
    for (size_t t = from; t < to; ++t) {
      for (char next : kNext) texts.push_back(texts[t] + next);
    }
  }
  for (const std::string& text : texts) {
    bool valid = true;
    ASSERT_EQ(ToValidUtf8(text), icu(text, &valid)) << ::testing::PrintToString(text);
    ASSERT_EQ(IsValidUtf8(text), valid) << ::testing::PrintToString(text);
  }
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(NoReaders()); }
  void Start(SensorServer::Readers readers) {
    server_ = std::make_unique<SensorServer>(login_, 0, std::move(readers));
    server_->start();
    port_ = server_->boundPort();
  }
  FakeLoginItem login_;
  std::unique_ptr<SensorServer> server_;
  uint16_t port_ = 0;
};

// Each case: the answer ("S" snapshot, "L" login item, "L1"/"L0" after switching it), a space,
// the request. Only the first line's target counts; a lone LF or CR ends no line; a space or "?"
// with a combining mark does not split; "1" with a mark is not "1"; ill-formed UTF-8 is routed
// as empty; only the first read (8192 bytes) counts. ASCII snapshots take the quick path.
TEST_F(ExchangeTest, EveryRequestGetsItsFramedAnswer) {
  const std::string head = "GET /loginitem?enable=0 HTTP/1.1\r\nX: ";
  // clang-format off
  const std::string cases[] = {
      "S GET / HTTP/1.1\r\nHost: x\r\n\r\n",       "L GET /loginitem HTTP/1.1\r\n",
      "L1 GET /loginitem?enable=1 HTTP/1.1\r\n",    "L0 POST /loginitem?enable=0 HTTP/1.1",
      "L1 GET /loginitem?enable=0&enable=1",        "L1 GET /loginitem?enable=10 HTTP/1.1",
      "L0 GET /loginitem?xenable=0 HTTP/1.1",       "L GET ?/loginitem HTTP/1.1",
      "L GET /loginitem",                           "L1    GET  /loginitem?enable=1",
      "S GET /loginitem/ HTTP/1.1",                 "S GET",
      "S \r\n\r\n",                                 "L1 \r\n\r\nGET /loginitem?enable=1\r\n",
      "S GET /loginitem\nHost: x\n",                "S GET /loginitem\rX HTTP/1.1",
      "L GET /loginitem enable=1",                  "L GET /loginitem HTTP/1.1\r\nX: enable=1\r\n",
      "S GET \u0301/loginitem HTTP/1.1",            "S GET /loginitem?\u0301enable=1 HTTP/1.1",
      "L GET /loginitem?enable=1\u0301 HTTP/1.1",   "L0 GET /loginitem?enable=1\u0301&enable=0",
      "S GET /loginitem?enable=1 \x80",             "S GET /loginitem?enable=1 \xED\xA0\x80",
      "S GET /loginitem?enable=1 ab\xE2\x82",       "L1 GET /loginitem?enable=1 \xF4\x8F\xBF\xBF",
      "L0 GET /loginitem?enable=0 HTTP/1.1\r\nX: caf\u00e9\r\n",
      std::string("L1 GET /loginitem?enable=1 ") + '\0',
      "S " + std::string("\0\0\0", 3),              "S " + head + std::string(8191 - head.size(), 'a') + "\u00e9",
      "L1 GET /loginitem?enable=1 HTTP/1.1\r\n\r\n", "L0 " + head + std::string(9000, 'a')};
  // clang-format on
  for (const std::string& c : cases) {
    const size_t before = login_.calls().size();
    const std::string response = Exchange(port_, c.substr(c.find(' ') + 1));
    const std::vector<bool> calls = login_.calls();
    const bool on = !calls.empty() && calls.back(), login = BodyOf(response).starts_with("{\"ok");
    EXPECT_EQ((login ? "L" : "S") + std::string(calls.size() > before ? on ? "1" : "0" : ""),
              c.substr(0, c.find(' ')))
        << ::testing::PrintToString(c);  // escaped: the rows hold bytes that are not UTF-8
    EXPECT_EQ(response,
              FrameResponse(login ? LoginItemBody(on) : SnapshotDocument({.login_item = on})));
  }
  login_.refuse_ = true;  // the answer tells the state as it is; the refusal is logged once
  EXPECT_EQ(BodyOf(Exchange(port_, "GET /loginitem?enable=1")),
            "{\"ok\":true,\"loginItem\":false}");
  EXPECT_EQ(login_.log(), "Ostrel Sensor Helper: login item register failed: refused\n");
}

// A whole request with nothing after it is closed as soon as the answer is written, while the
// client still holds its end; a client that closes without sending gets an answer; the drain
// after an answer stops at 64 KiB and resets the sender (it would swallow all 64 MB otherwise).
TEST_F(ExchangeTest, ClosingAfterTheAnswer) {
  const size_t before = OpenFileCount();
  int fd = Ask(port_);
  EXPECT_EQ(ReadAll(dup(fd)), FrameResponse(kEmpty));  // to the server's close; fd stays open
  EXPECT_TRUE(WaitFor([&] { return OpenFileCount() == before + 1; }, 1));
  close(fd);
  fd = ConnectLoopback(port_);
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(ReadAll(fd), FrameResponse(kEmpty));
  EXPECT_EQ(Flood(port_, "GET / HTTP/1.1\r\n" + std::string(64 << 20, 'a'), 1 << 20, 0),
            FrameResponse(kEmpty));
}

// A stuck reading holds up only snapshots, not the login item. Requests waiting when the next
// reading starts share it (a half-closed one too); one only reset clients wait for is not taken.
TEST_F(ExchangeTest, StuckReadingHoldsOnlySnapshotsThenWaitingRequestsShareOne) {
  std::atomic<bool> shut{true};
  std::atomic<int> calls{0};
  SensorServer::Readers readers = NoReaders();  // reading n reports n degrees
  readers.temps = [&](OstrelTemp* out, int32_t) {
    out[0] = {"n", static_cast<double>(++calls)};
    while (shut) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 1;
  };
  Start(readers);
  auto reading = [](double n) {  // what reading n sends: the login item is on by then
    const OstrelTemp temp{"n", n};
    return FrameResponse(SnapshotDocument(
        {.temps = &temp, .temp_count = 1, .temp_capacity = 1, .login_item = true}));
  };
  auto reset_clients_then_open = [&] {
    Reset(Ask(port_));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the server read them
    shut = false;
  };
  const int first = Ask(port_);
  ASSERT_TRUE(WaitFor([&] { return calls == 1; }, 10));
  EXPECT_EQ(BodyOf(Exchange(port_, "GET /loginitem?enable=1")), LoginItemBody(true));
  const int second = Ask(port_), half_closed = Ask(port_);
  shutdown(half_closed, SHUT_WR);
  reset_clients_then_open();
  EXPECT_EQ(ReadAll(first), reading(1));
  EXPECT_EQ(ReadAll(second), reading(2));
  EXPECT_EQ(ReadAll(half_closed), reading(2));
  shut = true;
  const int third = Ask(port_);
  ASSERT_TRUE(WaitFor([&] { return calls == 3; }, 10));
  Reset(Ask(port_));
  reset_clients_then_open();
  EXPECT_EQ(ReadAll(third), reading(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(calls.load(), 3);
  server_.reset();  // before the readers' state above goes
}

TEST(ExchangeBindTest, BusyPortRestartAndIpv4Only) {
  FakeLoginItem login;
  auto first = std::make_unique<SensorServer>(login, 0, NoReaders());
  first->start();
  const uint16_t port = first->boundPort();
  SensorServer second(login, port, NoReaders());  // its message: see HelperAppTest
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
