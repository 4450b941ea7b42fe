// process_resources.h: what the server asks the operating system about its own process: how
// many more descriptors it may open, and giving freed heap memory back.
//
// Plain functions without state of their own; safe on any thread. Each operating system's
// folder defines them (on Linux: /proc/self/fd, RLIMIT_NOFILE and glibc's malloc_trim).
#ifndef OSTREL_PLATFORM_PROCESS_RESOURCES_H_
#define OSTREL_PLATFORM_PROCESS_RESOURCES_H_

#include <stdint.h>

namespace ostrel {

// The descriptors this process may still open before it reaches its limit on open files: the
// limit minus those open now. 0 when it cannot be told (counting needs one descriptor itself).
// Costs time in proportion to the descriptors open: call it when it matters, not per request.
int64_t FreeDescriptorCount();

// True when `count` more files can be opened right now: takes that many descriptors (one new open
// file and duplicates of it) and closes them again.
// Fails for want of descriptors in this process or in the whole system alike.
bool CanOpenDescriptors(int count);

// Hands the heap's free pages back to the system, so that a process that has served a burst of
// work shrinks back to its idle size.
void ReleaseFreeMemory();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_PROCESS_RESOURCES_H_
