// text_segmentation.h: where a text's extended grapheme clusters (the characters users
// perceive) end, as the system's Unicode library tells them. The server splits requests by
// these clusters; it walks pure ASCII itself and asks here only for other text.
//
// Each operating system's folder defines NewGraphemeBreaks (on Linux: ICU's character break
// iterator; on macOS: the same iterator of the system's libicucore, bound at run time). A
// GraphemeBreaks belongs to its caller and is used by one thread at a time; the text it walks
// must outlive it.
#ifndef OSTREL_PLATFORM_TEXT_SEGMENTATION_H_
#define OSTREL_PLATFORM_TEXT_SEGMENTATION_H_

#include <stddef.h>

#include <memory>
#include <string_view>

namespace ostrel {

class GraphemeBreaks {
 public:
  virtual ~GraphemeBreaks() = default;

  // The byte offset where the next cluster ends, counted from the start of the text; each call
  // moves one cluster on. 0 when no cluster is left.
  virtual size_t Next() = 0;
};

// The clusters of the well-formed UTF-8 `text`, or null when the system's library can't walk
// it (missing, or failed to start); the caller then walks the text some other bounded way.
// While a walk is open its thread opens no other (an implementation may keep one iterator per
// thread).
std::unique_ptr<GraphemeBreaks> NewGraphemeBreaks(std::string_view text);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_TEXT_SEGMENTATION_H_
