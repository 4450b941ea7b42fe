// The power reader end to end: RAPL fixture counters through the real reader into the snapshot
// document, and the server's power lock around every reading under concurrent requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/rapl_energy_source.h"
#include "sensors/power.h"
#include "server/sensor_server.h"
#include "tests/fake_energy_source.h"
#include "tests/fake_login_item.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::BodyOf;
using testing::Exchange;
using testing::FakeEnergySource;
using testing::FakeLoginItem;
using testing::TempDir;

// The real readers for power, none for the rest.
SensorServer::Readers PowerOnly() {
  SensorServer::Readers readers;
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  return readers;  // power stays ostrel_read_power
}

// The RAPL source with its clock replaced by a script, so that the interval is known exactly.
class ScriptedClockRapl : public RaplEnergySource {
 public:
  using RaplEnergySource::RaplEnergySource;
  double Now() override {
    const double now = times.front();
    times.pop_front();
    return now;
  }
  std::deque<double> times;  // one per sample, in order
};

// An Intel laptop's zones: package, core, uncore, dram and psys.
void WriteIntelTree(const TempDir& dir, int64_t package, int64_t core, int64_t uncore) {
  auto zone = [&](const std::string& entry, const std::string& name, int64_t energy) {
    dir.Write("class/powercap/" + entry + "/name", name + "\n");
    dir.Write("class/powercap/" + entry + "/energy_uj", std::to_string(energy) + "\n");
    dir.Write("class/powercap/" + entry + "/max_energy_range_uj", "262143328850\n");
  };
  zone("intel-rapl:0", "package-0", package);
  zone("intel-rapl:0:0", "core", core);
  zone("intel-rapl:0:1", "uncore", uncore);
  zone("intel-rapl:0:2", "dram", package / 3);
  zone("intel-rapl:1", "psys", package * 2);
}

class PowerServerTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetPowerReaderForTesting(nullptr); }
  FakeLoginItem login_;
};

TEST_F(PowerServerTest, RaplJoulesOverOneSecondBecomeWattsInTheDocument) {
  TempDir dir;
  WriteIntelTree(dir, 80000000, 50000000, 9000000);
  ScriptedClockRapl source(dir.path());
  source.times = {1700000000.0, 1700000001.0};
  ResetPowerReaderForTesting(&source);
  SensorServer server(login_, 0, PowerOnly());

  auto first = nlohmann::json::parse(server.snapshotJSON());
  EXPECT_EQ(first["power"], nlohmann::json::object()) << "the first request only primes";
  // One second later the counters have grown by 3.25 J (core), 0.75 J (uncore).
  WriteIntelTree(dir, 80000000 + 5000000, 50000000 + 3250000, 9000000 + 750000);
  auto second = nlohmann::json::parse(server.snapshotJSON());
  const auto& power = second["power"];
  ASSERT_EQ(power.size(), 4u) << second.dump();
  EXPECT_NEAR(power["cpu"].get<double>(), 3.25, 3.25 * 0.01);
  EXPECT_NEAR(power["gpu"].get<double>(), 0.75, 0.75 * 0.01);
  EXPECT_EQ(power["ane"].get<double>(), 0.0);
  EXPECT_DOUBLE_EQ(power["soc"].get<double>(),
                   power["cpu"].get<double>() + power["gpu"].get<double>());
  EXPECT_DOUBLE_EQ(power["soc"].get<double>(), 4.0);
}

TEST_F(PowerServerTest, RaplOverLoopbackWithTheRealClock) {
  TempDir dir;
  WriteIntelTree(dir, 1000, 1000, 1000);
  RaplEnergySource source(dir.path());
  ResetPowerReaderForTesting(&source);
  SensorServer server(login_, 0, PowerOnly());
  server.start();
  const uint16_t port = server.boundPort();
  ASSERT_NE(port, 0);

  auto now = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const double a1 = now();
  const std::string body1 = BodyOf(Exchange(port, "GET / HTTP/1.1\r\n\r\n"));
  const double b1 = now();
  EXPECT_EQ(nlohmann::json::parse(body1)["power"], nlohmann::json::object());
  WriteIntelTree(dir, 1000 + 9000000, 1000 + 6000000, 1000 + 2000000);  // 6 J and 2 J
  std::this_thread::sleep_until(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(a1 + 1.0))));
  const double a2 = now();
  const std::string body2 = BodyOf(Exchange(port, "GET / HTTP/1.1\r\n\r\n"));
  const double b2 = now();

  const auto power = nlohmann::json::parse(body2)["power"];
  ASSERT_EQ(power.size(), 4u) << body2;
  const double cpu = power["cpu"].get<double>();
  const double gpu = power["gpu"].get<double>();
  // The reader's interval lies between the requests' bounds...
  EXPECT_GE(cpu, 6.0 / (b2 - a1));
  EXPECT_LE(cpu, 6.0 / (a2 - b1));
  EXPECT_GE(gpu, 2.0 / (b2 - a1));
  EXPECT_LE(gpu, 2.0 / (a2 - b1));
  // ...and, the requests taking far less than 10 ms, within 1 % of the joules per second
  // between their midpoints.
  const double interval = (a2 + b2) / 2 - (a1 + b1) / 2;
  EXPECT_NEAR(cpu, 6.0 / interval, 6.0 / interval * 0.01);
  EXPECT_NEAR(gpu, 2.0 / interval, 2.0 / interval * 0.01);
  EXPECT_EQ(power["ane"].get<double>(), 0.0);
  EXPECT_DOUBLE_EQ(power["soc"].get<double>(), cpu + gpu);
}

TEST_F(PowerServerTest, UnreadableCountersMeanNoPowerForTheLifeOfTheProcess) {
  TempDir dir;
  WriteIntelTree(dir, 1000, 1000, 1000);
  const std::string zones[] = {"intel-rapl:0", "intel-rapl:0:0", "intel-rapl:0:1"};
  for (const std::string& zone : zones) {
    const std::string counter = dir.path() + "/class/powercap/" + zone + "/energy_uj";
    std::filesystem::remove(counter);
    std::filesystem::create_directory(counter);  // reading it fails, as for a non-root user
  }
  ScriptedClockRapl source(dir.path());
  source.times = {1.0, 2.0, 3.0, 4.0};
  ResetPowerReaderForTesting(&source);
  SensorServer server(login_, 0, PowerOnly());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(nlohmann::json::parse(server.snapshotJSON())["power"], nlohmann::json::object());
  }
  // Access granted later changes nothing: the source is opened once per process.
  for (const std::string& zone : zones) {
    std::filesystem::remove(dir.path() + "/class/powercap/" + zone + "/energy_uj");
  }
  WriteIntelTree(dir, 2000, 2000, 2000);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(nlohmann::json::parse(server.snapshotJSON())["power"], nlohmann::json::object());
  }
  EXPECT_EQ(source.times.size(), 4u) << "the clock was never read";
}

TEST(PowerConcurrencyTest, TheServerHoldsThePowerLockAroundEveryReading) {
  FakeLoginItem login;
  FakeEnergySource fake;
  fake.channels = {{"CPU Energy", "J", 1}, {"GPU Energy", "J", 2}};
  fake.clock_step = 0.125;  // every sample is accepted: 8 W CPU, 16 W GPU
  SensorServer server(login, 0, PowerOnly());
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> unlocked{0};
  fake.on_sample = [&] {
    if (inside.fetch_add(1) != 0) overlaps++;
    // Another thread must find the lock taken while the reader runs.
    std::thread([&] {
      if (server.powerLock().try_lock()) {
        server.powerLock().unlock();
        unlocked++;
      }
    }).join();
    inside.fetch_sub(1);
  };
  ResetPowerReaderForTesting(&fake);
  server.start();
  const uint16_t port = server.boundPort();
  ASSERT_NE(port, 0);

  constexpr int kThreads = 8;
  constexpr int kRequests = 12;
  std::vector<std::vector<std::string>> bodies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        // Half the threads go through the listener's workers, half call the document directly.
        bodies[t].push_back(t % 2 == 0 ? BodyOf(Exchange(port, "GET / HTTP/1.1\r\n\r\n"))
                                       : server.snapshotJSON());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  int primed = 0;
  int readings = 0;
  for (const auto& list : bodies) {
    for (const std::string& body : list) {
      const auto power = nlohmann::json::parse(body)["power"];
      if (power.empty()) {
        primed++;
        continue;
      }
      readings++;
      EXPECT_NEAR(power["cpu"].get<double>(), 8.0, 1e-9);
      EXPECT_NEAR(power["gpu"].get<double>(), 16.0, 1e-9);
      EXPECT_NEAR(power["soc"].get<double>(), 24.0, 1e-9);
    }
  }
  EXPECT_EQ(primed, 1) << "only the very first reading primes";
  EXPECT_EQ(readings, kThreads * kRequests - 1);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(unlocked.load(), 0);
  EXPECT_EQ(fake.samples, kThreads * kRequests);
  EXPECT_EQ(fake.violations, 0);
  ResetPowerReaderForTesting(nullptr);
}

}  // namespace
}  // namespace ostrel
