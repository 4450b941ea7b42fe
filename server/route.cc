// route.cc: turns one request text into its body. Only the request target of the first line is
// looked at. The text is split by characters as users perceive them (extended grapheme
// clusters): CR LF is one character and ends a line, a lone CR or LF does not, and a space or
// "?" followed by a combining mark is part of a larger character and does not separate.
#include "server/route.h"

#include <stdint.h>

#include <vector>

#include "server/text.h"

namespace ostrel {
namespace {

// The clusters of one line: cluster i is text.substr(bounds[i], bounds[i + 1] - bounds[i]).
// Offsets rather than views keep a long line's list small (4 bytes a cluster).
class Clusters {
 public:
  size_t size() const { return bounds_.empty() ? 0 : bounds_.size() - 1; }
  std::string_view operator[](size_t i) const {
    return text_.substr(bounds_[i], bounds_[i + 1] - bounds_[i]);
  }
  // Appends `cluster`, which must directly follow the last one in the same text.
  void push_back(std::string_view cluster) {
    if (bounds_.empty()) {
      text_ = cluster;
      bounds_.push_back(0);
    } else {
      text_ = std::string_view(text_.data(), text_.size() + cluster.size());
    }
    bounds_.push_back(static_cast<uint32_t>(text_.size()));
  }
  void clear() {
    text_ = {};
    bounds_.clear();
  }

 private:
  std::string_view text_;         // the clusters' bytes, from the first to the last
  std::vector<uint32_t> bounds_;  // cluster starts in text_, then text_.size()
};

// A run of clusters [begin, end) of one Clusters list.
struct Piece {
  size_t begin = 0;
  size_t end = 0;
};

// The first non-empty piece and the one after it of `clusters[range)` split at the cluster
// `separator`; `count` says how many of the two were found. Empty pieces (at the ends, or between
// adjacent separators) are left out, as the split of the request line requires.
struct FirstPieces {
  Piece piece[2];
  int count = 0;
};

FirstPieces SplitFirstTwo(const Clusters& clusters, Piece range, std::string_view separator) {
  FirstPieces found;
  size_t start = range.begin;
  for (size_t i = range.begin; i <= range.end && found.count < 2; ++i) {
    if (i == range.end || clusters[i] == separator) {
      if (i > start) found.piece[found.count++] = Piece{start, i};
      start = i + 1;
    }
  }
  return found;
}

std::string_view Join(const Clusters& clusters, Piece piece) {
  if (piece.begin == piece.end) return {};
  const char* first = clusters[piece.begin].data();
  const std::string_view last = clusters[piece.end - 1];
  return std::string_view(first, static_cast<size_t>(last.data() + last.size() - first));
}

// True when `word` (ASCII) occurs in `clusters[range)` as a run of whole clusters: a match
// whose last character carries a combining mark is another character and does not count.
bool ContainsWord(const Clusters& clusters, Piece range, std::string_view word) {
  for (size_t i = range.begin; i + word.size() <= range.end; ++i) {
    size_t k = 0;
    while (k < word.size() && clusters[i + k].size() == 1 && clusters[i + k][0] == word[k]) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

// The clusters of the first line: up to the first CR LF, after skipping leading empty lines.
// A text that is empty or holds nothing but line ends is its own first line.
Clusters FirstLine(std::string_view text) {
  Clusters line;
  ClusterCursor cursor(text);
  std::string_view cluster;
  bool only_line_ends = true;
  while (cursor.Next(&cluster)) {
    if (cluster == "\r\n") {
      if (!only_line_ends) return line;
      line.push_back(cluster);  // kept in case the whole text is line ends
      continue;
    }
    if (only_line_ends) line.clear();
    only_line_ends = false;
    line.push_back(cluster);
  }
  return line;
}

}  // namespace

Route RouteRequest(std::string_view request) {
  const Clusters line = FirstLine(request);
  Route route;

  // The target is the second space-separated piece of the first line; "/" when there is none.
  const FirstPieces words = SplitFirstTwo(line, Piece{0, line.size()}, " ");
  if (words.count < 2) return route;  // the target "/" is not the login-item path
  const Piece target = words.piece[1];

  // The path is the target's first "?"-separated piece (the whole target when it is all "?").
  const FirstPieces parts = SplitFirstTwo(line, target, "?");
  const std::string_view path = Join(line, parts.count > 0 ? parts.piece[0] : target);
  if (path != "/loginitem") return route;

  route.login_item = true;
  if (ContainsWord(line, target, "enable=1")) {
    route.enable = true;
  } else if (ContainsWord(line, target, "enable=0")) {
    route.enable = false;
  }
  return route;
}

std::string LoginItemBody(bool enabled) {
  return enabled ? "{\"ok\":true,\"loginItem\":true}" : "{\"ok\":true,\"loginItem\":false}";
}

}  // namespace ostrel
