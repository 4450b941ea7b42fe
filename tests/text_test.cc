// Strict and lenient UTF-8 decoding, and grapheme cluster walking.
#include "server/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

TEST(TextTest, StrictUtf8) {
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"ascii", "GET / HTTP/1.1\r\n", true},
      {"two-byte", "caf\xC3\xA9", true},
      {"four-byte max", "\xF4\x8F\xBF\xBF", true},
      {"nul byte", std::string("a\0b", 3), true},
      {"overlong slash", "\xC0\xAF", false},
      {"overlong three-byte", "\xE0\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"five-byte form", "\xF8\x88\x80\x80\x80", false},
      {"lone continuation", "\x80", false},
      {"cut at the end", "ab\xE2\x82", false},
      {"bad continuation", "\xE2\x28\xA1", false},
      {"0xFF", "\xFF", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.name;
}

TEST(TextTest, LenientUtf8ReplacesIllFormedParts) {
  EXPECT_EQ(ToValidUtf8("SSD"), "SSD");
  EXPECT_EQ(ToValidUtf8("a\xFF"
                        "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(ToValidUtf8("\xE2\x82"), "\xEF\xBF\xBD");  // one truncated sequence, one U+FFFD
  EXPECT_EQ(ToValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(ToValidUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
}

std::vector<std::string> Clusters(std::string_view text) {
  std::vector<std::string> out;
  ClusterCursor cursor(text);
  std::string_view cluster;
  while (cursor.Next(&cluster)) out.emplace_back(cluster);
  return out;
}

TEST(TextTest, ClustersFollowUserPerceivedCharacters) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Clusters(""), V{});
  EXPECT_EQ(Clusters("a\r\nb"), (V{"a", "\r\n", "b"}));
  EXPECT_EQ(Clusters("\r\r\n\n"), (V{"\r", "\r\n", "\n"}));
  // Non-ASCII text goes through ICU: CR LF still one cluster, combining marks join their base.
  EXPECT_EQ(Clusters("\xC3\xA9\r\n"), (V{"\xC3\xA9", "\r\n"}));
  EXPECT_EQ(Clusters("a \xCC\x81"
                     "b"),
            (V{"a", " \xCC\x81", "b"}));
  EXPECT_EQ(Clusters("?\xCC\x81"), (V{"?\xCC\x81"}));
  // Regional indicators pair up: two flags.
  EXPECT_EQ(Clusters("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7").size(),
            2u);
}

}  // namespace
}  // namespace ostrel
