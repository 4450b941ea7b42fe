// desktop_entry.h: reading and writing freedesktop.org desktop entry files (application
// launchers and autostart entries): the [Desktop Entry] group, value escapes and the quoting
// rules of the Exec key. Pure functions over text; safe on any thread.
#ifndef OSTREL_PLATFORM_LINUX_DESKTOP_ENTRY_H_
#define OSTREL_PLATFORM_LINUX_DESKTOP_ENTRY_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// The keys of a file's [Desktop Entry] group, values as written (still escaped). Localised
// keys ("Name[de]") are kept under their full name.
struct DesktopEntry {
  std::map<std::string, std::string, std::less<>> keys;  // key -> raw value

  // The raw value of `key`, or nullopt when the group has no such key.
  std::optional<std::string> Get(std::string_view key) const;
};

// Parses a desktop entry file. nullopt when the text is not one: the first group is not
// [Desktop Entry] (only blank and comment lines may come before it), a line is neither blank,
// a comment, a group header nor `Key=Value` with a key of [A-Za-z0-9-] (plus an optional
// [locale]), or a key appears twice in a group. Blanks around '=' are ignored.
std::optional<DesktopEntry> ParseDesktopEntry(std::string_view text);

// The value escapes of string keys: "\s" space, "\n", "\t", "\r", "\\" backslash. An unknown
// escape is kept as it is.
std::string UnescapeDesktopValue(std::string_view raw);
// The inverse: backslash, line feed, tab and carriage return escaped, and a leading space as
// "\s" (it would otherwise be taken for a blank around '=').
std::string EscapeDesktopValue(std::string_view text);

// One Exec argument as a quoted string: within double quotes, '"', '`', '$' and '\' are preceded
// by a backslash, and '%' is doubled (a lone '%' would start a field code). The result still
// needs EscapeDesktopValue to be written into a file.
std::string QuoteExecArgument(std::string_view arg);

// Splits an unescaped Exec value into its arguments: blanks separate them, double-quoted parts
// keep blanks and take backslash escapes; "%%" becomes '%' and any other field code ("%f",
// "%U", ...) is dropped, an argument that was nothing but field codes with it. nullopt when a
// quote is left open.
std::optional<std::vector<std::string>> SplitExec(std::string_view exec);

// A boolean value: "true" or "false" exactly; nullopt for anything else.
std::optional<bool> DesktopBoolean(std::string_view raw);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_DESKTOP_ENTRY_H_
