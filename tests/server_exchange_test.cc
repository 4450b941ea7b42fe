// The exchange over real loopback TCP: framing on the wire, odd clients, concurrency, binding.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::BodyOf;
using testing::Client;
using testing::Exchange;
using testing::FakeLoginItem;
using testing::NoReaders;

constexpr char kEmptyDocument[] =
    "{\"temperatures\":[],\"fans\":[],\"power\":{},\"loginItem\":false,\"helper\":\"ostrel\","
    "\"version\":1}";

std::string Framed(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void Start(SensorServer::Readers readers = NoReaders()) {
    server_ = std::make_unique<SensorServer>(login_, 0, std::move(readers));
    server_->start();
    port_ = server_->boundPort();
    ASSERT_NE(port_, 0);
  }
  void SetUp() override { Start(); }

  FakeLoginItem login_;
  std::unique_ptr<SensorServer> server_;
  uint16_t port_ = 0;
};

TEST_F(ExchangeTest, AnswersWithExactlyTheFramedDocument) {
  EXPECT_EQ(Exchange(port_, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), Framed(kEmptyDocument));
  EXPECT_EQ(Exchange(port_, "GET /loginitem HTTP/1.1\r\n\r\n"),
            Framed("{\"ok\":true,\"loginItem\":false}"));
}

TEST_F(ExchangeTest, NonAsciiBodyLengthIsInBytes) {
  server_.reset();
  SensorServer::Readers readers = NoReaders();
  readers.temps = [](OstrelTemp* out, int32_t) {
    std::strcpy(out[0].label,
                "d\xC3\xA9"
                "but");  // "début": 6 bytes, 5 characters
    out[0].celsius = 40;
    return 1;
  };
  Start(readers);
  const std::string response = Exchange(port_, "GET / HTTP/1.1\r\n\r\n");
  const std::string body = BodyOf(response);
  EXPECT_NE(body.find("d\xC3\xA9"
                      "but"),
            std::string::npos);
  EXPECT_EQ(response, Framed(body));
}

TEST_F(ExchangeTest, OddRequestsAllGetTheDocument) {
  const std::string cases[] = {
      "\xFF\xFE garbage",                          // not UTF-8
      "GET /loginitem?enable=1 HTTP/1.1\xC0\xAF",  // overlong form makes the whole text empty
      "GET /loginitem?enable=1 \xED\xA0\x80",      // surrogate
      "GET /loginitem?enable=1 \xF4\x90\x80\x80",  // above U+10FFFF
      "DELETE /anything",
      std::string("\0\0\0", 3),
  };
  for (const std::string& request : cases) {
    EXPECT_EQ(Exchange(port_, request), Framed(kEmptyDocument));
  }
  EXPECT_TRUE(login_.calls().empty());
}

TEST_F(ExchangeTest, LongRequestIsCutAtTheReadLimitAndStillAnswered) {
  // 9,000 bytes: only the first read (at most 8192) is routed, the rest is drained, and the
  // answer must arrive intact rather than be destroyed by a reset.
  for (int i = 0; i < 20; ++i) {
    std::string request = "GET /loginitem?enable=1 HTTP/1.1\r\nX: " + std::string(8960, 'a');
    EXPECT_EQ(Exchange(port_, request), Framed("{\"ok\":true,\"loginItem\":true}")) << i;
  }
}

TEST_F(ExchangeTest, CharacterCutByTheReadLimitEmptiesTheText) {
  // 8191 ASCII bytes then a two-byte character: the read ends in its middle.
  Client client(port_);
  std::string request = "GET /loginitem?enable=1 HTTP/1.1\r\nX: ";
  request += std::string(8191 - request.size(), 'a');
  request += "\xC3\xA9";
  ASSERT_EQ(request.size(), 8193u);
  ASSERT_TRUE(client.Send(request));
  EXPECT_EQ(client.ReadAll(), Framed(kEmptyDocument));
  EXPECT_TRUE(login_.calls().empty());
}

TEST_F(ExchangeTest, OnlyTheFirstPieceOfASplitRequestIsRouted) {
  Client client(port_);
  ASSERT_TRUE(client.Send("GET /log"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  client.Send("initem?enable=1 HTTP/1.1\r\n\r\n");  // may fail: the server may have closed
  EXPECT_EQ(client.ReadAll(), Framed(kEmptyDocument));
  EXPECT_TRUE(login_.calls().empty());
}

TEST_F(ExchangeTest, ClientThatClosesWithoutSendingStillGetsAnAttempt) {
  std::atomic<int> snapshots{0};
  server_.reset();
  SensorServer::Readers readers = NoReaders();
  readers.temps = [&](OstrelTemp*, int32_t) {
    snapshots++;
    return 0;
  };
  Start(readers);
  Client client(port_);
  client.ShutdownSend();
  EXPECT_EQ(client.ReadAll(), Framed(kEmptyDocument));
  EXPECT_EQ(snapshots.load(), 1);
}

TEST_F(ExchangeTest, SecondRequestOnOneConnectionIsNeverAnswered) {
  Client client(port_);
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  client.Send("GET /loginitem?enable=1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.ReadAll(), Framed(kEmptyDocument));
  EXPECT_TRUE(login_.calls().empty());
}

TEST_F(ExchangeTest, ManyConcurrentConnectionsAreAllAnswered) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 64; ++i) {
    threads.emplace_back([&] {
      if (Exchange(port_, "GET / HTTP/1.1\r\n\r\n") == Framed(kEmptyDocument)) good++;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 64);
}

TEST_F(ExchangeTest, IdleConnectionsDoNotBlockOthers) {
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<Client>(port_));
  EXPECT_EQ(Exchange(port_, "GET / HTTP/1.1\r\n\r\n"), Framed(kEmptyDocument));
}

TEST_F(ExchangeTest, ResetByClientIsSurvived) {
  for (int i = 0; i < 50; ++i) {
    Client client(port_);
    client.Send("GET / HTTP/1.1\r\n\r\n");
    linger hard{1, 0};  // close with RST
    setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  EXPECT_EQ(Exchange(port_, "GET / HTTP/1.1\r\n\r\n"), Framed(kEmptyDocument));
}

TEST(ExchangeBindTest, SecondServerOnABusyPortFailsReadably) {
  FakeLoginItem login;
  SensorServer first(login, 0, NoReaders());
  first.start();
  SensorServer second(login, first.boundPort(), NoReaders());
  try {
    second.start();
    FAIL() << "second start succeeded";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EADDRINUSE);
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(first.boundPort())),
              std::string::npos);
  }
  EXPECT_EQ(second.boundPort(), 0);
}

TEST(ExchangeBindTest, RestartRightAfterServingSucceeds) {
  FakeLoginItem login;
  uint16_t port;
  {
    SensorServer first(login, 0, NoReaders());
    first.start();
    port = first.boundPort();
    for (int i = 0; i < 5; ++i) Exchange(port, "GET / HTTP/1.1\r\n\r\n");
  }
  SensorServer again(login, port, NoReaders());
  EXPECT_NO_THROW(again.start());
  EXPECT_EQ(BodyOf(Exchange(port, "GET / HTTP/1.1\r\n\r\n")), kEmptyDocument);
}

TEST(ExchangeBindTest, OnlyIpv4LoopbackIsServed) {
  FakeLoginItem login;
  SensorServer server(login, 0, NoReaders());
  server.start();
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(server.boundPort());
  addr.sin6_addr = in6addr_loopback;
  EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
}

}  // namespace
}  // namespace ostrel
