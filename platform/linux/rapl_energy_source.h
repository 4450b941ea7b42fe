// rapl_energy_source.h: an EnergySource over the Linux powercap RAPL energy counters.
//
// The zones are the entries class/powercap/intel-rapl:<N> (a package, named "package-<N>", or
// "psys") and class/powercap/intel-rapl:<N>:<M> (a part of package N: "core", "uncore",
// "dram") under a sysfs root given to the constructor ("/sys" in the product, a fixture tree in
// tests). Each zone has a microjoule counter, energy_uj, that wraps to 0 after reaching
// max_energy_range_uj. AMD processors show the same layout with package zones only.
//
// The source offers one group, "Energy Model", with up to two channels, both in microjoules
// (unit label "uJ"):
//   "CPU Energy"  the "core" zones, and the package zone of every package without a readable
//                 core zone; all packages summed
//   "GPU Energy"  the "uncore" zones (integrated graphics), all packages summed; only when
//                 there is one
// "psys" (whole platform) and "dram" zones are neither and are left out. There is no channel
// for a neural engine.
//
// Load fails when no such zone exists or none of their counters can be read: since 2020 the
// kernel lets only root read energy_uj unless an administrator grants access (see README.md).
//
// NewMachineEnergySource() (energy_source.h) makes the product's instance, rooted at "/sys".
//
// Ownership and threads: the source owns what Load found, which is fixed afterwards; the
// objects it hands out are self-contained copies. Calls must be serialised by the caller (the
// power reader's lock does so); each call reads sysfs afresh and keeps no file open.
#ifndef OSTREL_PLATFORM_LINUX_RAPL_ENERGY_SOURCE_H_
#define OSTREL_PLATFORM_LINUX_RAPL_ENERGY_SOURCE_H_

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/energy_source.h"

namespace ostrel {

class RaplEnergySource : public EnergySource {
 public:
  static constexpr std::string_view kGroup = "Energy Model";  // the one group offered
  static constexpr std::string_view kCpuChannel = "CPU Energy";
  static constexpr std::string_view kGpuChannel = "GPU Energy";
  static constexpr std::string_view kUnitLabel = "uJ";  // energy_uj counts microjoules

  // One counter: a zone's energy_uj file and the value after which it wraps to 0.
  struct Zone {
    std::string energy_path;  // <root>/class/powercap/<zone>/energy_uj
    int64_t max_range;        // max_energy_range_uj, > 0
  };
  // One channel of the group and the zones whose counts it sums.
  struct Channel {
    std::string_view name;    // kCpuChannel or kGpuChannel
    std::vector<Zone> zones;  // in natural order of the zone names; never empty
  };

  // Reads the zones under `sys_root` ("/sys" in the product). Nothing is read before Load.
  explicit RaplEnergySource(std::string sys_root);

  // Finds the zones and probes every counter once. False when no CPU or GPU channel has a
  // zone with a readable counter and a positive range.
  bool Load() override;
  // Every operation, once Load succeeded.
  bool Offers(EnergyOperation operation) override;
  std::unique_ptr<EnergyChannels> CopyChannelsInGroup(std::string_view group) override;
  std::unique_ptr<EnergyChannels> MutableCopy(const EnergyChannels& channels) override;
  // Always succeeds once loaded; never narrows the channels (*subscribed stays null).
  std::unique_ptr<EnergySubscription> CreateSubscription(
      EnergyChannels& channels, std::unique_ptr<EnergyChannels>* subscribed) override;
  // Reads every zone's counter; null when one can't be read or lies outside 0..max_range.
  std::unique_ptr<EnergySample> CreateSamples(const EnergySubscription& subscription,
                                              const EnergyChannels& channels) override;
  // Per zone: newer - older, or, when the counter went down, (max_range - older) + newer + 1
  // (the counter counts 0..max_range and then starts again at 0); summed per channel. Null when
  // the samples were taken over different channels.
  std::unique_ptr<EnergyDelta> CreateSamplesDelta(const EnergySample& older,
                                                  const EnergySample& newer) override;
  void Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) override;
  std::optional<std::string_view> ChannelName(const EnergyChannel& channel) override;
  // Always "uJ".
  std::optional<std::string_view> UnitLabel(const EnergyChannel& channel) override;
  int64_t SimpleIntegerValue(const EnergyChannel& channel) override;
  // CLOCK_REALTIME in seconds.
  double Now() override;

 private:
  const std::string sys_root_;     // "/sys" in the product
  std::vector<Channel> channels_;  // found by Load: CPU first, then GPU
  bool loaded_ = false;            // Load found at least one channel
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_RAPL_ENERGY_SOURCE_H_
