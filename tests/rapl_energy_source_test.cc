// The RAPL energy source over fixture powercap trees: which zones make which channel, summing and
// wrapping of counters, the trees and counters it refuses, and its readings in the document.
#include "platform/linux/rapl_energy_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sensors/power.h"
#include "server/sensor_server.h"
#include "tests/fake_login_item.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::TempDir;

constexpr int64_t kRange = 262143328850;  // a typical max_energy_range_uj

// Writes zones given as "<entry> <name> <energy_uj> [<later energy_uj> [<max_energy_range_uj>]]";
// with `later`, only the later counters (any text). "cpuinfo <vendor>" writes proc/cpuinfo.
void WriteZones(const TempDir& dir, const std::vector<std::string>& zones, bool later = false) {
  for (const std::string& zone : zones) {
    char entry[64], name[64], second[64];
    long long first = 0, range = kRange;
    const int fields =
        sscanf(zone.c_str(), "%63s %63s %lld %63s %lld", entry, name, &first, second, &range);
    if (std::string(entry) == "cpuinfo") {
      dir.Write("proc/cpuinfo", "processor\t: 0\nvendor_id\t: " + std::string(name) + "\n");
      continue;
    }
    const std::string base = "class/powercap/" + std::string(entry) + "/";
    if (later) {
      if (fields >= 4) dir.Write(base + "energy_uj", std::string(second) + "\n");
      continue;
    }
    dir.Write(base + "name", std::string(name) + "\n");
    dir.Write(base + "energy_uj", std::to_string(first) + "\n");
    dir.Write(base + "max_energy_range_uj", std::to_string(range) + "\n");
  }
}

// Subscribes as the power reader does, samples, moves the counters to their later values, samples
// again and returns the delta's channels as "name unit count" joined by "|".
std::string Measure(const TempDir& dir, RaplEnergySource& source,
                    const std::vector<std::string>& zones) {
  auto group = source.CopyChannelsInGroup("Energy Model");
  if (group == nullptr) return "no group";
  auto channels = source.MutableCopy(*group);
  std::unique_ptr<EnergyChannels> subscribed;
  auto subscription = source.CreateSubscription(*channels, &subscribed);
  EXPECT_EQ(subscribed, nullptr);
  // The clock is read right after each sample, as the power reader does.
  auto first = source.CreateSamples(*subscription, *channels);
  source.Now();
  WriteZones(dir, zones, /*later=*/true);
  auto second = source.CreateSamples(*subscription, *channels);
  source.Now();
  if (first == nullptr || second == nullptr) return "no sample";
  auto delta = source.CreateSamplesDelta(*first, *second);
  if (delta == nullptr) return "no delta";
  struct Context {
    RaplEnergySource* source;
    std::string seen;
  } context{&source, ""};
  source.Iterate(*delta, [&context](const EnergyChannel& channel) {
    auto* c = &context;
    c->seen += (c->seen.empty() ? "" : "|") +
               std::string(c->source->ChannelName(channel).value_or("?")) + " " +
               std::string(c->source->UnitLabel(channel).value_or("?")) + " " +
               std::to_string(c->source->SimpleIntegerValue(channel));
  });
  return context.seen;
}

TEST(RaplEnergySourceTest, ChannelsFromFixtureTrees) {
  const struct {
    const char* name;
    std::vector<std::string> zones;
    const char* channels;
  } cases[] = {
      {"Intel: core is CPU, uncore GPU; package, dram, psys and the MMIO copy are neither",
       {"intel-rapl:0 package-0 1000 6000", "intel-rapl:0:0 core 100 3100",
        "intel-rapl:0:1 uncore 50 750", "intel-rapl:0:2 dram 0 999", "intel-rapl:1 psys 0 12345",
        "intel-rapl-mmio:0 package-0 0 777"},
       "CPU Energy uJ 3000|GPU Energy uJ 700"},
      {"AMD: the package alone is CPU, and there is no GPU",
       {"intel-rapl:0 package-0 10 4010"},
       "CPU Energy uJ 4000"},
      {"Zen: the package is CPU, not its core zone (one core's counter)",
       {"cpuinfo AuthenticAMD", "intel-rapl:0 package-0 10 39710", "intel-rapl:0:0 core 5 3075"},
       "CPU Energy uJ 39700"},
      {"Hygon likewise",
       {"cpuinfo HygonGenuine", "intel-rapl:0 package-0 10 410", "intel-rapl:0:0 core 5 35"},
       "CPU Energy uJ 400"},
      {"Intel by its vendor too",
       {"cpuinfo GenuineIntel", "intel-rapl:0 package-0 10 410", "intel-rapl:0:0 core 5 35"},
       "CPU Energy uJ 30"},
      {"two packages are summed per kind",
       {"intel-rapl:0 package-0 0 9", "intel-rapl:0:0 core 0 100", "intel-rapl:0:1 uncore 0 10",
        "intel-rapl:1 package-1 0 9", "intel-rapl:1:0 core 0 200", "intel-rapl:1:1 uncore 0 20"},
       "CPU Energy uJ 300|GPU Energy uJ 30"},
      {"a package without a (readable) core zone counts whole",
       {"intel-rapl:0 package-0 0 999", "intel-rapl:0:0 core 0 100", "intel-rapl:1 package-1 0 400",
        "intel-rapl:1:0 core 0 0 0"},
       "CPU Energy uJ 500"},
      {"each counter is unwrapped at its own range before the sum",
       {"intel-rapl:0 package-0 0", "intel-rapl:0:0 core 900 100 1000", "intel-rapl:1 package-1 0",
        "intel-rapl:1:0 core 4990 10 5000", "intel-rapl:1:1 uncore 262143328845 4"},
       "CPU Energy uJ 222|GPU Energy uJ 10"},
      {"a counter that can't be read fails the sample",
       {"intel-rapl:0 package-0 5 5", "intel-rapl:0:0 core 5 garbage"},
       "no sample"},
      {"so does a negative one", {"intel-rapl:0 package-0 5 -1"}, "no sample"},
      {"or one beyond its range", {"intel-rapl:0 package-0 5 262143328851"}, "no sample"},
      {"a step back by 1 mJ is no wrap", {"intel-rapl:0 package-0 5000 4000"}, "no delta"},
      {"nor one from mid-range to the bottom",
       {"intel-rapl:0 package-0 131071664425 0"},
       "no delta"},
      {"more than 5 kW between two samples is a fault",
       {"intel-rapl:0 package-0 0 200000000000"},
       "no delta"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteZones(dir, c.zones);
    RaplEnergySource source(dir.path(), dir.path() + "/proc");
    ASSERT_TRUE(source.Load());
    EXPECT_EQ(source.CopyChannelsInGroup("energy model"), nullptr);
    EXPECT_EQ(Measure(dir, source, c.zones), c.channels);
  }
}

TEST(RaplEnergySourceTest, TreesWithoutReadableCpuOrGpuZonesDoNotLoad) {
  const struct {
    const char* name;
    std::vector<std::string> zones;
    const char* spoil;  // a zone whose energy_uj becomes a folder (unreadable), or null
  } cases[] = {
      {"nothing at all", {}, nullptr},
      {"psys, dram and MMIO zones only",
       {"intel-rapl:1 psys 5", "intel-rapl:0:2 dram 5", "intel-rapl-mmio:0 package-0 5"},
       nullptr},
      {"an unreadable counter", {"intel-rapl:0 package-0 5"}, "intel-rapl:0"},
      {"AMD: a core zone is not the CPU",
       {"cpuinfo AuthenticAMD", "intel-rapl:0 package-0 5", "intel-rapl:0:0 core 5"},
       "intel-rapl:0"},
      {"a counter beyond its range", {"intel-rapl:0 package-0 5 5 4"}, nullptr},
      {"a zero range", {"intel-rapl:0 package-0 0 0 0"}, nullptr},
      {"zone names the source does not know",
       {"intel-rapl:0 Package-0 5", "intel-rapl:0:0 Core 5", "intel-rapl:x package-0 5",
        "intel-rapl:0:0:0 core 5", "intel-rapl:0:1 package-0 5"},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteZones(dir, c.zones);
    if (c.spoil != nullptr) {
      // Root reads any file whatever its mode; a folder fails the read as no permission would.
      const std::string counter = dir.path() + "/class/powercap/" + c.spoil + "/energy_uj";
      std::filesystem::remove(counter);
      std::filesystem::create_directory(counter);
    }
    RaplEnergySource source(dir.path(), dir.path() + "/proc");
    EXPECT_FALSE(source.Load());
    EXPECT_FALSE(source.Offers(EnergyOperation::kCreateSamples));
    EXPECT_EQ(source.CopyChannelsInGroup("Energy Model"), nullptr);
  }
}

TEST(RaplEnergySourceTest, CountersOneSecondApartGiveWattsInTheDocument) {
  const struct {
    const char* what;
    std::vector<std::string> zones;
    double cpu_joules, gpu_joules;  // counted between the two requests
  } cases[] = {
      {"Intel laptop: the cores and the uncore",
       {"intel-rapl:0 package-0 3000 9003000", "intel-rapl:0:0 core 1000 6001000",
        "intel-rapl:0:1 uncore 1000 2001000", "intel-rapl:0:2 dram 300 2000300",
        "intel-rapl:1 psys 3000 18003000"},
       6.0,
       2.0},
      {"Zen desktop: the package, whatever its core zone (one core) counted",
       {"cpuinfo AuthenticAMD", "intel-rapl:0 package-0 1000 39701000",
        "intel-rapl:0:0 core 1000 3071000"},
       39.7,
       0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteZones(dir, c.zones);
    RaplEnergySource source(dir.path(), dir.path() + "/proc");
    ResetPowerReaderForTesting(&source);
    SensorServer::Readers readers;
    readers.temps = [](OstrelTemp*, int32_t) { return 0; };
    readers.fans = [](OstrelFan*, int32_t) { return 0; };
    testing::FakeLoginItem login;
    SensorServer server(login, 0, readers);
    server.start();
    auto now = [] {
      return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
    auto power = [&] {
      const std::string body =
          testing::BodyOf(testing::Exchange(server.boundPort(), "GET / HTTP/1.1\r\n\r\n"));
      return nlohmann::json::parse(body)["power"];
    };
    const double a1 = now();
    EXPECT_EQ(power(), nlohmann::json::object()) << "the first request only primes";
    const double b1 = now();
    WriteZones(dir, c.zones, /*later=*/true);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double a2 = now();
    const nlohmann::json second = power();
    const double b2 = now();
    ResetPowerReaderForTesting(nullptr);

    ASSERT_EQ(second.size(), 4u) << second.dump();
    // The reader's interval lies between the end of the first request and the start of the
    // second (shortest) and the start of the first and the end of the second (longest); within
    // 1 % of the joules over that interval, however long the requests themselves took.
    const double cpu = second["cpu"], gpu = second["gpu"];
    const double shortest = a2 - b1, longest = b2 - a1;
    EXPECT_GE(cpu, c.cpu_joules / longest * 0.99);
    EXPECT_LE(cpu, c.cpu_joules / shortest * 1.01);
    EXPECT_GE(gpu, c.gpu_joules / longest * 0.99);
    EXPECT_LE(gpu, c.gpu_joules / shortest * 1.01);
    EXPECT_EQ(second["ane"], 0.0);
    EXPECT_DOUBLE_EQ(second["soc"], cpu + gpu);
  }
}

}  // namespace
}  // namespace ostrel
