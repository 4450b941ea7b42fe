// fakes.h: in-memory stand-ins for the readers' platform sources, shared by the readers' tests
// and the macOS layers' tests: an SMC controller and a scripted energy source. One thread at a
// time each.
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

// An in-memory controller: keys from a table; every operation is recorded in `events` ('f' find,
// 'o' open, 'r' release, 'c' structure call, 'x' close), and each call's request in `calls`
// ("iFNum" for key information, "rF0Ac/4" for a read of 4 bytes). A call that is not a well-formed
// exchange of one record on the open connection counts in `bad_calls`. Each answer leaves the
// output size 0, so the caller must set it again; a read writes only the data bytes.
struct FakeSmc : SmcTransport {
  struct Key {
    uint32_t type = 0;
    float value = 0;
    bool info_fails = false, read_fails = false;
  };
  std::map<std::string, Key> keys;
  bool has_service = true, open_fails = false;
  std::string events, calls;
  int bad_calls = 0;

  SmcServiceHandle FindService(const char* name) override {
    events += std::string_view(name) == "AppleSMC" ? "f" : "?";
    return has_service ? 0x51 : 0;
  }
  int32_t Open(SmcServiceHandle service, uint32_t type, SmcConnectionHandle* connection) override {
    events += service == 0x51 && type == 0 ? "o" : "?";
    if (open_fails) return kSmcNotOpen;
    *connection = 0xC0;
    return kSmcSuccess;
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
    const Key& key = it->second;
    if (info ? key.info_fails : key.read_fails) return kSmcNotReadable;
    if (info) *out = SmcKeyInfoResponse(code, SmcTypeSize(key.type), key.type);
    if (read) EncodeSmcValue(key.type, key.value, out);
    *out_size = 0;
    return kSmcSuccess;
  }
};

// One channel of every delta the fake makes.
struct FakeChannel {
  std::optional<std::string> name, unit;
  int64_t count = 0;
};

// A scripted energy source, which the power reader takes up from its first reading on, as in a
// fresh process. What it hands out counts in `live` until destroyed; calls the contract forbids
// (an operation not offered, anything before Load, another object than the one due) count in
// `violations`. At its end everything must be back and allowed.
struct FakeEnergy : EnergySource {
  struct Channel : EnergyChannel, FakeChannel {
    explicit Channel(const FakeChannel& c) : FakeChannel(c) {}
  };
  // Channel sets are tagged 1 (the group), 2 (its copy), 3 (the subscription's own set),
  // samples by their number; a delta holds its channels.
  struct Object : EnergyChannels, EnergySubscription, EnergySample, EnergyDelta {
    Object(FakeEnergy* fake, int tag) : fake(fake), tag(tag) { ++fake->live; }
    ~Object() override { --fake->live; }
    FakeEnergy* fake;
    int tag;
    std::vector<Channel> channels;
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
    const T next = script->empty() ? none : script->front();
    if (!script->empty()) script->pop_front();
    return next;
  }
  bool Load() override { return ++loads, loaded = load_ok; }
  bool Offers(EnergyOperation op) override {
    violations += !loaded;
    return offers[static_cast<int>(op)];
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

  // Script.
  bool load_ok = true, has_group = true, subscription_ok = true, hands_back = false;
  bool offers[kEnergyOperationCount] = {true, true, true, true, true, true, true, true};
  std::deque<bool> sample_results, delta_results;  // outcome per call; none left: success
  std::deque<double> clock;                        // per Now; none left: the last + 1 s
  std::vector<FakeChannel> channels;
  // Observations: calls of Load, objects alive, contract breaches, samples made.
  int loads = 0, live = 0, violations = 0, samples = 0;
  bool loaded = false;
  double time = 0;
  std::string pairs;  // "older>newer " per delta made
};

}  // namespace ostrel::testing

#endif  // OSTREL_TESTS_FAKES_H_
