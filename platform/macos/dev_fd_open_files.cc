// dev_fd_open_files.cc: /dev/fd and RLIMIT_NOFILE; the probe opens new files.
#include "platform/macos/dev_fd_open_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace ostrel::macos {

int64_t FreeDescriptorCount() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  int folder;
  do {
    folder = open("/dev/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (folder < 0 && errno == EINTR);
  if (folder < 0) return 0;
  DIR* listing = fdopendir(folder);  // takes the descriptor over
  if (listing == nullptr) {
    close(folder);
    return 0;
  }
  int64_t open_count = -1;  // the listing's own descriptor is not counted
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') ++open_count;  // skip "." and ".."
  }
  closedir(listing);
  if (limit.rlim_cur == RLIM_INFINITY) return INT64_MAX;
  const int64_t free_count = static_cast<int64_t>(limit.rlim_cur) - open_count;
  return free_count > 0 ? free_count : 0;
}

bool CanOpenDescriptors(int count) {
  constexpr int kMaxProbe = 64;
  int descriptors[kMaxProbe];
  if (count > kMaxProbe) count = kMaxProbe;
  int opened = 0;
  while (opened < count) {
    // A new open file each, not a dup: the system-wide table counts those too.
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      break;
    }
    descriptors[opened++] = fd;
  }
  for (int i = 0; i < opened; ++i) close(descriptors[i]);
  return opened == count;
}

}  // namespace ostrel::macos
