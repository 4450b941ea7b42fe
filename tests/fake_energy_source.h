// fake_energy_source.h: a scripted energy source that counts every call and every live object.
// Objects it hands out count themselves in it, so they must be released
// (ResetPowerReaderForTesting) before it is destroyed. The power reader's callers serialise calls.
#ifndef OSTREL_TESTS_FAKE_ENERGY_SOURCE_H_
#define OSTREL_TESTS_FAKE_ENERGY_SOURCE_H_

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/energy_source.h"

namespace ostrel::testing {

// One channel of every delta the fake makes; a missing name or unit label is nullopt.
struct FakeChannel {
  std::optional<std::string> name;
  std::optional<std::string> unit;
  int64_t count = 0;
};

class FakeEnergySource : public EnergySource {
 public:
  // Where a channel set came from.
  enum Origin { kGroup = 1, kCopy = 2, kHandedBack = 3 };

  // --- Script ---
  bool load_ok = true;
  bool offers[kEnergyOperationCount] = {true, true, true, true, true, true, true, true};
  bool has_group = true;
  bool subscription_ok = true;
  bool hands_back_channels = false;   // the subscription supplies its own channel set
  std::deque<bool> sample_results;    // per CreateSamples; empty: success
  std::deque<bool> delta_results;     // per CreateSamplesDelta; empty: success
  std::deque<double> clock;           // per Now; empty: the last time + 1
  std::vector<FakeChannel> channels;  // the channels of every delta
  std::function<void()> on_sample;    // run inside CreateSamples when set

  // --- Observations ---
  std::map<std::string, int> calls;              // per operation name
  std::map<std::string, int> live;               // objects alive per kind: channels, sample, ...
  int violations = 0;                            // calls the contract forbids
  std::string group;                             // the group asked for
  int subscribed_with = 0;                       // origin of the set the subscription was made with
  int sampled_over = 0;                          // origin of the set the last sample was taken over
  std::vector<std::pair<int, int>> delta_pairs;  // (older, newer) sample numbers, from 1

  // The sum of `calls` or of `live`.
  static int Total(const std::map<std::string, int>& counts) {
    int total = 0;
    for (const auto& [name, n] : counts) total += n;
    return total;
  }

  bool Load() override {
    ++calls["Load"];
    return loaded_ = load_ok;
  }
  bool Offers(EnergyOperation operation) override {
    ++calls["Offers"];
    if (!loaded_) ++violations;
    return offers[static_cast<int>(operation)];
  }
  std::unique_ptr<EnergyChannels> CopyChannelsInGroup(std::string_view name) override {
    Check("CopyChannelsInGroup", EnergyOperation::kCopyChannelsInGroup);
    group = name;
    return has_group ? std::make_unique<Channels>(this, "channels", kGroup) : nullptr;
  }
  std::unique_ptr<EnergyChannels> MutableCopy(const EnergyChannels& set) override {
    ++calls["MutableCopy"];
    if (static_cast<const Channels&>(set).tag != kGroup) ++violations;
    return std::make_unique<Channels>(this, "channels", kCopy);
  }
  std::unique_ptr<EnergySubscription> CreateSubscription(
      EnergyChannels& set, std::unique_ptr<EnergyChannels>* subscribed) override {
    Check("CreateSubscription", EnergyOperation::kCreateSubscription);
    if (*subscribed != nullptr) ++violations;  // the caller must clear it first
    subscribed_with = static_cast<Channels&>(set).tag;
    if (!subscription_ok) return nullptr;
    if (hands_back_channels)
      *subscribed = std::make_unique<Channels>(this, "channels", kHandedBack);
    return std::make_unique<Tracked<EnergySubscription>>(this, "subscription");
  }
  std::unique_ptr<EnergySample> CreateSamples(const EnergySubscription&,
                                              const EnergyChannels& set) override {
    Check("CreateSamples", EnergyOperation::kCreateSamples);
    if (on_sample) on_sample();
    sampled_over = static_cast<const Channels&>(set).tag;
    if (!Next(&sample_results)) return nullptr;
    return std::make_unique<Tracked<EnergySample>>(this, "sample", ++samples_);
  }
  std::unique_ptr<EnergyDelta> CreateSamplesDelta(const EnergySample& older,
                                                  const EnergySample& newer) override {
    Check("CreateSamplesDelta", EnergyOperation::kCreateSamplesDelta);
    if (!Next(&delta_results)) return nullptr;
    delta_pairs.emplace_back(static_cast<const Tracked<EnergySample>&>(older).tag,
                             static_cast<const Tracked<EnergySample>&>(newer).tag);
    auto delta = std::make_unique<Delta>(this, "delta");
    for (const FakeChannel& channel : channels) delta->channels.emplace_back(channel);
    return delta;
  }
  void Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) override {
    Check("Iterate", EnergyOperation::kIterate);
    for (const DeltaChannel& channel : static_cast<const Delta&>(delta).channels) visit(channel);
  }
  std::optional<std::string_view> ChannelName(const EnergyChannel& channel) override {
    Check("ChannelName", EnergyOperation::kChannelGetChannelName);
    return static_cast<const DeltaChannel&>(channel).script.name;
  }
  std::optional<std::string_view> UnitLabel(const EnergyChannel& channel) override {
    Check("UnitLabel", EnergyOperation::kChannelGetUnitLabel);
    return static_cast<const DeltaChannel&>(channel).script.unit;
  }
  int64_t SimpleIntegerValue(const EnergyChannel& channel) override {
    Check("SimpleIntegerValue", EnergyOperation::kSimpleGetIntegerValue);
    return static_cast<const DeltaChannel&>(channel).script.count;
  }
  double Now() override {
    ++calls["Now"];
    time_ = clock.empty() ? time_ + 1.0 : clock.front();
    if (!clock.empty()) clock.pop_front();
    return time_;
  }

 private:
  // An object that counts itself in live[kind] while it exists; `tag` tells its origin or
  // number.
  template <typename Base>
  struct Tracked : Base {
    Tracked(FakeEnergySource* fake, const char* kind, int tag = 0)
        : fake(fake), kind(kind), tag(tag) {
      ++fake->live[kind];
    }
    ~Tracked() override { --fake->live[kind]; }
    FakeEnergySource* fake;
    const char* kind;
    int tag;
  };
  using Channels = Tracked<EnergyChannels>;
  struct DeltaChannel : EnergyChannel {
    explicit DeltaChannel(FakeChannel script) : script(std::move(script)) {}
    FakeChannel script;
  };
  struct Delta : Tracked<EnergyDelta> {
    using Tracked::Tracked;
    std::vector<DeltaChannel> channels;
  };

  void Check(const char* name, EnergyOperation operation) {
    ++calls[name];
    if (!loaded_ || !offers[static_cast<int>(operation)]) ++violations;
  }
  static bool Next(
      std::deque<bool>* results) {  // the next scripted outcome; true once none is left
    const bool result = results->empty() || results->front();
    if (!results->empty()) results->pop_front();
    return result;
  }

  bool loaded_ = false;  // Load succeeded
  int samples_ = 0;      // numbers the successful samples 1, 2, ...
  double time_ = 0.0;    // the last value Now gave
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKE_ENERGY_SOURCE_H_
