// icucore_grapheme_breaks.cc: ubrk_open, ubrk_setUText and ubrk_next over utext_openUTF8.
#include "platform/macos/icucore_grapheme_breaks.h"

namespace ostrel::macos {
namespace {

bool Failed(UErrorCode status) { return status > 0; }  // ICU's U_FAILURE

class IcuCoreGraphemeBreaks final : public GraphemeBreaks {
 public:
  // Takes over `text` and `iterator`, which already walks it; `close_*` and `next` are borrowed.
  IcuCoreGraphemeBreaks(UText* text, UBreakIterator* iterator, utext_closeFn close_text,
                        ubrk_closeFn close_iterator, ubrk_nextFn next)
      : text_(text),
        iterator_(iterator),
        close_text_(close_text),
        close_iterator_(close_iterator),
        next_(next) {}
  ~IcuCoreGraphemeBreaks() override {
    close_iterator_(iterator_);  // before the text it reads
    close_text_(text_);
  }

  size_t Next() override {
    const int32_t next = next_(iterator_);
    return next == kUBreakDone ? 0 : static_cast<size_t>(next);
  }

 private:
  UText* const text_;               // owned
  UBreakIterator* const iterator_;  // owned
  const utext_closeFn close_text_;
  const ubrk_closeFn close_iterator_;
  const ubrk_nextFn next_;
};

}  // namespace

IcuCore::IcuCore(DynamicLibrary& library)
    : utext_openUTF8_(library.Function<utext_openUTF8Fn>("utext_openUTF8")),
      utext_close_(library.Function<utext_closeFn>("utext_close")),
      ubrk_open_(library.Function<ubrk_openFn>("ubrk_open")),
      ubrk_setUText_(library.Function<ubrk_setUTextFn>("ubrk_setUText")),
      ubrk_next_(library.Function<ubrk_nextFn>("ubrk_next")),
      ubrk_close_(library.Function<ubrk_closeFn>("ubrk_close")) {}

std::unique_ptr<GraphemeBreaks> IcuCore::Breaks(std::string_view text) const {
  if (!utext_openUTF8_ || !utext_close_ || !ubrk_open_ || !ubrk_setUText_ || !ubrk_next_ ||
      !ubrk_close_) {
    return nullptr;
  }
  UErrorCode status = 0;
  UText* utext = utext_openUTF8_(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (utext == nullptr || Failed(status)) {
    if (utext != nullptr) utext_close_(utext);
    return nullptr;
  }
  // The root locale: grapheme clusters are the same in every language.
  UBreakIterator* iterator = ubrk_open_(kUBreakCharacter, "", nullptr, 0, &status);
  if (iterator != nullptr && !Failed(status)) ubrk_setUText_(iterator, utext, &status);
  if (iterator == nullptr || Failed(status)) {
    if (iterator != nullptr) ubrk_close_(iterator);
    utext_close_(utext);
    return nullptr;
  }
  return std::make_unique<IcuCoreGraphemeBreaks>(utext, iterator, utext_close_, ubrk_close_,
                                                 ubrk_next_);
}

}  // namespace ostrel::macos
