// environment.h: a copy of a process environment, and the XDG base folders derived from one.
//
// The product takes a fresh copy of its own environment where it needs variables
// (Environment::Current): for each alert and each launch, and once at start for the autostart
// folder, which the login item then keeps (a copy per request would cost as much as the whole
// environment is large). Tests build one by hand and hand it to the platform layers instead.
// An Environment is a plain value: each copy belongs to its holder, and a const one may be read
// from any thread.
#ifndef OSTREL_PLATFORM_LINUX_ENVIRONMENT_H_
#define OSTREL_PLATFORM_LINUX_ENVIRONMENT_H_

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class Environment {
 public:
  // An empty environment.
  Environment() = default;

  // A copy of this process's environment as it is now. The product never changes its own
  // environment, so reading it here races with nothing.
  static Environment Current();

  // The value of `name`, or nullopt when it is not set (a variable set to "" is set).
  std::optional<std::string> Get(std::string_view name) const;

  // The value of `name` when it is set and not empty.
  std::optional<std::string> GetNonEmpty(std::string_view name) const;

  // Sets or replaces `name`.
  void Set(std::string name, std::string value);

  // Removes `name`; nothing happens when it is not set.
  void Unset(std::string_view name);

  // Every variable as "NAME=value", in name order: the environment block of a child process.
  std::vector<std::string> Entries() const;

 private:
  std::map<std::string, std::string, std::less<>> vars_;  // name -> value
};

// Where the product reads its environment from: Environment::Current for the product, a fixed
// copy in tests.
using EnvironmentSource = std::function<Environment()>;

// $XDG_CONFIG_HOME when it is set to an absolute path, otherwise $HOME/.config. nullopt when
// neither gives an absolute path (HOME unset, empty or relative).
std::optional<std::string> XdgConfigHome(const Environment& env);

// The non-empty entries of a colon-separated search list ($PATH, $XDG_DATA_DIRS), in order.
std::vector<std::string> SplitSearchList(std::string_view list);

// The folders searched for application data, most important first: $XDG_DATA_HOME (default
// $HOME/.local/share), then each entry of $XDG_DATA_DIRS (default /usr/local/share:/usr/share).
// Relative entries are ignored, as the XDG base directory rules require.
std::vector<std::string> XdgDataDirs(const Environment& env);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_ENVIRONMENT_H_
