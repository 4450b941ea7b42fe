// model.cc: the Sensors page's state and its text rendering (see model.h).
#include "companion/model.h"

#include <algorithm>
#include <cstdio>

namespace ostrel::window {
namespace {

constexpr const char* kNoReadings = "No readings";

std::string Format(const char* format, std::optional<double> value) {
  if (!value) return "—";
  char text[64];
  std::snprintf(text, sizeof text, format, *value);
  return text;
}

std::string MoreNote(size_t hidden, const char* what) {
  if (hidden == 0) return "";
  return "and " + std::to_string(hidden) + " more " + what + " not shown";
}

// "Temperatures over the last 10 minutes: CPU 52.5 °C, SSD 40.0 °C".
std::string ChartLabel(const char* what, const std::vector<Figure>& figures) {
  std::string label = std::string(what) + " over the last 10 minutes";
  const char* separator = ": ";
  for (const Figure& figure : figures) {
    label += separator + figure.label + " " + figure.value;
    separator = ", ";
  }
  return label;
}

}  // namespace

PageModel::PageModel() {
  SetConnection(Connection::kConnecting);
  ClearReadings(kNoReadings);
}

void PageModel::OnDocument(const Document& document, double now) {
  ++documents_;
  SetConnection(Connection::kConnected);

  std::vector<std::pair<std::string, std::optional<double>>> points;
  for (const Temperature& t : document.temperatures) points.emplace_back(t.label, t.celsius);
  temperature_history_.Add(now, points);
  view_.temperatures.clear();
  for (const Temperature& t : document.temperatures) {
    view_.temperatures.push_back({t.label, Format("%.1f °C", t.celsius),
                                  t.celsius ? temperature_history_.SeriesOf(t.label) : -1});
  }
  view_.temperatures_note = document.temperatures.empty()
                                ? kNoTemperatures
                                : MoreNote(document.hidden_temperatures, "sensors");
  view_.temperatures_chart_label = ChartLabel("Temperatures", view_.temperatures);

  view_.fans.clear();
  for (const Fan& fan : document.fans) {
    FanRow row{fan.label, Format("%.0f rpm", fan.rpm), "", std::nullopt};
    if (fan.min && fan.max && *fan.max > *fan.min) {
      row.range = Format("%.0f", fan.min) + "–" + Format("%.0f", fan.max);
      if (fan.rpm) row.level = std::clamp((*fan.rpm - *fan.min) / (*fan.max - *fan.min), 0.0, 1.0);
    }
    view_.fans.push_back(std::move(row));
  }
  view_.fans_note = document.fans.empty() ? kNoFans : MoreNote(document.hidden_fans, "fans");

  points.clear();
  view_.power.clear();
  view_.power_note.clear();
  if (document.power) {
    const Power& p = *document.power;
    points = {{"CPU", p.cpu}, {"GPU", p.gpu}, {"Neural engine", p.ane}, {"Total", p.soc}};
  } else {
    // The helper's first document after it starts has no power (it needs two samples); later
    // ones have none when the energy counters cannot be read.
    view_.power_note = documents_ >= 2 ? kPowerGroupNote : "Measuring power…";
  }
  power_history_.Add(now, points);
  for (const auto& [label, watts] : points) {
    view_.power.push_back(
        {label, Format("%.2f W", watts), watts ? power_history_.SeriesOf(label) : -1});
  }
  view_.power_chart_label = ChartLabel("Power", view_.power);

  if (document.login_item) reported_login_ = document.login_item;
  UpdateLoginView();
}

void PageModel::OnFailure(Failure failure) {
  documents_ = 0;  // the helper may come back as a new process, with a first document again
  if (failure == Failure::kRefused) {
    SetConnection(Connection::kNotRunning);
    ClearReadings(kNoReadings);
  } else {
    SetConnection(Connection::kNotAnswering);
  }
}

void PageModel::OnSlow() { SetConnection(Connection::kNotAnswering); }

void PageModel::OnLoginAsked(bool enable) {
  asked_login_ = enable;
  view_.login_note.clear();
  UpdateLoginView();
}

void PageModel::OnLoginAnswer(bool asked, std::optional<bool> login_item) {
  if (login_item) reported_login_ = login_item;
  if (asked_login_ != asked) {  // a later change is on its way; it decides
    UpdateLoginView();
    return;
  }
  asked_login_.reset();
  if (!login_item) {
    view_.login_note = "Ostrel Sensor Helper did not answer; the login item may be unchanged";
  } else if (*login_item != asked) {
    view_.login_note = asked ? "Ostrel Sensor Helper could not turn the login item on"
                             : "Ostrel Sensor Helper could not turn the login item off";
  }
  UpdateLoginView();
}

void PageModel::SetConnection(Connection connection) {
  static constexpr const char* kLines[] = {kConnectingLine, kConnectedLine, kNotRunningLine,
                                           kNotAnsweringLine};
  view_.connection = connection;
  view_.connection_line = kLines[static_cast<int>(connection)];
  view_.offer_start = connection == Connection::kNotRunning;
  UpdateLoginView();
}

void PageModel::ClearReadings(const std::string& note) {
  view_.temperatures.clear();
  view_.fans.clear();
  view_.power.clear();
  view_.temperatures_note = view_.fans_note = view_.power_note = note;
  view_.temperatures_chart_label = ChartLabel("Temperatures", {});
  view_.power_chart_label = ChartLabel("Power", {});
}

void PageModel::UpdateLoginView() {
  view_.login_on = asked_login_.value_or(reported_login_.value_or(false));
  view_.login_enabled = view_.connection == Connection::kConnected && reported_login_;
}

std::string RenderText(const PageView& view) {
  std::string text = view.connection_line + "\n";
  const auto note = [&text](const std::string& line) {
    if (!line.empty()) text += "  " + line + "\n";
  };
  const auto figures = [&text](const std::vector<Figure>& list) {
    for (const Figure& figure : list) text += "  " + figure.label + "  " + figure.value + "\n";
  };
  text += "Temperatures\n";
  figures(view.temperatures);
  note(view.temperatures_note);
  text += "Fans\n";
  for (const FanRow& fan : view.fans) {
    text += "  " + fan.label + "  " + fan.speed;
    if (!fan.range.empty()) text += " (" + fan.range + ")";
    text += "\n";
  }
  note(view.fans_note);
  text += "Power\n";
  figures(view.power);
  note(view.power_note);
  text += "Login item\n";
  text += std::string("  Start at login: ") + (view.login_on ? "on" : "off") + "\n";
  note(view.login_note);
  return text;
}

}  // namespace ostrel::window
