// fake_energy_source.h: a scripted energy source that counts every call and every live object.
//
// Tests set the public script fields, run the power reader over the fake, then read the
// counters. Objects the fake hands out report their destruction to the fake, so they must be
// destroyed (ResetPowerReaderForTesting) before it is. Not thread-safe by itself: the power
// reader's callers serialise every call, which concurrency tests check under TSan.
#ifndef OSTREL_TESTS_FAKE_ENERGY_SOURCE_H_
#define OSTREL_TESTS_FAKE_ENERGY_SOURCE_H_

#include <stdint.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/energy_source.h"

namespace ostrel::testing {

// One channel of every delta the fake makes.
struct FakeChannel {
  std::optional<std::string> name;  // nothing: the channel has no name
  std::optional<std::string> unit;  // nothing: the channel has no unit label
  int64_t count = 0;
};

class FakeEnergySource : public EnergySource {
 public:
  // Channel sets are told apart by where they came from.
  enum ChannelsOrigin { kGroup = 1, kCopy = 2, kHandedBack = 3 };

  // --- Script ---
  bool load_ok = true;  // Load's answer
  bool offers[kEnergyOperationCount] = {true, true, true, true, true, true, true, true};
  bool has_group = true;              // CopyChannelsInGroup gives a set
  bool subscription_ok = true;        // CreateSubscription succeeds
  bool hands_back_channels = false;   // the subscription supplies its own set
  std::deque<bool> sample_results;    // per CreateSamples; empty: success
  std::deque<bool> delta_results;     // per CreateSamplesDelta; empty: success
  std::deque<double> clock;           // per Now; empty: last + clock_step
  double clock_step = 1.0;            // advance of Now once `clock` is empty
  std::vector<FakeChannel> channels;  // the channels of every delta
  std::function<void()> on_sample;    // run inside CreateSamples when set

  // --- Observations ---
  int loads = 0, offer_queries = 0, group_copies = 0, mutable_copies = 0, subscriptions = 0;
  int samples = 0, deltas = 0, iterations = 0, names = 0, units = 0, values = 0, clock_reads = 0;
  int violations = 0;            // calls the contract forbids (an operation not offered, ...)
  std::string last_group;        // the group asked for
  int subscribed_with = 0;       // origin of the set the subscription was made with
  int live_at_subscription = 0;  // channel sets alive when the subscription was asked for
  int sampled_over = 0;          // origin of the set the last sample was taken over
  std::vector<std::pair<int, int>> delta_pairs;  // (older, newer) sample numbers, from 1
  int live_channels = 0, live_subscriptions = 0, live_samples = 0, live_deltas = 0;

  // Every call of any kind, to show that nothing at all was called.
  int TotalCalls() const {
    return loads + offer_queries + group_copies + mutable_copies + subscriptions + samples +
           deltas + iterations + names + units + values + clock_reads;
  }
  int LiveObjects() const {
    return live_channels + live_subscriptions + live_samples + live_deltas;
  }

  bool Load() override {
    ++loads;
    loaded_ = load_ok;
    return load_ok;
  }
  bool Offers(EnergyOperation operation) override {
    ++offer_queries;
    if (!loaded_) ++violations;
    return offers[static_cast<int>(operation)];
  }
  std::unique_ptr<EnergyChannels> CopyChannelsInGroup(std::string_view group) override {
    ++group_copies;
    Check(EnergyOperation::kCopyChannelsInGroup);
    last_group = std::string(group);
    if (!has_group) return nullptr;
    return std::make_unique<Channels>(this, kGroup);
  }
  std::unique_ptr<EnergyChannels> MutableCopy(const EnergyChannels& channels) override {
    ++mutable_copies;
    if (static_cast<const Channels&>(channels).origin != kGroup) ++violations;
    return std::make_unique<Channels>(this, kCopy);
  }
  std::unique_ptr<EnergySubscription> CreateSubscription(
      EnergyChannels& channels, std::unique_ptr<EnergyChannels>* subscribed) override {
    ++subscriptions;
    Check(EnergyOperation::kCreateSubscription);
    if (*subscribed != nullptr) ++violations;  // the caller must clear it first
    subscribed_with = static_cast<Channels&>(channels).origin;
    live_at_subscription = live_channels;
    if (!subscription_ok) return nullptr;
    if (hands_back_channels) *subscribed = std::make_unique<Channels>(this, kHandedBack);
    return std::make_unique<Subscription>(this);
  }
  std::unique_ptr<EnergySample> CreateSamples(const EnergySubscription&,
                                              const EnergyChannels& channels) override {
    ++samples;
    Check(EnergyOperation::kCreateSamples);
    if (on_sample) on_sample();
    sampled_over = static_cast<const Channels&>(channels).origin;
    if (Next(&sample_results)) return std::make_unique<Sample>(this, ++sample_number_);
    return nullptr;
  }
  std::unique_ptr<EnergyDelta> CreateSamplesDelta(const EnergySample& older,
                                                  const EnergySample& newer) override {
    ++deltas;
    Check(EnergyOperation::kCreateSamplesDelta);
    const int a = static_cast<const Sample&>(older).number;
    const int b = static_cast<const Sample&>(newer).number;
    if (!Next(&delta_results)) return nullptr;
    delta_pairs.emplace_back(a, b);
    auto delta = std::make_unique<Delta>(this);
    for (const FakeChannel& channel : channels) delta->channels.emplace_back(channel);
    return delta;
  }
  void Iterate(const EnergyDelta& delta, EnergyChannelVisitor visitor, void* context) override {
    ++iterations;
    Check(EnergyOperation::kIterate);
    for (const DeltaChannel& channel : static_cast<const Delta&>(delta).channels) {
      if (visitor(channel, context) != 0) ++violations;  // the reader never stops early
    }
  }
  std::optional<std::string_view> ChannelName(const EnergyChannel& channel) override {
    ++names;
    Check(EnergyOperation::kChannelGetChannelName);
    const auto& script = static_cast<const DeltaChannel&>(channel).script;
    if (!script.name) return std::nullopt;
    return std::string_view(*script.name);
  }
  std::optional<std::string_view> UnitLabel(const EnergyChannel& channel) override {
    ++units;
    Check(EnergyOperation::kChannelGetUnitLabel);
    const auto& script = static_cast<const DeltaChannel&>(channel).script;
    if (!script.unit) return std::nullopt;
    return std::string_view(*script.unit);
  }
  int64_t SimpleIntegerValue(const EnergyChannel& channel) override {
    ++values;
    Check(EnergyOperation::kSimpleGetIntegerValue);
    return static_cast<const DeltaChannel&>(channel).script.count;
  }
  double Now() override {
    ++clock_reads;
    if (!clock.empty()) {
      last_time_ = clock.front();
      clock.pop_front();
    } else {
      last_time_ += clock_step;
    }
    return last_time_;
  }

 private:
  // Each object counts itself live in the fake from construction to destruction.
  struct Channels : EnergyChannels {
    Channels(FakeEnergySource* fake, int origin) : fake(fake), origin(origin) {
      ++fake->live_channels;
    }
    ~Channels() override { --fake->live_channels; }
    FakeEnergySource* fake;
    int origin;
  };
  struct Subscription : EnergySubscription {
    explicit Subscription(FakeEnergySource* fake) : fake(fake) { ++fake->live_subscriptions; }
    ~Subscription() override { --fake->live_subscriptions; }
    FakeEnergySource* fake;
  };
  struct Sample : EnergySample {
    Sample(FakeEnergySource* fake, int number) : fake(fake), number(number) {
      ++fake->live_samples;
    }
    ~Sample() override { --fake->live_samples; }
    FakeEnergySource* fake;
    int number;
  };
  struct DeltaChannel : EnergyChannel {
    explicit DeltaChannel(FakeChannel script) : script(std::move(script)) {}
    FakeChannel script;
  };
  struct Delta : EnergyDelta {
    explicit Delta(FakeEnergySource* fake) : fake(fake) { ++fake->live_deltas; }
    ~Delta() override { --fake->live_deltas; }
    FakeEnergySource* fake;
    std::vector<DeltaChannel> channels;
  };

  void Check(EnergyOperation operation) {
    if (!loaded_ || !offers[static_cast<int>(operation)]) ++violations;
  }
  static bool Next(std::deque<bool>* results) {
    if (results->empty()) return true;
    const bool result = results->front();
    results->pop_front();
    return result;
  }

  bool loaded_ = false;     // Load succeeded
  int sample_number_ = 0;   // numbers the successful samples 1, 2, ...
  double last_time_ = 0.0;  // the last value Now gave
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_ENERGY_SOURCE_H_
