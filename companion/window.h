// window.h: the Ostrel window, the Sensors page: the connection line (with a Start button when
// the helper is not running), temperatures and power as large figures over live charts, fans
// with their speed between minimum and maximum, and the login-item switch. It owns the page's
// model and the client, and redraws only the parts of the page a new answer changed.
// GTK main thread only.
#ifndef OSTREL_COMPANION_WINDOW_H_
#define OSTREL_COMPANION_WINDOW_H_

#include <gtkmm.h>

#include <memory>
#include <vector>

#include "companion/chart.h"
#include "companion/client.h"
#include "companion/model.h"

namespace ostrel::window {

// A flow of large figures (value over caption, with the chart's colour swatch).
class FigureFlow : public Gtk::FlowBox {
 public:
  FigureFlow();
  void Show(const std::vector<Figure>& figures);

 private:
  std::vector<Figure> shown_;
  std::vector<Gtk::Label*> values_;
  std::vector<Gtk::Widget*> cards_;
};

// One row per fan: name, speed, and a level bar between its minimum and maximum.
class FanList : public Gtk::Box {
 public:
  FanList();
  void Show(const std::vector<FanRow>& fans);

 private:
  struct Row {
    Gtk::Box* box;
    Gtk::Label *speed, *range;
    Gtk::LevelBar* level;
  };
  std::vector<FanRow> shown_;
  std::vector<Row> rows_;
};

class SensorsWindow : public Gtk::ApplicationWindow {
 public:
  // With `connect`, the page asks the helper at once and keeps asking; without, it shows only
  // what is handed to OnDocument and OnLogin (tests drive the page so).
  explicit SensorsWindow(bool connect = true);

  // What the client reports: the outcome of a document request, and of a login-item change.
  void OnDocument(const Reply& reply);
  void OnLogin(bool asked, const Reply& reply);

 private:
  void OnSwitch();
  void OnStart();
  // Brings the widgets in line with the model's view.
  void Present(bool histories_changed);

  PageModel model_;
  PageView shown_;
  bool presented_ = false;
  bool setting_switch_ = false;  // the switch is being set from the model, not by the user
  double started_at_ = 0;        // when Start last started the helper, until it answers

  Gtk::ScrolledWindow scroll_;
  Gtk::Box page_{Gtk::Orientation::VERTICAL, 18};
  Gtk::Box connection_row_{Gtk::Orientation::HORIZONTAL, 12};
  Gtk::Label connection_, start_note_;
  Gtk::Button start_;
  FigureFlow temperatures_, power_;
  Gtk::Label temperatures_note_, fans_note_, power_note_;
  Chart temperature_chart_, power_chart_;
  FanList fans_;
  Gtk::Box login_row_{Gtk::Orientation::HORIZONTAL, 12};
  Gtk::Label login_label_, login_note_;
  Gtk::Switch login_;
  std::unique_ptr<HelperClient> client_;
};

// Runs the window application (one instance: a second launch raises the first window).
int RunWindowApp(int argc, char** argv);

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_WINDOW_H_
