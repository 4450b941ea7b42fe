// Routing of request texts: which requests reach the login item, and what they answer.
#include <gtest/gtest.h>

#include <optional>

#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/fixed_readers.h"

namespace ostrel {
namespace {

using testing::FakeLoginItem;
using testing::NoReaders;

constexpr char kSnapshot[] =
    "{\"temperatures\":[],\"fans\":[],\"power\":{},\"loginItem\":false,\"helper\":\"ostrel\","
    "\"version\":1}";
constexpr char kLoginFalse[] = "{\"ok\":true,\"loginItem\":false}";
constexpr char kLoginTrue[] = "{\"ok\":true,\"loginItem\":true}";

struct RouteCase {
  const char* name;
  std::string request;
  std::optional<bool> set;  // the Set call expected, if any
  const char* body;         // with the login item initially off and every Set succeeding
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }

class RouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RouteTest, RoutesByTheFirstLineTarget) {
  const RouteCase& c = GetParam();
  FakeLoginItem login;
  SensorServer server(login, 0, NoReaders());
  EXPECT_EQ(server.route(c.request), c.body);
  if (c.set) {
    EXPECT_EQ(login.calls(), std::vector<bool>{*c.set});
  } else {
    EXPECT_TRUE(login.calls().empty());
  }
}

const RouteCase kRouteCases[] = {
    {"root", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", std::nullopt, kSnapshot},
    {"loginitem", "GET /loginitem HTTP/1.1\r\n\r\n", std::nullopt, kLoginFalse},
    {"enable1", "GET /loginitem?enable=1 HTTP/1.1\r\n\r\n", true, kLoginTrue},
    {"enable0", "GET /loginitem?enable=0 HTTP/1.1\r\n\r\n", false, kLoginFalse},
    {"post", "POST /loginitem?enable=0 HTTP/1.1\r\n\r\n", false, kLoginFalse},
    {"both10", "GET /loginitem?enable=1&enable=0 HTTP/1.1", true, kLoginTrue},
    {"both01", "GET /loginitem?enable=0&enable=1 HTTP/1.1", true, kLoginTrue},
    {"enable10", "GET /loginitem?enable=10 HTTP/1.1", true, kLoginTrue},
    {"xenable0", "GET /loginitem?xenable=0 HTTP/1.1", false, kLoginFalse},
    {"enabletrue", "GET /loginitem?enable=true HTTP/1.1", std::nullopt, kLoginFalse},
    {"emptyquery", "GET /loginitem? HTTP/1.1", std::nullopt, kLoginFalse},
    {"leadingquestion", "GET ?/loginitem HTTP/1.1", std::nullopt, kLoginFalse},
    {"noversion", "GET /loginitem", std::nullopt, kLoginFalse},
    {"twospaces", "GET  /loginitem?enable=1", true, kLoginTrue},
    {"leadingspaces", "   GET /loginitem?enable=1", true, kLoginTrue},
    {"trailingslash", "GET /loginitem/ HTTP/1.1", std::nullopt, kSnapshot},
    {"case", "GET /LoginItem HTTP/1.1", std::nullopt, kSnapshot},
    {"percent", "GET /login%69tem HTTP/1.1", std::nullopt, kSnapshot},
    {"otherpath", "GET /status?enable=1 HTTP/1.1", std::nullopt, kSnapshot},
    {"absoluteform", "GET http://127.0.0.1:53843/loginitem HTTP/1.1", std::nullopt, kSnapshot},
    {"oneword", "GET", std::nullopt, kSnapshot},
    {"empty", "", std::nullopt, kSnapshot},
    {"onlylineends", "\r\n\r\n", std::nullopt, kSnapshot},
    {"leadingemptylines", "\r\n\r\nGET /loginitem?enable=1 HTTP/1.1\r\n", true, kLoginTrue},
    // A lone LF does not end the line: the version and the headers fall into later pieces.
    {"lfonly", "GET /loginitem?enable=1 HTTP/1.1\nHost: x\n\n", true, kLoginTrue},
    // Without a version, the target runs on over the LF into the header's name.
    {"lfnoversion", "GET /loginitem\nHost: x\n", std::nullopt, kSnapshot},
    // A lone CR does not end the line either.
    {"cronly", "GET /loginitem\rX HTTP/1.1", std::nullopt, kSnapshot},
    // The switch is looked for only in the target, not in later lines or words.
    {"switchinheader", "GET /loginitem HTTP/1.1\r\nX: enable=1\r\n", std::nullopt, kLoginFalse},
    {"switchinversion", "GET /loginitem enable=1", std::nullopt, kLoginFalse},
    // A space followed by a combining mark is one character: no split there.
    {"spacecombining", "GET \xCC\x81/loginitem HTTP/1.1", std::nullopt, kSnapshot},
    {"spacecombiningafter", "GET /loginitem \xCC\x81HTTP/1.1", std::nullopt, kSnapshot},
    // "?" with a combining mark does not split the path from the query.
    {"questioncombining",
     "GET /loginitem?\xCC\x81"
     "enable=1 HTTP/1.1",
     std::nullopt, kSnapshot},
    // A combining mark on the switch's last character makes it another character.
    {"switchcombining", "GET /loginitem?enable=1\xCC\x81 HTTP/1.1", std::nullopt, kLoginFalse},
    // Non-ASCII elsewhere in the text leaves ordinary splitting alone.
    {"nonasciiheader", "GET /loginitem?enable=0 HTTP/1.1\r\nX: caf\xC3\xA9\r\n", false,
     kLoginFalse},
};

INSTANTIATE_TEST_SUITE_P(Examples, RouteTest, ::testing::ValuesIn(kRouteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RouteStateTest, AnswerReadsTheStateAfterTheChange) {
  FakeLoginItem login;
  SensorServer server(login, 0, NoReaders());
  login.set_enabled(true);
  EXPECT_EQ(server.route("GET /loginitem HTTP/1.1"), kLoginTrue);
  // A refused unregistration: "ok" is still true, "loginItem" tells the real state.
  login.set_refuse(true);
  EXPECT_EQ(server.route("GET /loginitem?enable=0 HTTP/1.1"), kLoginTrue);
  EXPECT_EQ(login.calls(), std::vector<bool>{false});
  EXPECT_EQ(std::string(kLoginTrue).size(), 28u);
  EXPECT_EQ(std::string(kLoginFalse).size(), 29u);
}

}  // namespace
}  // namespace ostrel
