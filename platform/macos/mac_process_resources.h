// mac_process_resources.h: what the server asks macOS about its own process (the operations of
// platform/process_resources.h): descriptors still free, and giving freed heap memory back.
//
// Descriptors are counted in /dev/fd, which lists this process's open descriptors, against
// RLIMIT_NOFILE. Free heap pages go back through the allocator's malloc_zone_pressure_relief,
// looked up in the system library at run time. Plain functions without state of their own;
// safe on any thread.
#ifndef OSTREL_PLATFORM_MACOS_MAC_PROCESS_RESOURCES_H_
#define OSTREL_PLATFORM_MACOS_MAC_PROCESS_RESOURCES_H_

#include <stdint.h>

#include "platform/macos/symbol_resolver.h"

namespace ostrel::macos {

// The descriptors this process may still open: its limit on open files minus those open now;
// 0 when it cannot be told.
int64_t FreeDescriptorCount();

// True when `count` (at most 64) more files can be opened right now: opens that many and
// closes them again.
bool CanOpenDescriptors(int count);

// Gives every zone's free pages back to the system; nothing when the allocator function is
// missing. `libraries` is borrowed.
void ReleaseFreeMemory(MacLibraries& libraries);

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_MAC_PROCESS_RESOURCES_H_
