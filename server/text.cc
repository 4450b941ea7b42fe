// text.cc: UTF-8 checks and grapheme cluster walking over ICU.
#include "server/text.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace ostrel {

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

namespace {

// The calling thread's character break iterator, made on first use. ICU break iterators are
// not thread-safe, and making one costs far more than reusing it.
icu::BreakIterator* ThreadBreakIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) made.reset();
    return made;
  }();
  return iterator.get();
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const int32_t length = static_cast<int32_t>(bytes.size());
  int32_t i = 0;
  while (i < length) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(s, i, length, c);  // negative for any ill-formed or truncated sequence
    if (c < 0) return false;
  }
  return true;
}

std::string ToValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const int32_t length = static_cast<int32_t>(bytes.size());
  std::string out;
  out.reserve(bytes.size());
  int32_t i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      out.append("\xEF\xBF\xBD");  // U+FFFD for the ill-formed subpart just skipped
    } else {
      out.append(bytes.substr(start, i - start));
    }
  }
  return out;
}

ClusterCursor::ClusterCursor(std::string_view text) : text_(text), ascii_(IsAscii(text)) {
  if (ascii_) return;
  UErrorCode status = U_ZERO_ERROR;
  utext_ = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  icu::BreakIterator* iterator = ThreadBreakIterator();
  if (U_SUCCESS(status) && iterator != nullptr) {
    iterator->setText(utext_, status);
  }
  if (U_FAILURE(status) || iterator == nullptr) {
    // Without ICU the text is walked by bytes: still bounded, just less exact.
    utext_close(utext_);
    utext_ = nullptr;
    ascii_ = true;
  }
}

ClusterCursor::~ClusterCursor() {
  if (utext_ != nullptr) utext_close(utext_);
}

bool ClusterCursor::Next(std::string_view* cluster) {
  if (pos_ >= text_.size()) return false;
  size_t end;
  if (ascii_) {
    end = pos_ + 1;
    if (text_[pos_] == '\r' && end < text_.size() && text_[end] == '\n') ++end;
  } else {
    const int32_t next = ThreadBreakIterator()->next();
    end = next == icu::BreakIterator::DONE ? text_.size() : static_cast<size_t>(next);
    if (end <= pos_) end = text_.size();
  }
  *cluster = text_.substr(pos_, end - pos_);
  pos_ = end;
  return true;
}

}  // namespace ostrel
