// history.cc: the charts' bounded ring of points and their scale (see history.h).
#include "companion/history.h"

#include <algorithm>
#include <limits>

namespace ostrel::window {

Scale ScaleFor(double min, double max) {
  if (!(min <= max)) return Scale{};
  // A flat line sits in the middle of some room: 1 unit, or 5 % of its size when larger.
  if (max - min < 1e-9 * std::max(1.0, std::fabs(max))) {
    const double room = std::max(1.0, std::fabs(max) * 0.05);
    // Readings that are never negative (watts, a zero reading) keep a scale that is not.
    min = min >= 0 ? std::max(0.0, min - room) : min - room;
    max += room;
  }
  const double raw = (max - min) / 4;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = 10 * power;
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= raw) {
      step = factor * power;
      break;
    }
  }
  return Scale{std::floor(min / step) * step, std::ceil(max / step) * step, step};
}

void History::Add(double time,
                  const std::vector<std::pair<std::string, std::optional<double>>>& values) {
  DropBefore(time - kSpanSeconds);
  // Free the series that no kept point has a reading for.
  for (size_t s = 0; s < kMaxSeries; ++s) {
    bool used = false;
    for (size_t i = 0; i < count_ && !used; ++i) used = !std::isnan(at(i).values[s]);
    if (!used) labels_[s].clear();
  }
  Point point{time, {}};
  point.values.fill(std::numeric_limits<float>::quiet_NaN());
  for (const auto& [label, value] : values) {
    if (!value || label.empty()) continue;
    int series = SeriesOf(label);
    if (series < 0) {
      const auto free = std::find(labels_.begin(), labels_.end(), std::string());
      if (free == labels_.end()) continue;
      *free = label;
      series = static_cast<int>(free - labels_.begin());
    }
    point.values[series] = static_cast<float>(*value);
  }
  if (count_ == kCapacity) {
    first_ = (first_ + 1) % kCapacity;
    --count_;
  }
  ring_[(first_ + count_) % kCapacity] = point;
  ++count_;
}

int History::SeriesOf(const std::string& label) const {
  const auto it = std::find(labels_.begin(), labels_.end(), label);
  return it == labels_.end() || label.empty() ? -1 : static_cast<int>(it - labels_.begin());
}

Scale History::scale() const {
  double min = std::numeric_limits<double>::infinity(), max = -min;
  for (size_t i = 0; i < count_; ++i) {
    for (float value : at(i).values) {
      if (std::isnan(value)) continue;
      min = std::min<double>(min, value);
      max = std::max<double>(max, value);
    }
  }
  return ScaleFor(min, max);
}

void History::DropBefore(double time) {
  while (count_ > 0 && at(0).time < time) {
    first_ = (first_ + 1) % kCapacity;
    --count_;
  }
}

}  // namespace ostrel::window
