// chart.cc: drawing a History as a line chart with cairo (see chart.h).
#include "companion/chart.h"

#include <algorithm>
#include <cstdio>

namespace ostrel::window {
namespace {

// Mid-tone colours that read on light and dark backgrounds alike.
constexpr const char* kPalette[] = {"#3584e4", "#e66100", "#2ec27e", "#c061cb",
                                    "#e01b24", "#1a9fa5", "#c88800", "#986a44"};
constexpr double kGapSeconds = 15;  // points further apart than this are not joined

std::string TickText(double value, double step, const std::string& unit) {
  char text[48];
  const int decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : 2;
  std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit.c_str());
  return text;
}

}  // namespace

const char* SeriesColor(int series) {
  constexpr int kCount = sizeof kPalette / sizeof kPalette[0];
  return kPalette[((series % kCount) + kCount) % kCount];
}

Chart::Chart(const History& history, std::string unit) : history_(history), unit_(std::move(unit)) {
  // An image to assistive technologies, described by its label.
  g_object_set(gobj(), "accessible-role", GTK_ACCESSIBLE_ROLE_IMG, nullptr);
  set_content_height(150);
  set_hexpand(true);
  set_draw_func(sigc::mem_fun(*this, &Chart::Draw));
}

void Chart::Update(double now, const std::string& label) {
  now_ = now;
  gtk_accessible_update_property(GTK_ACCESSIBLE(gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
  queue_draw();
}

void Chart::Draw(const Cairo::RefPtr<Cairo::Context>& cr, int width, int height) {
  const Gdk::RGBA fg = get_style_context()->get_color();
  const Scale scale = history_.scale();

  // Tick labels on the left, times below.
  auto layout = create_pango_layout("");
  int label_width = 0, label_height = 0;
  for (double v = scale.low; v <= scale.high + scale.step / 2; v += scale.step) {
    layout->set_text(TickText(v, scale.step, unit_));
    int w, h;
    layout->get_pixel_size(w, h);
    label_width = std::max(label_width, w);
    label_height = std::max(label_height, h);
  }
  const double left = label_width + 8, right = width - 4;
  const double top = label_height / 2.0 + 2, bottom = height - label_height - 6;
  if (right - left < 20 || bottom - top < 20) return;
  const auto y_of = [&](double v) {
    return bottom - (v - scale.low) / (scale.high - scale.low) * (bottom - top);
  };
  const double start = now_ - History::kSpanSeconds;
  const auto x_of = [&](double t) {
    return left + (t - start) / History::kSpanSeconds * (right - left);
  };

  cr->set_line_width(1);
  for (double v = scale.low; v <= scale.high + scale.step / 2; v += scale.step) {
    const double y = std::round(y_of(v)) + 0.5;
    cr->set_source_rgba(fg.get_red(), fg.get_green(), fg.get_blue(), 0.15);
    cr->move_to(left, y);
    cr->line_to(right, y);
    cr->stroke();
    cr->set_source_rgba(fg.get_red(), fg.get_green(), fg.get_blue(), 0.7);
    layout->set_text(TickText(v, scale.step, unit_));
    int w, h;
    layout->get_pixel_size(w, h);
    cr->move_to(left - 6 - w, y - h / 2.0);
    layout->show_in_cairo_context(cr);
  }
  const char* times[] = {"10 min ago", "5 min ago", "now"};
  for (int i = 0; i < 3; ++i) {
    layout->set_text(times[i]);
    int w, h;
    layout->get_pixel_size(w, h);
    const double x = left + (right - left) * i / 2 - w * i / 2.0;
    cr->move_to(x, bottom + 4);
    layout->show_in_cairo_context(cr);
  }

  cr->save();
  cr->rectangle(left, 0, right - left, height);
  cr->clip();
  cr->set_line_width(2);
  cr->set_line_join(Cairo::Context::LineJoin::ROUND);
  for (size_t s = 0; s < History::kMaxSeries; ++s) {
    if (history_.labels()[s].empty()) continue;
    const Gdk::RGBA color(SeriesColor(static_cast<int>(s)));
    cr->set_source_rgb(color.get_red(), color.get_green(), color.get_blue());
    bool drawing = false;
    double last_time = 0;
    for (size_t i = 0; i < history_.size(); ++i) {
      const History::Point& point = history_.at(i);
      const float value = point.values[s];
      if (std::isnan(value)) {
        drawing = false;
        continue;
      }
      const double x = x_of(point.time), y = y_of(value);
      if (drawing && point.time - last_time <= kGapSeconds) {
        cr->line_to(x, y);
      } else {
        cr->move_to(x, y);
        cr->line_to(x, y);  // a lone point still shows as a dot
      }
      drawing = true;
      last_time = point.time;
    }
    cr->set_line_cap(Cairo::Context::LineCap::ROUND);
    cr->stroke();
  }
  cr->restore();
}

}  // namespace ostrel::window
