// text.h: the Unicode work of the server: strict UTF-8 decoding of requests, lenient decoding
// of sensor labels, and walking a text by extended grapheme clusters (characters as users
// perceive them), which is how requests are split.
//
// All functions are safe on any thread (ICU break iterators are kept one per thread).
#ifndef OSTREL_SERVER_TEXT_H_
#define OSTREL_SERVER_TEXT_H_

#include <memory>
#include <string>
#include <string_view>

struct UText;

namespace ostrel {

// True when every byte of `text` is below 0x80: ASCII, walked without ICU.
bool IsAscii(std::string_view text);

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequence at the end.
bool IsValidUtf8(std::string_view bytes);

// `bytes` as well-formed UTF-8, each ill-formed sequence replaced by U+FFFD (one per maximal
// ill-formed subpart, as Unicode recommends).
std::string ToValidUtf8(std::string_view bytes);

// Yields the extended grapheme clusters of a well-formed UTF-8 text, in order. Pure ASCII is
// walked directly (there every byte is a cluster, except that CR LF is one); anything else goes
// through ICU's character break iterator. The text must outlive the cursor, and a thread walks
// one non-ASCII text at a time (the break iterator is the thread's own).
class ClusterCursor {
 public:
  explicit ClusterCursor(std::string_view text);
  ~ClusterCursor();
  ClusterCursor(const ClusterCursor&) = delete;
  ClusterCursor& operator=(const ClusterCursor&) = delete;

  // Sets `*cluster` to the next cluster and returns true, or returns false at the end.
  bool Next(std::string_view* cluster);

 private:
  std::string_view text_;   // the whole text being walked
  size_t pos_ = 0;          // byte offset of the next cluster
  bool ascii_ = true;       // true: walked byte by byte; false: through `utext_`
  UText* utext_ = nullptr;  // ICU's view of `text_` when not ASCII, owned
};

}  // namespace ostrel

#endif  // OSTREL_SERVER_TEXT_H_
