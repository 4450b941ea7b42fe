// The power reader's logic over a scripted energy source: initialisation outcomes, the sampling
// chain, channel and unit matching, and the conversion to watts.
#include "sensors/power.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sensors/ostrel_sensors.h"
#include "tests/fake_energy_source.h"

namespace ostrel {
namespace {

using testing::FakeChannel;
using testing::FakeEnergySource;

constexpr double kPoison = 99.0;  // what the outputs hold before each call

struct Reading {
  int32_t status;
  double cpu, gpu, ane, soc;
};

class PowerReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetPowerReaderForTesting(&fake_); }
  void TearDown() override {
    EXPECT_EQ(fake_.violations, 0);
    ResetPowerReaderForTesting(nullptr);
    EXPECT_EQ(fake_.LiveObjects(), 0) << "the reset releases everything the reader held";
  }

  static Reading Read() {
    Reading r{7, kPoison, kPoison, kPoison, kPoison};
    r.status = ostrel_read_power(&r.cpu, &r.gpu, &r.ane, &r.soc);
    return r;
  }
  // Status -1 with all four outputs overwritten with 0.0.
  static void ExpectNoReading(const Reading& r) {
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.cpu, 0.0);
    EXPECT_EQ(r.gpu, 0.0);
    EXPECT_EQ(r.ane, 0.0);
    EXPECT_EQ(r.soc, 0.0);
  }

  FakeEnergySource fake_;
};

// --- Initialisation ---

struct InitCase {
  const char* name;
  void (*script)(FakeEnergySource*);  // how the source fails
  int offer_queries;                  // expected calls of Offers
  int group_copies;                   // expected calls of CopyChannelsInGroup
  int subscriptions;                  // expected calls of CreateSubscription
};

// The fake with one required operation missing.
template <EnergyOperation kOperation>
void Without(FakeEnergySource* fake) {
  fake->offers[static_cast<int>(kOperation)] = false;
}

TEST_F(PowerReaderTest, EveryInitialisationFailureIsFinal) {
  using Op = EnergyOperation;
  const InitCase cases[] = {
      {"load fails", [](FakeEnergySource* f) { f->load_ok = false; }, 0, 0, 0},
      {"no CopyChannelsInGroup", Without<Op::kCopyChannelsInGroup>, 8, 0, 0},
      {"no CreateSubscription", Without<Op::kCreateSubscription>, 8, 0, 0},
      {"no CreateSamples", Without<Op::kCreateSamples>, 8, 0, 0},
      {"no CreateSamplesDelta", Without<Op::kCreateSamplesDelta>, 8, 0, 0},
      {"no Iterate", Without<Op::kIterate>, 8, 0, 0},
      {"no ChannelGetChannelName", Without<Op::kChannelGetChannelName>, 8, 0, 0},
      {"no SimpleGetIntegerValue", Without<Op::kSimpleGetIntegerValue>, 8, 0, 0},
      {"no channel group", [](FakeEnergySource* f) { f->has_group = false; }, 8, 1, 0},
      {"no subscription", [](FakeEnergySource* f) { f->subscription_ok = false; }, 8, 1, 1},
  };
  for (const InitCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnergySource fake;
    fake.channels = {{"CPU Energy", "mJ", 1000}};
    c.script(&fake);
    ResetPowerReaderForTesting(&fake);

    ExpectNoReading(Read());
    const int calls_after_first = fake.TotalCalls();
    for (int k = 0; k < 3; ++k) ExpectNoReading(Read());

    EXPECT_EQ(fake.TotalCalls(), calls_after_first) << "a failed initialisation is never retried";
    EXPECT_EQ(fake.loads, 1);
    EXPECT_EQ(fake.offer_queries, c.offer_queries) << "all are resolved before any is tested";
    EXPECT_EQ(fake.group_copies, c.group_copies);
    EXPECT_EQ(fake.subscriptions, c.subscriptions);
    EXPECT_EQ(fake.samples, 0);
    EXPECT_EQ(fake.clock_reads, 0);
    EXPECT_EQ(fake.LiveObjects(), 0) << "the group set and its copy are released";
    EXPECT_EQ(fake.violations, 0);
    ResetPowerReaderForTesting(nullptr);
  }
  ResetPowerReaderForTesting(&fake_);
}

TEST_F(PowerReaderTest, SuccessfulInitialisationSubscribesToTheEnergyModelGroupOnce) {
  fake_.channels = {{"CPU Energy", "mJ", 1000}};
  ExpectNoReading(Read());
  for (int k = 0; k < 3; ++k) EXPECT_EQ(Read().status, 0);
  EXPECT_EQ(fake_.loads, 1);
  EXPECT_EQ(fake_.offer_queries, 8);
  EXPECT_EQ(fake_.group_copies, 1);
  EXPECT_EQ(fake_.last_group, "Energy Model");
  EXPECT_EQ(fake_.mutable_copies, 1);
  EXPECT_EQ(fake_.subscriptions, 1);
  EXPECT_EQ(fake_.subscribed_with, FakeEnergySource::kCopy);
  EXPECT_EQ(fake_.live_at_subscription, 1) << "the group set is released once copied";
  EXPECT_EQ(fake_.sampled_over, FakeEnergySource::kCopy);
  EXPECT_EQ(fake_.live_channels, 1) << "the group set is released, the copy kept";
  EXPECT_EQ(fake_.live_subscriptions, 1);
}

TEST_F(PowerReaderTest, ChannelsHandedBackByTheSubscriptionAreSampled) {
  fake_.hands_back_channels = true;
  ExpectNoReading(Read());
  EXPECT_EQ(Read().status, 0);
  EXPECT_EQ(fake_.subscribed_with, FakeEnergySource::kCopy);
  EXPECT_EQ(fake_.sampled_over, FakeEnergySource::kHandedBack);
  EXPECT_EQ(fake_.live_channels, 1) << "the copy is released when the subscription has its own";
}

// --- The sampling chain ---

TEST_F(PowerReaderTest, FirstCallOnlyPrimes) {
  fake_.channels = {{"CPU Energy", "mJ", 2000}};
  fake_.clock = {500.0, 502.0};
  ExpectNoReading(Read());
  EXPECT_EQ(fake_.samples, 1);
  EXPECT_EQ(fake_.live_samples, 1);
  EXPECT_EQ(fake_.deltas, 0);
  const Reading r = Read();
  EXPECT_EQ(r.status, 0);
  EXPECT_DOUBLE_EQ(r.cpu, 1.0);  // 2 J over 2 s
  EXPECT_EQ(fake_.live_samples, 1);
  EXPECT_EQ(fake_.live_deltas, 0) << "the delta is released before returning";
}

TEST_F(PowerReaderTest, ShortIntervalsKeepTheOlderSample) {
  fake_.channels = {{"CPU Energy", "J", 3}};
  // 100.0 primes; 100.03 and 100.0499 come too soon; 100.25 measures from 100.0.
  fake_.clock = {100.0, 100.03, 100.0499, 100.25};
  ExpectNoReading(Read());
  ExpectNoReading(Read());
  EXPECT_EQ(fake_.live_samples, 1) << "the rejected sample is released";
  ExpectNoReading(Read());
  const Reading r = Read();
  EXPECT_EQ(r.status, 0);
  EXPECT_DOUBLE_EQ(r.cpu, 3 / 0.25);
  EXPECT_EQ(fake_.deltas, 1);
  ASSERT_EQ(fake_.delta_pairs.size(), 1u);
  EXPECT_EQ(fake_.delta_pairs[0], std::make_pair(1, 4));
}

TEST_F(PowerReaderTest, AnIntervalOfExactlyTheMinimumCounts) {
  fake_.channels = {{"CPU Energy", "J", 1}};
  fake_.clock = {0.0, 0.05};
  ExpectNoReading(Read());
  const Reading r = Read();
  EXPECT_EQ(r.status, 0);
  EXPECT_DOUBLE_EQ(r.cpu, 20.0);
}

TEST_F(PowerReaderTest, AClockSetBackCountsAsTooShort) {
  fake_.channels = {{"CPU Energy", "J", 4}};
  fake_.clock = {1000.0, 900.0, 1002.0};
  ExpectNoReading(Read());
  ExpectNoReading(Read());
  EXPECT_EQ(fake_.deltas, 0);
  EXPECT_EQ(fake_.live_samples, 1);
  const Reading r = Read();
  EXPECT_EQ(r.status, 0);
  EXPECT_DOUBLE_EQ(r.cpu, 2.0);  // 4 J over the 2 s since 1000.0
  EXPECT_EQ(fake_.delta_pairs, (std::vector<std::pair<int, int>>{{1, 3}}));
}

TEST_F(PowerReaderTest, AFailedSampleLeavesTheChain) {
  fake_.channels = {{"CPU Energy", "J", 6}};
  fake_.sample_results = {false, true, false, true};
  fake_.clock = {10.0, 13.0};
  ExpectNoReading(Read());  // no sample: nothing stored, clock not read
  EXPECT_EQ(fake_.clock_reads, 0);
  EXPECT_EQ(fake_.live_samples, 0);
  ExpectNoReading(Read());  // primes at 10.0
  ExpectNoReading(Read());  // fails again: the primed sample stays
  EXPECT_EQ(fake_.clock_reads, 1);
  EXPECT_EQ(fake_.live_samples, 1);
  const Reading r = Read();
  EXPECT_EQ(r.status, 0);
  EXPECT_DOUBLE_EQ(r.cpu, 2.0);
  EXPECT_EQ(fake_.delta_pairs, (std::vector<std::pair<int, int>>{{1, 2}}));
}

TEST_F(PowerReaderTest, AFailedDeltaStillAdvancesTheChain) {
  fake_.channels = {{"CPU Energy", "J", 8}};
  fake_.delta_results = {false, true};
  fake_.clock = {10.0, 11.0, 15.0};
  ExpectNoReading(Read());
  ExpectNoReading(Read());  // delta 1 -> 2 fails
  EXPECT_EQ(fake_.live_samples, 1) << "the old sample is released, the new one stored";
  EXPECT_EQ(fake_.iterations, 0);
  const Reading r = Read();
  EXPECT_EQ(r.status, 0);
  EXPECT_DOUBLE_EQ(r.cpu, 2.0);  // 8 J over 15.0 - 11.0
  EXPECT_EQ(fake_.delta_pairs, (std::vector<std::pair<int, int>>{{2, 3}}));
}

TEST_F(PowerReaderTest, NoUpperLimitOnTheInterval) {
  fake_.channels = {{"CPU Energy", "J", 86400}};
  fake_.clock = {0.0, 86400.0};
  ExpectNoReading(Read());
  EXPECT_DOUBLE_EQ(Read().cpu, 1.0);
}

// --- Channels and units ---

struct VisitCase {
  const char* name;
  bool unit_labels;  // whether the source offers UnitLabel
  std::vector<FakeChannel> channels;
  double cpu, gpu, ane;  // expected joules, read over 1 s
};

void PrintTo(const VisitCase& c, std::ostream* os) { *os << c.name; }

class PowerVisitTest : public PowerReaderTest, public ::testing::WithParamInterface<VisitCase> {};

TEST_P(PowerVisitTest, ConvertsCountsToWatts) {
  const VisitCase& c = GetParam();
  fake_.offers[static_cast<int>(EnergyOperation::kChannelGetUnitLabel)] = c.unit_labels;
  fake_.channels = c.channels;
  fake_.clock = {50.0, 51.0};
  ExpectNoReading(Read());
  const Reading r = Read();
  EXPECT_EQ(r.status, 0);
  EXPECT_DOUBLE_EQ(r.cpu, c.cpu);
  EXPECT_DOUBLE_EQ(r.gpu, c.gpu);
  EXPECT_DOUBLE_EQ(r.ane, c.ane);
  EXPECT_DOUBLE_EQ(r.soc, (c.cpu + c.gpu) + c.ane);
  if (!c.unit_labels) {
    EXPECT_EQ(fake_.units, 0);
  }
}

const std::string k128ByteName = "CPU Energy" + std::string(118, ' ');
const std::string k127ByteName = "CPU Energy" + std::string(117, ' ');

INSTANTIATE_TEST_SUITE_P(
    Visitor, PowerVisitTest,
    ::testing::Values(
        VisitCase{"no unit labels: CPU and ANE in mJ, GPU in nJ",
                  false,
                  {{"CPU Energy", "J", 1500}, {"GPU Energy", "J", 2000000000}, {"ANE", "J", 250}},
                  1.5,
                  2.0,
                  0.25},
        VisitCase{"missing labels give the defaults",
                  true,
                  {{"CPU Energy", std::nullopt, 1500},
                   {"GPU Energy", std::nullopt, 2000000000},
                   {"ANE Energy", std::nullopt, 250}},
                  1.5,
                  2.0,
                  0.25},
        VisitCase{
            "listed labels",
            true,
            {{"CPU Energy", "uJ", 3000000}, {"GPU Energy", "mJ", 500}, {"ANE", "nJ", 7000000}},
            3.0,
            0.5,
            0.007},
        VisitCase{"J is one joule per count",
                  true,
                  {{"CPU Energy", "J", 3}, {"GPU Energy", "J", 2}, {"ANE", "J", 1}},
                  3.0,
                  2.0,
                  1.0},
        VisitCase{
            "unlisted labels keep the defaults",
            true,
            {{"CPU Energy", "kJ", 1000}, {"GPU Energy", "UJ", 1000000000}, {"ANE", "mj", 1000}},
            1.0,
            1.0,
            1.0},
        VisitCase{"labels that don't fit keep the defaults",
                  true,
                  {{"CPU Energy", "uJuJuJuJuJuJuJuJ", 1000},                 // 16 bytes
                   {"GPU Energy", "J" + std::string(15, '\0'), 1000000000},  // 16 bytes
                   {"ANE", std::string("J\0", 2), 1000}},                    // not the whole text
                  1.0,
                  1.0,
                  1.0},
        VisitCase{"a 15-byte unlisted label keeps the default",
                  true,
                  {{"CPU Energy", "microjoules....", 1000}},
                  1.0,
                  0.0,
                  0.0},
        VisitCase{"names match whole and by case only",
                  true,
                  {{"cpu energy", "J", 1},
                   {"CPU Energy ", "J", 1},
                   {" CPU Energy", "J", 1},
                   {"CPU", "J", 1},
                   {"CPU Energy2", "J", 1},
                   {"GPU energy", "J", 1},
                   {"ane", "J", 1},
                   {"ANE Energy (total)", "J", 1},
                   {std::string("CPU Energy\0", 11), "J", 1},
                   {std::nullopt, "J", 1},
                   {k128ByteName, "J", 1},
                   {k127ByteName, "J", 1},
                   {"", "J", 1},
                   {"GPU Energy", "J", 5}},
                  0.0,
                  5.0,
                  0.0},
        VisitCase{"a later channel of one kind replaces, never adds",
                  true,
                  {{"ANE", "J", 1},
                   {"ANE Energy", "J", 3},
                   {"CPU Energy", "J", 2},
                   {"CPU Energy", "J", 4}},
                  4.0,
                  0.0,
                  3.0},
        VisitCase{"replacement follows the iteration order",
                  true,
                  {{"ANE Energy", "J", 3}, {"ANE", "J", 1}},
                  0.0,
                  0.0,
                  1.0},
        VisitCase{"negative counts are not clamped",
                  true,
                  {{"CPU Energy", "mJ", -500}, {"GPU Energy", "nJ", -250000000}},
                  -0.5,
                  -0.25,
                  0.0},
        VisitCase{"absent kinds read 0", true, {}, 0.0, 0.0, 0.0}),
    [](const ::testing::TestParamInfo<VisitCase>& info) {
      return "Case" + std::to_string(info.index);
    });

TEST_F(PowerReaderTest, SocIsTheSumOfTheEnergiesDividedOnce) {
  // Over 3 s, 1 + 1 + 3 J: one division gives 5/3 rounded once, which differs in the last bit
  // from the sum of the three quotients.
  fake_.channels = {{"CPU Energy", "J", 1}, {"GPU Energy", "J", 1}, {"ANE", "J", 3}};
  fake_.clock = {0.0, 3.0};
  ExpectNoReading(Read());
  const Reading r = Read();
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.soc, 5.0 / 3.0);
  EXPECT_NE(r.soc, (r.cpu + r.gpu) + r.ane);
}

TEST_F(PowerReaderTest, SocAddsCpuAndGpuFirst) {
  // 1e16 + 1 rounds back to 1e16 (doubles are 2 apart there), so the order of the additions
  // shows: (1e16 + 1) + 1 = 1e16, whereas 1e16 + (1 + 1) would be 1e16 + 2.
  fake_.channels = {
      {"ANE", "J", 1}, {"GPU Energy", "J", 1}, {"CPU Energy", "J", 10000000000000000}};
  fake_.clock = {0.0, 1.0};
  ExpectNoReading(Read());
  const Reading r = Read();
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.soc, 1e16);
  EXPECT_NE(r.soc, 1e16 + 2);
}

TEST_F(PowerReaderTest, OutputsAreZeroedOnEveryFailure) {
  // A reading leaves values in the outputs; every later -1 must clear all four.
  fake_.channels = {{"CPU Energy", "J", 1}, {"GPU Energy", "J", 1}, {"ANE", "J", 1}};
  fake_.clock = {0.0, 1.0, 1.01, 3.0, 4.0};
  fake_.sample_results = {true, true, true, false, true, true};
  fake_.delta_results = {true, false};
  double cpu = 0, gpu = 0, ane = 0, soc = 0;
  auto call = [&] { return ostrel_read_power(&cpu, &gpu, &ane, &soc); };
  auto zeros = [&] { return cpu == 0.0 && gpu == 0.0 && ane == 0.0 && soc == 0.0; };
  EXPECT_EQ(call(), -1);  // primes at 0.0
  EXPECT_TRUE(zeros());
  EXPECT_EQ(call(), 0);  // 1.0
  EXPECT_FALSE(zeros());
  EXPECT_EQ(call(), -1);  // 1.01: too short
  EXPECT_TRUE(zeros());
  cpu = gpu = ane = soc = kPoison;
  EXPECT_EQ(call(), -1);  // no sample
  EXPECT_TRUE(zeros());
  cpu = gpu = ane = soc = kPoison;
  EXPECT_EQ(call(), -1);  // 3.0: no delta
  EXPECT_TRUE(zeros());
  EXPECT_EQ(call(), 0);  // 4.0
  EXPECT_DOUBLE_EQ(soc, 3.0);
}

}  // namespace
}  // namespace ostrel
