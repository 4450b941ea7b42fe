// Desktop entry files: what parses, value escapes, and Exec quoting in both directions.
#include "platform/linux/desktop_entry.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(DesktopEntryTest, Parse) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    std::string exec;  // the raw Exec value when ok
  };
  const Case cases[] = {
      {"plain", "[Desktop Entry]\nType=Application\nExec=/bin/x\n", true, "/bin/x"},
      {"comments-first", "# c\n\n[Desktop Entry]\nExec=/bin/x", true, "/bin/x"},
      {"blanks-around-equals", "[Desktop Entry]\nExec = /bin/x\n", true, "/bin/x"},
      {"crlf", "[Desktop Entry]\r\nExec=/bin/x\r\n", true, "/bin/x"},
      {"value-with-equals", "[Desktop Entry]\nExec=/bin/x a=b\n", true, "/bin/x a=b"},
      {"empty-value", "[Desktop Entry]\nExec=\n", true, ""},
      {"locale-key", "[Desktop Entry]\nName[de]=X\nExec=/bin/x\n", true, "/bin/x"},
      {"other-group-after", "[Desktop Entry]\nExec=/bin/x\n[Desktop Action a]\nExec=/bin/y\n", true,
       "/bin/x"},
      {"empty", "", false, ""},
      {"only-comments", "# nothing\n", false, ""},
      {"other-group-first", "[Other]\nA=1\n[Desktop Entry]\nExec=/bin/x\n", false, ""},
      {"key-before-group", "Exec=/bin/x\n[Desktop Entry]\n", false, ""},
      {"junk-line", "[Desktop Entry]\nExec=/bin/x\nthis is not a key\n", false, ""},
      {"bad-key", "[Desktop Entry]\nE xec=/bin/x\n", false, ""},
      {"duplicate-key", "[Desktop Entry]\nExec=/bin/x\nExec=/bin/y\n", false, ""},
      {"group-twice", "[Desktop Entry]\nExec=/bin/x\n[Desktop Entry]\n", false, ""},
      {"unclosed-group", "[Desktop Entry\nExec=/bin/x\n", false, ""},
      {"binary",
       std::string("\x7f"
                   "ELF\0\0",
                   6),
       false, ""},
  };
  for (const Case& c : cases) {
    std::optional<DesktopEntry> entry = ParseDesktopEntry(c.text);
    EXPECT_EQ(entry.has_value(), c.ok) << c.name;
    if (c.ok && entry) {
      EXPECT_EQ(entry->Get("Exec"), c.exec) << c.name;
    }
  }
}

TEST(DesktopEntryTest, ValueEscapes) {
  EXPECT_EQ(UnescapeDesktopValue("a\\sb\\nc\\td\\re\\\\f\\x\\"), "a b\nc\td\re\\f\\x\\");
  for (std::string text : {"plain", " leading", "a\\b", "tab\tnew\nline\r", "a  b"}) {
    EXPECT_EQ(UnescapeDesktopValue(EscapeDesktopValue(text)), text) << text;
  }
  EXPECT_EQ(EscapeDesktopValue(" a b\\"), "\\sa b\\\\");
}

TEST(DesktopEntryTest, ExecQuotingRoundTrips) {
  const std::string paths[] = {
      "/usr/bin/ostrel-sensor-helper",
      "/home/a b/My Apps/helper",
      "/opt/\"quoted\"/$HOME/`cmd`/back\\slash/100%/%f",
      "/tmp/tab\there",
  };
  for (const std::string& path : paths) {
    const std::string written = EscapeDesktopValue(QuoteExecArgument(path));
    std::optional<std::vector<std::string>> args = SplitExec(UnescapeDesktopValue(written));
    ASSERT_TRUE(args) << written;
    EXPECT_EQ(*args, std::vector<std::string>{path}) << written;
  }
  // The exact form: quoted, reserved characters escaped, '%' doubled, then the value escapes
  // double every backslash (a literal backslash takes four, a '$' is written "\\$").
  EXPECT_EQ(EscapeDesktopValue(QuoteExecArgument("/a b/\"$`\\%")),
            "\"/a b/\\\\\"\\\\$\\\\`\\\\\\\\%%\"");
}

TEST(DesktopEntryTest, SplitExec) {
  struct Case {
    const char* exec;
    std::optional<std::vector<std::string>> args;
  };
  const Case cases[] = {
      {"/bin/x", std::vector<std::string>{"/bin/x"}},
      {"  /bin/x   --flag  ", std::vector<std::string>{"/bin/x", "--flag"}},
      {"/bin/x %U", std::vector<std::string>{"/bin/x"}},
      {"/bin/x %f --a=%u", std::vector<std::string>{"/bin/x", "--a="}},
      {"/bin/x 100%%", std::vector<std::string>{"/bin/x", "100%"}},
      {"\"/a b/x\" \"\"", std::vector<std::string>{"/a b/x", ""}},
      {"\"/a\\\"b\"", std::vector<std::string>{"/a\"b"}},
      {"\"/open", std::nullopt},
      {"", std::vector<std::string>{}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitExec(c.exec), c.args) << c.exec;
  }
}

TEST(DesktopEntryTest, Booleans) {
  EXPECT_EQ(DesktopBoolean("true"), true);
  EXPECT_EQ(DesktopBoolean("false"), false);
  EXPECT_EQ(DesktopBoolean("True"), std::nullopt);
  EXPECT_EQ(DesktopBoolean("1"), std::nullopt);
  EXPECT_EQ(DesktopBoolean(""), std::nullopt);
}

}  // namespace
}  // namespace ostrel
