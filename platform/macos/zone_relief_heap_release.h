// zone_relief_heap_release.h: giving free heap pages back on macOS (the operation of
// platform/heap_release.h), through the allocator's malloc_zone_pressure_relief, looked up in
// the system library at run time.
//
// A plain function without state of its own; safe on any thread.
#ifndef OSTREL_PLATFORM_MACOS_ZONE_RELIEF_HEAP_RELEASE_H_
#define OSTREL_PLATFORM_MACOS_ZONE_RELIEF_HEAP_RELEASE_H_

#include "platform/macos/symbol_resolver.h"

namespace ostrel::macos {

// Gives every zone's free pages back to the system; nothing when the allocator function is
// missing. `libraries` is borrowed.
void ReleaseFreeMemory(MacLibraries& libraries);

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_ZONE_RELIEF_HEAP_RELEASE_H_
