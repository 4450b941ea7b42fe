// The Sensors page as it is shown: a private Xvfb, the window built without its client, answers
// handed to it as the client hands them, and then the widget tree read back (visible texts,
// level bars, the switch, accessible labels) section by section, as tables of cases.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtkmm/init.h>

#include "companion/window.h"

namespace ostrel::window {
namespace {

// A private X server for this process, and GTK on it; nothing when Xvfb is not installed.
class Display {
 public:
  static Display& Get() {
    static Display display;
    return display;
  }
  bool installed() const { return installed_; }
  bool ready() const { return ready_; }
  ~Display() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
  }

 private:
  Display() {
    if (!(installed_ = access("/usr/bin/Xvfb", X_OK) == 0)) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);  // where it writes its number
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("Xvfb"), const_cast<char*>("-displayfd"),
                    const_cast<char*>("3"), const_cast<char*>("-nolisten"),
                    const_cast<char*>("tcp"), const_cast<char*>("-noreset"), nullptr};
    if (posix_spawn(&pid_, "/usr/bin/Xvfb", &actions, nullptr, argv, environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    // It writes the number and the newline apart, and dies if the pipe is gone between them.
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    char c;
    while (pid_ > 0 && number.find('\n') == std::string::npos && number.size() < 16 &&
           poll(&wait, 1, 20000) == 1) {
      const ssize_t n = read(fds[0], &c, 1);
      if (n == 1) number += c;
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) return;
    number.pop_back();
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("GSK_RENDERER", "cairo", 1);
    setenv("GTK_A11Y", "test", 1);  // accessible properties kept in-process, no AT-SPI bus
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("GIO_USE_PROXY_RESOLVER", "dummy", 1);
    ready_ = gtk_init_check();
    if (ready_) Gtk::init_gtkmm_internals();  // what Gtk::Application would do
  }
  pid_t pid_ = 0;
  bool installed_ = false, ready_ = false;
};

std::string AccessibleLabel(Gtk::Widget& widget) {
  // The check answers the value it found whenever it differs from the one asked about.
  char* label = gtk_test_accessible_check_property(GTK_ACCESSIBLE(widget.gobj()),
                                                   GTK_ACCESSIBLE_PROPERTY_LABEL, "");
  std::string text = label && std::strcmp(label, "undefined") ? "[" + std::string(label) + "]" : "";
  g_free(label);
  return text;
}

// What the page shows, in page order: visible labels' texts, other widgets' accessible labels
// in brackets,
// level bars' places in their range, and the switch.
void Walk(Gtk::Widget& widget, std::vector<std::string>& shown) {
  if (!widget.get_visible()) return;
  if (auto* text = dynamic_cast<Gtk::Label*>(&widget)) {
    shown.push_back(text->get_text());  // its accessible label is its text
  } else if (std::string label = AccessibleLabel(widget); !label.empty()) {
    shown.push_back(label);
  }
  if (auto* level = dynamic_cast<Gtk::LevelBar*>(&widget)) {
    char place[64];
    std::snprintf(place, sizeof place, "level %.3f of %g–%g", level->get_value(),
                  level->get_min_value(), level->get_max_value());
    shown.push_back(place);
  }
  if (auto* on = dynamic_cast<Gtk::Switch*>(&widget)) {
    shown.push_back(std::string(on->get_active() ? "on" : "off") +
                    (on->get_sensitive() ? "" : ", disabled"));
    return;
  }
  for (Gtk::Widget* child = widget.get_first_child(); child; child = child->get_next_sibling()) {
    Walk(*child, shown);
  }
}

constexpr const char* kHeadings[] = {"Temperatures", "Fans", "Power", "Login item"};

// The entries under `heading` up to the next heading; "" is the connection row above them all.
std::vector<std::string> Section(Gtk::Widget& page, const std::string& heading) {
  std::vector<std::string> shown, section;
  Walk(page, shown);
  bool in = heading.empty();
  for (const std::string& entry : shown) {
    const bool is_heading = std::find(std::begin(kHeadings), std::end(kHeadings), entry) !=
                            std::end(kHeadings);
    if (is_heading) in = entry == heading;
    if (in && !is_heading) section.push_back(entry);
  }
  return section;
}

// One answer or action: a document body, "!refused", "!silent", "!flip" (the user flips the
// switch), or "!login <body>" (the helper's answer to that change).
void Feed(SensorsWindow& page, const std::string& step) {
  if (step == "!refused" || step == "!silent") {
    page.OnDocument({step == "!refused" ? Failure::kRefused : Failure::kNoAnswer, "", "test"});
  } else if (step == "!flip") {
    Gtk::Widget* widget = &page;
    while (widget && !dynamic_cast<Gtk::Switch*>(widget)) {  // depth first to the switch
      Gtk::Widget* next = widget->get_first_child();
      while (!next && widget) {
        next = widget->get_next_sibling();
        widget = next ? widget : widget->get_parent();
      }
      widget = next;
    }
    ASSERT_NE(widget, nullptr);
    auto* flip = dynamic_cast<Gtk::Switch*>(widget);
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

std::string ManyFans(int count) {
  std::string body = R"({"fans":[)";
  for (int i = 0; i < count; ++i) {
    body += (i ? "," : "") + std::string(R"({"index":)") + std::to_string(i) +
            R"(,"rpm":)" + std::to_string(1000 + 100 * i) + R"(,"min":1000,"max":3000})";
  }
  return body + "]}";
}

std::vector<std::string> ManyFanRows(int count, int shown) {
  std::vector<std::string> rows;
  for (int i = 0; i < shown; ++i) {
    const std::string fan = "Fan " + std::to_string(i), speed = std::to_string(1000 + 100 * i);
    char level[64];
    std::snprintf(level, sizeof level, "level %.3f of 0–1", 100.0 * i / 2000);
    rows.insert(rows.end(), {fan, speed + " rpm", "[" + fan + " speed " + speed +
                             " rpm, range 1000–3000 rpm]", level, "Range 1000–3000 rpm"});
  }
  if (count > shown) rows.push_back("and " + std::to_string(count - shown) + " more fans not shown");
  return rows;
}

struct Case {
  const char* name;
  std::vector<std::string> steps;
  std::string heading;
  std::vector<std::string> shown;
};

const std::vector<Case> kCases = {
    {"before any answer", {}, "", {"Connecting to Ostrel Sensor Helper…"}},
    {"connected", {kReal}, "", {"Connected to Ostrel Sensor Helper"}},
    {"not running", {kReal, "!refused"}, "", {"Ostrel Sensor Helper is not running", "[Start]", "Start"}},
    {"not answering", {"!silent"}, "", {"Ostrel Sensor Helper is not answering"}},
    {"running again", {"!refused", "{}"}, "", {"Connected to Ostrel Sensor Helper"}},
    {"not a document", {"[1,2]"}, "", {"Ostrel Sensor Helper is not answering"}},
    {"temperatures",
     {kReal},
     "Temperatures",
     {"[CPU / SoC (avg) 52.5 °C]", "52.5 °C", "● CPU / SoC (avg)", "[SSD 40.0 °C]", "40.0 °C",
      "● SSD",
      "[Temperatures over the last 10 minutes: CPU / SoC (avg) 52.5 °C, SSD 40.0 °C]"}},
    {"no temperatures", {"{}"}, "Temperatures", {"No temperature sensors on this machine"}},
    {"temperatures gone", {kReal, kNoPower}, "Temperatures",
     {"No temperature sensors on this machine", "[Temperatures over the last 10 minutes]"}},
    {"gone with the helper", {kReal, "!refused"}, "Temperatures",
     {"No readings", "[Temperatures over the last 10 minutes]"}},
    {"fan",
     {kReal},
     "Fans",
     {"Fan 0", "1800 rpm", "[Fan 0 speed 1800 rpm, range 1200–6000 rpm]", "level 0.125 of 0–1",
      "Range 1200–6000 rpm"}},
    {"no fans", {R"({"fans":[]})"}, "Fans", {"No fan sensors on this machine"}},
    {"fans bounded", {ManyFans(20)}, "Fans", ManyFanRows(20, 16)},
    {"fans fewer", {ManyFans(20), ManyFans(2)}, "Fans", ManyFanRows(2, 2)},
    {"power",
     {kReal},
     "Power",
     {"[CPU 3.50 W]", "3.50 W", "● CPU", "[GPU 0.50 W]", "0.50 W", "● GPU",
      "[Neural engine 0.00 W]", "0.00 W", "● Neural engine", "[Total 4.00 W]", "4.00 W", "● Total",
      "[Power over the last 10 minutes: CPU 3.50 W, GPU 0.50 W, Neural engine 0.00 W, Total 4.00 W]"}},
    {"power measuring", {kNoPower}, "Power", {"Measuring power…"}},
    {"power unavailable",
     {kReal, kNoPower},
     "Power",
     {"The energy counters need the ostrel-power group (see the README: Power readings)",
      "[Power over the last 10 minutes]"}},
    {"login unknown", {}, "Login item", {"Start Ostrel Sensor Helper at login", "off, disabled"}},
    {"login off", {kReal}, "Login item", {"Start Ostrel Sensor Helper at login", "off"}},
    {"login on", {kNoPower}, "Login item", {"Start Ostrel Sensor Helper at login", "on"}},
    {"login asked", {kReal, "!flip"}, "Login item", {"Start Ostrel Sensor Helper at login", "on"}},
    {"login done", {kReal, "!flip", R"(!login {"loginItem":true})", kReal}, "Login item",
     {"Start Ostrel Sensor Helper at login", "off"}},
    {"login refused",
     {kReal, "!flip", R"(!login {"loginItem":false})"},
     "Login item",
     {"Start Ostrel Sensor Helper at login", "off",
      "Ostrel Sensor Helper could not turn the login item on"}},
    {"login with the helper gone", {kNoPower, "!refused"}, "Login item",
     {"Start Ostrel Sensor Helper at login", "on, disabled"}},
};

TEST(SensorsPage, ShowsWhatTheHelperAnswered) {
  if (!Display::Get().installed()) GTEST_SKIP() << "no Xvfb (scripts/deps.sh test installs it)";
  ASSERT_TRUE(Display::Get().ready()) << "Xvfb or GTK did not start on " << getenv("DISPLAY");
  for (const Case& c : kCases) {
    SensorsWindow page(false);
    for (const std::string& step : c.steps) Feed(page, step);
    EXPECT_EQ(Section(*page.get_child(), c.heading), c.shown) << c.name;
  }
}

}  // namespace
}  // namespace ostrel::window
