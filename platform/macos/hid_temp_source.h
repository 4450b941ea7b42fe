// hid_temp_source.h: the machine's temperature sensors on macOS, read through the HID event
// system of IOKit.
//
// Each walk makes an event-system client, matches it to the temperature sensors (usage page
// 0xFF00, usage 5), and visits every matched service that has a temperature event: its
// "Product" name (UTF-8, at most 127 bytes; nullptr when the service has none) and the event's
// temperature level in degrees Celsius. The names are the sensors' own ("PMU tdie1",
// "NAND CH0 temp", "gas gauge battery"); they already carry the words the temperature reader
// sorts by. The event-system functions are looked up by name in the IOKit framework on every
// walk (`iokit_sym`); the framework's handle is opened once and kept for the process.
//
// Ownership: a walk creates the client, the matching dictionary and its two numbers, the
// service array, and per service its name and event, and releases each before it returns.
// Threads: ForEachSensor keeps its state on the stack; any number may run at once.
#ifndef OSTREL_PLATFORM_MACOS_HID_TEMP_SOURCE_H_
#define OSTREL_PLATFORM_MACOS_HID_TEMP_SOURCE_H_

#include "platform/macos/core_foundation.h"
#include "platform/macos/symbol_resolver.h"
#include "platform/temp_source.h"

namespace ostrel::macos {

class HidTempSource final : public TempSource {
 public:
  // `libraries` is borrowed and must outlive the source.
  explicit HidTempSource(MacLibraries& libraries);

  void ForEachSensor(const Visitor& visit) override;

 private:
  // The address of `symbol` in the IOKit framework, or null (the framework can't be opened, or
  // has no such function); the open is tried again by the next call after a failure.
  void* iokit_sym(const char* symbol);

  MacLibraries& libraries_;  // borrowed
  const CoreFoundation cf_;  // resolved once per source
};

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_HID_TEMP_SOURCE_H_
