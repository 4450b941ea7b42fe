// temp_source.h: where the temperature reader gets its readings from.
//
// A TempSource walks the machine's temperature sensors and hands each one to a visitor as a
// (name, degrees Celsius) pair. The reader above it knows nothing of where the pairs come from;
// it sorts them by the words their names contain. So a source names every sensor in the
// vocabulary below: a CPU or SoC die sensor gets a name that contains kDieWord, a storage sensor
// one that contains kStorageWord (or kNandWord), a battery sensor one that contains
// kBatteryWord, and every other sensor a name that contains none of these words. A source may
// also leave out, without reading its value, a sensor that it already knows counts in no group.
//
// Ownership and threads: a source owns nothing between calls; ForEachSensor keeps no state
// from one call to the next and may run on many threads at once.
#ifndef OSTREL_PLATFORM_TEMP_SOURCE_H_
#define OSTREL_PLATFORM_TEMP_SOURCE_H_

#include <functional>
#include <memory>

namespace ostrel {

// The words a sensor name is matched against, ignoring case.
inline constexpr char kDieWord[] = "tdie";
inline constexpr char kNandWord[] = "NAND";
inline constexpr char kStorageWord[] = "SSD";
inline constexpr char kBatteryWord[] = "battery";

class TempSource {
 public:
  // Receives one sensor: its zero-terminated name, or nullptr when the sensor has none (the
  // text is valid only during the call), and its temperature in degrees Celsius.
  using Visitor = std::function<void(const char* name, double celsius)>;

  virtual ~TempSource() = default;

  // Reads every sensor afresh and calls `visit` once per sensor whose value could be read, in a
  // stable order (the same machine state gives the same sequence). Sensors that cannot be read
  // are left out; nothing is thrown for them. Returns when every sensor has been visited.
  virtual void ForEachSensor(const Visitor& visit) = 0;
};

// A new instance of the machine's own temperature source. Each operating system's folder
// defines it (on Linux: the hwmon and power_supply classes under "/sys"). The temperature
// reader makes one per reading.
std::unique_ptr<TempSource> NewMachineTempSource();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_TEMP_SOURCE_H_
