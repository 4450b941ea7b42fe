// chart.h: a live line chart of one History (the last ten minutes, one line per series), drawn
// with cairo in the theme's text colour for the axes and a fixed palette for the series, which
// the page's figures share as their swatches. It redraws only when told (once per document);
// it has no timer. Its accessible label says what it shows and the current values.
// GTK main thread only.
#ifndef OSTREL_COMPANION_CHART_H_
#define OSTREL_COMPANION_CHART_H_

#include <gtkmm.h>

#include <string>

#include "companion/history.h"

namespace ostrel::window {

// The colour of series `series` as "#rrggbb" (charts and swatches agree).
const char* SeriesColor(int series);

class Chart : public Gtk::DrawingArea {
 public:
  // Draws `history` (which must outlive the chart); values are in `unit`, e.g. "°C".
  Chart(const History& history, std::string unit);

  // The history changed at `now` (seconds, the history's clock): redraw once, ending at `now`,
  // and announce `label` to assistive technologies.
  void Update(double now, const std::string& label);

 private:
  void Draw(const Cairo::RefPtr<Cairo::Context>& cr, int width, int height);

  const History& history_;
  std::string unit_;
  double now_ = 0;
};

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_CHART_H_
