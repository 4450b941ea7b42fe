// window.cc: the Sensors page's widgets and their updates (see window.h).
#include "companion/window.h"

#include <cstdio>

#include "companion/document.h"
#include "companion/launcher.h"
#include "companion/style.h"

namespace ostrel::window {
namespace {

constexpr const char* kCss = R"css(
.ostrel-heading { font-weight: bold; font-size: 1.15em; }
.ostrel-figure { font-size: 1.8em; font-feature-settings: "tnum"; }
.ostrel-card { padding: 8px 12px; border-radius: 10px; background-color: alpha(currentColor, 0.06); }
.ostrel-dim { opacity: 0.75; }
)css";

double Now() { return g_get_monotonic_time() / 1e6; }

void SetAccessibleLabel(Gtk::Widget& widget, const std::string& label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

Gtk::Label* NewLabel(const std::string& text, const char* css_class = nullptr) {
  auto* label = Gtk::make_managed<Gtk::Label>(text);
  label->set_xalign(0);
  label->set_wrap(true);
  label->set_wrap_mode(Pango::WrapMode::WORD_CHAR);
  if (css_class) label->add_css_class(css_class);
  return label;
}

void SetNote(Gtk::Label& label, const std::string& text) {
  label.set_text(text);
  label.set_visible(!text.empty());
}

// A figure's caption: its chart colour as a swatch, then its label.
std::string Caption(const Figure& figure) {
  const std::string label = Glib::Markup::escape_text(figure.label);
  if (figure.series < 0) return label;
  return std::string("<span foreground=\"") + SeriesColor(figure.series) + "\">●</span> " + label;
}

}  // namespace

FigureFlow::FigureFlow() {
  set_selection_mode(Gtk::SelectionMode::NONE);
  set_homogeneous(true);
  set_min_children_per_line(1);
  set_max_children_per_line(4);
  set_row_spacing(8);
  set_column_spacing(8);
  set_can_focus(false);  // figures are read, not used: Tab goes to the controls
}

void FigureFlow::Show(const std::vector<Figure>& figures) {
  bool same_cards = figures.size() == shown_.size();
  for (size_t i = 0; same_cards && i < figures.size(); ++i) {
    same_cards = figures[i].label == shown_[i].label && figures[i].series == shown_[i].series;
  }
  if (!same_cards) {
    for (Gtk::Widget* card : cards_) remove(*card);
    cards_.clear();
    values_.clear();
    for (const Figure& figure : figures) {
      auto* card = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 2);
      card->add_css_class("ostrel-card");
      auto* value = NewLabel(figure.value, "ostrel-figure");
      auto* caption = NewLabel("", "ostrel-dim");
      caption->set_markup(Caption(figure));
      card->append(*value);
      card->append(*caption);
      append(*card);
      cards_.push_back(card);
      values_.push_back(value);
    }
  }
  for (size_t i = 0; i < figures.size(); ++i) {
    if (same_cards && figures[i].value == shown_[i].value) continue;
    values_[i]->set_text(figures[i].value);
    SetAccessibleLabel(*cards_[i], figures[i].label + " " + figures[i].value);
  }
  set_visible(!figures.empty());
  shown_ = figures;
}

FanList::FanList() : Gtk::Box(Gtk::Orientation::VERTICAL, 12) {}

void FanList::Show(const std::vector<FanRow>& fans) {
  bool same_rows = fans.size() == shown_.size();
  for (size_t i = 0; same_rows && i < fans.size(); ++i) {
    same_rows = fans[i].label == shown_[i].label;
  }
  if (!same_rows) {
    for (Row& row : rows_) remove(*row.box);
    rows_.clear();
    for (const FanRow& fan : fans) {
      Row row{Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 4), NewLabel(""),
              NewLabel("", "ostrel-dim"), Gtk::make_managed<Gtk::LevelBar>()};
      auto* line = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
      auto* name = NewLabel(fan.label);
      name->set_hexpand(true);
      line->append(*name);
      line->append(*row.speed);
      // One colour along the whole range: a fan's speed is neither good nor bad.
      for (const char* offset :
           {GTK_LEVEL_BAR_OFFSET_LOW, GTK_LEVEL_BAR_OFFSET_HIGH, GTK_LEVEL_BAR_OFFSET_FULL}) {
        row.level->remove_offset_value(offset);
      }
      row.box->append(*line);
      row.box->append(*row.level);
      row.box->append(*row.range);
      append(*row.box);
      rows_.push_back(row);
    }
  }
  for (size_t i = 0; i < fans.size(); ++i) {
    const FanRow& fan = fans[i];
    if (same_rows && fan == shown_[i]) continue;
    const Row& row = rows_[i];
    row.speed->set_text(fan.speed);
    SetNote(*row.range, fan.range.empty() ? "" : "Range " + fan.range + " rpm");
    row.level->set_visible(fan.level.has_value());
    row.level->set_value(fan.level.value_or(0));
    SetAccessibleLabel(*row.level, fan.label + " speed " + fan.speed +
                                       (fan.range.empty() ? "" : ", range " + fan.range + " rpm"));
  }
  set_visible(!fans.empty());
  shown_ = fans;
}

SensorsWindow::SensorsWindow(bool connect)
    : temperature_chart_(model_.temperature_history(), "°C"),
      power_chart_(model_.power_history(), "W") {
  set_title("Ostrel");
  set_default_size(720, 900);  // four figures a row; it narrows down to 360 px and less

  const auto heading = [this](const char* text) {
    auto* label = NewLabel(text, "ostrel-heading");
    label->set_margin_top(6);
    page_.append(*label);
  };
  for (Gtk::Label* label : {&connection_, &start_note_, &temperatures_note_, &fans_note_,
                            &power_note_, &login_label_, &login_note_}) {
    label->set_xalign(0);
    label->set_wrap(true);
    label->set_wrap_mode(Pango::WrapMode::WORD_CHAR);
  }
  for (Gtk::Label* label :
       {&start_note_, &temperatures_note_, &fans_note_, &power_note_, &login_note_}) {
    label->add_css_class("ostrel-dim");
  }

  connection_.set_hexpand(true);
  connection_.add_css_class("ostrel-heading");
  start_.set_label("_Start");
  start_.set_use_underline(true);
  SetAccessibleLabel(start_, "Start");  // GTK 4.8 would announce the label with its underscore
  start_.set_valign(Gtk::Align::CENTER);
  start_.set_tooltip_text("Start Ostrel Sensor Helper");
  start_.signal_clicked().connect(sigc::mem_fun(*this, &SensorsWindow::OnStart));
  connection_row_.append(connection_);
  connection_row_.append(start_);
  page_.append(connection_row_);
  page_.append(start_note_);

  heading("Temperatures");
  page_.append(temperatures_);
  page_.append(temperatures_note_);
  page_.append(temperature_chart_);
  heading("Fans");
  page_.append(fans_);
  page_.append(fans_note_);
  heading("Power");
  page_.append(power_);
  page_.append(power_note_);
  page_.append(power_chart_);
  heading("Login item");
  login_label_.set_text_with_mnemonic("Start Ostrel Sensor Helper at _login");
  login_label_.set_mnemonic_widget(login_);
  login_label_.set_hexpand(true);
  login_.set_valign(Gtk::Align::CENTER);
  login_.property_active().signal_changed().connect(sigc::mem_fun(*this, &SensorsWindow::OnSwitch));
  login_row_.append(login_label_);
  login_row_.append(login_);
  page_.append(login_row_);
  page_.append(login_note_);

  page_.set_margin(18);
  scroll_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
  scroll_.set_child(page_);
  set_child(scroll_);

  SetNote(start_note_, "");
  Present(true);
  if (!connect) return;
  client_ = std::make_unique<HelperClient>(
      HelperClient::Callbacks{[this](const Reply& reply) { OnDocument(reply); },
                              [this](bool asked, const Reply& reply) { OnLogin(asked, reply); },
                              [this] {
                                model_.OnSlow();
                                Present(false);
                              }});
  client_->Start();
}

void SensorsWindow::OnDocument(const Reply& reply) {
  const std::optional<Document> document = reply.failure ? std::nullopt : ParseDocument(reply.body);
  if (document) {
    model_.OnDocument(*document, Now());
  } else {
    const Connection before = model_.view().connection;
    model_.OnFailure(reply.failure.value_or(Failure::kNoAnswer));
    if (model_.view().connection != before) {  // once per change, not once per second
      std::fprintf(stderr, "Ostrel: %s: %s\n", model_.view().connection_line.c_str(),
                   reply.failure ? reply.detail.c_str() : "the answer is not a sensor document");
    }
  }
  // A helper that was started but still refuses after a while did not come up.
  if (started_at_ > 0 && reply.failure == Failure::kRefused && Now() - started_at_ > 10) {
    started_at_ = 0;
    SetNote(start_note_, "Ostrel Sensor Helper did not start; its reason is in the system log");
  }
  if (document) started_at_ = 0;
  Present(document.has_value());
}

void SensorsWindow::OnLogin(bool asked, const Reply& reply) {
  model_.OnLoginAnswer(asked, reply.failure ? std::nullopt : ParseLoginAnswer(reply.body));
  Present(false);
}

void SensorsWindow::OnSwitch() {
  if (setting_switch_) return;
  const bool on = login_.get_active();
  model_.OnLoginAsked(on);
  if (client_) client_->SetLoginItem(on);
  Present(false);
}

void SensorsWindow::OnStart() {
  const std::string failure = StartHelper();
  if (!failure.empty()) std::fprintf(stderr, "Ostrel: %s\n", failure.c_str());
  SetNote(start_note_, failure.empty() ? "Starting Ostrel Sensor Helper…" : failure);
  if (failure.empty()) {
    started_at_ = Now();
    if (client_) client_->ExpectHelper();
  }
}

void SensorsWindow::Present(bool histories_changed) {
  const PageView& view = model_.view();
  const bool all = !presented_;
  if (all || view.connection != shown_.connection) {
    connection_.set_text(view.connection_line);
    start_.set_visible(view.offer_start);
    if (view.connection == Connection::kConnected) SetNote(start_note_, "");
  }
  if (all || view.temperatures != shown_.temperatures) temperatures_.Show(view.temperatures);
  if (all || view.temperatures_note != shown_.temperatures_note) {
    SetNote(temperatures_note_, view.temperatures_note);
  }
  if (all || view.fans != shown_.fans) fans_.Show(view.fans);
  if (all || view.fans_note != shown_.fans_note) SetNote(fans_note_, view.fans_note);
  if (all || view.power != shown_.power) power_.Show(view.power);
  if (all || view.power_note != shown_.power_note) SetNote(power_note_, view.power_note);
  // A chart is redrawn for new points, and relabelled when its figures go (the helper stopped).
  const double now = Now();
  for (auto [chart, history, label, shown_label] :
       {std::tuple{&temperature_chart_, &model_.temperature_history(),
                   &view.temperatures_chart_label, &shown_.temperatures_chart_label},
        std::tuple{&power_chart_, &model_.power_history(), &view.power_chart_label,
                   &shown_.power_chart_label}}) {
    if (!histories_changed && *label == *shown_label) continue;
    bool any = false;
    for (const std::string& series : history->labels()) any = any || !series.empty();
    chart->set_visible(any);
    chart->Update(now, *label);
  }
  if (all || view.login_on != shown_.login_on || view.login_enabled != shown_.login_enabled) {
    setting_switch_ = true;
    login_.set_active(view.login_on);
    login_.set_sensitive(view.login_enabled);
    setting_switch_ = false;
  }
  if (all || view.login_note != shown_.login_note) SetNote(login_note_, view.login_note);
  shown_ = view;
  presented_ = true;
}

int RunWindowApp(int argc, char** argv) {
  auto app = Gtk::Application::create("com.ostrel.Ostrel");
  std::unique_ptr<DesktopStyle> style;
  app->signal_startup().connect([&style, &app] {
    // Ctrl+W closes the window, Ctrl+Q too (closing the one window ends the application).
    app->add_action("quit", [&app] {
      for (Gtk::Window* window : app->get_windows()) window->close();
    });
    app->set_accel_for_action("window.close", "<Control>w");
    app->set_accel_for_action("app.quit", "<Control>q");
    style = std::make_unique<DesktopStyle>();
    auto css = Gtk::CssProvider::create();
    css->load_from_data(kCss);
    Gtk::StyleContext::add_provider_for_display(Gdk::Display::get_default(), css,
                                                GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  });
  const int status = app->make_window_and_run<SensorsWindow>(argc, argv);
  style.reset();
  return status;
}

}  // namespace ostrel::window
