// dev_fd_open_files.h: the descriptors macOS still lets this process open (the operations of
// platform/open_files.h), counted in /dev/fd, which lists the process's open descriptors,
// against RLIMIT_NOFILE.
//
// Plain functions without state of their own; safe on any thread.
#ifndef OSTREL_PLATFORM_MACOS_DEV_FD_OPEN_FILES_H_
#define OSTREL_PLATFORM_MACOS_DEV_FD_OPEN_FILES_H_

#include <stdint.h>

namespace ostrel::macos {

// The descriptors this process may still open: its limit on open files minus those open now;
// 0 when it cannot be told.
int64_t FreeDescriptorCount();

// True when `count` (at most 64) more files can be opened right now: opens that many and
// closes them again.
bool CanOpenDescriptors(int count);

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_DEV_FD_OPEN_FILES_H_
