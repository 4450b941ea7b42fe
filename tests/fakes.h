// fakes.h: an in-memory SMC controller and energy source for reader and macOS tests; 1 thread.
#ifndef OSTREL_TESTS_FAKES_H_
#define OSTREL_TESTS_FAKES_H_

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/energy_source.h"
#include "platform/smc_transport.h"
#include "sensors/power.h"

namespace ostrel::testing {

// The four characters of a key code.
inline std::string KeyName(uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
          static_cast<char>(code >> 8), static_cast<char>(code)};
}

// A controller over a key table. `events` records 'f' find, 'o' open, 'r' release, 'c' call,
// 'x' close; `calls` each request ("iFNum" information, "rF0Ac/4" read of 4 bytes); `bad_calls`
// any call that is not one record's exchange on the open connection. Answers leave the output
// size 0 (the caller must set it again); a read writes only the data bytes.
struct FakeSmc : SmcTransport {
  struct Key {
    uint32_t type = 0;                            // the key's type code
    float value = 0;                              // its value
    bool info_fails = false, read_fails = false;  // which request is refused
  };
  std::map<std::string, Key> keys;              // by name
  bool has_service = true, open_fails = false;  // script
  std::string events, calls;                    // see above
  int bad_calls = 0;                            // see above

  SmcServiceHandle FindService(const char* name) override {
    events += std::string_view(name) == "AppleSMC" ? "f" : "?";
    return has_service ? 0x51 : 0;
  }
  int32_t Open(SmcServiceHandle service, uint32_t type, SmcConnectionHandle* connection) override {
    events += service == 0x51 && type == 0 ? "o" : "?";
    if (open_fails) return kSmcNotOpen;
    return *connection = 0xC0, kSmcSuccess;
  }
  void ReleaseService(SmcServiceHandle service) override { events += service == 0x51 ? "r" : "?"; }
  void Close(SmcConnectionHandle connection) override { events += connection == 0xC0 ? "x" : "?"; }
  int32_t CallStructMethod(SmcConnectionHandle connection, uint32_t selector,
                           const SmcParamRecord* in, size_t in_size, SmcParamRecord* out,
                           size_t* out_size) override {
    events += "c";
    const uint32_t code = LoadSmcField(*in, 0), size = LoadSmcField(*in, 28);
    const bool info = std::memcmp(in, SmcKeyInfoRequest(code).bytes, 80) == 0;
    const bool read = std::memcmp(in, SmcReadRequest(code, size).bytes, 80) == 0;
    calls += (calls.empty() ? "" : " ") + (info ? "i" + KeyName(code) : "") +
             (read ? "r" + KeyName(code) + "/" + std::to_string(size) : "");
    bad_calls +=
        connection != 0xC0 || selector != 2 || in_size != 80 || *out_size != 80 || info == read;
    const auto it = keys.find(KeyName(code));
    if (it == keys.end()) return kSmcNotFound;
    if (info ? it->second.info_fails : it->second.read_fails) return kSmcNotReadable;
    if (info) *out = SmcKeyInfoResponse(code, SmcTypeSize(it->second.type), it->second.type);
    if (read) EncodeSmcValue(it->second.type, it->second.value, out);
    return *out_size = 0, kSmcSuccess;
  }
};

// One channel of every delta the fake makes.
struct FakeChannel {
  std::optional<std::string> name, unit;  // none: the source has no text
  int64_t count = 0;                      // what it counted
};

// A scripted energy source. Objects handed out count in `live`; calls the contract forbids (an
// operation not offered, anything before Load, a wrong object) in `violations`; both end at 0.
struct FakeEnergy : EnergySource {
  struct Channel : EnergyChannel, FakeChannel {
    explicit Channel(const FakeChannel& c) : FakeChannel(c) {}
  };
  // Tags: channel sets 1 (the group), 2 (its copy), 3 (the subscription's own); samples by number.
  struct Object : EnergyChannels, EnergySubscription, EnergySample, EnergyDelta {
    Object(FakeEnergy* fake, int tag) : fake(fake), tag(tag) { ++fake->live; }
    ~Object() override { --fake->live; }
    FakeEnergy* fake;               // its maker
    int tag;                        // see above
    std::vector<Channel> channels;  // a delta's
  };
  FakeEnergy() { ResetPowerReaderForTesting(this); }
  ~FakeEnergy() override {
    ResetPowerReaderForTesting(nullptr);
    EXPECT_EQ(live + violations, 0);
  }
  static int Tag(const auto& object) { return dynamic_cast<const Object&>(object).tag; }
  static const FakeChannel& Of(const EnergyChannel& c) { return dynamic_cast<const Channel&>(c); }
  void Use(EnergyOperation op) { violations += !loaded || !offers[static_cast<int>(op)]; }
  template <typename T>
  static T Next(std::deque<T>* script, T none) {  // the next scripted value, or `none`
    if (script->empty()) return none;
    const T next = script->front();
    return script->pop_front(), next;
  }
  bool Load() override { return ++loads, loaded = load_ok; }
  bool Offers(EnergyOperation op) override {
    return violations += !loaded, offers[static_cast<int>(op)];
  }
  std::unique_ptr<EnergyChannels> CopyChannelsInGroup(std::string_view name) override {
    Use(EnergyOperation::kCopyChannelsInGroup);
    violations += name != "Energy Model";
    return has_group ? std::make_unique<Object>(this, 1) : nullptr;
  }
  std::unique_ptr<EnergyChannels> MutableCopy(const EnergyChannels& set) override {
    violations += Tag(set) != 1;
    return std::make_unique<Object>(this, 2);
  }
  std::unique_ptr<EnergySubscription> CreateSubscription(
      EnergyChannels& set, std::unique_ptr<EnergyChannels>* subscribed) override {
    Use(EnergyOperation::kCreateSubscription);
    violations += *subscribed != nullptr || Tag(set) != 2;
    if (hands_back && subscription_ok) *subscribed = std::make_unique<Object>(this, 3);
    return subscription_ok ? std::make_unique<Object>(this, 0) : nullptr;
  }
  std::unique_ptr<EnergySample> CreateSamples(const EnergySubscription&,
                                              const EnergyChannels& set) override {
    Use(EnergyOperation::kCreateSamples);
    violations += Tag(set) != (hands_back ? 3 : 2);
    return Next(&sample_results, true) ? std::make_unique<Object>(this, ++samples) : nullptr;
  }
  std::unique_ptr<EnergyDelta> CreateSamplesDelta(const EnergySample& older,
                                                  const EnergySample& newer) override {
    Use(EnergyOperation::kCreateSamplesDelta);
    if (!Next(&delta_results, true)) return nullptr;
    pairs += std::to_string(Tag(older)) + ">" + std::to_string(Tag(newer)) + " ";
    auto delta = std::make_unique<Object>(this, 0);
    for (const FakeChannel& c : channels) delta->channels.emplace_back(c);
    return delta;
  }
  void Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) override {
    Use(EnergyOperation::kIterate);
    for (const Channel& c : dynamic_cast<const Object&>(delta).channels) visit(c);
  }
  std::optional<std::string_view> ChannelName(const EnergyChannel& c) override {
    return Use(EnergyOperation::kChannelGetChannelName), Of(c).name;
  }
  std::optional<std::string_view> UnitLabel(const EnergyChannel& c) override {
    return Use(EnergyOperation::kChannelGetUnitLabel), Of(c).unit;
  }
  int64_t SimpleIntegerValue(const EnergyChannel& c) override {
    return Use(EnergyOperation::kSimpleGetIntegerValue), Of(c).count;
  }
  double Now() override { return time = Next(&clock, time + 1.0); }

  bool load_ok = true, has_group = true, subscription_ok = true, hands_back = false;  // script
  bool offers[kEnergyOperationCount] = {true, true, true, true, true, true, true, true};
  std::deque<bool> sample_results, delta_results;        // outcome per call; none left: success
  std::deque<double> clock;                              // per Now; none left: the last + 1 s
  std::vector<FakeChannel> channels;                     // of every delta
  int loads = 0, live = 0, violations = 0, samples = 0;  // Load calls, objects, breaches, samples
  bool loaded = false;                                   // Load succeeded
  double time = 0;                                       // the last Now
  std::string pairs;                                     // "older>newer " per delta made
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKES_H_
