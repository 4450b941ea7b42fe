// icucore_grapheme_breaks.h: grapheme clusters on macOS (the operation of
// platform/text_segmentation.h) from the system's own ICU, /usr/lib/libicucore.A.dylib, whose C
// functions are bound at run time by their unversioned names: the helper ships no ICU of its own
// and links none.
//
// Each walk opens a character break iterator over a UText that reads the UTF-8 bytes in place,
// so the boundaries are byte offsets, and closes both when it ends.
//
// Threads: an IcuCore table is resolved once by whoever makes it and read-only afterwards, so
// any number of threads may start walks through one; each walk is its caller's.
#ifndef OSTREL_PLATFORM_MACOS_ICUCORE_GRAPHEME_BREAKS_H_
#define OSTREL_PLATFORM_MACOS_ICUCORE_GRAPHEME_BREAKS_H_

#include <memory>
#include <string_view>

#include "platform/macos/mac_api.h"
#include "platform/macos/symbol_resolver.h"
#include "platform/text_segmentation.h"

namespace ostrel::macos {

class IcuCore {
 public:
  // Resolves the six functions a walk needs from `library` (borrowed; it must outlive this).
  explicit IcuCore(DynamicLibrary& library);

  // A walk over the clusters of the well-formed UTF-8 `text` (which must outlive it); null when
  // a function is missing or ICU refuses the text.
  std::unique_ptr<GraphemeBreaks> Breaks(std::string_view text) const;

 private:
  utext_openUTF8Fn utext_openUTF8_;
  utext_closeFn utext_close_;
  ubrk_openFn ubrk_open_;
  ubrk_setUTextFn ubrk_setUText_;
  ubrk_nextFn ubrk_next_;
  ubrk_closeFn ubrk_close_;
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_ICUCORE_GRAPHEME_BREAKS_H_
