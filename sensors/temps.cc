// temps.cc: the temperature reader. Each call sorts the source's pairs into three groups kept
// on the stack and writes the readings straight into the caller's records; nothing is shared
// between calls or threads.
#include "sensors/temps.h"

#include <string.h>

#include <memory>
#include <new>

namespace ostrel {
namespace {

// Sums in the order the values arrive; the die group also keeps its peak.
struct Groups {
  double die_sum = 0.0;       // sum of the die values
  int32_t die_count = 0;      // number of die values
  double die_peak = 0.0;      // largest die value so far
  double storage_sum = 0.0;   // sum of the storage values
  int32_t storage_count = 0;  // number of storage values
  double battery_sum = 0.0;   // sum of the battery values
  int32_t battery_count = 0;  // number of battery values
};

void Classify(const char* name, double celsius, Groups* groups) {
  // The range test is written so that NaN fails it.
  if (!(celsius > 0.0 && celsius < 130.0)) return;
  // The name as matched: at most kTempNameMax - 1 bytes, zero-terminated, empty without a name.
  char text[kTempNameMax];
  memset(text, 0, sizeof text);
  if (name != nullptr) strncpy(text, name, sizeof text - 1);

  if (strcasestr(text, kDieWord) != nullptr) {
    groups->die_sum += celsius;
    ++groups->die_count;
    if (celsius > groups->die_peak) groups->die_peak = celsius;
  } else if (strcasestr(text, kNandWord) != nullptr || strcasestr(text, kStorageWord) != nullptr) {
    groups->storage_sum += celsius;
    ++groups->storage_count;
  } else if (strcasestr(text, kBatteryWord) != nullptr) {
    groups->battery_sum += celsius;
    ++groups->battery_count;
  }
}

// Writes one reading into `record`: the label's characters and terminator, then the value.
void Emit(OstrelTemp* record, const char* label, double celsius) {
  memcpy(record->label, label, strlen(label) + 1);
  record->celsius = celsius;
}

}  // namespace

int32_t ReadTemps(TempSource& source, OstrelTemp* out, int32_t capacity) {
  // Nothing could be written, so the sensors need not be read.
  if (capacity <= 0) return 0;

  Groups groups;
  source.ForEachSensor(
      [&groups](const char* name, double celsius) { Classify(name, celsius, &groups); });

  int32_t n = 0;
  auto emit = [&](bool present, const char* label, double celsius) {
    if (present && n < capacity) Emit(&out[n++], label, celsius);
  };
  const bool die = groups.die_count >= 1;
  emit(die, "CPU / SoC (avg)", die ? groups.die_sum / static_cast<double>(groups.die_count) : 0);
  emit(die, "CPU / SoC (peak)", groups.die_peak);
  const bool storage = groups.storage_count >= 1;
  emit(storage, "SSD",
       storage ? groups.storage_sum / static_cast<double>(groups.storage_count) : 0);
  const bool battery = groups.battery_count >= 1;
  emit(battery, "Battery",
       battery ? groups.battery_sum / static_cast<double>(groups.battery_count) : 0);
  return n;
}

}  // namespace ostrel

extern "C" int32_t ostrel_read_temps(OstrelTemp* out, int32_t capacity) {
  try {
    std::unique_ptr<ostrel::TempSource> source = ostrel::NewMachineTempSource();
    return ostrel::ReadTemps(*source, out, capacity);
  } catch (const std::bad_alloc&) {
    // The one exception here, thrown before any record is written; C callers get a count.
    return 0;
  }
}
