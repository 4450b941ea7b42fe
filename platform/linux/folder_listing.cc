// folder_listing.cc: chip folder listings remembered by identity, behind one lock, with the
// files read in them kept open.
#include "platform/linux/folder_listing.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/linux/sysfs.h"

namespace ostrel {
namespace {

// What a folder is, as far as its entries go: the same identity, the same entries. The birth
// time tells apart a folder made where one was removed and given its inode number (ext4 and
// tmpfs hand numbers out again; sysfs numbers carry a generation and are never reused).
struct Identity {
  uint64_t dev = 0;
  uint64_t ino = 0;
  statx_timestamp times[3] = {};  // modification, change and birth (0 where not kept)
  bool operator==(const Identity& o) const {
    if (dev != o.dev || ino != o.ino) return false;
    for (int i = 0; i < 3; ++i) {
      if (times[i].tv_sec != o.times[i].tv_sec || times[i].tv_nsec != o.times[i].tv_nsec) {
        return false;
      }
    }
    return true;
  }
};

// The identity of the folder `name` relative to `dir_fd` (nullptr: `dir_fd` itself); false when
// it cannot be looked at or is no folder.
bool Look(int dir_fd, const char* name, Identity* identity) {
  struct statx st;
  const unsigned mask = STATX_TYPE | STATX_INO | STATX_MTIME | STATX_CTIME | STATX_BTIME;
  if (statx(dir_fd, name != nullptr ? name : "", name != nullptr ? 0 : AT_EMPTY_PATH, mask, &st) !=
          0 ||
      !S_ISDIR(st.stx_mode)) {
    return false;
  }
  identity->dev = (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  identity->ino = st.stx_ino;
  identity->times[0] = st.stx_mtime;
  identity->times[1] = st.stx_ctime;
  if (st.stx_mask & STATX_BTIME) identity->times[2] = st.stx_btime;
  return true;
}

std::atomic<int> g_kept{0};  // files kept open by every Folder together

}  // namespace

struct FolderListing::Folder {
  ~Folder() {
    for (const auto& [name, fd] : files) close(fd);
    g_kept -= static_cast<int>(files.size());
  }
  std::string names;        // zero-terminated names, one after another; fixed once made
  bool remembered = false;  // fixed once made: files are kept only when remembered
  std::mutex mu;            // guards files
  std::vector<std::pair<std::string, int>> files;  // entry name, descriptor kept open
};

namespace {

struct Remembered {
  Identity identity;
  time_t listed_at = 0;  // wall clock, seconds
  std::shared_ptr<FolderListing::Folder> folder;
};

std::mutex g_mu;
Remembered g_folders[FolderListing::kMaxFolders];  // slots with names are in use

time_t Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now.tv_sec;
}

std::shared_ptr<FolderListing::Folder> Find(const Identity& identity, time_t now) {
  std::lock_guard<std::mutex> hold(g_mu);
  for (const Remembered& r : g_folders) {
    if (r.folder && r.identity == identity && now >= r.listed_at &&
        now - r.listed_at < FolderListing::kMaxAgeSeconds) {
      return r.folder;
    }
  }
  return nullptr;
}

void Remember(const Identity& identity, time_t now, std::shared_ptr<FolderListing::Folder> folder) {
  std::shared_ptr<FolderListing::Folder> forgotten;  // closes its files after the lock
  std::lock_guard<std::mutex> hold(g_mu);
  Remembered* slot = &g_folders[0];
  for (Remembered& r : g_folders) {
    if (!r.folder || r.identity == identity) {
      slot = &r;
      break;
    }
    if (r.listed_at < slot->listed_at) slot = &r;  // else the oldest gives way
  }
  forgotten = std::move(slot->folder);
  *slot = Remembered{identity, now, std::move(folder)};
}

}  // namespace

FolderListing::FolderListing(int dir_fd, const char* name) {
  Identity identity;
  if (!Look(dir_fd, name, &identity)) return;
  const time_t now = Now();
  folder_ = Find(identity, now);
  if (folder_) return;

  // Not remembered: list it. The identity stored is the one of the folder actually listed,
  // taken before its entries are read, so a change during the listing shows next time.
  ScopedFd opened = name != nullptr ? OpenDirAt(dir_fd, name) : ScopedFd();
  const int fd = name != nullptr ? opened.get() : dir_fd;
  if (fd < 0 || !Look(fd, nullptr, &identity)) return;
  auto folder = std::make_shared<Folder>();
  DirLister lister(fd);
  while (const char* entry = lister.Next()) folder->names.append(entry, strlen(entry) + 1);
  // A listing cut short by a failure is used once, as a direct listing would be, not kept.
  folder->remembered = !lister.failed() && identity.times[0].tv_sec <= now - kRacySeconds;
  if (folder->remembered) Remember(identity, now, folder);
  folder_ = std::move(folder);
}

const char* FolderListing::Next() {
  if (!folder_ || pos_ >= folder_->names.size()) return nullptr;
  const char* name = folder_->names.data() + pos_;
  pos_ += strlen(name) + 1;
  return name;
}

bool FolderListing::Has(std::string_view name) const {
  if (!folder_) return false;
  const std::string& names = folder_->names;
  for (size_t at = 0; at < names.size(); at += strlen(names.data() + at) + 1) {
    if (name == names.data() + at) return true;
  }
  return false;
}

// A kept file is read from its start each time: sysfs then asks the driver for the value anew.
// The descriptor stays open as long as the Folder, which this listing holds, so no other thread
// can close it (and hand its number to another file) during the read.
std::optional<size_t> FolderListing::Read(int dir_fd, const char* path, char* buf, size_t cap,
                                          FileCloser* closer) const {
  if (!folder_ || !folder_->remembered) return ReadAttributeAt(dir_fd, path, buf, cap, closer);
  const char* slash = strrchr(path, '/');
  const std::string_view name = slash != nullptr ? slash + 1 : path;
  int fd = -1;
  {
    std::lock_guard<std::mutex> hold(folder_->mu);
    for (const auto& [kept, kept_fd] : folder_->files) {
      if (kept == name) fd = kept_fd;
    }
    if (fd < 0) {
      if (g_kept.fetch_add(1) >= kMaxKeptFiles) {
        --g_kept;
        return ReadAttributeAt(dir_fd, path, buf, cap, closer);
      }
      do {
        fd = openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      } while (fd < 0 && errno == EINTR);
      if (fd < 0) {
        --g_kept;
        return std::nullopt;  // missing now; tried again next time
      }
      folder_->files.emplace_back(name, fd);
    }
  }
  ssize_t n;
  do {
    n = pread(fd, buf, cap, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::nullopt;
  return static_cast<size_t>(n);
}

std::optional<int64_t> FolderListing::ReadInt(int dir_fd, const char* path,
                                              FileCloser* closer) const {
  char buf[32];
  const std::optional<size_t> n = Read(dir_fd, path, buf, sizeof buf, closer);
  // A full buffer means the value may be cut: not a number we can trust.
  if (!n || *n == 0 || *n == sizeof buf) return std::nullopt;
  return ParseSysfsInt(std::string_view(buf, *n));
}

std::optional<std::string_view> FolderListing::ReadText(int dir_fd, const char* path, char* out,
                                                        size_t cap, FileCloser* closer) const {
  out[0] = '\0';
  const std::optional<size_t> n = Read(dir_fd, path, out, cap - 1, closer);
  if (!n) return std::nullopt;
  size_t len = *n;
  for (char c; len > 0 && ((c = out[len - 1]) == ' ' || c == '\t' || c == '\n' || c == '\r');)
    --len;
  out[len] = '\0';
  return std::string_view(out, len);
}

}  // namespace ostrel
