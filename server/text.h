// text.h: the Unicode work of the server: strict UTF-8 decoding of requests, lenient decoding
// of sensor labels, and walking a text by extended grapheme clusters (characters as users
// perceive them), which is how requests are split.
//
// All functions are safe on any thread. The clusters are the system's Unicode library's
// (platform/text_segmentation.h); the UTF-8 checks are this file's own.
#ifndef OSTREL_SERVER_TEXT_H_
#define OSTREL_SERVER_TEXT_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/text_segmentation.h"

namespace ostrel {

// True when every byte of `text` is below 0x80: ASCII, walked without the Unicode library.
bool IsAscii(std::string_view text);

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequence at the end.
bool IsValidUtf8(std::string_view bytes);

// `bytes` as well-formed UTF-8, each ill-formed sequence replaced by U+FFFD (one per maximal
// ill-formed subpart, as Unicode recommends).
std::string ToValidUtf8(std::string_view bytes);

// Yields the extended grapheme clusters of a well-formed UTF-8 text, in order. Pure ASCII is
// walked directly (there every byte is a cluster, except that CR LF is one); anything else goes
// through the system's grapheme breaks, or byte by byte like ASCII when those can't be had. The
// text must outlive the cursor, and a thread walks one non-ASCII text at a time.
class ClusterCursor {
 public:
  explicit ClusterCursor(std::string_view text);
  ~ClusterCursor();
  ClusterCursor(const ClusterCursor&) = delete;
  ClusterCursor& operator=(const ClusterCursor&) = delete;

  // Sets `*cluster` to the next cluster and returns true, or returns false at the end.
  bool Next(std::string_view* cluster);

 private:
  std::string_view text_;                   // the whole text being walked
  size_t pos_ = 0;                          // byte offset of the next cluster
  std::unique_ptr<GraphemeBreaks> breaks_;  // the system's walk; null: byte by byte
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_TEXT_H_
