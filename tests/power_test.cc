// Power: the reader over a scripted energy source (initialisation, the sampling chain, channels
// and units), the RAPL source over fixture powercap trees, and every reader of a fixture machine
// served as one document.
#include "sensors/power.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>

#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/rapl_energy_source.h"
#include "sensors/fans.h"
#include "sensors/temps.h"
#include "server/sensor_server.h"
#include "tests/fakes.h"
#include "tests/fixed_readers.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::FakeChannel;
using testing::FakeEnergy;

// One reading as "cpu/gpu/ane/soc", or "-" for none (which must leave all four at 0).
std::string Read() {
  double w[4] = {9, 9, 9, 9};
  if (const int32_t status = ostrel_read_power(&w[0], &w[1], &w[2], &w[3]); status != 0) {
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0);
    return "-";
  }
  char text[128];
  snprintf(text, sizeof text, "%.17g/%.17g/%.17g/%.17g", w[0], w[1], w[2], w[3]);
  return text;
}

// Initialisation runs once: a failure is final, a success keeps one set and one subscription.
TEST(PowerReaderTest, InitialisationOutcomes) {
  struct Case {
    std::string name;
    std::function<void(FakeEnergy&)> script;
    int offers, groups, subscriptions;  // calls expected
    bool ok;
  };
  std::vector<Case> cases = {
      {"succeeds", [](auto&) {}, 8, 1, 1, true},
      {"with a set of its own", [](auto& f) { f.hands_back = true; }, 8, 1, 1, true},
      {"load fails", [](auto& f) { f.load_ok = false; }, 0, 0, 0, false},
      {"no channel group", [](auto& f) { f.has_group = false; }, 8, 1, 0, false},
      {"no subscription", [](auto& f) { f.subscription_ok = false; }, 8, 1, 1, false},
  };
  for (int op = 0; op < 7; ++op) {
    cases.push_back({"operation " + std::to_string(op) + " missing",
                     [op](auto& f) { f.offers[op] = false; }, 8, 0, 0, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnergy fake;
    fake.channels = {{"CPU Energy", "J", 2}};
    c.script(fake);
    EXPECT_EQ(Read(), "-");
    EXPECT_EQ(Read(), c.ok ? "2/0/0/2" : "-");
    EXPECT_EQ(Read(), c.ok ? "2/0/0/2" : "-");
    EXPECT_EQ(fake.calls["Load"], 1);
    EXPECT_EQ(fake.calls["Offers"], c.offers) << "all are asked before any is tested";
    EXPECT_EQ(fake.calls["CopyChannelsInGroup"], c.groups);
    EXPECT_EQ(fake.calls["CreateSubscription"], c.subscriptions);
    EXPECT_EQ(fake.live, c.ok ? 3 : 0) << "the set sampled over, the subscription, a sample";
  }
}

TEST(PowerReaderTest, SamplingChain) {
  const struct {
    const char* name;
    std::deque<double> clock;
    std::deque<bool> samples, deltas;  // outcomes of CreateSamples and CreateSamplesDelta
    std::vector<std::string> readings;
    const char* pairs;  // the deltas made
  } cases[] = {
      // clang-format off
      {"the first call only primes", {500, 502}, {}, {}, {"-", "3/0/0/3"}, "1>2 "},
      {"too soon keeps the older sample", {100, 100.03, 100.0499, 100.25}, {}, {},
       {"-", "-", "-", "24/0/0/24"}, "1>4 "},
      {"0.05 s is enough", {0, 0.05}, {}, {}, {"-", "120/0/0/120"}, "1>2 "},
      {"a clock set back is too soon", {1000, 900, 1002}, {}, {}, {"-", "-", "3/0/0/3"}, "1>3 "},
      {"a failed sample leaves the chain", {10, 13}, {false, true, false, true}, {},
       {"-", "-", "-", "2/0/0/2"}, "1>2 "},
      {"a failed delta still advances it", {10, 11, 15}, {}, {false, true},
       {"-", "-", "1.5/0/0/1.5"}, "2>3 "}};
  // clang-format on
  for (const auto& c : cases) {
    FakeEnergy fake;
    fake.channels = {{"CPU Energy", "J", 6}};
    fake.clock = c.clock;
    fake.sample_results = c.samples;
    fake.delta_results = c.deltas;
    for (const std::string& want : c.readings) EXPECT_EQ(Read(), want) << c.name;
    EXPECT_EQ(fake.pairs, c.pairs) << c.name;
    EXPECT_EQ(fake.live, 3) << "one sample kept, the rejected ones released";
  }
}

TEST(PowerReaderTest, ChannelsAndUnits) {
  std::vector<FakeChannel> not_names = {{std::nullopt, "J", 1},
                                        {"GPU Energy", "J", 5},
                                        {std::string("CPU Energy\0", 11), "J", 1},
                                        {"CPU Energy" + std::string(118, ' '), "J", 1}};
  for (const char* name : {"cpu energy", "CPU Energy ", " CPU Energy", "CPU", "ane", ""}) {
    not_names.push_back({name, "J", 1});
  }
  const struct {
    const char* name;
    bool unit_labels;  // offered by the source
    std::vector<FakeChannel> channels;
    const char* watts;  // over 1 s
  } cases[] = {
      // clang-format off
      {"without unit labels: CPU and ANE in mJ, GPU in nJ", false,
       {{"CPU Energy", "J", 1500}, {"GPU Energy", "J", 2000000000}, {"ANE", "J", 250}},
       "1.5/2/0.25/3.75"},
      {"missing labels: the defaults", true,
       {{"CPU Energy", {}, 1500}, {"GPU Energy", {}, 2000000000}, {"ANE Energy", {}, 250}},
       "1.5/2/0.25/3.75"},
      {"listed labels", true,
       {{"CPU Energy", "uJ", 3000000}, {"GPU Energy", "mJ", 500}, {"ANE", "nJ", 7000000}},
       "3/0.5/0.0070000000000000001/3.5070000000000001"},
      {"other or cut labels: the defaults", true, {{"CPU Energy", "kJ", 1000},
        {"GPU Energy", std::string(16, 'J'), 1000000000}, {"ANE", std::string("J\0", 2), 1000}},
       "1/1/1/3"},
      {"names match whole and by case only", true, not_names, "0/5/0/5"},
      {"a later channel of a kind replaces, never adds", true, {{"ANE", "J", 1},
        {"ANE Energy", "J", 3}, {"CPU Energy", "J", 2}, {"CPU Energy", "J", 4}, {"ANE", "J", 1}},
       "4/0/1/5"},
      {"negative counts stay negative", true,
       {{"CPU Energy", "mJ", -500}, {"GPU Energy", "nJ", -250000000}, {"ANE Energy", "J", 2}},
       "-0.5/-0.25/2/1.25"}};
  // clang-format on
  for (const auto& c : cases) {
    FakeEnergy fake;
    fake.offers[static_cast<int>(EnergyOperation::kChannelGetUnitLabel)] = c.unit_labels;
    fake.channels = c.channels;
    Read();
    EXPECT_EQ(Read(), c.watts) << c.name;
  }
  // soc is the three energies summed, then divided once: 5 J over 3 s differs in the last bit
  // from the sum of the three quotients.
  FakeEnergy fake;
  fake.channels = {{"CPU Energy", "J", 1}, {"GPU Energy", "J", 1}, {"ANE", "J", 3}};
  fake.clock = {0, 3};
  Read();
  EXPECT_EQ(Read(), "0.33333333333333331/0.33333333333333331/1/1.6666666666666667");
}

// Writes powercap zones given as "<entry> <name> <energy_uj> <later energy_uj> [<range>]" (or
// "cpuinfo <vendor>": the processor's) and
// returns what a sample taken before and one after the counters moved count, as
// "name unit count" joined by "|".
std::string Measure(const std::vector<std::string>& zones) {
  testing::TempDir dir;
  std::string before, after;
  for (const std::string& zone : zones) {
    if (zone.starts_with("cpuinfo ")) {  // the processor's vendor
      dir.Write("proc/cpuinfo", "processor\t: 0\nvendor_id\t: " + zone.substr(8) + "\n");
      continue;
    }
    char entry[64], name[64], later[64];
    long long first = 0, range = 262143328850;
    sscanf(zone.c_str(), "%63s %63s %lld %63s %lld", entry, name, &first, later, &range);
    const std::string base = "class/powercap/" + std::string(entry) + "/";
    before += base + "name=" + name + "\n" + base + "energy_uj=" + std::to_string(first) + "\n" +
              base + "max_energy_range_uj=" + std::to_string(range) + "\n";
    after += base + "energy_uj=" + later + "\n";
  }
  dir.WriteTree(before);
  RaplEnergySource source(dir.path(), dir.path() + "/proc");
  if (!source.Load()) return "no load";
  EXPECT_TRUE(source.Offers(EnergyOperation::kChannelGetUnitLabel));
  EXPECT_EQ(source.CopyChannelsInGroup("energy model"), nullptr);
  auto channels = source.MutableCopy(*source.CopyChannelsInGroup("Energy Model"));
  std::unique_ptr<EnergyChannels> subscribed;
  auto subscription = source.CreateSubscription(*channels, &subscribed);
  auto first = source.CreateSamples(*subscription, *channels);
  source.Now();  // the clock is read right after each sample, as the power reader does
  dir.WriteTree(after);
  auto second = source.CreateSamples(*subscription, *channels);
  source.Now();
  if (first == nullptr || second == nullptr) return "no sample";
  auto delta = source.CreateSamplesDelta(*first, *second);
  if (delta == nullptr) return "no delta";
  std::string seen;
  source.Iterate(*delta, [&](const EnergyChannel& channel) {
    seen += (seen.empty() ? "" : "|") + std::string(*source.ChannelName(channel)) + " " +
            std::string(*source.UnitLabel(channel)) + " " +
            std::to_string(source.SimpleIntegerValue(channel));
  });
  return seen;
}

TEST(RaplEnergySourceTest, ZonesCountersAndWraps) {
  // clang-format off
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      // core is CPU, uncore GPU; package, dram, psys and the MMIO copy are neither
      {{"intel-rapl:0 package-0 1000 6000", "intel-rapl:0:0 core 100 3100",
        "intel-rapl:0:1 uncore 50 750", "intel-rapl:0:2 dram 0 999", "intel-rapl:1 psys 0 12345",
        "intel-rapl-mmio:0 package-0 0 777"}, "CPU Energy uJ 3000|GPU Energy uJ 700"},
      // a package without a (readable) core zone counts whole; packages are summed
      {{"intel-rapl:0 package-0 10 4010", "intel-rapl:1 package-1 0 9", "intel-rapl:1:0 core 0 100",
        "intel-rapl:2 package-2 0 9", "intel-rapl:2:0 core 0 0 0"}, "CPU Energy uJ 4109"},
      // each counter unwrapped at its own range before the sum; one that did not move counts 0
      {{"intel-rapl:0 package-0 0 0", "intel-rapl:0:0 core 900 100 1000",
        "intel-rapl:1:0 core 4990 10 5000", "intel-rapl:1:2 core 7 7 5000",
        "intel-rapl:0:1 uncore 262143328845 4"}, "CPU Energy uJ 222|GPU Energy uJ 10"},
      // Zen and Hygon: the package, as their core zone counts one core; Intel by its vendor too
      {{"cpuinfo AuthenticAMD", "intel-rapl:0 package-0 10 39710", "intel-rapl:0:0 core 5 3075"},
       "CPU Energy uJ 39700"},
      {{"cpuinfo HygonGenuine", "intel-rapl:0 package-0 10 410", "intel-rapl:0:0 core 5 35"},
       "CPU Energy uJ 400"},
      {{"cpuinfo GenuineIntel", "intel-rapl:0 package-0 10 410", "intel-rapl:0:0 core 5 35"},
       "CPU Energy uJ 30"},
      {{"intel-rapl:0 package-0 5000 4000"}, "no delta"},  // a step back is no wrap,
      {{"intel-rapl:0 package-0 131071664425 0"}, "no delta"},  // nor mid-range to the bottom;
      {{"intel-rapl:0 package-0 0 200000000000"}, "no delta"},  // over 5 kW is a fault
      {{"cpuinfo AuthenticAMD", "intel-rapl:0:0 core 5 6"}, "no load"},  // not the CPU there
      {{"intel-rapl:0 package-0 5 5", "intel-rapl:0:0 core 5 garbage"}, "no sample"},
      {{"intel-rapl:0 package-0 5 -1"}, "no sample"},
      {{"intel-rapl:0 package-0 5 262143328851"}, "no sample"},
      {{"intel-rapl:0 package-0 262143328849 262143328850"}, "CPU Energy uJ 1"},
      {{"intel-rapl:0 package-0 5 1000 1000"}, "CPU Energy uJ 995"},
      // 200 kJ between two samples microseconds apart is far beyond 5 kW: a fault
      {{"intel-rapl:0 package-0 0 200000000000"}, "no delta"},
      {{}, "no load"},
      {{"intel-rapl:1 psys 5 5", "intel-rapl:0:2 dram 5 5", "intel-rapl-mmio:0 package-0 5 5"},
       "no load"},
      {{"intel-rapl:0 package-0 5 5 4"}, "no load"},  {{"intel-rapl:0 package-0 -1 5"}, "no load"},
      {{"intel-rapl:0 package-0 0 0 0"}, "no load"},
      {{"intel-rapl:0 Package-0 5 5", "intel-rapl:0:0 Core 5 5", "intel-rapl:x package-0 5 5",
        "intel-rapl:0:0:0 core 5 5", "intel-rapl:0:1 package-0 5 5", "intel-rapl: package-0 5 5",
        "intel-rapl:0: core 5 5"}, "no load"}};
  // clang-format on
  for (const auto& [zones, channels] : cases) EXPECT_EQ(Measure(zones), channels) << zones.size();
}

// RAPL with a clock that advances exactly one second per reading.
struct SteadyRapl : RaplEnergySource {
  using RaplEnergySource::RaplEnergySource;
  double Now() override { return time += 1.0; }
  double time = 0;
};

// The three readers over one machine's tree (an Intel MacBook Pro), served as one document.
TEST(DocumentTest, EveryReaderOfAMachineTree) {
  testing::TempDir dir;
  std::filesystem::copy(
      OSTREL_FIXTURES_DIR "/bench_macbookpro", dir.path(),
      std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  SteadyRapl rapl(dir.path(), OSTREL_FIXTURES_DIR "/bench_macbookpro_proc");
  ResetPowerReaderForTesting(&rapl);
  SensorServer::Readers readers;
  readers.temps = [&](OstrelTemp* out, int32_t capacity) {
    HwmonTempSource source(dir.path());
    return ReadTemps(source, out, capacity);
  };
  readers.fans = [&](OstrelFan* out, int32_t capacity) {
    HwmonSmcTransport smc(dir.path());
    return ReadFans(smc, out, capacity);
  };
  testing::FakeLoginItem login;
  SensorServer server(login, 0, readers);
  server.start();
  EXPECT_NE(testing::Exchange(server.boundPort(), "GET /").find("\"power\":{}"), std::string::npos);
  for (const char* zone :
       {"intel-rapl:0", "intel-rapl:0/intel-rapl:0:0", "intel-rapl:0/intel-rapl:0:1"}) {
    const std::string counter =
        dir.path() + "/devices/virtual/powercap/intel-rapl/" + zone + "/energy_uj";
    const long long value = std::stoll(testing::ReadWholeFile(counter));
    dir.Write(counter.substr(dir.path().size() + 1), std::to_string(value + 6000000));
  }
  // The eight cores, not the package; nvme's composite; the battery, not its hwmon twin;
  // applesmc's two fans; 6 J on the cores and 6 J uncore in the one second.
  EXPECT_EQ(testing::BodyOf(testing::Exchange(server.boundPort(), "GET /")),
            "{\"temperatures\":[{\"label\":\"CPU / SoC (avg)\",\"celsius\":59.5},{\"label\":"
            "\"CPU / SoC (peak)\",\"celsius\":63.0},{\"label\":\"SSD\",\"celsius\":38.85},{"
            "\"label\":\"Battery\",\"celsius\":31.5}],\"fans\":[{\"index\":0,\"rpm\":1796.0,"
            "\"min\":1200.0,\"max\":5927.0},{\"index\":1,\"rpm\":1834.0,\"min\":1200.0,\"max\":"
            "6195.0}],\"power\":{\"soc\":12.0,\"cpu\":6.0,\"gpu\":6.0,\"ane\":0.0},\"loginItem\":"
            "false,\"helper\":\"ostrel\",\"version\":1}");
  ResetPowerReaderForTesting(nullptr);
}

}  // namespace
}  // namespace ostrel
