// Power: the reader over a scripted source, RAPL over powercap trees, every reader per fixture.
#include "sensors/power.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include "platform/linux/hwmon_smc_transport.h"
#include "platform/linux/hwmon_temp_source.h"
#include "platform/linux/rapl_energy_source.h"
#include "sensors/fans.h"
#include "sensors/temps.h"
#include "tests/fakes.h"
#include "tests/machine_records.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::FakeChannel;
using testing::FakeEnergy;
using testing::TempDir;

// Initialisation runs once: a failure is final, a success keeps a set, a subscription, a sample.
TEST(PowerReaderTest, InitialisationOutcomes) {
  for (int i = -5; i < 7; ++i) {  // -5 and -4 succeed; from 0 on, operation i is not offered
    FakeEnergy fake;
    fake.channels = {{"CPU Energy", "J", 2}};
    fake.hands_back = i == -4, fake.load_ok = i != -3, fake.has_group = i != -2;
    fake.subscription_ok = i != -1;
    if (i >= 0) fake.offers[i] = false;
    const std::string want = i < -3 ? " 2/0/0/2" : " -";
    std::string got = testing::ReadPower();
    got += " " + testing::ReadPower(), got += " " + testing::ReadPower();
    EXPECT_EQ(got + " " + std::to_string(fake.loads * 10 + fake.live),
              "-" + want + want + (i < -3 ? " 13" : " 10"));
  }
}

// Deltas of the kept sample and one at least 0.05 s later; channels' names matched whole, units
// from listed labels only (none: CPU and ANE in mJ, GPU in nJ).
TEST(PowerReaderTest, SamplingChain) {
  const struct {
    std::vector<FakeChannel> channels = {{"CPU Energy", "J", 6}};
    std::deque<double> clock = {};               // per sample; none left: 1 s later
    std::deque<bool> samples = {}, deltas = {};  // outcomes of CreateSamples, CreateSamplesDelta
    const char* readings = "";
    const char* pairs = "1>2 ";  // the deltas made
    bool units = true;           // unit labels offered
  } cases[] = {
      // clang-format off
      {.clock = {100, 100.03, 100.0499, 100.25}, .readings = "- - - 24/0/0/24", .pairs = "1>4 "},
      {.clock = {0, 0.05}, .readings = "- 120/0/0/120"},
      {.clock = {1000, 900, 1002}, .readings = "- - 3/0/0/3", .pairs = "1>3 "},
      {.clock = {10, 13}, .samples = {false, true, false, true}, .readings = "- - - 2/0/0/2"},
      {.clock = {10, 11, 15}, .deltas = {false, true}, .readings = "- - 1.5/0/0/1.5", .pairs = "2>3 "},
      {.channels = {{"CPU Energy", "J", 1500}, {"GPU Energy", "J", 2000000000}, {"ANE", "J", 250}},
       .readings = "- 1.5/2/0.25/3.75", .units = false},
      {.channels = {{"CPU Energy", "uJ", 3000000}, {"GPU Energy", "mJ", 500}, {"ANE", "nJ", 7000000}},
       .readings = "- 3/0.5/0.007/3.507"},
      {.channels = {{"CPU Energy", "kJ", 1000}, {"GPU Energy", std::string(16, 'J'), 1000000000},
                    {"ANE", std::string("J\0", 2), 1000}}, .readings = "- 1/1/1/3"},
      {.channels = {{std::nullopt, "J", 1}, {"GPU Energy", "J", 5}, {std::string("CPU Energy\0", 11),
                    "J", 1}, {"CPU Energy" + std::string(118, ' '), "J", 1}}, .readings = "- 0/5/0/5"},
      {.channels = {{"ANE", "J", 1}, {"ANE Energy", "J", 3}, {"CPU Energy", "J", 2},
                    {"CPU Energy", "J", 4}, {"ANE", "J", 1}}, .readings = "- 4/0/1/5"}};
  // clang-format on
  for (const auto& c : cases) {
    FakeEnergy fake;
    fake.offers[static_cast<int>(EnergyOperation::kChannelGetUnitLabel)] = c.units;
    fake.channels = c.channels, fake.clock = c.clock;
    fake.sample_results = c.samples, fake.delta_results = c.deltas;
    std::string readings = testing::ReadPower();
    while (readings.size() < strlen(c.readings)) readings += " " + testing::ReadPower();
    EXPECT_EQ(readings + " " + fake.pairs + std::to_string(fake.live),  // one sample kept
              std::string(c.readings) + " " + c.pairs + "3");
  }
}

// Power one second after priming, `move` having moved the counters; `bounded` adds the real clock.
std::string RaplPower(const std::string& root, const std::string& proc, bool bounded,
                      const std::function<void()>& move) {
  struct SteadyRapl : RaplEnergySource {
    using RaplEnergySource::RaplEnergySource;
    double Now() override { return bounded && RaplEnergySource::Now(), time += 1.0; }
    bool bounded;
    double time = 0;
  } rapl(root, proc);
  rapl.bounded = bounded;
  return testing::PowerAfter(rapl, move);
}

// Zones "<entry> <name> <energy_uj> <later energy_uj> [<range>]" or "cpuinfo <vendor>", joined
// by ","; then the power: packages sum, counters unwrap at their range, AMD counts the package.
TEST(RaplEnergySourceTest, ZonesCountersAndWraps) {
  const std::string p = "intel-rapl:0 package-0 ", c = ",intel-rapl:0:0 core ";
  for (const std::string& row : std::vector<std::string>{
           // clang-format off
      p + "10 4010,intel-rapl:1 package-1 0 9,intel-rapl:1:0 core 0 100,intel-rapl:2 package-2 0 9,"
          "intel-rapl:2:0 core 0 0 0=0.004109/0/0/0.004109",
      p + "0 0,intel-rapl:0:0 core 900 100 1000,intel-rapl:1:0 core 4990 10 5000,intel-rapl:1:2 core "
          "7 7 5000,intel-rapl:0:1 uncore 262143328845 4=0.000222/1e-05/0/0.000232",
      "cpuinfo AuthenticAMD," + p + "10 39710" + c + "5 3075=0.0397/0/0/0.0397",
      p + "262143328849 262143328850=1e-06/0/0/1e-06", p + "5 1000 1000=0.000995/0/0/0.000995",
      p + "5000 4000=-", p + "131071664425 0=-", p + "0 200000000000=-", p + "5 5 4=-", p + "-1 5=-",
      p + "5 5" + c + "5 garbage=-", p + "5 -1=-", p + "5 262143328851=-", p + "0 0 0=-", "=-",
      "cpuinfo AuthenticAMD" + c + "5 6=-", "cpuinfo GenuineIntel" + c + "5 35=3e-05/0/0/3e-05",
      "intel-rapl:0 Package-0 5 5,intel-rapl:0:0 Core 5 5,intel-rapl:x package-0 5 5,intel-rapl:0:0:0 "
      "core 5 5,intel-rapl:0:1 package-0 5 5,intel-rapl: package-0 5 5,intel-rapl:0: core 5 5=-"}) {
    // clang-format on
    const std::string zones = row.substr(0, row.find('=')), want = row.substr(row.find('=') + 1);
    TempDir dir;
    std::string before, after, zone, seen;
    for (std::istringstream in(zones); std::getline(in, zone, ',');) {
      char entry[64], name[64], later[64];
      long long first = 0, range = 262143328850;
      sscanf(zone.c_str(), "%63s %63s %lld %63s %lld", entry, name, &first, later, &range);
      const std::string base = "class/powercap/" + std::string(entry) + "/";
      if (zone.starts_with("cpuinfo ")) {
        dir.Write("proc/cpuinfo", "vendor_id\t: " + zone.substr(8));
        continue;
      }
      before += base + "name=" + name + "\n" + base + "energy_uj=" + std::to_string(first) + "\n" +
                base + "max_energy_range_uj=" + std::to_string(range) + "\n";
      after += base + "energy_uj=" + later + "\n";
    }
    dir.WriteTree(before);
    EXPECT_EQ(RaplPower(dir.path(), dir.path() + "/proc", true, [&] { dir.WriteTree(after); }),
              want)
        << zones;
  }
}

// Every reader over each fixture machine's tree.
TEST(DocumentTest, EveryReaderOfAMachineTree) {
  for (const auto& [name, want] : testing::kMachineRecords) {
    TempDir dir;
    const std::string folder = OSTREL_FIXTURES_DIR "/" + std::string(name);
    if (fs::is_directory(folder))
      fs::copy(folder, dir.path(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    else
      dir.WriteTree(
          testing::ReadWholeFile(OSTREL_FIXTURES_DIR "/trees/" + std::string(name) + ".tree"));
    HwmonTempSource temp_source(dir.path());
    HwmonSmcTransport smc(dir.path());
    const std::string power = RaplPower(dir.path(), folder + "_proc", false, [&] {
      for (const auto& file : fs::recursive_directory_iterator(dir.path())) {
        if (file.path().filename() != "energy_uj" || file.is_symlink()) continue;
        const long long uj = std::stoll(testing::ReadWholeFile(file.path()));
        const auto colons = std::ranges::count(file.path().parent_path().filename().string(), ':');
        dir.Write(file.path().string().substr(dir.path().size() + 1),
                  std::to_string(uj + colons * 6000000));
      }
    });
    EXPECT_EQ(testing::Records(temp_source, smc, power), want) << name;
  }
}

}  // namespace
}  // namespace ostrel
