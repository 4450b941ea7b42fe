// ioreport_energy_source.h: the energy source on macOS: the energy counters of libIOReport.
//
// The library is loaded by its system path on Load, and its eight entry points are looked up
// then (IOReportCopyChannelsInGroup, IOReportCreateSubscription, IOReportCreateSamples,
// IOReportCreateSamplesDelta, IOReportIterate, IOReportChannelGetChannelName,
// IOReportSimpleGetIntegerValue, IOReportChannelGetUnitLabel); the power reader asks which it
// got with Offers. Channel sets, the subscription, samples and deltas are the library's own
// objects, each held by the object handed out and given up with CFRelease when that is
// destroyed. Iterate hands the library a block (a stack block of the Apple block ABI) whose
// function visits each channel on the calling thread. Names and unit labels are converted into
// buffers of 128 and 16 bytes held by the channel being visited; one that doesn't fit reads as
// none. The clock is CFAbsoluteTimeGetCurrent.
//
// Ownership: the source owns its function table; what it hands out owns one reference each.
// Threads: calls must be serialised by the caller (the power reader's lock does so).
#ifndef OSTREL_PLATFORM_MACOS_IOREPORT_ENERGY_SOURCE_H_
#define OSTREL_PLATFORM_MACOS_IOREPORT_ENERGY_SOURCE_H_

#include <optional>

#include "platform/energy_source.h"
#include "platform/macos/core_foundation.h"
#include "platform/macos/mac_api.h"
#include "platform/macos/symbol_resolver.h"

namespace ostrel::macos {

class IOReportEnergySource final : public EnergySource {
 public:
  // Looks up CoreFoundation and the stack-block class; libIOReport is not loaded yet.
  // `libraries` is borrowed and must outlive the source.
  explicit IOReportEnergySource(MacLibraries& libraries);

  // Loads libIOReport and looks up its eight entry points. False when the library can't be
  // loaded, or CoreFoundation or the block class is missing; a missing entry point shows in
  // Offers.
  bool Load() override;
  bool Offers(EnergyOperation operation) override;
  std::unique_ptr<EnergyChannels> CopyChannelsInGroup(std::string_view group) override;
  std::unique_ptr<EnergyChannels> MutableCopy(const EnergyChannels& channels) override;
  std::unique_ptr<EnergySubscription> CreateSubscription(
      EnergyChannels& channels, std::unique_ptr<EnergyChannels>* subscribed) override;
  std::unique_ptr<EnergySample> CreateSamples(const EnergySubscription& subscription,
                                              const EnergyChannels& channels) override;
  std::unique_ptr<EnergyDelta> CreateSamplesDelta(const EnergySample& older,
                                                  const EnergySample& newer) override;
  void Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) override;
  std::optional<std::string_view> ChannelName(const EnergyChannel& channel) override;
  std::optional<std::string_view> UnitLabel(const EnergyChannel& channel) override;
  int64_t SimpleIntegerValue(const EnergyChannel& channel) override;
  double Now() override;

 private:
  // The library's entry points, in the order they are looked up.
  struct Functions {
    IOReportCopyChannelsInGroupFn copy_channels_in_group = nullptr;
    IOReportCreateSubscriptionFn create_subscription = nullptr;
    IOReportCreateSamplesFn create_samples = nullptr;
    IOReportCreateSamplesDeltaFn create_samples_delta = nullptr;
    IOReportIterateFn iterate = nullptr;
    IOReportChannelGetChannelNameFn channel_get_channel_name = nullptr;
    IOReportSimpleGetIntegerValueFn simple_get_integer_value = nullptr;
    IOReportChannelGetUnitLabelFn channel_get_unit_label = nullptr;
  };

  MacLibraries& libraries_;        // borrowed
  const CoreFoundation cf_;        // resolved when the source is made
  void* const stack_block_class_;  // _NSConcreteStackBlock, the isa of the visiting block
  Functions io_;                   // resolved by Load
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_IOREPORT_ENERGY_SOURCE_H_
