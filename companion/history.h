// history.h: the last ten minutes of readings behind a chart, one point per document, and the
// vertical scale to draw them on. A bounded ring: memory stays the same however long the window
// runs and however many labels the helper serves. Owned by the page's model; main thread only.
#ifndef OSTREL_COMPANION_HISTORY_H_
#define OSTREL_COMPANION_HISTORY_H_

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::window {

// The vertical range of a chart: `low` < `high`, both multiples of `step`, with 2 to 6 steps.
struct Scale {
  double low = 0, high = 1, step = 0.5;
  bool operator==(const Scale&) const = default;
};

// A scale that holds every value in [min, max] on round steps (1, 2 or 5 times a power of ten).
// A flat range gets some room around it (not below zero when it is not negative); no values
// (min > max) give 0..1.
Scale ScaleFor(double min, double max);

class History {
 public:
  static constexpr double kSpanSeconds = 600;  // what a chart shows
  static constexpr size_t kCapacity = 720;     // points kept: ten minutes at one per second, and
                                               // some room for documents coming faster
  static constexpr size_t kMaxSeries = 16;     // labels drawn at once; later ones are not

  struct Point {
    double time;                           // seconds on the caller's monotonic clock
    std::array<float, kMaxSeries> values;  // NaN where the series had no reading
  };

  // Adds one point at `time` (not before the previous one) with a reading per label; labels
  // get a series on first sight, in order, and keep it while they have a point in the span.
  // Points older than the span before `time` are dropped.
  void Add(double time, const std::vector<std::pair<std::string, std::optional<double>>>& values);

  // The series of `label`, or -1 when it has none.
  int SeriesOf(const std::string& label) const;
  // The labels by series; an empty label is a free series.
  const std::array<std::string, kMaxSeries>& labels() const { return labels_; }
  size_t size() const { return count_; }
  // The i-th point, oldest first (i < size()).
  const Point& at(size_t i) const { return ring_[(first_ + i) % kCapacity]; }
  // The scale over every reading kept.
  Scale scale() const;

 private:
  void DropBefore(double time);

  std::array<Point, kCapacity> ring_{};
  size_t first_ = 0, count_ = 0;
  std::array<std::string, kMaxSeries> labels_;
};

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_HISTORY_H_
