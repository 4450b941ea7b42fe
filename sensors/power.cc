// power.cc: the SoC power reader. Each call samples the "Energy Model" channels of the energy
// source; the energy counted since the previously accepted sample, divided by the time between
// the two, is the power in watts. The first call of the process only primes the chain.
//
// State: g_ior, one process-wide record without a lock of its own. Every call must be serialised
// by the caller (the server holds its power lock). The record is built at static initialisation
// and never destroyed: what it holds lives until the process ends. The per-channel visitor runs
// inside Iterate on the calling thread and writes only the current call's accumulators.
#include "sensors/power.h"

#include <string.h>

#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "platform/energy_source.h"
#include "sensors/ostrel_sensors.h"

namespace ostrel {
namespace {

constexpr std::string_view kGroup = "Energy Model";
// Samples closer together than this give no reading; the older one stays the reference.
constexpr double kMinInterval = 0.05;
// Whole-name buffers: a name of 128 bytes or more, or a unit label of 16 or more, doesn't fit.
constexpr size_t kNameBufferSize = 128;
constexpr size_t kUnitBufferSize = 16;

constexpr int kRequiredOperations = 7;  // all but kChannelGetUnitLabel, the last

// Which energy accumulator a channel kind feeds.
enum class Accumulator { kCpu, kGpu, kAne };

// A channel that counts, by its whole name.
struct ChannelKind {
  std::string_view name;  // compared byte for byte with the channel's whole name
  Accumulator accumulator;
  double default_factor;  // joules per count when no listed unit label says otherwise
};
constexpr ChannelKind kChannelKinds[] = {
    {"CPU Energy", Accumulator::kCpu, 0.001},
    {"GPU Energy", Accumulator::kGpu, 0.000000001},
    {"ANE", Accumulator::kAne, 0.001},
    {"ANE Energy", Accumulator::kAne, 0.001},
};

// A unit label that overrides a kind's default factor, by its whole text.
struct UnitFactor {
  std::string_view label;  // compared byte for byte with the channel's whole unit label
  double factor;           // joules per count
};
constexpr UnitFactor kUnitFactors[] = {
    {"mJ", 0.001},
    {"uJ", 0.000001},
    {"nJ", 0.000000001},
    {"J", 1.0},
};

// The reader's process-wide state.
struct PowerReaderState {
  int32_t state = 0;  // 0 not yet initialised, 1 ready, -1 unavailable for good
  // The machine's source, made at the first initialisation and kept for the process.
  std::unique_ptr<EnergySource> machine_source;
  // The loaded source whose operations were resolved; null until the load succeeded.
  EnergySource* source = nullptr;
  // Per operation, in EnergyOperation order: whether the loaded source offers it.
  bool offers[kEnergyOperationCount] = {};
  std::unique_ptr<EnergySubscription> subscription;  // held from initialisation on
  std::unique_ptr<EnergyChannels> channels;          // what samples are taken over
  std::unique_ptr<EnergySample> lastSample;          // the last accepted sample, if any
  double lastTime = 0.0;  // wall clock read right after lastSample was taken, seconds
};

// Holds a T from static initialisation on and never runs its destructor, so nothing is
// released at exit while server threads may still be reading.
template <typename T>
union Immortal {
  constexpr Immortal() : value() {}
  ~Immortal() {}
  T value;
};

constinit Immortal<PowerReaderState> g_ior_storage;
PowerReaderState& g_ior = g_ior_storage.value;

// Set by tests only: the source the next initialisation loads instead of the machine's.
EnergySource* g_source_for_testing = nullptr;

// What the per-channel visitor reads and writes during one iteration.
struct VisitorContext {
  double* cpu_energy;  // joules, this call's accumulators
  double* gpu_energy;
  double* ane_energy;
  EnergySource* source;  // g_ior.source when the iteration started
  bool unit_labels;      // whether the source offers UnitLabel
};

// Copies `text` with a terminating zero into buf[0..size), as a whole or not at all. Returns
// the text's length, or nothing when there is no text or it doesn't fit.
std::optional<size_t> CopyText(std::optional<std::string_view> text, char* buf, size_t size) {
  if (!text || text->size() >= size) return std::nullopt;
  memcpy(buf, text->data(), text->size());
  buf[text->size()] = '\0';
  return text->size();
}

// Adds nothing up: each counted channel replaces its kind's accumulator, so of two channels of
// one kind the later one decides.
void VisitChannel(const VisitorContext& context, const EnergyChannel& channel) {
  EnergySource& source = *context.source;

  char name_buf[kNameBufferSize];
  const std::optional<size_t> name_length =
      CopyText(source.ChannelName(channel), name_buf, sizeof name_buf);
  if (!name_length) return;
  const std::string_view name(name_buf, *name_length);
  const ChannelKind* kind = nullptr;
  for (const ChannelKind& candidate : kChannelKinds) {
    if (candidate.name == name) {
      kind = &candidate;
      break;
    }
  }
  if (kind == nullptr) return;

  double factor = kind->default_factor;
  if (context.unit_labels) {
    char unit_buf[kUnitBufferSize];
    const std::optional<size_t> unit_length =
        CopyText(source.UnitLabel(channel), unit_buf, sizeof unit_buf);
    if (unit_length) {
      const std::string_view unit(unit_buf, *unit_length);
      for (const UnitFactor& candidate : kUnitFactors) {
        if (candidate.label == unit) {
          factor = candidate.factor;
          break;
        }
      }
    }
  }

  const double count = static_cast<double>(source.SimpleIntegerValue(channel));
  switch (kind->accumulator) {
    case Accumulator::kCpu:
      *context.cpu_energy = factor * count;
      break;
    case Accumulator::kGpu:
      *context.gpu_energy = factor * count;
      break;
    case Accumulator::kAne:
      *context.ane_energy = factor * count;
      break;
  }
}

// Opens the energy source and subscribes to its "Energy Model" channels. Returns 1 when
// sampling can start, -1 when it never can. Runs at most once per process.
int32_t Initialise() {
  if (g_source_for_testing == nullptr && !g_ior.machine_source) {
    g_ior.machine_source = NewMachineEnergySource();
  }
  EnergySource* source =
      g_source_for_testing != nullptr ? g_source_for_testing : g_ior.machine_source.get();
  if (!source->Load()) return -1;

  // Every operation is resolved before any is tested.
  for (int op = 0; op < kEnergyOperationCount; ++op) {
    g_ior.offers[op] = source->Offers(static_cast<EnergyOperation>(op));
  }
  g_ior.source = source;
  for (int op = 0; op < kRequiredOperations; ++op) {
    if (!g_ior.offers[op]) return -1;
  }

  std::unique_ptr<EnergyChannels> group = source->CopyChannelsInGroup(kGroup);
  if (!group) return -1;
  std::unique_ptr<EnergyChannels> copy = source->MutableCopy(*group);
  group.reset();
  if (!copy) return -1;

  g_ior.channels.reset();
  g_ior.subscription = source->CreateSubscription(*copy, &g_ior.channels);
  if (!g_ior.subscription) {
    g_ior.channels.reset();
    return -1;  // the copy is released on return
  }
  // The subscription may have handed back the channels it actually samples; those win.
  if (!g_ior.channels) g_ior.channels = std::move(copy);
  return 1;
}

}  // namespace

void ResetPowerReaderForTesting(EnergySource* source) {
  g_ior.lastSample.reset();
  g_ior.channels.reset();
  g_ior.subscription.reset();
  g_ior.machine_source.reset();
  g_ior = PowerReaderState();
  g_source_for_testing = source;
}

namespace {

// One reading, as ostrel_read_power answers it; may throw std::bad_alloc, before anything but
// the zeroed outputs is written.
int32_t ReadPower(double* cpu, double* gpu, double* ane, double* soc) {
  *soc = 0.0;
  *ane = 0.0;
  *gpu = 0.0;
  *cpu = 0.0;
  if (g_ior.state == 0) g_ior.state = Initialise();
  if (g_ior.state != 1) return -1;
  EnergySource& source = *g_ior.source;

  std::unique_ptr<EnergySample> sample = source.CreateSamples(*g_ior.subscription, *g_ior.channels);
  if (!sample) return -1;
  const double now = source.Now();  // after the sample, like every stored time

  if (!g_ior.lastSample) {
    g_ior.lastSample = std::move(sample);
    g_ior.lastTime = now;
    return -1;
  }

  // Too short an interval keeps the older sample as the reference; so does a clock set back,
  // and a reading that is not a number.
  const double elapsed = now - g_ior.lastTime;
  if (!(elapsed >= kMinInterval)) return -1;  // the new sample is released here

  std::unique_ptr<EnergyDelta> delta = source.CreateSamplesDelta(*g_ior.lastSample, *sample);
  // The chain advances whether or not the delta could be made.
  g_ior.lastSample = std::move(sample);
  g_ior.lastTime = now;
  if (!delta) return -1;

  double cpu_energy = 0.0;
  double gpu_energy = 0.0;
  double ane_energy = 0.0;
  VisitorContext context{&cpu_energy, &gpu_energy, &ane_energy, &source,
                         g_ior.offers[static_cast<int>(EnergyOperation::kChannelGetUnitLabel)]};
  source.Iterate(*delta,
                 [&context](const EnergyChannel& channel) { VisitChannel(context, channel); });
  delta.reset();

  *cpu = cpu_energy / elapsed;
  *gpu = gpu_energy / elapsed;
  *ane = ane_energy / elapsed;
  // The three energies are summed first and divided once.
  *soc = ((cpu_energy + gpu_energy) + ane_energy) / elapsed;
  return 0;
}

}  // namespace
}  // namespace ostrel

extern "C" int32_t ostrel_read_power(double* cpu, double* gpu, double* ane, double* soc) {
  try {
    return ostrel::ReadPower(cpu, gpu, ane, soc);
  } catch (const std::bad_alloc&) {
    return -1;  // the outputs are zero already; C callers get a status
  }
}
