// model.h: the Sensors page as data. PageModel takes every answer or failure of the helper and
// the user's login-item requests, and keeps what each section shows (PageView) and the charts'
// histories. No GTK here: the window draws a PageView, text mode prints one (RenderText).
// Owned by whoever drives the client (the window or text mode); main thread only.
#ifndef OSTREL_COMPANION_MODEL_H_
#define OSTREL_COMPANION_MODEL_H_

#include <optional>
#include <string>
#include <vector>

#include "companion/document.h"
#include "companion/history.h"

namespace ostrel::window {

enum class Connection { kConnecting, kConnected, kNotRunning, kNotAnswering };

// Why a request got no usable answer.
enum class Failure {
  kRefused,   // nothing listens on the helper's port: it is not running
  kNoAnswer,  // took too long, closed early, or answered something that is not the document
};

// One large figure: a reading and what it is.
struct Figure {
  std::string label;  // "CPU / SoC (avg)"
  std::string value;  // "52.5 °C", "—" when the helper has no number for it
  int series = -1;    // its series in the chart's history, -1 when not drawn
  bool operator==(const Figure&) const = default;
};

struct FanRow {
  std::string label;            // "Fan 0"
  std::string speed;            // "1800 rpm"
  std::string range;            // "1200–6000", empty when the helper gives no usable range
  std::optional<double> level;  // the speed's place in the range, 0..1
  bool operator==(const FanRow&) const = default;
};

struct PageView {
  Connection connection = Connection::kConnecting;
  std::string connection_line;
  bool offer_start = false;  // the helper is not running: offer to start it

  std::vector<Figure> temperatures;
  std::string temperatures_note;  // shown instead of or below the figures; may be empty
  std::string temperatures_chart_label;

  std::vector<FanRow> fans;
  std::string fans_note;

  std::vector<Figure> power;
  std::string power_note;
  std::string power_chart_label;

  bool login_on = false;       // the switch
  bool login_enabled = false;  // the switch can be used (a document said where it stands)
  std::string login_note;      // e.g. the helper refused a change

  bool operator==(const PageView&) const = default;
};

class PageModel {
 public:
  PageModel();

  // A snapshot document arrived at `now` (seconds, monotonic).
  void OnDocument(const Document& document, double now);
  // A request failed.
  void OnFailure(Failure failure);
  // The request in flight has waited longer than the helper should take.
  void OnSlow();
  // The user asks for the login item on or off; the switch shows it until the answer.
  void OnLoginAsked(bool enable);
  // The helper's answer to the change to `asked` (what it reports now), or nothing when no
  // answer came. When the answer differs from what was asked, the switch flips back and a note
  // says so; answers to changes superseded by a later one only update the state.
  void OnLoginAnswer(bool asked, std::optional<bool> login_item);

  const PageView& view() const { return view_; }
  const History& temperature_history() const { return temperature_history_; }
  const History& power_history() const { return power_history_; }

 private:
  void SetConnection(Connection connection);
  void ClearReadings(const std::string& note);
  void UpdateLoginView();

  PageView view_;
  History temperature_history_, power_history_;
  int documents_ = 0;  // documents since the helper was last found absent or silent
  std::optional<bool> reported_login_;  // the helper's last word on the login item
  std::optional<bool> asked_login_;     // a change on its way
};

// The page as plain text, as `ostrel --text` prints it: the connection line, then the sections
// "Temperatures", "Fans", "Power" and "Login item", one indented line per value.
std::string RenderText(const PageView& view);

// Texts shared with the window.
inline constexpr const char* kConnectingLine = "Connecting to Ostrel Sensor Helper…";
inline constexpr const char* kConnectedLine = "Connected to Ostrel Sensor Helper";
inline constexpr const char* kNotRunningLine = "Ostrel Sensor Helper is not running";
inline constexpr const char* kNotAnsweringLine = "Ostrel Sensor Helper is not answering";
inline constexpr const char* kNoTemperatures = "No temperature sensors on this machine";
inline constexpr const char* kNoFans = "No fan sensors on this machine";
inline constexpr const char* kPowerGroupNote =
    "The energy counters need the ostrel-power group (see the README: Power readings)";

}  // namespace ostrel::window

#endif  // OSTREL_COMPANION_MODEL_H_
