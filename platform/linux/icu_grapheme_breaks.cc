// icu_grapheme_breaks.cc: grapheme clusters from ICU's character break iterator, one iterator
// per thread, over a UText that reads the UTF-8 bytes in place (its indexes are byte offsets).
#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include "platform/text_segmentation.h"

namespace ostrel {
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

class IcuGraphemeBreaks final : public GraphemeBreaks {
 public:
  // Takes over `text`, which the thread's iterator already walks.
  IcuGraphemeBreaks(UText* text, icu::BreakIterator* iterator) : text_(text), iterator_(iterator) {}
  ~IcuGraphemeBreaks() override { utext_close(text_); }

  size_t Next() override {
    const int32_t next = iterator_->next();
    return next == icu::BreakIterator::DONE ? 0 : static_cast<size_t>(next);
  }

 private:
  UText* const text_;                   // owned
  icu::BreakIterator* const iterator_;  // the thread's
};

}  // namespace

std::unique_ptr<GraphemeBreaks> NewGraphemeBreaks(std::string_view text) {
  icu::BreakIterator* iterator = ThreadBreakIterator();
  if (iterator == nullptr) return nullptr;
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_SUCCESS(status)) iterator->setText(utext, status);
  if (U_FAILURE(status)) {
    utext_close(utext);
    return nullptr;
  }
  return std::make_unique<IcuGraphemeBreaks>(utext, iterator);
}

}  // namespace ostrel
