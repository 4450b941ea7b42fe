// The power reader's logic over a scripted energy source: initialisation outcomes, the sampling
// chain, channel and unit matching, the conversion to watts, and the server's power lock.
#include "sensors/power.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sensors/ostrel_sensors.h"
#include "server/sensor_server.h"
#include "tests/fake_energy_source.h"
#include "tests/fake_login_item.h"
#include "tests/test_util.h"

namespace ostrel {
namespace {

using testing::FakeChannel;
using testing::FakeEnergySource;

// The reader over `fake` for the guard's life; afterwards it must have released everything.
struct Over {
  explicit Over(FakeEnergySource& fake) : fake(fake) { ResetPowerReaderForTesting(&fake); }
  ~Over() {
    ResetPowerReaderForTesting(nullptr);
    EXPECT_EQ(FakeEnergySource::Total(fake.live), 0);
    EXPECT_EQ(fake.violations, 0);
  }
  FakeEnergySource& fake;
};

struct Reading {
  int32_t status;
  double cpu, gpu, ane, soc;
};

// One call over outputs that hold other values; any -1 must leave all four at 0.0.
Reading Read() {
  Reading r{7, 99, 99, 99, 99};
  r.status = ostrel_read_power(&r.cpu, &r.gpu, &r.ane, &r.soc);
  if (r.status != 0) {
    EXPECT_EQ(r.status, -1);
    EXPECT_TRUE(r.cpu == 0.0 && r.gpu == 0.0 && r.ane == 0.0 && r.soc == 0.0);
  }
  return r;
}

// The initialisation runs once: a failure is final and never retried; a success subscribes to a
// copy of the "Energy Model" group and samples over it, or over the set the subscription hands
// back.
TEST(PowerReaderTest, InitialisationOutcomes) {
  struct Case {
    std::string name;
    std::function<void(FakeEnergySource&)> script;
    int offers, groups, subscriptions;  // expected calls
    bool ok;
  };
  std::vector<Case> cases = {
      {"succeeds", [](auto&) {}, 8, 1, 1, true},
      {"succeeds, with a set of its own", [](auto& f) { f.hands_back_channels = true; }, 8, 1, 1,
       true},
      {"load fails", [](auto& f) { f.load_ok = false; }, 0, 0, 0, false},
      {"no channel group", [](auto& f) { f.has_group = false; }, 8, 1, 0, false},
      {"no subscription", [](auto& f) { f.subscription_ok = false; }, 8, 1, 1, false},
  };
  for (int op = 0; op < 7; ++op) {  // every operation but the unit label is required
    cases.push_back({"operation " + std::to_string(op) + " missing",
                     [op](auto& f) { f.offers[op] = false; }, 8, 0, 0, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnergySource fake;
    c.script(fake);
    Over over(fake);
    Read();
    const int calls = FakeEnergySource::Total(fake.calls);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(Read().status, c.ok ? 0 : -1);
    EXPECT_EQ(fake.calls["Load"], 1);
    EXPECT_EQ(fake.calls["Offers"], c.offers) << "all are resolved before any is tested";
    EXPECT_EQ(fake.calls["CopyChannelsInGroup"], c.groups);
    EXPECT_EQ(fake.calls["CreateSubscription"], c.subscriptions);
    EXPECT_EQ(fake.group, c.groups > 0 ? "Energy Model" : "");
    if (!c.ok) {
      EXPECT_EQ(FakeEnergySource::Total(fake.calls), calls) << "never retried";
      EXPECT_EQ(fake.calls["CreateSamples"], 0);
      EXPECT_EQ(FakeEnergySource::Total(fake.live), 0) << "the group set and its copy released";
      continue;
    }
    EXPECT_EQ(fake.subscribed_with, FakeEnergySource::kCopy);
    EXPECT_EQ(fake.sampled_over,
              fake.hands_back_channels ? FakeEnergySource::kHandedBack : FakeEnergySource::kCopy);
    EXPECT_EQ(fake.live["channels"], 1) << "only the set sampled over is kept";
    EXPECT_EQ(fake.live["subscription"], 1);
  }
}

struct ChainCase {
  const char* name;
  std::vector<double> cpu;                       // per call: watts from 6 J, or kNone
  std::vector<std::pair<int, int>> deltas_made;  // (older, newer) sample numbers
  std::deque<double> clock;
  std::deque<bool> samples = {}, deltas = {};  // outcomes of CreateSamples, CreateSamplesDelta
};
constexpr double kNone = -1;  // no reading

TEST(PowerReaderTest, SamplingChain) {
  const ChainCase cases[] = {
      ChainCase("the first call only primes", {kNone, 3}, {{1, 2}}, {500, 502}),
      ChainCase("too soon keeps the older sample", {kNone, kNone, kNone, 24}, {{1, 4}},
                {100, 100.03, 100.0499, 100.25}),
      ChainCase("0.05 s is enough", {kNone, 120}, {{1, 2}}, {0, 0.05}),
      ChainCase("a clock set back is too soon", {kNone, kNone, 3}, {{1, 3}}, {1000, 900, 1002}),
      ChainCase("a failed sample leaves the chain", {kNone, kNone, kNone, 2}, {{1, 2}}, {10, 13},
                {false, true, false, true}),
      ChainCase("a failed delta still advances it", {kNone, kNone, 1.5}, {{2, 3}}, {10, 11, 15}, {},
                {false, true}),
      ChainCase("no upper limit", {kNone, 6.0 / 86400}, {{1, 2}}, {0, 86400}),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnergySource fake;
    fake.channels = {{"CPU Energy", "J", 6}};
    fake.clock = c.clock;
    fake.sample_results = c.samples;
    fake.delta_results = c.deltas;
    Over over(fake);
    for (double want : c.cpu) {
      const Reading r = Read();
      EXPECT_EQ(r.status, want == kNone ? -1 : 0);
      if (want != kNone) {
        EXPECT_DOUBLE_EQ(r.cpu, want);
      }
    }
    EXPECT_EQ(fake.delta_pairs, c.deltas_made);
    EXPECT_EQ(fake.live["sample"], 1) << "one sample kept, the rejected ones released";
    EXPECT_EQ(fake.live["delta"], 0);
  }
}

// Channels whose names are no listed kind, then "GPU Energy" at 5 J.
std::vector<FakeChannel> NotNames() {
  std::vector<FakeChannel> channels = {{std::nullopt, "J", 1},
                                       {std::string("CPU Energy\0", 11), "J", 1},
                                       {"CPU Energy" + std::string(118, ' '), "J", 1}};
  for (const char* name : {"cpu energy", "CPU Energy ", " CPU Energy", "CPU", "GPU energy", "ane",
                           "ANE Energy (total)", ""}) {
    channels.push_back({name, "J", 1});
  }
  channels.push_back({"GPU Energy", "J", 5});
  return channels;
}

struct ChannelCase {
  const char* name;
  bool unit_labels;      // whether the source offers them
  double cpu, gpu, ane;  // watts over 1 s
  std::vector<FakeChannel> channels;
};

TEST(PowerReaderTest, ChannelsAndUnits) {
  const ChannelCase cases[] = {
      ChannelCase("without unit labels: CPU and ANE in mJ, GPU in nJ", false, 1.5, 2.0, 0.25,
                  {{"CPU Energy", "J", 1500}, {"GPU Energy", "J", 2000000000}, {"ANE", "J", 250}}),
      ChannelCase(
          "missing labels: the defaults", true, 1.5, 2.0, 0.25,
          {{"CPU Energy", {}, 1500}, {"GPU Energy", {}, 2000000000}, {"ANE Energy", {}, 250}}),
      ChannelCase(
          "listed labels", true, 3.0, 0.5, 0.007,
          {{"CPU Energy", "uJ", 3000000}, {"GPU Energy", "mJ", 500}, {"ANE", "nJ", 7000000}}),
      ChannelCase(
          "unlisted labels: the defaults", true, 1.0, 1.0, 1.0,
          {{"CPU Energy", "kJ", 1000}, {"GPU Energy", "UJ", 1000000000}, {"ANE", "mj", 1000}}),
      ChannelCase("labels that don't fit or aren't whole: the defaults", true, 1.0, 1.0, 1.0,
                  {{"CPU Energy", "uJuJuJuJuJuJuJuJ", 1000},
                   {"GPU Energy", "J" + std::string(15, '\0'), 1000000000},
                   {"ANE", std::string("J\0", 2), 1000}}),
      ChannelCase("names match whole and by case only", true, 0.0, 5.0, 0.0, NotNames()),
      ChannelCase("a later channel of a kind replaces, never adds", true, 4.0, 0.0, 3.0,
                  {{"ANE", "J", 1},
                   {"ANE Energy", "J", 3},
                   {"CPU Energy", "J", 2},
                   {"CPU Energy", "J", 4}}),
      ChannelCase("the later one in either order", true, 0.0, 0.0, 1.0,
                  {{"ANE Energy", "J", 3}, {"ANE", "J", 1}}),
      ChannelCase(
          "negative counts stay negative", true, -0.5, -0.25, 2.0,
          {{"CPU Energy", "mJ", -500}, {"GPU Energy", "nJ", -250000000}, {"ANE Energy", "J", 2}}),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnergySource fake;
    fake.offers[static_cast<int>(EnergyOperation::kChannelGetUnitLabel)] = c.unit_labels;
    fake.channels = c.channels;
    Over over(fake);
    Read();
    const Reading r = Read();
    ASSERT_EQ(r.status, 0);
    EXPECT_DOUBLE_EQ(r.cpu, c.cpu);
    EXPECT_DOUBLE_EQ(r.gpu, c.gpu);
    EXPECT_DOUBLE_EQ(r.ane, c.ane);
    EXPECT_DOUBLE_EQ(r.soc, (c.cpu + c.gpu) + c.ane);
  }
}

// soc is the three energies summed, then divided once: 5 J over 3 s, which differs in the last
// bit from the sum of the three quotients.
TEST(PowerReaderTest, SocSumsTheEnergiesThenDividesOnce) {
  FakeEnergySource fake;
  fake.channels = {{"CPU Energy", "J", 1}, {"GPU Energy", "J", 1}, {"ANE", "J", 3}};
  fake.clock = {0, 3};
  Over over(fake);
  Read();
  const Reading r = Read();
  EXPECT_EQ(r.soc, 5.0 / 3.0);
  EXPECT_NE(r.soc, (r.cpu + r.gpu) + r.ane);
}

TEST(PowerConcurrencyTest, TheServerHoldsThePowerLockAroundEveryReading) {
  FakeEnergySource fake;
  fake.channels = {{"CPU Energy", "J", 1}, {"GPU Energy", "J", 2}};  // samples 1 s apart
  SensorServer::Readers readers;  // the real power reader, no temperatures or fans
  readers.temps = [](OstrelTemp*, int32_t) { return 0; };
  readers.fans = [](OstrelFan*, int32_t) { return 0; };
  testing::FakeLoginItem login;
  SensorServer server(login, 0, readers);
  std::atomic<int> unlocked{0};
  fake.on_sample = [&] {  // another thread must find the lock taken while the reader runs
    std::thread([&] {
      if (server.powerLock().try_lock()) {
        server.powerLock().unlock();
        ++unlocked;
      }
    }).join();
  };
  Over over(fake);
  server.start();

  constexpr int kThreads = 8, kRequests = 12;
  std::atomic<int> primed{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        // Half the threads go through the listener's workers, half call the document directly.
        const std::string body =
            t % 2
                ? server.snapshotJSON()
                : testing::BodyOf(testing::Exchange(server.boundPort(), "GET / HTTP/1.1\r\n\r\n"));
        const nlohmann::json power = nlohmann::json::parse(body)["power"];
        primed += power.empty();
        wrong +=
            !power.empty() && (power["cpu"] != 1.0 || power["gpu"] != 2.0 || power["soc"] != 3.0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(primed.load(), 1) << "only the very first reading primes";
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(unlocked.load(), 0);
  // One sample per reading; the listener's requests may share readings.
  EXPECT_GT(fake.calls["CreateSamples"], kThreads / 2 * kRequests);
  EXPECT_LE(fake.calls["CreateSamples"], kThreads * kRequests);
}

}  // namespace
}  // namespace ostrel
