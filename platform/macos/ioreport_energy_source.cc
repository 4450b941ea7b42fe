// ioreport_energy_source.cc: libIOReport's objects behind the energy source's opaque types.
#include "platform/macos/ioreport_energy_source.h"

#include <string>
#include <utility>

namespace ostrel::macos {
namespace {

// Text buffers of a channel's name and unit label: longer texts don't fit and read as none.
constexpr CFIndex kNameBufferSize = 128;
constexpr CFIndex kUnitBufferSize = 16;

// One library object behind one of the source's opaque types; owns one reference.
template <typename Base, typename Ref>
class Held final : public Base {
 public:
  explicit Held(CFOwned<Ref> ref) : ref_(std::move(ref)) {}
  Ref get() const { return ref_.get(); }

 private:
  CFOwned<Ref> ref_;  // never empty
};
using Channels = Held<EnergyChannels, CFMutableDictionaryRef>;
using Subscription = Held<EnergySubscription, IOReportSubscriptionRef>;
using Sample = Held<EnergySample, CFDictionaryRef>;
using Delta = Held<EnergyDelta, CFDictionaryRef>;

// `ref` (owned) as the opaque type `Base`, or null for null.
template <typename Base, typename Ref>
std::unique_ptr<Base> Hold(const CoreFoundation& cf, Ref ref) {
  if (ref == nullptr) return nullptr;
  return std::make_unique<Held<Base, Ref>>(cf.Own(ref));
}

// One channel of a delta during its visit, borrowed from the delta. The buffers hold the texts
// handed out for it, which are valid for the visit.
class Channel final : public EnergyChannel {
 public:
  explicit Channel(IOReportSampleRef ref_in) : ref(ref_in) {}

  const IOReportSampleRef ref;         // the channel's dictionary within the delta
  mutable char name[kNameBufferSize];  // the name as last converted
  mutable char unit[kUnitBufferSize];  // the unit label as last converted
};

// What the visiting block works for: the caller's visitor.
struct IterateContext {
  const EnergyChannelVisitor* visit;  // borrowed for the iteration
};

// The block's function, called by IOReportIterate once per channel on the calling thread. The
// answer 0 lets the iteration go on. Visitors do not throw (energy_source.h); should one, the
// process ends here rather than unwinding through the library's frames.
int VisitChannel(IOReportIterateBlock* block, IOReportSampleRef ref) noexcept {
  const auto& context = *static_cast<const IterateContext*>(block->context);
  const Channel channel(ref);
  (*context.visit)(channel);
  return 0;
}

constexpr BlockDescriptor kVisitBlockDescriptor = {0, sizeof(IOReportIterateBlock)};

// Converts `string` (borrowed) into `buffer`; the text, or none when there is no string or it
// doesn't convert or fit.
std::optional<std::string_view> Text(const CoreFoundation& cf, CFStringRef string, char* buffer,
                                     CFIndex size) {
  if (string == nullptr || !cf.CFStringGetCString(string, buffer, size, kCFStringEncodingUTF8)) {
    return std::nullopt;
  }
  return std::string_view(buffer);
}

}  // namespace

IOReportEnergySource::IOReportEnergySource(MacLibraries& libraries)
    : libraries_(libraries),
      cf_(libraries.core_foundation),
      stack_block_class_(libraries.system.Symbol("_NSConcreteStackBlock")) {}

bool IOReportEnergySource::Load() {
  DynamicLibrary& library = libraries_.io_report;
  if (library.Handle() == nullptr) return false;
  // All eight are looked up before any is tested (the reader tests them through Offers).
  io_.copy_channels_in_group =
      library.Function<IOReportCopyChannelsInGroupFn>("IOReportCopyChannelsInGroup");
  io_.create_subscription =
      library.Function<IOReportCreateSubscriptionFn>("IOReportCreateSubscription");
  io_.create_samples = library.Function<IOReportCreateSamplesFn>("IOReportCreateSamples");
  io_.create_samples_delta =
      library.Function<IOReportCreateSamplesDeltaFn>("IOReportCreateSamplesDelta");
  io_.iterate = library.Function<IOReportIterateFn>("IOReportIterate");
  io_.channel_get_channel_name =
      library.Function<IOReportChannelGetChannelNameFn>("IOReportChannelGetChannelName");
  io_.simple_get_integer_value =
      library.Function<IOReportSimpleGetIntegerValueFn>("IOReportSimpleGetIntegerValue");
  io_.channel_get_unit_label =
      library.Function<IOReportChannelGetUnitLabelFn>("IOReportChannelGetUnitLabel");
  return cf_.complete() && stack_block_class_ != nullptr;
}

bool IOReportEnergySource::Offers(EnergyOperation operation) {
  switch (operation) {
    case EnergyOperation::kCopyChannelsInGroup:
      return io_.copy_channels_in_group != nullptr;
    case EnergyOperation::kCreateSubscription:
      return io_.create_subscription != nullptr;
    case EnergyOperation::kCreateSamples:
      return io_.create_samples != nullptr;
    case EnergyOperation::kCreateSamplesDelta:
      return io_.create_samples_delta != nullptr;
    case EnergyOperation::kIterate:
      return io_.iterate != nullptr;
    case EnergyOperation::kChannelGetChannelName:
      return io_.channel_get_channel_name != nullptr;
    case EnergyOperation::kSimpleGetIntegerValue:
      return io_.simple_get_integer_value != nullptr;
    case EnergyOperation::kChannelGetUnitLabel:
      return io_.channel_get_unit_label != nullptr;
  }
  return false;
}

std::unique_ptr<EnergyChannels> IOReportEnergySource::CopyChannelsInGroup(std::string_view group) {
  CFOwned<CFStringRef> name = cf_.String(std::string(group).c_str());
  if (!name) return nullptr;
  // No subgroup: every channel of the group.
  return Hold<EnergyChannels>(cf_, io_.copy_channels_in_group(name.get(), nullptr, 0, 0, 0));
}

std::unique_ptr<EnergyChannels> IOReportEnergySource::MutableCopy(const EnergyChannels& channels) {
  const Channels* set = AsConcrete<Channels>(channels);
  if (set == nullptr) return nullptr;
  return Hold<EnergyChannels>(
      cf_, cf_.CFDictionaryCreateMutableCopy(cf_.kCFAllocatorDefault, 0, set->get()));
}

std::unique_ptr<EnergySubscription> IOReportEnergySource::CreateSubscription(
    EnergyChannels& channels, std::unique_ptr<EnergyChannels>* subscribed) {
  const Channels* set = AsConcrete<Channels>(channels);
  if (set == nullptr) return nullptr;
  CFMutableDictionaryRef narrowed = nullptr;
  IOReportSubscriptionRef subscription =
      io_.create_subscription(nullptr, set->get(), &narrowed, 0, nullptr);
  // The set the library hands back is the caller's, kept only with a subscription.
  CFOwned<CFMutableDictionaryRef> narrowed_owned = cf_.Own(narrowed);
  if (subscription == nullptr) return nullptr;
  if (narrowed_owned) *subscribed = std::make_unique<Channels>(std::move(narrowed_owned));
  return Hold<EnergySubscription>(cf_, subscription);
}

std::unique_ptr<EnergySample> IOReportEnergySource::CreateSamples(
    const EnergySubscription& subscription, const EnergyChannels& channels) {
  const Subscription* held = AsConcrete<Subscription>(subscription);
  const Channels* set = AsConcrete<Channels>(channels);
  if (held == nullptr || set == nullptr) return nullptr;
  return Hold<EnergySample>(cf_, io_.create_samples(held->get(), set->get(), nullptr));
}

std::unique_ptr<EnergyDelta> IOReportEnergySource::CreateSamplesDelta(const EnergySample& older,
                                                                      const EnergySample& newer) {
  const Sample* from = AsConcrete<Sample>(older);
  const Sample* to = AsConcrete<Sample>(newer);
  if (from == nullptr || to == nullptr) return nullptr;
  return Hold<EnergyDelta>(cf_, io_.create_samples_delta(from->get(), to->get(), nullptr));
}

void IOReportEnergySource::Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) {
  const Delta* held = AsConcrete<Delta>(delta);
  if (held == nullptr) return;
  IterateContext context{&visit};
  // A stack block: the library calls it before Iterate returns, so it lives long enough; were
  // it copied, its one capture is a plain pointer, which copies as it is.
  IOReportIterateBlock block{stack_block_class_,     0,       0, &VisitChannel,
                             &kVisitBlockDescriptor, &context};
  io_.iterate(held->get(), &block);
}

std::optional<std::string_view> IOReportEnergySource::ChannelName(const EnergyChannel& channel) {
  const Channel* held = AsConcrete<Channel>(channel);
  if (held == nullptr) return std::nullopt;
  return Text(cf_, io_.channel_get_channel_name(held->ref), held->name, kNameBufferSize);
}

std::optional<std::string_view> IOReportEnergySource::UnitLabel(const EnergyChannel& channel) {
  const Channel* held = AsConcrete<Channel>(channel);
  if (held == nullptr || io_.channel_get_unit_label == nullptr) return std::nullopt;
  return Text(cf_, io_.channel_get_unit_label(held->ref), held->unit, kUnitBufferSize);
}

int64_t IOReportEnergySource::SimpleIntegerValue(const EnergyChannel& channel) {
  const Channel* held = AsConcrete<Channel>(channel);
  return held == nullptr ? 0 : io_.simple_get_integer_value(held->ref, nullptr);
}

double IOReportEnergySource::Now() { return cf_.CFAbsoluteTimeGetCurrent(); }

}  // namespace ostrel::macos
