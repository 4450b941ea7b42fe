// folder_listing.cc: chip folder listings remembered by identity, behind one lock.
#include "platform/linux/folder_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <mutex>

#include "platform/linux/sysfs.h"

namespace ostrel {
namespace {

// What a folder is, as far as its entries go: the same identity, the same entries.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  timespec mtime{};
  timespec ctime{};
  bool operator==(const Identity& o) const {
    return dev == o.dev && ino == o.ino && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

Identity IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_mtim, st.st_ctim};
}

struct Remembered {
  Identity identity;
  time_t listed_at = 0;  // wall clock, seconds
  std::shared_ptr<const std::string> names;
};

std::mutex g_mu;
Remembered g_folders[FolderListing::kMaxFolders];  // slots with names are in use

time_t Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now.tv_sec;
}

std::shared_ptr<const std::string> Find(const Identity& identity, time_t now) {
  std::lock_guard<std::mutex> hold(g_mu);
  for (const Remembered& r : g_folders) {
    if (r.names && r.identity == identity && now >= r.listed_at &&
        now - r.listed_at < FolderListing::kMaxAgeSeconds) {
      return r.names;
    }
  }
  return nullptr;
}

void Remember(const Identity& identity, time_t now, std::shared_ptr<const std::string> names) {
  std::lock_guard<std::mutex> hold(g_mu);
  Remembered* slot = &g_folders[0];
  for (Remembered& r : g_folders) {
    if (!r.names || r.identity == identity) {
      slot = &r;
      break;
    }
    if (r.listed_at < slot->listed_at) slot = &r;  // else the oldest gives way
  }
  *slot = Remembered{identity, now, std::move(names)};
}

}  // namespace

FolderListing::FolderListing(int dir_fd, const char* name) {
  struct stat st;
  const int looked = name != nullptr ? fstatat(dir_fd, name, &st, 0) : fstat(dir_fd, &st);
  if (looked != 0 || !S_ISDIR(st.st_mode)) return;
  const time_t now = Now();
  names_ = Find(IdentityOf(st), now);
  if (names_) return;

  // Not remembered: list it. The identity stored is the one of the folder actually listed,
  // taken before its entries are read, so a change during the listing shows next time.
  ScopedFd opened = name != nullptr ? OpenDirAt(dir_fd, name) : ScopedFd();
  const int fd = name != nullptr ? opened.get() : dir_fd;
  if (fd < 0 || fstat(fd, &st) != 0) return;
  auto names = std::make_shared<std::string>();
  DirLister lister(fd);
  while (const char* entry = lister.Next()) names->append(entry, strlen(entry) + 1);
  // A listing cut short by a failure is used once, as a direct listing would be, not kept.
  if (!lister.failed() && st.st_mtim.tv_sec <= now - kRacySeconds)
    Remember(IdentityOf(st), now, names);
  names_ = std::move(names);
}

const char* FolderListing::Next() {
  if (!names_ || pos_ >= names_->size()) return nullptr;
  const char* name = names_->data() + pos_;
  pos_ += strlen(name) + 1;
  return name;
}

bool FolderListing::Has(std::string_view name) const {
  if (!names_) return false;
  for (size_t at = 0; at < names_->size(); at += strlen(names_->data() + at) + 1) {
    if (name == names_->data() + at) return true;
  }
  return false;
}

}  // namespace ostrel
