// document.h: what the window takes from the helper's answers. The helper's snapshot document
// and its login-item answer are parsed here into plain values, bounded and cleaned so that any
// body (empty, not JSON, missing members, wrong types, huge numbers, endless lists, labels that
// are long or not UTF-8) gives something the page can show as it is. Pure functions; any thread.
#ifndef OSTREL_COMPANION_DOCUMENT_H_
#define OSTREL_COMPANION_DOCUMENT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::window {

// At most this many temperatures and fans are shown; the rest are counted.
inline constexpr size_t kMaxTemperatures = 16;
inline constexpr size_t kMaxFans = 16;
// Labels longer than this many characters end in "…".
inline constexpr size_t kMaxLabelChars = 40;
// A number further from zero than this, or not finite, counts as no reading.
inline constexpr double kMaxMagnitude = 1e9;

struct Temperature {
  std::string label;              // well-formed UTF-8, no control characters, bounded
  std::optional<double> celsius;  // nothing when missing or not a plausible number
  bool operator==(const Temperature&) const = default;
};

struct Fan {
  std::string label;  // "Fan <index>", or "Fan <position>" when the index is unusable
  std::optional<double> rpm, min, max;
  bool operator==(const Fan&) const = default;
};

// Power in watts; a member is nothing when missing or not a number.
struct Power {
  std::optional<double> cpu, gpu, ane, soc;
  bool operator==(const Power&) const = default;
};

struct Document {
  std::vector<Temperature> temperatures;  // in the helper's order, at most kMaxTemperatures
  std::vector<Fan> fans;                  // in the helper's order, at most kMaxFans
  size_t hidden_temperatures = 0;         // how many were left out by the bounds
  size_t hidden_fans = 0;
  std::optional<Power> power;      // nothing when "power" is {} or holds no number
  std::optional<bool> login_item;  // nothing when missing or not a boolean
};

// The snapshot document in `body`, or nothing when the body is not a JSON object (then it is
// no answer from the helper). Members that are missing or of the wrong type read as empty.
std::optional<Document> ParseDocument(std::string_view body);

// The "loginItem" of a login-item answer, or nothing when the body does not carry one.
std::optional<bool> ParseLoginAnswer(std::string_view body);

// `bytes` as well-formed UTF-8: each ill-formed sequence becomes U+FFFD.
std::string ToValidUtf8(std::string_view bytes);

// A label fit to show on one line: well-formed UTF-8, control characters as spaces, at most
// `max_chars` code points (the last one "…" when cut).
std::string CleanLabel(std::string_view bytes, size_t max_chars = kMaxLabelChars);

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_DOCUMENT_H_
