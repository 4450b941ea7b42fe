// text.cc: UTF-8 checks and grapheme cluster walking.
#include "server/text.h"

#include <stdint.h>

namespace ostrel {

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

namespace {

// Moves `*i` past the code point that starts there and returns true, or, when the sequence
// there is ill-formed or cut off, moves past its maximal subpart (the lead byte and the trail
// bytes that could still have continued it) and returns false. The well-formed sequences are
// those of the Unicode standard's table 3-7: no overlong forms, no surrogates, nothing above
// U+10FFFF.
bool NextCodePoint(const uint8_t* s, size_t length, size_t* i) {
  const uint8_t lead = s[(*i)++];
  if (lead < 0x80) return true;
  int trail_count;
  uint8_t low = 0x80, high = 0xBF;  // the range of the first trail byte; later ones are full
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail_count = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail_count = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail_count = 3;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return false;  // a trail byte, C0, C1 or F5..FF: never a lead
  }
  for (int k = 0; k < trail_count; ++k) {
    if (*i == length || s[*i] < low || s[*i] > high) return false;
    ++*i;
    low = 0x80;
    high = 0xBF;
  }
  return true;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t i = 0; i < bytes.size();) {
    if (!NextCodePoint(s, bytes.size(), &i)) return false;
  }
  return true;
}

std::string ToValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t start = i;
    if (NextCodePoint(s, bytes.size(), &i)) {
      out.append(bytes.substr(start, i - start));
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD for the ill-formed subpart just skipped
    }
  }
  return out;
}

ClusterCursor::ClusterCursor(std::string_view text) : text_(text) {
  // Without the system's walk the text goes byte by byte: still bounded, just less exact.
  if (!IsAscii(text)) breaks_ = NewGraphemeBreaks(text);
}

ClusterCursor::~ClusterCursor() = default;

bool ClusterCursor::Next(std::string_view* cluster) {
  if (pos_ >= text_.size()) return false;
  size_t end;
  if (breaks_ == nullptr) {
    end = pos_ + 1;
    if (text_[pos_] == '\r' && end < text_.size() && text_[end] == '\n') ++end;
  } else {
    end = breaks_->Next();
    if (end <= pos_ || end > text_.size()) end = text_.size();
  }
  *cluster = text_.substr(pos_, end - pos_);
  pos_ = end;
  return true;
}

}  // namespace ostrel
