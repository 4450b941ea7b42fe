// HelperApp's start-up flow over fake platform layers: start, log, alert, opening Ostrel.
#include "app/helper_app.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/launch_alert.h"
#include "tests/fake_login_item.h"
#include "tests/fake_platform.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::BodyOf;
using testing::Exchange;
using testing::FakeLoginItem;
using testing::FakePresenter;
using testing::FakeWorkspace;
using testing::NoReaders;
using testing::RecordingLog;

// A loopback port held by a listening socket of the test, so a server cannot bind it.
class TakenPort {
 public:
  TakenPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(listen(fd_, 1), 0);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~TakenPort() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class HelperAppTest : public ::testing::Test {
 protected:
  std::unique_ptr<HelperApp> MakeApp(uint16_t port,
                                     std::string web_page = HelperApp::kOstrelWebPage) {
    auto server = std::make_unique<SensorServer>(login_, port, NoReaders());
    return std::make_unique<HelperApp>(
        std::move(server), HelperApp::Services{presenter_, workspace_, log_}, std::move(web_page));
  }

  FakeLoginItem login_;
  FakePresenter presenter_;
  FakeWorkspace workspace_;
  RecordingLog log_;
};

TEST_F(HelperAppTest, FieldsAfterInitialisation) {
  auto app = MakeApp(0);
  EXPECT_EQ(app->appBundleID, "com.ostrel.Ostrel");
  ASSERT_NE(app->server, nullptr);
  EXPECT_EQ(app->server->boundPort(), 0);  // made, not started
}

TEST_F(HelperAppTest, StartedServerShowsSuccessAlertAndServesWhileItIsUp) {
  auto app = MakeApp(0);
  std::string body_during_alert;
  presenter_.while_shown = [&] {
    body_during_alert = BodyOf(Exchange(app->server->boundPort(), "GET / HTTP/1.1\r\n\r\n"));
  };
  app->applicationDidFinishLaunching();

  EXPECT_TRUE(log_.lines().empty());
  ASSERT_EQ(presenter_.shown.size(), 1u);
  EXPECT_EQ(presenter_.shown[0].message, kStartedMessage);
  EXPECT_EQ(presenter_.shown[0].buttons, (std::vector<std::string>{"OK", "Open Ostrel"}));
  EXPECT_NE(body_during_alert.find("\"helper\":\"ostrel\""), std::string::npos)
      << body_during_alert;
  // "OK": nothing is opened, and the server goes on serving.
  EXPECT_TRUE(workspace_.asked.empty());
  EXPECT_NE(BodyOf(Exchange(app->server->boundPort(), "GET /")).find("\"version\":1"),
            std::string::npos);
}

TEST_F(HelperAppTest, FailedStartLogsOneLineBeforeTheWarningAlert) {
  TakenPort taken;
  std::vector<std::string> events;
  log_.events_ = &events;
  presenter_.events_ = &events;
  presenter_.response = kSecondButtonReturn;  // must be ignored for the failure alert
  auto app = MakeApp(taken.port());
  app->applicationDidFinishLaunching();

  const std::string line = "Ostrel Sensor Helper: server failed to start: bind 127.0.0.1:" +
                           std::to_string(taken.port()) + ": Address already in use";
  EXPECT_EQ(log_.lines(), std::vector<std::string>{line});
  EXPECT_EQ(events,
            (std::vector<std::string>{"log: " + line, "alert: " + std::string(kFailedMessage)}));
  ASSERT_EQ(presenter_.shown.size(), 1u);
  EXPECT_EQ(static_cast<int>(presenter_.shown[0].style), 0);
  // The alert always names the product's port, whatever the server tried.
  EXPECT_NE(presenter_.shown[0].informative.find(" port 53843 may "), std::string::npos);
  EXPECT_EQ(presenter_.shown[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_TRUE(workspace_.asked.empty());
  EXPECT_EQ(app->server->boundPort(), 0);
}

TEST_F(HelperAppTest, OpenOstrelChoosesApplicationThenWebPage) {
  struct Case {
    const char* name;
    std::optional<std::string> installed;
    std::string web_page;
    std::vector<std::string> apps;
    std::vector<std::string> urls;
  };
  const Case cases[] = {
      {"installed",
       "/usr/share/applications/com.ostrel.Ostrel.desktop",
       HelperApp::kOstrelWebPage,
       {"/usr/share/applications/com.ostrel.Ostrel.desktop"},
       {}},
      {"not-installed", std::nullopt, HelperApp::kOstrelWebPage, {}, {"https://ostrel.app/"}},
      {"unreadable-address", std::nullopt, "not a web address", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    presenter_ = FakePresenter();
    workspace_ = FakeWorkspace();
    presenter_.response = kSecondButtonReturn;
    workspace_.installed_location = c.installed;
    auto app = MakeApp(0, c.web_page);
    app->applicationDidFinishLaunching();
    EXPECT_EQ(workspace_.asked, std::vector<std::string>{"com.ostrel.Ostrel"});
    EXPECT_EQ(workspace_.opened_apps, c.apps);
    EXPECT_EQ(workspace_.opened_urls, c.urls);
  }
}

TEST(WebAddressTest, ReadsOnlyAbsoluteWebAddresses) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"https://ostrel.app/", true},
      {"http://example.org", true},
      {"https://user@host:8080/path?q#f", true},
      {"", false},
      {"ostrel.app", false},
      {"://ostrel.app", false},
      {"1http://ostrel.app", false},
      {"https://", false},
      {"https:///path", false},
      {"https://:80/", false},
      {"https://ostrel .app/", false},
      {"https://ostrel.app/\n", false},
      {"ht tp://ostrel.app", false},
  };
  for (const Case& c : cases) {
    std::optional<std::string> url = WebAddressFromString(c.text);
    EXPECT_EQ(url.has_value(), c.ok) << "'" << c.text << "'";
    if (c.ok && url) {
      EXPECT_EQ(*url, c.text);
    }
  }
}

}  // namespace
}  // namespace ostrel
