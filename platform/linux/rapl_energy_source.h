// rapl_energy_source.h: an EnergySource over the Linux powercap RAPL energy counters.
//
// The zones are the entries class/powercap/intel-rapl:<N> (a package, named "package-<N>", or
// "psys") and class/powercap/intel-rapl:<N>:<M> (a part of package N: "core", "uncore",
// "dram") under a sysfs root given to the constructor ("/sys" in the product, a fixture tree in
// tests). Each zone has a microjoule counter, energy_uj, that wraps to 0 after reaching
// max_energy_range_uj. AMD and Hygon processors show the same layout (the kernel's RAPL driver
// serves them under the same names), with a "core" zone per package whose counter is the energy
// of one core only, read on one CPU.
//
// The source offers one group, "Energy Model", with up to two channels, both in microjoules
// (unit label "uJ"):
//   "CPU Energy"  Intel: the "core" zones, and the package zone of every package without a
//                 readable core zone. AMD and Hygon: the package zones, their core zones
//                 ignored. All packages summed.
//   "GPU Energy"  the "uncore" zones (integrated graphics), all packages summed; only when
//                 there is one
// "psys" (whole platform) and "dram" zones are neither and are left out. There is no channel
// for a neural engine. The vendor is the first "vendor_id" of cpuinfo under a procfs root also
// given to the constructor ("/proc" in the product), read once by Load: "AuthenticAMD" and
// "HygonGenuine" take the package; anything else, or no such file, the core zones.
//
// A delta is made only from counts that can be measurements (CreateSamplesDelta); counts are
// never negative. Load fails when no such zone exists or none of their counters can be read
// (by default only root may read energy_uj).
//
// Ownership and threads: the source owns what Load found, which is fixed afterwards, and one
// open energy_uj descriptor per counted zone; the objects it hands out are self-contained
// copies. Calls must be serialised by the caller (the power reader's lock does so).
#ifndef OSTREL_PLATFORM_LINUX_RAPL_ENERGY_SOURCE_H_
#define OSTREL_PLATFORM_LINUX_RAPL_ENERGY_SOURCE_H_

#include <stdint.h>

#include <memory>
#include <optional>
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
    size_t counter = 0;       // its slot in the source's open counters, once counted
  };
  // One channel of the group and the zones whose counts it sums.
  struct Channel {
    std::string_view name;    // kCpuChannel or kGpuChannel
    std::vector<Zone> zones;  // in natural order of the zone names; never empty
  };

  // Reads the zones under `sys_root` ("/sys" in the product) and the processor's vendor from
  // `proc_root`/cpuinfo ("/proc" in the product). Two roots, as the machine has two file
  // systems: each can be replaced on its own (a fixture tree bound over /sys keeps the real
  // /proc). Nothing is read before Load.
  RaplEnergySource(std::string sys_root, std::string proc_root);
  ~RaplEnergySource() override;
  RaplEnergySource(const RaplEnergySource&) = delete;
  RaplEnergySource& operator=(const RaplEnergySource&) = delete;

  // Reads the vendor, finds the zones and probes every counter once. False when no CPU or GPU
  // channel has a zone with a readable counter and a positive range.
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
  // Per zone: newer - older, or, when the counter went down from near the top of its range to
  // near the bottom, what it counted through its wrap; summed per channel. Null when the
  // samples were taken over different channels, a counter went down otherwise, or the counts
  // add up to more than 5 kW over the time between the two samples (when both are known).
  std::unique_ptr<EnergyDelta> CreateSamplesDelta(const EnergySample& older,
                                                  const EnergySample& newer) override;
  void Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) override;
  std::optional<std::string_view> ChannelName(const EnergyChannel& channel) override;
  // Always "uJ".
  std::optional<std::string_view> UnitLabel(const EnergyChannel& channel) override;
  int64_t SimpleIntegerValue(const EnergyChannel& channel) override;
  // CLOCK_REALTIME in seconds. The first call after a sample also becomes that sample's time;
  // a subclass that brings its own clock leaves sample times unknown.
  double Now() override;

  // Whether Load took the package zones for the CPU (AMD, Hygon).
  bool package_is_cpu() const { return package_is_cpu_; }

 private:
  class Sample;  // the counters at one moment, and when (the .cc)

  // Reads `zone`'s counter through its descriptor, opened at the first read and again once when
  // it no longer reads. Nothing when it can't be read or isn't a number.
  std::optional<int64_t> ReadCounter(const Zone& zone);
  void CloseCounters();

  const std::string sys_root_;          // "/sys" in the product
  const std::string proc_root_;         // "/proc" in the product
  std::vector<Channel> channels_;       // found by Load: CPU first, then GPU
  bool loaded_ = false;                 // Load found at least one channel
  bool package_is_cpu_ = false;         // the vendor's core zone is one core's (AMD, Hygon)
  std::vector<int> counter_fds_;        // per counted zone (Zone::counter): its energy_uj, or -1
  std::weak_ptr<double> pending_time_;  // the last sample's time, until Now() notes it
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_RAPL_ENERGY_SOURCE_H_
