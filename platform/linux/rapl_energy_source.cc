// rapl_energy_source.cc: the powercap RAPL zones as the "Energy Model" group of an energy source.
#include "platform/linux/rapl_energy_source.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <utility>

#include "platform/linux/sysfs.h"

namespace ostrel {
namespace {

constexpr std::string_view kZonePrefix = "intel-rapl:";

// No machine whose counters the kernel shows as RAPL zones draws more than this through them:
// eight sockets of today's largest server processors at 500 W each are 4 kW. An interval whose
// counters add up to more energy than this power for that long holds a counter fault (a reset,
// a jump, a value read half-way through an update), not a measurement.
constexpr double kMaxWatts = 5000.0;

// The channel set handed out by CopyChannelsInGroup and MutableCopy.
class RaplChannels : public EnergyChannels {
 public:
  explicit RaplChannels(std::vector<RaplEnergySource::Channel> channels)
      : channels_(std::move(channels)) {}
  const std::vector<RaplEnergySource::Channel>& channels() const { return channels_; }

 private:
  std::vector<RaplEnergySource::Channel> channels_;  // a copy of what Load found
};

// Sampling needs no per-subscription state: every sample reads the files anew.
class RaplSubscription : public EnergySubscription {};

// One zone's counter in a sample, with the range it wraps at.
struct ZoneCounter {
  int64_t value;      // energy_uj, 0..max_range
  int64_t max_range;  // max_energy_range_uj
};

// One channel's counters in a sample.
struct ChannelCounters {
  std::string_view name;           // a static channel name
  std::vector<ZoneCounter> zones;  // in the channel's zone order
};

}  // namespace

// A sample of the counters. It learns its time from the source's Now() that follows it (see
// Now()); until then, and for good when a subclass supplies its own clock, the time is unknown.
class RaplEnergySource::Sample : public EnergySample {
 public:
  std::vector<ChannelCounters> channels;  // in the channel set's order
  // The reader's clock right after it, in seconds, or NaN; shared with the source until noted,
  // so that neither outliving the other matters.
  std::shared_ptr<double> time = std::make_shared<double>(NAN);
};

namespace {

class RaplDeltaChannel : public EnergyChannel {
 public:
  RaplDeltaChannel(std::string_view name, int64_t count) : name(name), count(count) {}
  std::string_view name;  // a static channel name
  int64_t count;          // microjoules counted over the interval, all zones summed
};

class RaplDelta : public EnergyDelta {
 public:
  std::vector<RaplDeltaChannel> channels;  // in the samples' channel order
};

// The numbers of a zone entry name: "intel-rapl:3" is package 3, "intel-rapl:3:1" part 1 of it.
struct ZoneName {
  int64_t package;  // N of intel-rapl:N
  bool is_part;     // a part of the package (intel-rapl:N:M), not the package itself
};

// Parses a zone entry name; nothing for anything else.
std::optional<ZoneName> ParseZoneName(std::string_view entry) {
  if (entry.substr(0, kZonePrefix.size()) != kZonePrefix) return std::nullopt;
  std::string_view rest = entry.substr(kZonePrefix.size());
  const size_t colon = rest.find(':');
  auto digits = [](std::string_view text) -> std::optional<int64_t> {
    if (text.empty()) return std::nullopt;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    return ParseSysfsInt(text);
  };
  if (colon == std::string_view::npos) {
    if (std::optional<int64_t> package = digits(rest)) return ZoneName{*package, false};
    return std::nullopt;
  }
  const std::optional<int64_t> package = digits(rest.substr(0, colon));
  if (!package || !digits(rest.substr(colon + 1))) return std::nullopt;
  return ZoneName{*package, true};
}

// The zone at `zone_dir` when its range is positive and its counter can be read now.
std::optional<RaplEnergySource::Zone> ProbeZone(const std::string& zone_dir) {
  RaplEnergySource::Zone zone{zone_dir + "/energy_uj", 0};
  const std::optional<int64_t> max_range = ReadSysfsInt(zone_dir + "/max_energy_range_uj");
  if (!max_range || *max_range <= 0) return std::nullopt;
  const std::optional<int64_t> value = ReadSysfsInt(zone.energy_path);
  if (!value || *value < 0 || *value > *max_range) return std::nullopt;
  zone.max_range = *max_range;
  return zone;
}

// What a counter that runs 0..max_range and then starts again at 0 counted from `older` to
// `newer` (both within 0..max_range); nothing when that can't be told. A step down is taken for a
// wrap only when the distance forward through the wrap, (max_range - older) + newer + 1, is
// less than half the counter's range, that is when the older value was near the top and the
// newer one is near the bottom. Half the range is minutes of the most a package draws (Intel's
// 262 kJ counters take 26 s even at the 5 kW bound, AMD's 65.5 kJ ones over a minute at 500 W),
// far longer than the seconds between readings, so a real wrap always lands in that half; a
// counter that steps back a little (a glitch, a reset, a read on another CPU) lands near the
// whole range instead, would read as a flood of energy, and is refused.
std::optional<int64_t> Counted(int64_t older, int64_t newer, int64_t max_range) {
  if (newer >= older) return newer - older;
  // Unsigned: max_range may be as large as INT64_MAX, and so may the sum.
  const uint64_t forward =
      static_cast<uint64_t>(max_range - older) + static_cast<uint64_t>(newer) + 1;
  const uint64_t half_range = (static_cast<uint64_t>(max_range) + 1) / 2;
  if (forward >= half_range) return std::nullopt;
  return static_cast<int64_t>(forward);
}

// True when the processor's vendor (the first "vendor_id" of <proc_root>/cpuinfo) is AMD or
// Hygon (AMD's design, built under licence). Their kernel driver registers a "core" zone under
// each package too, but its counter is the energy of the one core it is read on, not of all
// cores: there the package zone is the CPU. Missing or unknown (other architectures): false.
bool PackageIsCpu(const std::string& proc_root) {
  char text[1024];  // "processor\t: 0\nvendor_id\t: AuthenticAMD\n..."; the vendor is line 2
  const std::optional<size_t> n =
      ReadAttribute((proc_root + "/cpuinfo").c_str(), text, sizeof text - 1);
  if (!n || *n == 0) return false;
  text[*n] = '\0';
  for (char* line = text; line != nullptr && *line != '\0';) {
    char* end = strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    if (strncmp(line, "vendor_id", 9) == 0) {
      const char* value = strchr(line, ':');
      if (value == nullptr) return false;
      ++value;
      while (*value == ' ' || *value == '\t') ++value;
      return strncmp(value, "AuthenticAMD", 12) == 0 || strncmp(value, "HygonGenuine", 12) == 0;
    }
    line = end != nullptr ? end + 1 : nullptr;
  }
  return false;
}

}  // namespace

RaplEnergySource::RaplEnergySource(std::string sys_root, std::string proc_root)
    : sys_root_(std::move(sys_root)), proc_root_(std::move(proc_root)) {}

RaplEnergySource::~RaplEnergySource() { CloseCounters(); }

void RaplEnergySource::CloseCounters() {
  for (int fd : counter_fds_) {
    if (fd >= 0) close(fd);
  }
  counter_fds_.clear();
}

std::optional<int64_t> RaplEnergySource::ReadCounter(const Zone& zone) {
  if (zone.counter >= counter_fds_.size()) return std::nullopt;
  int& fd = counter_fds_[zone.counter];
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (fd < 0) {
      do {
        fd = open(zone.energy_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      } while (fd < 0 && errno == EINTR);
      if (fd < 0) return std::nullopt;
    }
    // Reading from offset 0 makes sysfs produce the value afresh: one system call per counter
    // instead of open, read and close. A descriptor that no longer reads is opened again once,
    // so a zone removed and added again (the driver reloaded) is found again.
    char buf[32];
    ssize_t n;
    do {
      n = pread(fd, buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
      // A full buffer means the value may be cut: not a number to trust.
      if (n == 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
      return ParseSysfsInt(std::string_view(buf, static_cast<size_t>(n)));
    }
    // The descriptor no longer reads (the zone was removed, and may be back): open it afresh.
    close(fd);
    fd = -1;
  }
  return std::nullopt;
}

bool RaplEnergySource::Load() {
  // Per package (keyed by the zone number N of intel-rapl:N): its own zone and its core parts.
  struct Package {
    bool has_zone = false;
    Zone zone;
    std::vector<Zone> cores;
  };
  std::map<int64_t, Package> packages;
  std::vector<Zone> uncores;

  const std::string class_dir = sys_root_ + "/class/powercap";
  for (const std::string& entry : ListEntries(class_dir, kZonePrefix)) {
    const std::optional<ZoneName> parsed = ParseZoneName(entry);
    if (!parsed) continue;
    const std::string zone_dir = class_dir + "/" + entry;
    const std::optional<std::string> name = ReadSysfsText(zone_dir + "/name");
    if (!name) continue;
    const bool is_package = !parsed->is_part && name->rfind("package-", 0) == 0;
    const bool is_core = parsed->is_part && *name == "core";
    const bool is_uncore = parsed->is_part && *name == "uncore";
    if (!is_package && !is_core && !is_uncore) continue;  // psys, dram, anything new
    std::optional<Zone> zone = ProbeZone(zone_dir);
    if (!zone) continue;
    Package& package = packages[parsed->package];
    if (is_package) {
      package.has_zone = true;
      package.zone = std::move(*zone);
    } else if (is_core) {
      package.cores.push_back(std::move(*zone));
    } else {
      uncores.push_back(std::move(*zone));
    }
  }

  channels_.clear();
  package_is_cpu_ = PackageIsCpu(proc_root_);
  Channel cpu{kCpuChannel, {}};
  for (auto& [number, package] : packages) {
    // Where the core zone is the CPU cores alone (Intel), it is the CPU; a package without one,
    // or one whose core zone is a single core's (AMD, Hygon), counts as a whole.
    if (!package_is_cpu_ && !package.cores.empty()) {
      for (Zone& core : package.cores) cpu.zones.push_back(std::move(core));
    } else if (package.has_zone) {
      cpu.zones.push_back(std::move(package.zone));
    }
  }
  if (!cpu.zones.empty()) channels_.push_back(std::move(cpu));
  if (!uncores.empty()) channels_.push_back(Channel{kGpuChannel, std::move(uncores)});
  // Each counted zone's counter, opened at its first sample and kept open.
  CloseCounters();
  for (Channel& channel : channels_) {
    for (Zone& zone : channel.zones) {
      zone.counter = counter_fds_.size();
      counter_fds_.push_back(-1);
    }
  }
  loaded_ = !channels_.empty();
  return loaded_;
}

bool RaplEnergySource::Offers(EnergyOperation /*operation*/) { return loaded_; }

std::unique_ptr<EnergyChannels> RaplEnergySource::CopyChannelsInGroup(std::string_view group) {
  if (!loaded_ || group != kGroup) return nullptr;
  return std::make_unique<RaplChannels>(channels_);
}

std::unique_ptr<EnergyChannels> RaplEnergySource::MutableCopy(const EnergyChannels& channels) {
  const RaplChannels* own = AsConcrete<RaplChannels>(channels);
  return std::make_unique<RaplChannels>(own != nullptr ? own->channels() : std::vector<Channel>());
}

std::unique_ptr<EnergySubscription> RaplEnergySource::CreateSubscription(
    EnergyChannels& /*channels*/, std::unique_ptr<EnergyChannels>* /*subscribed*/) {
  return std::make_unique<RaplSubscription>();
}

std::unique_ptr<EnergySample> RaplEnergySource::CreateSamples(
    const EnergySubscription& /*subscription*/, const EnergyChannels& channels) {
  const RaplChannels* own = AsConcrete<RaplChannels>(channels);
  if (own == nullptr) return nullptr;
  auto sample = std::make_unique<Sample>();
  sample->channels.reserve(own->channels().size());
  for (const Channel& channel : own->channels()) {
    ChannelCounters counters{channel.name, {}};
    counters.zones.reserve(channel.zones.size());
    for (const Zone& zone : channel.zones) {
      const std::optional<int64_t> value = ReadCounter(zone);
      if (!value || *value < 0 || *value > zone.max_range) return nullptr;
      counters.zones.push_back(ZoneCounter{*value, zone.max_range});
    }
    sample->channels.push_back(std::move(counters));
  }
  pending_time_ = sample->time;  // the next Now() notes its time
  return sample;
}

std::unique_ptr<EnergyDelta> RaplEnergySource::CreateSamplesDelta(const EnergySample& older,
                                                                  const EnergySample& newer) {
  const Sample* older_sample = AsConcrete<Sample>(older);
  const Sample* newer_sample = AsConcrete<Sample>(newer);
  if (older_sample == nullptr || newer_sample == nullptr) return nullptr;
  const auto& before = older_sample->channels;
  const auto& after = newer_sample->channels;
  if (before.size() != after.size()) return nullptr;
  auto delta = std::make_unique<RaplDelta>();
  delta->channels.reserve(after.size());
  double total = 0.0;  // microjoules, every channel
  for (size_t c = 0; c < after.size(); ++c) {
    if (before[c].name != after[c].name || before[c].zones.size() != after[c].zones.size()) {
      return nullptr;
    }
    int64_t count = 0;
    for (size_t z = 0; z < after[c].zones.size(); ++z) {
      const ZoneCounter& old_counter = before[c].zones[z];
      const ZoneCounter& new_counter = after[c].zones[z];
      if (old_counter.max_range != new_counter.max_range) return nullptr;
      // Each zone wraps at its own range, so wraps are undone before the zones are summed.
      const std::optional<int64_t> counted =
          Counted(old_counter.value, new_counter.value, new_counter.max_range);
      if (!counted || __builtin_add_overflow(count, *counted, &count)) return nullptr;
    }
    delta->channels.emplace_back(after[c].name, count);
    total += static_cast<double>(count);
  }
  // Counts are never negative; more energy than kMaxWatts for the interval the reader divides
  // by is a fault (an interval of zero or less can hold none at all). Unknown times (a clock
  // supplied by a subclass) leave the bound to whoever supplies that clock.
  const double elapsed = *newer_sample->time - *older_sample->time;
  if (!isnan(elapsed) && total > 0.0 && !(total <= kMaxWatts * 1e6 * elapsed)) return nullptr;
  return delta;
}

void RaplEnergySource::Iterate(const EnergyDelta& delta, const EnergyChannelVisitor& visit) {
  const RaplDelta* own = AsConcrete<RaplDelta>(delta);
  if (own == nullptr) return;
  for (const RaplDeltaChannel& channel : own->channels) visit(channel);
}

std::optional<std::string_view> RaplEnergySource::ChannelName(const EnergyChannel& channel) {
  const RaplDeltaChannel* own = AsConcrete<RaplDeltaChannel>(channel);
  if (own == nullptr) return std::nullopt;
  return own->name;
}

std::optional<std::string_view> RaplEnergySource::UnitLabel(const EnergyChannel& /*channel*/) {
  return kUnitLabel;
}

int64_t RaplEnergySource::SimpleIntegerValue(const EnergyChannel& channel) {
  const RaplDeltaChannel* own = AsConcrete<RaplDeltaChannel>(channel);
  return own != nullptr ? own->count : 0;
}

// The power reader reads the clock right after each sample, so noting that time here makes the
// interval it divides by exactly the one CreateSamplesDelta checks against the 5 kW bound.
double RaplEnergySource::Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const double time = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  if (const std::shared_ptr<double> pending = pending_time_.lock()) *pending = time;
  pending_time_.reset();
  return time;
}

}  // namespace ostrel
