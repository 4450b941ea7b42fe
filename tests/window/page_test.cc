// The Sensors page as shown, on a private Xvfb: the window, built without its client, is handed
// answers as the client hands them; its widget tree is then read back section by section.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <gtkmm/init.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "companion/window.h"

namespace ostrel::window {
namespace {

// Starts a private X server (stopped when this process ends) and GTK on it; once a process.
bool StartDisplay() {
  static pid_t xvfb = 0;
  // The shell tells its pid and becomes Xvfb: it tells its display once up, ends with its client.
  static FILE* out =
      popen("echo $$; exec Xvfb -displayfd 1 -nolisten tcp -terminate 2>/dev/null", "re");
  char pid[32], number[32];
  if (!out || !fgets(pid, sizeof pid, out) || (xvfb = std::atoi(pid)) <= 0) return false;
  std::atexit([] { kill(xvfb, SIGTERM); });
  if (!fgets(number, sizeof number, out)) return false;
  setenv("DISPLAY", (":" + std::string(number, std::strcspn(number, "\n"))).c_str(), 1);
  // As the window runs (no GL); accessibility in-process, no AT-SPI bus; no desktop settings.
  for (const char* setting :
       {"GDK_BACKEND=x11", "GSK_RENDERER=cairo", "GDK_DEBUG=gl-disable", "GTK_A11Y=test",
        "GSETTINGS_BACKEND=memory", "GIO_USE_PROXY_RESOLVER=dummy"}) {
    putenv(const_cast<char*>(setting));
  }
  if (!gtk_init_check()) return false;
  Gtk::init_gtkmm_internals();  // what Gtk::Application would do
  return true;
}

std::string AccessibleLabel(Gtk::Widget& widget) {
  // The check answers the value it found whenever it differs from the one asked about.
  char* label = gtk_test_accessible_check_property(GTK_ACCESSIBLE(widget.gobj()),
                                                   GTK_ACCESSIBLE_PROPERTY_LABEL, "");
  std::string text = label && std::strcmp(label, "undefined") ? "[" + std::string(label) + "]" : "";
  g_free(label);
  return text;
}

// What the page shows, in page order: visible labels' texts (a caption's markup gives its
// swatch's colour), other widgets' accessible labels in brackets, level bars' values, and the
// switch; `flip` becomes the switch that a label names as its mnemonic widget.
void Walk(Gtk::Widget& widget, std::vector<std::string>& shown, Gtk::Switch*& flip) {
  if (!widget.get_visible()) return;
  if (auto* text = dynamic_cast<Gtk::Label*>(&widget)) {  // its accessible label is its text
    shown.push_back(text->get_use_markup() ? text->get_label() : text->get_text());
    if (auto* target = dynamic_cast<Gtk::Switch*>(text->get_mnemonic_widget())) flip = target;
  } else if (std::string label = AccessibleLabel(widget); !label.empty()) {
    shown.push_back(label);
  }
  if (auto* level = dynamic_cast<Gtk::LevelBar*>(&widget)) {
    shown.push_back("level " + std::to_string(level->get_value()));
  }
  if (auto* on = dynamic_cast<Gtk::Switch*>(&widget)) {
    shown.push_back(std::string(on->get_active() ? "on" : "off") +
                    (on->get_sensitive() ? "" : ", disabled"));
  }
  for (Gtk::Widget* child = widget.get_first_child(); child; child = child->get_next_sibling()) {
    Walk(*child, shown, flip);
  }
}

const std::set<std::string> kHeadings = {"Temperatures", "Fans", "Power", "Login item"};

// The entries under `heading` up to the next heading; "" is the connection row above them all.
std::vector<std::string> Section(Gtk::Widget& page, const std::string& heading,
                                 Gtk::Switch** flip = nullptr) {
  std::vector<std::string> shown, section;
  Gtk::Switch* found = nullptr;
  Walk(page, shown, flip ? *flip : found);
  bool in = heading.empty();
  for (const std::string& entry : shown) {
    const bool is_heading = kHeadings.count(entry);
    if (is_heading) in = entry == heading;
    if (in && !is_heading) section.push_back(entry);
  }
  return section;
}

// A step: a document body, "!refused", "!silent", "!flip" (by the user), "!login <its answer>".
void Feed(SensorsWindow& page, const std::string& step) {
  if (step == "!refused" || step == "!silent") {
    page.OnDocument({step == "!refused" ? Failure::kRefused : Failure::kNoAnswer, "", "test"});
  } else if (step == "!flip") {  // as Alt+L would: through the label's mnemonic widget
    Gtk::Switch* flip = nullptr;
    Section(*page.get_child(), "", &flip);
    ASSERT_NE(flip, nullptr);
    flip->set_active(!flip->get_active());
  } else if (step.rfind("!login ", 0) == 0) {
    page.OnLogin(true, {std::nullopt, step.substr(7), ""});
  } else {
    page.OnDocument({std::nullopt, step, ""});
  }
}

const std::string kReal =
    R"j({"temperatures":[{"label":"CPU / SoC (avg)","celsius":52.5},{"label":"SSD","celsius":40}],)j"
    R"("fans":[{"index":0,"rpm":1800.0,"min":1200.0,"max":6000.0}],)"
    R"("power":{"soc":4.0,"cpu":3.5,"gpu":0.5,"ane":0.0},"loginItem":false,"helper":"ostrel","version":1})";
const std::string kNoPower = R"({"temperatures":[],"fans":[],"power":{},"loginItem":true})";

struct Case {
  std::vector<std::string> steps;
  std::string heading;
  std::vector<std::string> shown;
};

// `counts` fans in turn, at 1000 + 100 i rpm within 1000–3000; the rows for the last.
Case ManyFans(std::vector<int> counts) {
  Case fans{{}, "Fans", {}};
  for (int count : counts) {
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
      list.push_back({{"index", i}, {"rpm", 1000 + 100 * i}, {"min", 1000}, {"max", 3000}});
    }
    fans.steps.push_back(nlohmann::json{{"fans", list}}.dump());
  }
  const int count = counts.back(), shown = std::min(count, 16);
  for (int i = 0; i < shown; ++i) {
    const std::string fan = "Fan " + std::to_string(i), speed = std::to_string(1000 + 100 * i);
    fans.shown.insert(
        fans.shown.end(),
        {fan, speed + " rpm", "[" + fan + " speed " + speed + " rpm, range 1000–3000 rpm]",
         "level " + std::to_string(i / 20.0), "Range 1000–3000 rpm"});
  }
  if (count > shown)
    fans.shown.push_back("and " + std::to_string(count - shown) + " more fans not shown");
  return fans;
}

const std::string kLogin = "Start Ostrel Sensor Helper at login";
std::string Dot(const char* color, const char* label) {
  return std::string("<span foreground=\"") + color + "\">●</span> " + label;
}

// What a sequence of answers and actions leaves under a heading.
const std::vector<Case> kCases = {
    {{}, "", {"Connecting to Ostrel Sensor Helper…"}},
    {{kReal}, "", {"Connected to Ostrel Sensor Helper"}},
    {{kReal, "!refused"}, "", {"Ostrel Sensor Helper is not running", "[Start]", "Start"}},
    {{"!silent"}, "", {"Ostrel Sensor Helper is not answering"}},
    {{"!refused", "{}"}, "", {"Connected to Ostrel Sensor Helper"}},
    {{"[1,2]"}, "", {"Ostrel Sensor Helper is not answering"}},
    {{kReal},
     "Temperatures",
     {"[CPU / SoC (avg) 52.5 °C]", "52.5 °C", Dot("#3584e4", "CPU / SoC (avg)"), "[SSD 40.0 °C]",
      "40.0 °C", Dot("#e66100", "SSD"),
      "[Temperatures over the last 10 minutes: CPU / SoC (avg) 52.5 °C, SSD 40.0 °C]"}},
    {{"{}"}, "Temperatures", {"No temperature sensors on this machine"}},
    {{kReal, "!refused"},
     "Temperatures",
     {"No readings", "[Temperatures over the last 10 minutes]"}},
    {{kReal},
     "Fans",
     {"Fan 0", "1800 rpm", "[Fan 0 speed 1800 rpm, range 1200–6000 rpm]", "level 0.125000",
      "Range 1200–6000 rpm"}},
    {{R"({"fans":[]})"}, "Fans", {"No fan sensors on this machine"}},
    ManyFans({20}),
    ManyFans({20, 2}),
    {{kReal},
     "Power",
     {"[CPU 3.50 W]", "3.50 W", Dot("#3584e4", "CPU"), "[GPU 0.50 W]", "0.50 W",
      Dot("#e66100", "GPU"), "[Neural engine 0.00 W]", "0.00 W", Dot("#2ec27e", "Neural engine"),
      "[Total 4.00 W]", "4.00 W", Dot("#c061cb", "Total"),
      "[Power over the last 10 minutes: CPU 3.50 W, GPU 0.50 W, Neural engine 0.00 W, Total 4.00 "
      "W]"}},
    {{kNoPower}, "Power", {"Measuring power…"}},
    {{kReal, kNoPower},
     "Power",
     {"The energy counters need the ostrel-power group (see the README: Power readings)",
      "[Power over the last 10 minutes]"}},
    {{}, "Login item", {kLogin, "off, disabled"}},
    {{kReal}, "Login item", {kLogin, "off"}},
    {{kReal, "!flip"}, "Login item", {kLogin, "on"}},
    {{kReal, "!flip", R"(!login {"loginItem":true})", kReal}, "Login item", {kLogin, "off"}},
    {{kReal, "!flip", R"(!login {"loginItem":false})"},
     "Login item",
     {kLogin, "off", "Ostrel Sensor Helper could not turn the login item on"}},
    {{kNoPower, "!refused"}, "Login item", {kLogin, "on, disabled"}},
};

TEST(SensorsPage, ShowsWhatTheHelperAnswered) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "GLib's own threads are not built for ThreadSanitizer; the page has one thread";
#endif
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb (deps.sh test installs it)";
  static const bool ready = StartDisplay();
  ASSERT_TRUE(ready) << "Xvfb or GTK did not start";
  for (size_t i = 0; i < kCases.size(); ++i) {
    SensorsWindow page(false);
    for (const std::string& step : kCases[i].steps) Feed(page, step);
    EXPECT_EQ(Section(*page.get_child(), kCases[i].heading), kCases[i].shown) << "case " << i;
  }
}

}  // namespace
}  // namespace ostrel::window
