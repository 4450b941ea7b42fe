// desktop_entry.cc: desktop entry parsing and quoting.
#include "platform/linux/desktop_entry.h"

namespace ostrel {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool IsKeyChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// "Key" or "Key[locale]", with the key of [A-Za-z0-9-] and a non-empty locale without ']'.
bool IsValidKey(std::string_view key) {
  size_t i = 0;
  while (i < key.size() && IsKeyChar(key[i])) ++i;
  if (i == 0) return false;
  if (i == key.size()) return true;
  if (key[i] != '[' || key.back() != ']' || key.size() - i < 3) return false;
  std::string_view locale = key.substr(i + 1, key.size() - i - 2);
  return locale.find_first_of("[]") == std::string_view::npos;
}

}  // namespace

std::optional<std::string> DesktopEntry::Get(std::string_view key) const {
  auto it = keys.find(key);
  if (it == keys.end()) return std::nullopt;
  return it->second;
}

std::optional<DesktopEntry> ParseDesktopEntry(std::string_view text) {
  DesktopEntry entry;
  bool seen_group = false;
  bool in_main = false;
  std::map<std::string, bool, std::less<>> other_group_keys;  // keys of the current other group
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    if (trimmed.front() == '[') {
      if (trimmed.back() != ']' || trimmed.size() < 3) return std::nullopt;
      std::string_view name = trimmed.substr(1, trimmed.size() - 2);
      if (name.find_first_of("[]") != std::string_view::npos) return std::nullopt;
      if (!seen_group && name != "Desktop Entry") return std::nullopt;
      if (seen_group && name == "Desktop Entry") return std::nullopt;  // the group twice
      seen_group = true;
      in_main = name == "Desktop Entry";
      other_group_keys.clear();
      continue;
    }
    if (!seen_group) return std::nullopt;  // a key before any group
    size_t eq = trimmed.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view key = Trim(trimmed.substr(0, eq));
    std::string_view value = trimmed.substr(eq + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    if (!IsValidKey(key)) return std::nullopt;
    if (in_main) {
      if (!entry.keys.emplace(std::string(key), std::string(value)).second) return std::nullopt;
    } else if (!other_group_keys.emplace(std::string(key), true).second) {
      return std::nullopt;
    }
  }
  if (!seen_group) return std::nullopt;
  return entry;
}

std::string UnescapeDesktopValue(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      out += raw[i];
      continue;
    }
    switch (raw[i + 1]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += raw[i];
        out += raw[i + 1];
    }
    ++i;
  }
  return out;
}

std::string EscapeDesktopValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case ' ':
        out += i == 0 ? "\\s" : " ";
        break;
      default:
        out += text[i];
    }
  }
  return out;
}

std::string QuoteExecArgument(std::string_view arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  out += '"';
  return out;
}

std::optional<std::vector<std::string>> SplitExec(std::string_view exec) {
  std::vector<std::string> args;
  std::string current;
  bool in_arg = false;     // something (possibly an empty quoted string) belongs to `current`
  bool only_codes = true;  // `current` has so far come from field codes alone
  bool in_quotes = false;
  auto finish = [&] {
    if (in_arg && !(only_codes && current.empty())) args.push_back(current);
    current.clear();
    in_arg = false;
    only_codes = true;
  };
  for (size_t i = 0; i < exec.size(); ++i) {
    char c = exec[i];
    if (in_quotes) {
      if (c == '"') {
        in_quotes = false;
      } else if (c == '\\' && i + 1 < exec.size()) {
        current += exec[++i];
      } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
        current += '%';
        ++i;
      } else {
        current += c;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n') {
      finish();
      continue;
    }
    in_arg = true;
    if (c == '"') {
      in_quotes = true;
      only_codes = false;
    } else if (c == '%' && i + 1 < exec.size()) {
      if (exec[i + 1] == '%') {
        current += '%';
        only_codes = false;
      }
      ++i;  // any other field code stands for values this launcher never passes
    } else {
      current += c;
      only_codes = false;
    }
  }
  if (in_quotes) return std::nullopt;
  finish();
  return args;
}

std::optional<bool> DesktopBoolean(std::string_view raw) {
  if (raw == "true") return true;
  if (raw == "false") return false;
  return std::nullopt;
}

}  // namespace ostrel
