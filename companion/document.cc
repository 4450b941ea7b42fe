// document.cc: parsing the helper's answers into bounded, clean values (see document.h).
#include "companion/document.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace ostrel::window {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is not one.
size_t SequenceLength(std::string_view s) {
  const auto byte = [&s](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

std::optional<double> Number(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double value = it->get<double>();
  if (!std::isfinite(value) || std::fabs(value) > kMaxMagnitude) return std::nullopt;
  return value;
}

const Json& Member(const Json& object, const char* key) {
  static const Json kNull;
  const auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

std::vector<Temperature> Temperatures(const Json& list, size_t* hidden) {
  std::vector<Temperature> out;
  if (!list.is_array()) return out;
  for (const Json& item : list) {
    if (!item.is_object()) continue;
    if (out.size() == kMaxTemperatures) {
      ++*hidden;
      continue;
    }
    const Json& label = Member(item, "label");
    out.push_back({CleanLabel(label.is_string() ? label.get_ref<const std::string&>() : ""),
                   Number(item, "celsius")});
    if (out.back().label.empty()) out.back().label = "Sensor " + std::to_string(out.size());
  }
  return out;
}

std::vector<Fan> Fans(const Json& list, size_t* hidden) {
  std::vector<Fan> out;
  if (!list.is_array()) return out;
  for (const Json& item : list) {
    if (!item.is_object()) continue;
    if (out.size() == kMaxFans) {
      ++*hidden;
      continue;
    }
    const Json& index = Member(item, "index");
    long number = static_cast<long>(out.size());
    if (index.is_number_integer() && index.get<long long>() >= 0 &&
        index.get<long long>() < 10000) {
      number = static_cast<long>(index.get<long long>());
    }
    out.push_back({"Fan " + std::to_string(number), Number(item, "rpm"), Number(item, "min"),
                   Number(item, "max")});
  }
  return out;
}

std::optional<Json> ParseObject(std::string_view body) {
  // Labels come from the machine and may hold any bytes; the parser wants UTF-8.
  Json json = Json::parse(ToValidUtf8(body), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  return json;
}

}  // namespace

std::string ToValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const size_t length = SequenceLength(bytes);
    if (length == 0) {
      out += kReplacement;
      bytes.remove_prefix(1);
    } else {
      out += bytes.substr(0, length);
      bytes.remove_prefix(length);
    }
  }
  return out;
}

std::string CleanLabel(std::string_view bytes, size_t max_chars) {
  const std::string text = ToValidUtf8(bytes);
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t length = SequenceLength(std::string_view(text).substr(i));
    if (chars + 1 == max_chars && i + length < text.size()) {
      out += "…";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else {
      out.append(text, i, length);
    }
    i += length;
    if (++chars == max_chars) break;
  }
  // Blank labels read as none.
  return out.find_first_not_of(' ') == std::string::npos ? std::string() : out;
}

std::optional<Document> ParseDocument(std::string_view body) {
  const std::optional<Json> json = ParseObject(body);
  if (!json) return std::nullopt;
  Document document;
  document.temperatures =
      Temperatures(Member(*json, "temperatures"), &document.hidden_temperatures);
  document.fans = Fans(Member(*json, "fans"), &document.hidden_fans);
  const Json& power = Member(*json, "power");
  if (power.is_object()) {
    Power reading{Number(power, "cpu"), Number(power, "gpu"), Number(power, "ane"),
                  Number(power, "soc")};
    if (reading.cpu || reading.gpu || reading.ane || reading.soc) document.power = reading;
  }
  const Json& login = Member(*json, "loginItem");
  if (login.is_boolean()) document.login_item = login.get<bool>();
  return document;
}

std::optional<bool> ParseLoginAnswer(std::string_view body) {
  const std::optional<Json> json = ParseObject(body);
  if (!json) return std::nullopt;
  const Json& login = Member(*json, "loginItem");
  if (!login.is_boolean()) return std::nullopt;
  return login.get<bool>();
}

}  // namespace ostrel::window
