// proc_fd_open_files.cc: descriptors counted in /proc/self/fd against RLIMIT_NOFILE, and probed
// with one open and its duplicates.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/open_files.h"

namespace ostrel {

int64_t FreeDescriptorCount() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  int dir;
  do {
    dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (dir < 0 && errno == EINTR);
  if (dir < 0) return 0;
  // getdents64 straight into a buffer of our own: no allocation, and one descriptor.
  alignas(8) char buf[8192];
  int64_t open_count = 0;
  for (;;) {
    const long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (long offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buf + offset);
      if (entry->d_name[0] != '.') ++open_count;  // skip "." and ".."
      offset += entry->d_reclen;
    }
  }
  close(dir);
  --open_count;  // the listing's own descriptor, closed again
  if (limit.rlim_cur == RLIM_INFINITY) return INT64_MAX;
  const int64_t free_count = static_cast<int64_t>(limit.rlim_cur) - open_count;
  return free_count > 0 ? free_count : 0;
}

bool CanOpenDescriptors(int count) {
  if (count <= 0) return true;
  // One new open file (the system-wide table, ENFILE, counts those), then duplicates of it to
  // take the rest of the slots in this process's table (EMFILE): a duplicate costs a fraction
  // of an open.
  int first;
  do {
    first = open("/dev/null", O_RDONLY | O_CLOEXEC);
  } while (first < 0 && errno == EINTR);
  if (first < 0) return false;
  constexpr int kMaxProbe = 64;
  int copies[kMaxProbe];
  int taken = 0;
  while (taken + 1 < count && taken < kMaxProbe) {
    const int copy = fcntl(first, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) break;
    copies[taken++] = copy;
  }
  const bool enough = taken + 1 >= count || taken == kMaxProbe;
  for (int i = 0; i < taken; ++i) close(copies[i]);
  close(first);
  return enough;
}

}  // namespace ostrel
