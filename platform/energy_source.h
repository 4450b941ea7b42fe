// energy_source.h: the energy-reporting interface that the power reader samples.
//
// An EnergySource offers named groups of energy channels, subscriptions to them, samples of
// their counters, and the difference of two samples ("delta"), whose channels a caller visits
// one by one for their name, unit label and count. The Linux source reads the powercap RAPL
// counters (platform/linux/rapl_energy_source.h); tests substitute fakes.
//
// Ownership: every object a method returns in a std::unique_ptr is owned by the caller and is
// released by destroying it. Objects must be passed back only to the source that made them,
// and must be destroyed while that source is alive. A channel seen by a visitor, and any text
// returned for it, belong to the delta being iterated and are valid only during that visit.
//
// Threads: a source is not required to be safe for concurrent calls; its one user (the power
// reader) serialises every call. Visitors run on the thread that called Iterate.
#ifndef OSTREL_PLATFORM_ENERGY_SOURCE_H_
#define OSTREL_PLATFORM_ENERGY_SOURCE_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace ostrel {

// A set of channels of a source, as returned by CopyChannelsInGroup. Opaque to callers.
class EnergyChannels {
 public:
  virtual ~EnergyChannels() = default;
};

// A subscription to a set of channels: what samples are taken through. Opaque to callers.
class EnergySubscription {
 public:
  virtual ~EnergySubscription() = default;
};

// The counters of the subscribed channels at one moment. Opaque to callers.
class EnergySample {
 public:
  virtual ~EnergySample() = default;
};

// The counts accumulated per channel between two samples. Opaque to callers; visited with
// Iterate.
class EnergyDelta {
 public:
  virtual ~EnergyDelta() = default;
};

// One channel of a delta, handed to a visitor. Opaque to callers; read with ChannelName,
// UnitLabel and SimpleIntegerValue.
class EnergyChannel {
 public:
  virtual ~EnergyChannel() = default;
};

// Called once per channel of a delta, during Iterate. Must not throw.
using EnergyChannelVisitor = std::function<void(const EnergyChannel& channel)>;

// The object behind `object` as the source's own type `Concrete`, or null when another kind of
// source made it. Sources turn what they are handed back into their own types with this checked
// conversion only, and treat null as a failed call.
template <typename Concrete, typename Opaque>
const Concrete* AsConcrete(const Opaque& object) {
  return dynamic_cast<const Concrete*>(&object);
}

// The operations a loaded source may or may not offer, in the order the reader resolves them.
// Every one but kChannelGetUnitLabel is required for sampling.
enum class EnergyOperation : int {
  kCopyChannelsInGroup = 0,
  kCreateSubscription,
  kCreateSamples,
  kCreateSamplesDelta,
  kIterate,
  kChannelGetChannelName,
  kSimpleGetIntegerValue,
  kChannelGetUnitLabel,
};
inline constexpr int kEnergyOperationCount = 8;

class EnergySource {
 public:
  virtual ~EnergySource() = default;

  // Opens whatever the source reads from. True when it is usable; false when it can't be
  // opened at all (nothing to read, or nothing readable). The power reader calls it at most
  // once per process and never calls anything else when it fails.
  virtual bool Load() = 0;

  // Whether the loaded source offers `operation`. Meaningful only after Load returned true.
  // A source must not be asked to run an operation it does not offer.
  virtual bool Offers(EnergyOperation operation) = 0;

  // A new set of the channels of the group named `group` (all of its subgroups), or null when
  // the source has no such group or no channel in it.
  virtual std::unique_ptr<EnergyChannels> CopyChannelsInGroup(std::string_view group) = 0;

  // A new, independent copy of `channels` that the caller may hand to CreateSubscription.
  // Never null.
  virtual std::unique_ptr<EnergyChannels> MutableCopy(const EnergyChannels& channels) = 0;

  // Subscribes to `channels` (which the subscription may narrow to what it can sample). Returns
  // the subscription, or null when none can be made. On success it may store into *subscribed
  // (which the caller sets to null first) its own set of the channels actually subscribed; the
  // caller must then take samples over that set instead of `channels`.
  virtual std::unique_ptr<EnergySubscription> CreateSubscription(
      EnergyChannels& channels, std::unique_ptr<EnergyChannels>* subscribed) = 0;

  // A new sample of every channel of `channels` through `subscription`, or null when the
  // counters can't be read now. Nothing about earlier samples changes either way.
  virtual std::unique_ptr<EnergySample> CreateSamples(const EnergySubscription& subscription,
                                                      const EnergyChannels& channels) = 0;

  // A new delta holding, per channel, what was counted from `older` to `newer` (counter wraps
  // accounted for), or null when the two samples can't be compared. Both samples stay valid.
  virtual std::unique_ptr<EnergyDelta> CreateSamplesDelta(const EnergySample& older,
                                                          const EnergySample& newer) = 0;

  // Calls `visit` once for each channel of `delta`, in the delta's order, on the calling
  // thread, and returns when the last one was visited.
  virtual void Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) = 0;

  // The channel's name as UTF-8 text, or nothing when it has none. Valid during the visit.
  virtual std::optional<std::string_view> ChannelName(const EnergyChannel& channel) = 0;

  // The label of the unit the channel's count is in ("mJ", "uJ", "nJ", "J", ...), as UTF-8
  // text, or nothing when it has none. Valid during the visit. Only when offered.
  virtual std::optional<std::string_view> UnitLabel(const EnergyChannel& channel) = 0;

  // The channel's count over the delta's interval, in the channel's unit; may be negative.
  virtual int64_t SimpleIntegerValue(const EnergyChannel& channel) = 0;

  // The current wall-clock time in seconds (any fixed origin). It can jump, also backwards,
  // when the system clock is set.
  virtual double Now() = 0;
};

// A new instance of the machine's own energy source; nothing is loaded yet. Each operating
// system's folder defines it (on Linux: the RAPL counters under "/sys"). The power reader makes
// one when it first initialises and keeps it for the life of the process.
std::unique_ptr<EnergySource> NewMachineEnergySource();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_ENERGY_SOURCE_H_
