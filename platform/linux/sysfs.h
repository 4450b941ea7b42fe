// sysfs.h: bounded reads of sysfs attribute files and allocation-free listing of sysfs folders.
//
// Every function works on paths under a root that the caller chose ("/sys" in the product, a
// fixture tree in tests) or relative to a folder the caller opened, and keeps nothing between
// calls: devices that appear or vanish between calls are simply seen or not seen. The *At
// reads, DirLister and SortedNames allocate nothing, for walks made on every reading.
// All functions are safe to call from many threads at once; a DirLister or SortedNames object
// belongs to the one thread that made it.
#ifndef OSTREL_PLATFORM_LINUX_SYSFS_H_
#define OSTREL_PLATFORM_LINUX_SYSFS_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// Reads at most `cap` bytes of the file at `path` with one read() (retried on EINTR only); the
// same as ReadAttributeAt(AT_FDCWD, path, ...). The byte count (0 for an empty file), or nothing
// when the file cannot be opened or read.
std::optional<size_t> ReadAttribute(const char* path, char* buf, size_t cap);

// Parses a sysfs integer: optional leading blanks, an optional sign, 1 to 19 decimal digits,
// then nothing but trailing white space (the kernel ends values with "\n"). Nothing for
// anything else, including an empty text or a value outside int64_t.
std::optional<int64_t> ParseSysfsInt(std::string_view text);

// ReadAttribute + ParseSysfsInt. Nothing when the file is missing, unreadable, empty or garbage.
std::optional<int64_t> ReadSysfsInt(const std::string& path);

// Reads a short text attribute ("name", "temp1_label", "type"): at most 255 bytes, the trailing
// newline and blanks removed. Nothing when the file cannot be read.
std::optional<std::string> ReadSysfsText(const std::string& path);

// Names of the entries of `dir` that begin with `prefix`, "." and ".." excluded, in natural
// order: a run of digits compares by its value, so "hwmon2" sorts before "hwmon10". Empty when
// `dir` cannot be opened. Allocates; for what runs once (the energy source's start), not per
// reading.
std::vector<std::string> ListEntries(const std::string& dir, std::string_view prefix);

// True when `a` sorts before `b` in natural order (see ListEntries).
bool NaturalLess(std::string_view a, std::string_view b);

// Closes the files that a walk has read, a few at a time: at most kMaxOpen are held, so a reading
// keeps few descriptors open. Owned by one thread; closes what it holds when destroyed.
class FileCloser {
 public:
  static constexpr size_t kMaxOpen = 6;

  FileCloser() = default;
  ~FileCloser() { CloseAll(); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

  // Takes `fd` to close later; closes all held once kMaxOpen are.
  void Add(int fd);
  // Closes every descriptor held.
  void CloseAll();

 private:
  int fds_[kMaxOpen];  // fds_[0..count_) are open, in the order they were added
  size_t count_ = 0;
};

// ReadAttribute for `name` relative to the open folder `dir_fd` (AT_FDCWD for the current
// folder): one read() of at most `cap` bytes, EINTR retried. The file is opened non-blocking so
// that a FIFO in a broken tree answers at once (0 bytes or EAGAIN) instead of hanging the
// caller. The file is closed before return, or handed to `closer` when there is one. The byte
// count, or nothing when the file cannot be opened or read.
std::optional<size_t> ReadAttributeAt(int dir_fd, const char* name, char* buf, size_t cap,
                                      FileCloser* closer = nullptr);

// ReadAttributeAt + ParseSysfsInt: the same rules as ReadSysfsInt, for `name` relative to
// `dir_fd`. No allocation.
std::optional<int64_t> ReadSysfsIntAt(int dir_fd, const char* name, FileCloser* closer = nullptr);

// Reads a short text attribute relative to `dir_fd` into out[0..cap) (cap >= 1), zero-terminated
// and without its trailing white space; one read of at most cap - 1 bytes, so a longer text is
// cut. The text (in `out`), or nothing, with `out` empty, when it cannot be read. No allocation.
std::optional<std::string_view> ReadSysfsTextAt(int dir_fd, const char* name, char* out, size_t cap,
                                                FileCloser* closer = nullptr);

// Owns one descriptor and closes it on destruction; -1 holds nothing.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd();
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes what it holds and takes `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_;  // the owned descriptor, or -1
};

// Opens `name` relative to `dir_fd` (AT_FDCWD: a path) as a folder, close-on-exec; holds nothing
// when it cannot be opened or is not a folder.
ScopedFd OpenDirAt(int dir_fd, const char* name);

// The entries of an open folder, read with getdents64 into a buffer inside this object (a page,
// so an object lives on the caller's stack, never on the heap). Reading goes on from the
// descriptor's position, so each listing takes a freshly opened folder. The folder is borrowed:
// the caller keeps it open while listing and closes it afterwards.
class DirLister {
 public:
  explicit DirLister(int dir_fd) : fd_(dir_fd) {}
  DirLister(const DirLister&) = delete;
  DirLister& operator=(const DirLister&) = delete;

  // The next entry's name ("." and ".." left out), valid until the next call; nullptr at the
  // end of the folder or when it can't be read (a failure ends the listing early).
  const char* Next();
  // True when reading the folder failed: the listing ended early.
  bool failed() const { return failed_; }

 private:
  static constexpr size_t kBufferSize = 4096;  // 100 or more entries of sysfs-sized names

  int fd_;               // the folder being listed, borrowed
  size_t pos_ = 0;       // offset of the next unread entry in buf_
  size_t end_ = 0;       // bytes of buf_ filled by the last getdents64
  bool last_ = false;    // the last getdents64 reached the end: no further call is needed
  bool failed_ = false;  // a getdents64 failed
  alignas(8) char buf_[kBufferSize];  // linux_dirent64 records as the kernel wrote them
};

// At most Capacity names of at most NameSize - 1 bytes each, kept in natural order (NaturalLess)
// in fixed arrays. When more names are added than fit, the ones that sort first are kept, so
// what is kept does not depend on the order names arrive in (folders list in no fixed order).
template <size_t Capacity, size_t NameSize>
class SortedNames {
 public:
  // Adds `name`; false (nothing changes) when it is too long to keep, or when the list is full
  // and it sorts after every name kept.
  bool Add(std::string_view name) {
    if (name.size() >= NameSize) return false;
    size_t slot = size_;
    if (size_ == Capacity) {
      if (Capacity == 0 || !NaturalLess(name, names_[size_ - 1])) return false;
      slot = size_ - 1;  // the largest gives way
    } else {
      ++size_;
    }
    while (slot > 0 && NaturalLess(name, names_[slot - 1])) {
      memcpy(names_[slot], names_[slot - 1], NameSize);
      --slot;
    }
    memcpy(names_[slot], name.data(), name.size());
    names_[slot][name.size()] = '\0';
    return true;
  }
  size_t size() const { return size_; }
  // The i-th name in natural order, zero-terminated.
  const char* operator[](size_t i) const { return names_[i]; }

 private:
  size_t size_ = 0;                 // names kept
  char names_[Capacity][NameSize];  // names_[0..size_) in natural order
};

// The chip folders of class/hwmon, as named there ("hwmon<N>"): at most 256 (the lowest
// numbers), names of at most 15 bytes.
using HwmonEntries = SortedNames<256, 16>;

// Lists the freshly opened class/hwmon folder `class_fd` into `entries`: every entry whose
// name begins with "hwmon", in natural order ("hwmon2" before "hwmon10").
void ListHwmonEntries(int class_fd, HwmonEntries* entries);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_SYSFS_H_
