// environment.cc: environment copies and XDG base folders.
#include "platform/linux/environment.h"

extern char** environ;

namespace ostrel {
namespace {

bool IsAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::optional<std::string> HomeSubdir(const Environment& env, const char* relative) {
  std::optional<std::string> home = env.Get("HOME");
  if (!home || !IsAbsolute(*home)) return std::nullopt;
  std::string dir = *home;
  if (dir.back() != '/') dir += '/';
  dir += relative;
  return dir;
}

}  // namespace

Environment Environment::Current() {
  Environment env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    // The first occurrence of a name wins, as getenv() sees it.
    env.vars_.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
  }
  return env;
}

std::optional<std::string> Environment::Get(std::string_view name) const {
  auto it = vars_.find(name);
  if (it == vars_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Environment::GetNonEmpty(std::string_view name) const {
  std::optional<std::string> value = Get(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

void Environment::Set(std::string name, std::string value) {
  vars_.insert_or_assign(std::move(name), std::move(value));
}

void Environment::Unset(std::string_view name) {
  auto it = vars_.find(name);
  if (it != vars_.end()) vars_.erase(it);
}

std::vector<std::string> Environment::Entries() const {
  std::vector<std::string> entries;
  entries.reserve(vars_.size());
  for (const auto& [name, value] : vars_) entries.push_back(name + "=" + value);
  return entries;
}

std::optional<std::string> XdgConfigHome(const Environment& env) {
  std::optional<std::string> dir = env.Get("XDG_CONFIG_HOME");
  if (dir && IsAbsolute(*dir)) return dir;
  return HomeSubdir(env, ".config");
}

std::vector<std::string> SplitSearchList(std::string_view list) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string_view::npos) end = list.size();
    if (end > start) entries.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

std::vector<std::string> XdgDataDirs(const Environment& env) {
  std::vector<std::string> dirs;
  std::optional<std::string> home = env.Get("XDG_DATA_HOME");
  if (home && IsAbsolute(*home)) {
    dirs.push_back(*home);
  } else if (std::optional<std::string> dflt = HomeSubdir(env, ".local/share")) {
    dirs.push_back(*dflt);
  }
  std::string list = env.GetNonEmpty("XDG_DATA_DIRS").value_or("/usr/local/share:/usr/share");
  for (std::string& entry : SplitSearchList(list)) {
    if (IsAbsolute(entry)) dirs.push_back(std::move(entry));
  }
  return dirs;
}

}  // namespace ostrel
