// Environment copies and the XDG base folders derived from them.
#include "platform/linux/environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace ostrel {
namespace {

Environment Env(std::initializer_list<std::pair<const char*, const char*>> vars) {
  Environment env;
  for (const auto& [name, value] : vars) env.Set(name, value);
  return env;
}

TEST(EnvironmentTest, GetSetUnsetEntries) {
  Environment env = Env({{"B", "2"}, {"A", ""}});
  EXPECT_EQ(env.Get("A"), "");
  EXPECT_EQ(env.GetNonEmpty("A"), std::nullopt);
  EXPECT_EQ(env.Get("C"), std::nullopt);
  env.Set("B", "3");
  EXPECT_EQ(env.Entries(), (std::vector<std::string>{"A=", "B=3"}));
  env.Unset("A");
  env.Unset("missing");
  EXPECT_EQ(env.Entries(), std::vector<std::string>{"B=3"});
}

TEST(EnvironmentTest, CurrentCopiesTheProcessEnvironment) {
  ASSERT_EQ(setenv("OSTREL_ENV_TEST", "a=b", 1), 0);
  Environment env = Environment::Current();
  unsetenv("OSTREL_ENV_TEST");
  EXPECT_EQ(env.Get("OSTREL_ENV_TEST"), "a=b");
  EXPECT_EQ(Environment::Current().Get("OSTREL_ENV_TEST"), std::nullopt);
}

TEST(EnvironmentTest, ConfigHome) {
  struct Case {
    Environment env;
    std::optional<std::string> dir;
  };
  const Case cases[] = {
      {Env({{"HOME", "/home/u"}}), "/home/u/.config"},
      {Env({{"HOME", "/home/u/"}}), "/home/u/.config"},
      {Env({{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "/cfg"}}), "/cfg"},
      {Env({{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "cfg"}}), "/home/u/.config"},
      {Env({{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", ""}}), "/home/u/.config"},
      {Env({{"XDG_CONFIG_HOME", "/cfg"}}), "/cfg"},
      {Env({}), std::nullopt},
      {Env({{"HOME", ""}}), std::nullopt},
      {Env({{"HOME", "home"}}), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(XdgConfigHome(c.env), c.dir) << ::testing::PrintToString(c.env.Entries());
  }
}

TEST(EnvironmentTest, DataDirs) {
  struct Case {
    Environment env;
    std::vector<std::string> dirs;
  };
  const Case cases[] = {
      {Env({{"HOME", "/h"}}), {"/h/.local/share", "/usr/local/share", "/usr/share"}},
      {Env({{"HOME", "/h"}, {"XDG_DATA_HOME", "/d"}, {"XDG_DATA_DIRS", "/a:rel::/b"}}),
       {"/d", "/a", "/b"}},
      {Env({{"HOME", "/h"}, {"XDG_DATA_HOME", "d"}, {"XDG_DATA_DIRS", ""}}),
       {"/h/.local/share", "/usr/local/share", "/usr/share"}},
      {Env({{"XDG_DATA_DIRS", "/a"}}), {"/a"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(XdgDataDirs(c.env), c.dirs) << ::testing::PrintToString(c.env.Entries());
  }
}

}  // namespace
}  // namespace ostrel
