// The Sensors page's model as tables: documents to what each section shows, the histories and
// their scales, the connection states and the login switch.
#include "companion/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "companion/document.h"

namespace ostrel::window {
namespace {

const std::string kHelperDocument =
    R"j({"temperatures":[{"label":"CPU / SoC (avg)","celsius":52.5},{"label":"SSD","celsius":40}],)j"
    R"("fans":[{"index":0,"rpm":1800.0,"min":1200.0,"max":6000.0}],)"
    R"("power":{"soc":4.0,"cpu":3.5,"gpu":0.5,"ane":0.0},"loginItem":true,"helper":"ostrel","version":1})";

std::string Fans(int count) {
  std::string list;
  for (int i = 0; i < count; ++i) {
    list += (i ? "," : "") + std::string(R"({"index":)") + std::to_string(i) + R"(,"rpm":900})";
  }
  return R"({"fans":[)" + list + "]}";
}

TEST(WindowModel, DocumentsToSections) {
  struct Row {
    const char* name;
    std::string body;
    std::vector<std::string> lines;  // each must appear in the text rendering
    size_t temperatures, fans;
  };
  const std::string long_label(100, 'x');
  // clang-format off
  const Row rows[] = {
      {"helper", kHelperDocument,
       {"Connected to Ostrel Sensor Helper\n", "  CPU / SoC (avg)  52.5 °C\n", "  SSD  40.0 °C\n",
        "  Fan 0  1800 rpm (1200–6000)\n", "  CPU  3.50 W\n", "  Neural engine  0.00 W\n",
        "  Total  4.00 W\n", "  Start at login: on\n"}, 2, 1},
      {"empty object", "{}",
       {"  No temperature sensors on this machine\n", "  No fan sensors on this machine\n",
        "  Measuring power…\n", "  Start at login: off\n"}, 0, 0},
      {"wrong types", R"({"temperatures":"hot","fans":{},"power":[],"loginItem":"yes"})",
       {"  No temperature sensors on this machine\n", "  No fan sensors on this machine\n"}, 0, 0},
      {"odd members", R"({"temperatures":[7,{"celsius":"warm","label":"A"},{"label":"B","celsius":1e300},)"
       R"({"label":"C","celsius":-40},{"label":5,"celsius":30}],)"
       R"("fans":[{"index":-3,"rpm":"fast","min":5,"max":5},{"index":2,"rpm":7000,"max":6000,"min":1000}],)"
       R"("power":{"cpu":"x","gpu":2}})",
       {"  A  —\n", "  B  —\n", "  C  -40.0 °C\n", "  Sensor 4  30.0 °C\n", "  Fan 0  —\n",
        "  Fan 2  7000 rpm (1000–6000)\n", "  CPU  —\n", "  GPU  2.00 W\n"}, 4, 2},
      {"too many fans", Fans(20), {"  and 4 more fans not shown\n"}, 0, kMaxFans},
      {"long label", R"({"temperatures":[{"label":")" + long_label + R"(","celsius":1}]})",
       {"  " + std::string(kMaxLabelChars - 1, 'x') + "…  1.0 °C\n"}, 1, 0},
      {"not UTF-8 and control", "{\"temperatures\":[{\"label\":\"\xff\xfe\\nCPU\",\"celsius\":1}]}",
       {"  \xEF\xBF\xBD\xEF\xBF\xBD CPU  1.0 °C\n"}, 1, 0},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::optional<Document> document = ParseDocument(row.body);
    ASSERT_TRUE(document);
    PageModel model;
    model.OnDocument(*document, 1);
    const std::string text = RenderText(model.view());
    for (const std::string& line : row.lines) EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(model.view().temperatures.size(), row.temperatures);
    EXPECT_EQ(model.view().fans.size(), row.fans);
  }
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const std::string& garbage : {std::string(), std::string("not json"), std::string("[1,2]"),
                                     std::string("\"text\""), std::string("{\"a\":"), deep}) {
    EXPECT_FALSE(ParseDocument(garbage)) << garbage.substr(0, 20);
  }
}

TEST(WindowModel, FanLevelsAndSeries) {
  PageModel model;
  model.OnDocument(*ParseDocument(kHelperDocument), 1);
  ASSERT_EQ(model.view().fans.size(), 1u);
  EXPECT_DOUBLE_EQ(*model.view().fans[0].level, (1800.0 - 1200) / (6000 - 1200));
  // Every figure with a reading names its chart series, and the series carry its label.
  for (const auto* list : {&model.view().temperatures, &model.view().power}) {
    const History& history =
        list == &model.view().power ? model.power_history() : model.temperature_history();
    for (const Figure& figure : *list) {
      ASSERT_GE(figure.series, 0) << figure.label;
      EXPECT_EQ(history.labels()[figure.series], figure.label);
    }
  }
}

// Events: 'd' a document (whose power is {} when 'e'), 'r' refused, 'n' no answer, 's' slow.
TEST(WindowModel, ConnectionAndPowerNote) {
  struct Row {
    const char* events;
    Connection connection;
    std::string power_note;
  };
  const std::string power = R"({"power":{"cpu":1}})";
  const Row rows[] = {
      {"", Connection::kConnecting, "No readings"},
      {"e", Connection::kConnected, "Measuring power…"},
      {"ee", Connection::kConnected, kPowerGroupNote},
      {"ed", Connection::kConnected, ""},
      {"eers", Connection::kNotAnswering, "No readings"},
      {"eene", Connection::kConnected, "Measuring power…"},
      {"ds", Connection::kNotAnswering, ""},
      {"dsd", Connection::kConnected, ""},
      {"dr", Connection::kNotRunning, "No readings"},
      {"rn", Connection::kNotAnswering, "No readings"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.events);
    PageModel model;
    for (const char* e = row.events; *e; ++e) {
      if (*e == 'd' || *e == 'e') model.OnDocument(*ParseDocument(*e == 'd' ? power : "{}"), 1);
      if (*e == 'r') model.OnFailure(Failure::kRefused);
      if (*e == 'n') model.OnFailure(Failure::kNoAnswer);
      if (*e == 's') model.OnSlow();
    }
    EXPECT_EQ(model.view().connection, row.connection);
    EXPECT_EQ(model.view().power_note, row.power_note);
    EXPECT_EQ(model.view().offer_start, row.connection == Connection::kNotRunning);
  }
}

// Events: '0'/'1' a document saying off/on, 'A'/'a' the user asks on/off, then the answer to a
// request: 'Y'/'N' ("loginItem" true/false) for the oldest ask, 'x' no answer.
TEST(WindowModel, LoginSwitch) {
  struct Row {
    const char* events;
    bool on, enabled, note;
  };
  const Row rows[] = {
      {"", false, false, false},     {"1", true, true, false},    {"0A", true, true, false},
      {"0AY", true, true, false},    {"0AN", false, true, true},  {"1aY", true, true, true},
      {"0Ax", false, true, true},    {"0A0", true, true, false},  {"0AaY", false, true, false},
      {"0AaYN", false, true, false}, {"0AaYY", true, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.events);
    PageModel model;
    std::vector<bool> asked;
    for (const char* e = row.events; *e; ++e) {
      if (*e == '0' || *e == '1') {
        model.OnDocument(
            *ParseDocument(std::string("{\"loginItem\":") + (*e == '1' ? "true}" : "false}")), 1);
      } else if (*e == 'A' || *e == 'a') {
        asked.push_back(*e == 'A');
        model.OnLoginAsked(*e == 'A');
      } else {
        const bool was = asked.front();
        asked.erase(asked.begin());
        model.OnLoginAnswer(was, *e == 'x'
                                     ? std::nullopt
                                     : ParseLoginAnswer(std::string("{\"ok\":true,\"loginItem\":") +
                                                        (*e == 'Y' ? "true}" : "false}")));
      }
    }
    EXPECT_EQ(model.view().login_on, row.on);
    EXPECT_EQ(model.view().login_enabled, row.enabled);
    EXPECT_EQ(!model.view().login_note.empty(), row.note) << model.view().login_note;
  }
}

TEST(WindowModel, Scales) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> rows[] = {{50, 50},    {0, 0},     {-20, -5},   {0.01, 0.013},
                                            {-1e9, 1e9}, {1e9, 1e9}, {35.2, 81.7}};
  for (const auto& [min, max] : rows) {
    SCOPED_TRACE(std::to_string(min) + ".." + std::to_string(max));
    const Scale scale = ScaleFor(min, max);
    EXPECT_LE(scale.low, min);
    EXPECT_GE(scale.high, max);
    EXPECT_LT(scale.low, scale.high);
    const double steps = (scale.high - scale.low) / scale.step;
    EXPECT_GE(steps, 2 - 1e-9);
    EXPECT_LE(steps, 6 + 1e-9);
    EXPECT_NEAR(scale.low / scale.step, std::round(scale.low / scale.step), 1e-6);
    EXPECT_EQ(scale.low < 0, min < 0);
  }
  EXPECT_EQ(ScaleFor(inf, -inf), Scale{});
}

TEST(WindowModel, HistoryIsBoundedAndFreesSeries) {
  History history;
  std::vector<std::pair<std::string, std::optional<double>>> values;
  for (int i = 0; i < 20; ++i) values.emplace_back("S" + std::to_string(i), i);
  values.emplace_back("none", std::nullopt);
  for (int t = 0; t < 2000; ++t) history.Add(t * 0.5, values);  // twice a second
  EXPECT_EQ(history.size(), History::kCapacity);
  EXPECT_EQ(history.SeriesOf("S15"), 15);
  EXPECT_EQ(history.SeriesOf("S16"), -1);  // beyond the series drawn
  EXPECT_EQ(history.SeriesOf("none"), -1);
  EXPECT_EQ(history.scale(), ScaleFor(0, 15));
  // Ten minutes later, with other labels: the old ones give up their series.
  history.Add(2000, {{"late", 3}});
  EXPECT_EQ(history.size(), 1u);
  EXPECT_EQ(history.SeriesOf("late"), 0);
  EXPECT_EQ(history.SeriesOf("S0"), -1);
  EXPECT_EQ(history.scale(), ScaleFor(3, 3));
}

}  // namespace
}  // namespace ostrel::window
