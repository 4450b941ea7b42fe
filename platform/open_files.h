// open_files.h: how many more descriptors this process may open, counted against its limit on
// open files and probed by taking them. The server's descriptor budget is built on these.
//
// Plain functions without state of their own; safe on any thread. Each operating system's
// folder defines them.
#ifndef OSTREL_PLATFORM_OPEN_FILES_H_
#define OSTREL_PLATFORM_OPEN_FILES_H_

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

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_OPEN_FILES_H_
