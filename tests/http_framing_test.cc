// The response framing, byte for byte.
#include "server/http_framing.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(HttpFramingTest, EmptyObjectBodyIsThe91ByteAnswer) {
  const std::string expected =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
      "Connection: close\r\n\r\n{}";
  EXPECT_EQ(FrameResponse("{}"), expected);
  EXPECT_EQ(FrameResponse("{}").size(), 91u);
}

TEST(HttpFramingTest, ContentLengthCountsUtf8Bytes) {
  struct Case {
    std::string body;
    std::string length;
  };
  const Case cases[] = {
      {"", "0"},
      {"{\"label\":\"\xC3\xA9\"}", "14"},         // é: two bytes, one character
      {"\"\xF0\x9F\x8C\xA1\xEF\xB8\x8F\"", "9"},  // thermometer emoji + VS16
      {std::string(12345, 'x'), "12345"},
  };
  for (const Case& c : cases) {
    const std::string framed = FrameResponse(c.body);
    EXPECT_NE(framed.find("\r\nContent-Length: " + c.length + "\r\n"), std::string::npos)
        << c.length;
    EXPECT_EQ(framed.substr(framed.size() - c.body.size()), c.body);
  }
}

}  // namespace
}  // namespace ostrel
