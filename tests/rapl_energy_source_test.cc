// The RAPL energy source over fixture powercap trees: which zones make which channel, summing
// and wrapping of counters, and the trees it refuses.
#include "platform/rapl_energy_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

constexpr int64_t kRange = 262143328850;  // a typical max_energy_range_uj

// One zone of a fixture tree.
struct ZoneSpec {
  std::string entry;  // "intel-rapl:0", "intel-rapl:0:1", ...
  std::string name;   // the zone's name attribute
  int64_t energy;     // energy_uj at the first sample
  int64_t range = kRange;
};

void WriteZone(const TempDir& dir, const ZoneSpec& zone) {
  const std::string base = "class/powercap/" + zone.entry + "/";
  dir.Write(base + "name", zone.name + "\n");
  dir.Write(base + "energy_uj", std::to_string(zone.energy) + "\n");
  dir.Write(base + "max_energy_range_uj", std::to_string(zone.range) + "\n");
  dir.Write(base + "enabled", "1\n");
}

void SetEnergy(const TempDir& dir, const std::string& entry, const std::string& value) {
  dir.Write("class/powercap/" + entry + "/energy_uj", value);
}

// One channel of a delta as a visitor sees it.
struct Counted {
  std::string name;
  std::string unit;
  int64_t count;
  bool operator==(const Counted&) const = default;
};
void PrintTo(const Counted& c, std::ostream* os) {
  *os << c.name << " " << c.count << " " << c.unit;
}

// Collects what Iterate shows of a delta.
std::vector<Counted> Visit(RaplEnergySource& source, const EnergyDelta& delta) {
  struct Context {
    RaplEnergySource* source;
    std::vector<Counted> seen;
  } context{&source, {}};
  source.Iterate(
      delta,
      [](const EnergyChannel& channel, void* opaque) {
        auto* c = static_cast<Context*>(opaque);
        c->seen.push_back({std::string(c->source->ChannelName(channel).value_or("<none>")),
                           std::string(c->source->UnitLabel(channel).value_or("<none>")),
                           c->source->SimpleIntegerValue(channel)});
        return 0;
      },
      &context);
  return context.seen;
}

// Subscribes like the power reader does, takes one sample, lets `between` change the tree,
// takes another and returns the delta's channels.
std::vector<Counted> Measure(RaplEnergySource& source, const std::function<void()>& between) {
  std::unique_ptr<EnergyChannels> group = source.CopyChannelsInGroup("Energy Model");
  if (group == nullptr) {
    ADD_FAILURE() << "no Energy Model group";
    return {};
  }
  std::unique_ptr<EnergyChannels> channels = source.MutableCopy(*group);
  std::unique_ptr<EnergyChannels> subscribed;
  std::unique_ptr<EnergySubscription> subscription =
      source.CreateSubscription(*channels, &subscribed);
  EXPECT_NE(subscription, nullptr);
  EXPECT_EQ(subscribed, nullptr);
  std::unique_ptr<EnergySample> first = source.CreateSamples(*subscription, *channels);
  between();
  std::unique_ptr<EnergySample> second = source.CreateSamples(*subscription, *channels);
  if (first == nullptr || second == nullptr) {
    ADD_FAILURE() << "no sample";
    return {};
  }
  std::unique_ptr<EnergyDelta> delta = source.CreateSamplesDelta(*first, *second);
  if (delta == nullptr) {
    ADD_FAILURE() << "no delta";
    return {};
  }
  return Visit(source, *delta);
}

struct TreeCase {
  const char* name;
  std::vector<ZoneSpec> zones;
  std::map<std::string, int64_t> later;  // energy_uj at the second sample, per zone entry
  std::vector<Counted> expected;
};

TEST(RaplEnergySourceTest, ChannelsFromFixtureTrees) {
  const TreeCase cases[] = {
      {"Intel: core is CPU, uncore is GPU; dram, psys and the MMIO copy are neither",
       {{"intel-rapl:0", "package-0", 1000},
        {"intel-rapl:0:0", "core", 100},
        {"intel-rapl:0:1", "uncore", 50},
        {"intel-rapl:0:2", "dram", 0},
        {"intel-rapl:1", "psys", 0},
        {"intel-rapl-mmio:0", "package-0", 0}},
       {{"intel-rapl:0", 6000},
        {"intel-rapl:0:0", 3100},
        {"intel-rapl:0:1", 750},
        {"intel-rapl:0:2", 999},
        {"intel-rapl:1", 12345},
        {"intel-rapl-mmio:0", 777}},
       {{"CPU Energy", "uJ", 3000}, {"GPU Energy", "uJ", 700}}},
      {"AMD: the package alone is CPU, and there is no GPU channel",
       {{"intel-rapl:0", "package-0", 10}},
       {{"intel-rapl:0", 4010}},
       {{"CPU Energy", "uJ", 4000}}},
      {"two packages are summed per kind",
       {{"intel-rapl:0", "package-0", 0},
        {"intel-rapl:0:0", "core", 0},
        {"intel-rapl:0:1", "uncore", 0},
        {"intel-rapl:1", "package-1", 0},
        {"intel-rapl:1:0", "core", 0},
        {"intel-rapl:1:1", "uncore", 0}},
       {{"intel-rapl:0", 9},
        {"intel-rapl:0:0", 100},
        {"intel-rapl:0:1", 10},
        {"intel-rapl:1", 9},
        {"intel-rapl:1:0", 200},
        {"intel-rapl:1:1", 20}},
       {{"CPU Energy", "uJ", 300}, {"GPU Energy", "uJ", 30}}},
      {"a package without a core zone counts whole",
       {{"intel-rapl:0", "package-0", 0},
        {"intel-rapl:0:0", "core", 0},
        {"intel-rapl:1", "package-1", 0}},
       {{"intel-rapl:0", 999}, {"intel-rapl:0:0", 100}, {"intel-rapl:1", 400}},
       {{"CPU Energy", "uJ", 500}}},
      {"a core zone without a range gives way to its package",
       {{"intel-rapl:0", "package-0", 0}, {"intel-rapl:0:0", "core", 0, 0}},
       {{"intel-rapl:0", 70}, {"intel-rapl:0:0", 5}},
       {{"CPU Energy", "uJ", 70}}},
      {"each counter is unwrapped at its own range before summing",
       {{"intel-rapl:0", "package-0", 0},
        {"intel-rapl:0:0", "core", 900, 1000},
        {"intel-rapl:1", "package-1", 0},
        {"intel-rapl:1:0", "core", 4990, 5000},
        {"intel-rapl:1:1", "uncore", kRange - 5}},
       {{"intel-rapl:0:0", 100}, {"intel-rapl:1:0", 10}, {"intel-rapl:1:1", 4}},
       {{"CPU Energy", "uJ", 201 + 21}, {"GPU Energy", "uJ", 10}}},
      {"an unchanged counter counts 0",
       {{"intel-rapl:0", "package-0", 123456}},
       {},
       {{"CPU Energy", "uJ", 0}}},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const ZoneSpec& zone : c.zones) WriteZone(dir, zone);
    RaplEnergySource source(dir.path());
    ASSERT_TRUE(source.Load());
    for (int op = 0; op < kEnergyOperationCount; ++op) {
      EXPECT_TRUE(source.Offers(static_cast<EnergyOperation>(op)));
    }
    const std::vector<Counted> seen = Measure(source, [&] {
      for (const auto& [entry, energy] : c.later) SetEnergy(dir, entry, std::to_string(energy));
    });
    EXPECT_EQ(seen, c.expected);
  }
}

struct RefusedCase {
  const char* name;
  std::vector<ZoneSpec> zones;
  void (*spoil)(const TempDir&);  // damage done after the zones are written, or null
};

void CountersAreFolders(const TempDir& dir) {
  // Root reads any file whatever its mode; a folder where the counter belongs fails like an
  // unreadable file does (the read fails).
  for (const char* entry : {"intel-rapl:0", "intel-rapl:0:0", "intel-rapl:0:1"}) {
    const std::string path = dir.path() + "/class/powercap/" + entry + "/energy_uj";
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
  }
}

TEST(RaplEnergySourceTest, TreesWithoutReadableCpuOrGpuZonesDoNotLoad) {
  const RefusedCase cases[] = {
      {"nothing at all", {}, nullptr},
      {"an empty powercap class",
       {},
       [](const TempDir& dir) { dir.MakeDir("class/powercap/intel-rapl"); }},
      {"psys, dram and MMIO zones only",
       {{"intel-rapl:1", "psys", 5},
        {"intel-rapl:0:2", "dram", 5},
        {"intel-rapl-mmio:0", "package-0", 5}},
       nullptr},
      {"unreadable counters",
       {{"intel-rapl:0", "package-0", 5},
        {"intel-rapl:0:0", "core", 5},
        {"intel-rapl:0:1", "uncore", 5}},
       CountersAreFolders},
      {"counters that are not numbers",
       {{"intel-rapl:0", "package-0", 5}},
       [](const TempDir& dir) { SetEnergy(dir, "intel-rapl:0", "n/a\n"); }},
      {"a counter beyond its range", {{"intel-rapl:0", "package-0", 5, 4}}, nullptr},
      {"a zero range", {{"intel-rapl:0", "package-0", 0, 0}}, nullptr},
      {"zone names the source does not know",
       {{"intel-rapl:0", "Package-0", 5},
        {"intel-rapl:0:0", "Core", 5},
        {"intel-rapl:x", "package-0", 5},
        {"intel-rapl:0:0:0", "core", 5},
        {"intel-rapl:0:1", "package-0", 5}},
       nullptr},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const ZoneSpec& zone : c.zones) WriteZone(dir, zone);
    if (c.spoil != nullptr) c.spoil(dir);
    RaplEnergySource source(dir.path());
    EXPECT_FALSE(source.Load());
    EXPECT_FALSE(source.Offers(EnergyOperation::kCreateSamples));
    EXPECT_EQ(source.CopyChannelsInGroup("Energy Model"), nullptr);
  }
}

TEST(RaplEnergySourceTest, OnlyTheEnergyModelGroupExists) {
  TempDir dir;
  WriteZone(dir, {"intel-rapl:0", "package-0", 5});
  RaplEnergySource source(dir.path());
  ASSERT_TRUE(source.Load());
  EXPECT_NE(source.CopyChannelsInGroup("Energy Model"), nullptr);
  EXPECT_EQ(source.CopyChannelsInGroup("energy model"), nullptr);
  EXPECT_EQ(source.CopyChannelsInGroup("CPU Stats"), nullptr);
}

TEST(RaplEnergySourceTest, SamplesFailWhileACounterCannotBeRead) {
  const std::string bad_values[] = {"", "garbage\n", "-1\n", std::to_string(kRange + 1) + "\n"};
  for (const std::string& bad : bad_values) {
    SCOPED_TRACE(bad);
    TempDir dir;
    WriteZone(dir, {"intel-rapl:0", "package-0", 5});
    WriteZone(dir, {"intel-rapl:0:0", "core", 5});
    WriteZone(dir, {"intel-rapl:0:1", "uncore", 5});
    RaplEnergySource source(dir.path());
    ASSERT_TRUE(source.Load());
    auto channels = source.CopyChannelsInGroup("Energy Model");
    std::unique_ptr<EnergyChannels> subscribed;
    auto subscription = source.CreateSubscription(*channels, &subscribed);
    ASSERT_NE(source.CreateSamples(*subscription, *channels), nullptr);
    SetEnergy(dir, "intel-rapl:0:1", bad);
    EXPECT_EQ(source.CreateSamples(*subscription, *channels), nullptr);
    SetEnergy(dir, "intel-rapl:0:1", "6\n");
    EXPECT_NE(source.CreateSamples(*subscription, *channels), nullptr);
  }
}

TEST(RaplEnergySourceTest, ClockIsTheWallClock) {
  RaplEnergySource source("/nonexistent");
  const double before = static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  const double now = source.Now();
  EXPECT_GE(now, before);
  EXPECT_LT(now, before + 60);
}

}  // namespace
}  // namespace ostrel
