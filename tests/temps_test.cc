// The temperature reader's logic over a fake pair source: range filter, grouping by name,
// averages and peak, output order, capacity and exactly which bytes are written.
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

// Hands out a fixed sequence of pairs; counts how often it was walked.
class FakeTempSource : public TempSource {
 public:
  explicit FakeTempSource(std::vector<Pair> pairs) : pairs_(std::move(pairs)) {}
  void ForEachSensor(const Visitor& visit) override {
    ++walks_;
    for (const Pair& p : pairs_) visit(p.first ? p.first->c_str() : nullptr, p.second);
  }
  int walks() const { return walks_; }

 private:
  std::vector<Pair> pairs_;  // what each walk hands out, in order
  int walks_ = 0;            // number of ForEachSensor calls
};

constexpr unsigned char kFill = 0xAB;  // what the records hold before the call
constexpr int kRecords = 16;

struct Reading {
  std::string label;
  double celsius;
};

struct Result {
  int32_t count;
  OstrelTemp records[kRecords];
};

Result ReadPairs(std::vector<Pair> pairs, int32_t capacity) {
  FakeTempSource source(std::move(pairs));
  Result r;
  std::memset(r.records, kFill, sizeof r.records);
  r.count = ReadTemps(source, r.records, capacity);
  return r;
}

std::vector<Reading> Readings(const Result& r) {
  std::vector<Reading> out;
  for (int32_t i = 0; i < r.count && i < kRecords; ++i) {
    out.push_back(
        {std::string(r.records[i].label, strnlen(r.records[i].label, 64)), r.records[i].celsius});
  }
  return out;
}

const double kNaN = std::nan("");

TEST(TempsTest, GroupsAveragesPeakAndOrder) {
  struct Case {
    const char* what;
    std::vector<Pair> pairs;
    int32_t capacity;
    std::vector<Reading> expected;
  };
  const std::string x123(123, 'x');
  const Case cases[] = {
      {"two die sensors",
       {{"PMU tdie1", 40.0}, {"PMU tdie2", 50.0}},
       16,
       {{"CPU / SoC (avg)", 45.0}, {"CPU / SoC (peak)", 50.0}}},
      {"two die sensors, one record",
       {{"PMU tdie1", 40.0}, {"PMU tdie2", 50.0}},
       1,
       {{"CPU / SoC (avg)", 45.0}}},
      {"all groups, three records",
       {{"battery 1", 30.0}, {"NAND CH0", 35.0}, {"PMU tdie1", 50.0}},
       3,
       {{"CPU / SoC (avg)", 50.0}, {"CPU / SoC (peak)", 50.0}, {"SSD", 35.0}}},
      {"all groups in reverse service order",
       {{"gas gauge battery", 30.0}, {"NAND CH0", 35.0}, {"PMU tdie1", 50.0}},
       16,
       {{"CPU / SoC (avg)", 50.0}, {"CPU / SoC (peak)", 50.0}, {"SSD", 35.0}, {"Battery", 30.0}}},
      {"no die sensor",
       {{"NAND CH0", 33.0}, {"gas gauge battery", 29.5}},
       16,
       {{"SSD", 33.0}, {"Battery", 29.5}}},
      {"die beats battery",
       {{"tdie battery", 44.0}},
       16,
       {{"CPU / SoC (avg)", 44.0}, {"CPU / SoC (peak)", 44.0}}},
      {"die beats storage",
       {{"SSD tdie", 44.0}},
       16,
       {{"CPU / SoC (avg)", 44.0}, {"CPU / SoC (peak)", 44.0}}},
      {"storage beats battery", {{"battery SSD", 31.0}}, 16, {{"SSD", 31.0}}},
      {"case is ignored",
       {{"PMU TDIE3", 41.0},
        {"PMU tDiE4", 43.0},
        {"nand ch1", 30.0},
        {"ssd0", 40.0},
        {"BATTERY", 28.0}},
       16,
       {{"CPU / SoC (avg)", 42.0}, {"CPU / SoC (peak)", 43.0}, {"SSD", 35.0}, {"Battery", 28.0}}},
      {"NAND and SSD average together",
       {{"NAND CH0 temp", 30.0}, {"SSD temp", 40.0}},
       16,
       {{"SSD", 35.0}}},
      {"upper bound excluded",
       {{"tdie a", 130.0}, {"tdie b", 129.9}},
       16,
       {{"CPU / SoC (avg)", 129.9}, {"CPU / SoC (peak)", 129.9}}},
      {"zero and negative dropped", {{"tdie a", 0.0}, {"tdie b", -5.0}, {"tdie c", -0.0}}, 16, {}},
      {"smallest positive counts",
       {{"tdie a", 1e-300}},
       16,
       {{"CPU / SoC (avg)", 1e-300}, {"CPU / SoC (peak)", 1e-300}}},
      {"NaN and infinities dropped",
       {{"tdie a", kNaN},
        {"tdie b", INFINITY},
        {"tdie c", -INFINITY},
        {"SSD", kNaN},
        {"battery", kNaN},
        {"tdie d", 60.0}},
       16,
       {{"CPU / SoC (avg)", 60.0}, {"CPU / SoC (peak)", 60.0}}},
      {"peak is the largest, wherever it comes",
       {{"tdie a", 47.0}, {"tdie b", 61.0}, {"tdie c", 52.0}},
       16,
       {{"CPU / SoC (avg)", 160.0 / 3}, {"CPU / SoC (peak)", 61.0}}},
      {"sums in service order",
       {{"tdie a", 0.1}, {"tdie b", 0.2}, {"tdie c", 0.3}},
       16,
       {{"CPU / SoC (avg)", (0.1 + 0.2 + 0.3) / 3}, {"CPU / SoC (peak)", 0.3}}},
      {"no name matches", {{"PMU tcal", 50.0}, {"gas gauge", 30.0}, {"", 40.0}}, 16, {}},
      {"no name at all", {{std::nullopt, 50.0}}, 16, {}},
      {"words split by the name are not words", {{"td ie", 50.0}, {"S SD", 40.0}}, 16, {}},
      {"a word ending at the 127th byte counts",
       {{x123 + "tdie", 50.0}},
       16,
       {{"CPU / SoC (avg)", 50.0}, {"CPU / SoC (peak)", 50.0}}},
      {"a word cut by the 127-byte limit does not", {{"x" + x123 + "tdie", 50.0}}, 16, {}},
      {"nothing at all", {}, 16, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Result r = ReadPairs(c.pairs, c.capacity);
    const std::vector<Reading> got = Readings(r);
    ASSERT_EQ(r.count, static_cast<int32_t>(c.expected.size()));
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].label, c.expected[i].label) << i;
      EXPECT_EQ(got[i].celsius, c.expected[i].celsius) << i;  // exact: same sums, same order
    }
  }
}

TEST(TempsTest, CapacityBoundsTheCountFromTheEnd) {
  const std::vector<Pair> all = {{"tdie", 50.0}, {"SSD", 35.0}, {"battery", 30.0}};
  const char* const order[] = {"CPU / SoC (avg)", "CPU / SoC (peak)", "SSD", "Battery"};
  for (int32_t capacity : {1, 2, 3, 4, 5, 16}) {
    const Result r = ReadPairs(all, capacity);
    ASSERT_EQ(r.count, std::min(capacity, 4)) << capacity;
    for (int32_t i = 0; i < r.count; ++i) EXPECT_STREQ(r.records[i].label, order[i]);
  }
}

TEST(TempsTest, NoCapacityWritesNothing) {
  for (int32_t capacity : {0, -1, INT32_MIN}) {
    const Result r = ReadPairs({{"tdie", 50.0}, {"SSD", 35.0}}, capacity);
    EXPECT_EQ(r.count, 0) << capacity;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(r.records);
    for (size_t i = 0; i < sizeof r.records; ++i) ASSERT_EQ(bytes[i], kFill) << capacity;
  }
  // With nothing to write into, the out pointer is never used.
  FakeTempSource source({{"tdie", 50.0}});
  EXPECT_EQ(ReadTemps(source, nullptr, 0), 0);
  EXPECT_EQ(ReadTemps(source, nullptr, -3), 0);
}

// Each label is written with exactly its characters and one zero; the rest of the field, and
// every record from the count on, keeps what the caller put there.
TEST(TempsTest, WritesOnlyLabelTextTerminatorAndValue) {
  const Result r =
      ReadPairs({{"tdie", 50.0}, {"tdie", 40.0}, {"NAND", 33.0}, {"battery", 28.5}}, 6);
  ASSERT_EQ(r.count, 4);
  const struct {
    const char* label;
    size_t length;
    double celsius;
  } expected[] = {{"CPU / SoC (avg)", 15, 45.0},
                  {"CPU / SoC (peak)", 16, 50.0},
                  {"SSD", 3, 33.0},
                  {"Battery", 7, 28.5}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(expected[i].label);
    const OstrelTemp& t = r.records[i];
    EXPECT_EQ(strlen(expected[i].label), expected[i].length);
    EXPECT_EQ(std::memcmp(t.label, expected[i].label, expected[i].length + 1), 0);
    for (size_t b = expected[i].length + 1; b < sizeof t.label; ++b) {
      ASSERT_EQ(static_cast<unsigned char>(t.label[b]), kFill) << "label byte " << b;
    }
    EXPECT_EQ(t.celsius, expected[i].celsius);
  }
  const unsigned char* rest = reinterpret_cast<const unsigned char*>(&r.records[4]);
  for (size_t i = 0; i < sizeof(OstrelTemp) * (kRecords - 4); ++i) ASSERT_EQ(rest[i], kFill);
}

TEST(TempsTest, EachCallReadsTheSourceAfresh) {
  FakeTempSource source({{"tdie", 50.0}});
  OstrelTemp out[4];
  EXPECT_EQ(ReadTemps(source, out, 4), 2);
  EXPECT_EQ(ReadTemps(source, out, 4), 2);
  EXPECT_EQ(source.walks(), 2);
}

}  // namespace
}  // namespace ostrel
