// The temperature reader's logic over a fake pair source.
#include "sensors/temps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {
namespace {

using Pair = std::pair<std::optional<std::string>, double>;

// Hands out `pairs` on every walk, in order.
struct FakeTempSource : TempSource {
  std::vector<Pair> pairs;
  void ForEachSensor(const Visitor& visit) override {
    for (const Pair& p : pairs) visit(p.first ? p.first->c_str() : nullptr, p.second);
  }
};

struct Reading {
  const char* label;
  double celsius;
};

constexpr char kAvg[] = "CPU / SoC (avg)";
constexpr char kPeak[] = "CPU / SoC (peak)";

TEST(TempsTest, GroupsRangeOrderAndCapacity) {
  struct Case {
    const char* what;
    std::vector<Pair> pairs;
    int32_t capacity;
    std::vector<Reading> expected;
  };
  const std::vector<Pair> all = {{"gas gauge battery", 30}, {"NAND CH0", 35}, {"PMU tdie1", 50}};
  const std::string x123(123, 'x');
  const Case cases[] = {
      {"groups in fixed order", all, 16, {{kAvg, 50}, {kPeak, 50}, {"SSD", 35}, {"Battery", 30}}},
      {"capacity 3", all, 3, {{kAvg, 50}, {kPeak, 50}, {"SSD", 35}}},
      {"capacity 1", all, 1, {{kAvg, 50}}},
      {"capacity 0", all, 0, {}},
      {"negative capacity", all, -1, {}},
      {"lowest capacity", all, INT32_MIN, {}},
      {"average and peak",
       {{"tdie a", 47}, {"tdie b", 61}, {"tdie c", 52}},
       16,
       {{kAvg, 160.0 / 3}, {kPeak, 61}}},
      {"no die sensor",
       {{"NAND CH0", 33}, {"battery", 29.5}},
       16,
       {{"SSD", 33}, {"Battery", 29.5}}},
      {"case is ignored",
       {{"TDIE3", 41}, {"tDiE4", 43}, {"nand", 30}, {"ssd0", 40}, {"BATTERY", 28}},
       16,
       {{kAvg, 42}, {kPeak, 43}, {"SSD", 35}, {"Battery", 28}}},
      {"first group wins",
       {{"tdie battery", 44}, {"SSD tdie", 46}, {"battery SSD", 31}},
       16,
       {{kAvg, 45}, {kPeak, 46}, {"SSD", 31}}},
      {"130 is out, 129.9 in",
       {{"tdie a", 130.0}, {"tdie b", 129.9}},
       16,
       {{kAvg, 129.9}, {kPeak, 129.9}}},
      {"0 and below are out", {{"tdie a", 0.0}, {"tdie b", -5}, {"SSD", -0.0}}, 16, {}},
      {"NaN and infinities are out",
       {{"tdie a", NAN}, {"tdie b", INFINITY}, {"SSD", -INFINITY}, {"battery", NAN}, {"tdie", 60}},
       16,
       {{kAvg, 60}, {kPeak, 60}}},
      {"no word, no name", {{"PMU tcal", 50}, {"td ie", 40}, {"", 40}, {std::nullopt, 50}}, 16, {}},
      {"a word ending at byte 127 counts", {{x123 + "tdie", 50}}, 16, {{kAvg, 50}, {kPeak, 50}}},
      {"a word cut at byte 127 does not", {{"x" + x123 + "tdie", 50}}, 16, {}},
  };
  constexpr unsigned char kFill = 0xAB;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeTempSource source;
    source.pairs = c.pairs;
    OstrelTemp got[8], want[8];
    std::memset(got, kFill, sizeof got);
    std::memset(want, kFill, sizeof want);
    ASSERT_EQ(ReadTemps(source, got, c.capacity), static_cast<int32_t>(c.expected.size()));
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_STREQ(got[i].label, c.expected[i].label);
      EXPECT_EQ(got[i].celsius, c.expected[i].celsius);
      std::memcpy(want[i].label, c.expected[i].label, strlen(c.expected[i].label) + 1);
      want[i].celsius = c.expected[i].celsius;
    }
    // Only the label's text, its zero and the value are written; nothing else changes.
    EXPECT_EQ(std::memcmp(got, want, sizeof got), 0);
    if (c.capacity <= 0) {
      EXPECT_EQ(ReadTemps(source, nullptr, c.capacity), 0);
    }
  }
}

}  // namespace
}  // namespace ostrel
