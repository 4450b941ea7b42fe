// sysfs.cc: bounded, uncached reads of sysfs attribute files and listing of sysfs folders.
#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <unistd.h>

#include <algorithm>

namespace ostrel {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::optional<size_t> ReadAttribute(const char* path, char* buf, size_t cap) {
  return ReadAttributeAt(AT_FDCWD, path, buf, cap);
}

std::optional<int64_t> ParseSysfsInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  size_t digits_start = i;
  // Accumulate as a negative number so INT64_MIN is representable.
  int64_t acc = 0;
  while (i < text.size() && IsDigit(text[i])) {
    int digit = text[i] - '0';
    if (acc < (INT64_MIN + digit) / 10) return std::nullopt;
    acc = acc * 10 - digit;
    ++i;
  }
  if (i == digits_start) return std::nullopt;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i != text.size()) return std::nullopt;
  if (!negative) {
    if (acc == INT64_MIN) return std::nullopt;
    acc = -acc;
  }
  return acc;
}

std::optional<int64_t> ReadSysfsInt(const std::string& path) {
  char buf[32];
  const std::optional<size_t> n = ReadAttribute(path.c_str(), buf, sizeof buf);
  // A full buffer means the value may be cut: not a number we can trust.
  if (!n || *n == 0 || *n == sizeof buf) return std::nullopt;
  return ParseSysfsInt(std::string_view(buf, *n));
}

std::optional<std::string> ReadSysfsText(const std::string& path) {
  char buf[256];
  const std::optional<size_t> n = ReadAttribute(path.c_str(), buf, sizeof buf - 1);
  if (!n) return std::nullopt;
  size_t len = *n;
  while (len > 0 && IsBlank(buf[len - 1])) --len;
  return std::string(buf, len);
}

bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t si = i, sj = j;
      while (si < a.size() && a[si] == '0') ++si;
      while (sj < b.size() && b[sj] == '0') ++sj;
      size_t ei = si, ej = sj;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj));
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::vector<std::string> ListEntries(const std::string& dir, std::string_view prefix) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());  // glibc opens directories with O_CLOEXEC
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    if (name.substr(0, prefix.size()) != prefix) continue;
    names.emplace_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

std::optional<size_t> ReadAttributeAt(int dir_fd, const char* name, char* buf, size_t cap,
                                      FileCloser* closer) {
  int fd;
  do {
    fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  ssize_t n;
  do {
    n = read(fd, buf, cap);
  } while (n < 0 && errno == EINTR);
  if (closer != nullptr) {
    closer->Add(fd);
  } else {
    close(fd);
  }
  if (n < 0) return std::nullopt;
  return static_cast<size_t>(n);
}

std::optional<int64_t> ReadSysfsIntAt(int dir_fd, const char* name, FileCloser* closer) {
  char buf[32];
  const std::optional<size_t> n = ReadAttributeAt(dir_fd, name, buf, sizeof buf, closer);
  // A full buffer means the value may be cut: not a number we can trust.
  if (!n || *n == 0 || *n == sizeof buf) return std::nullopt;
  return ParseSysfsInt(std::string_view(buf, *n));
}

std::optional<std::string_view> ReadSysfsTextAt(int dir_fd, const char* name, char* out, size_t cap,
                                                FileCloser* closer) {
  out[0] = '\0';
  const std::optional<size_t> n = ReadAttributeAt(dir_fd, name, out, cap - 1, closer);
  if (!n) return std::nullopt;
  size_t len = *n;
  while (len > 0 && IsBlank(out[len - 1])) --len;
  out[len] = '\0';
  return std::string_view(out, len);
}

void FileCloser::Add(int fd) {
  fds_[count_++] = fd;
  if (count_ == kMaxOpen) CloseAll();
}

// ThreadSanitizer follows descriptors through the calls it intercepts, and close_range is not
// one of them (gcc 12): a number closed that way and opened again by another thread would look
// like a race. Its builds close one by one.
#if defined(__SANITIZE_THREAD__)
constexpr bool kCloseRuns = false;
#else
constexpr bool kCloseRuns = true;
#endif

void FileCloser::CloseAll() {
  std::sort(fds_, fds_ + count_);
  for (size_t begin = 0; begin < count_;) {
    // A run of consecutive numbers (the usual case: the kernel hands out the lowest free
    // number) goes with one close_range, which is safe because every number of the run is one
    // held open here; a lone one goes with close.
    size_t end = begin + 1;
    while (end < count_ && fds_[end] == fds_[end - 1] + 1) ++end;
    if (!kCloseRuns || end - begin == 1 ||
        close_range(static_cast<unsigned>(fds_[begin]), static_cast<unsigned>(fds_[end - 1]), 0) !=
            0) {
      for (size_t i = begin; i < end; ++i) close(fds_[i]);
    }
    begin = end;
  }
  count_ = 0;
}

ScopedFd OpenDirAt(int dir_fd, const char* name) {
  int fd;
  do {
    fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return ScopedFd(fd);
}

ScopedFd::~ScopedFd() { reset(); }

void ScopedFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

const char* DirLister::Next() {
  for (;;) {
    if (pos_ >= end_) {
      if (last_ || fd_ < 0) return nullptr;
      ssize_t n;
      do {
        n = getdents64(fd_, buf_, sizeof buf_);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) {
        failed_ = n < 0;
        fd_ = -1;  // the end, or a folder that can't be read: either way nothing more
        return nullptr;
      }
      pos_ = 0;
      end_ = static_cast<size_t>(n);
      // The kernel stores in the last record's d_off the folder position after this call.
      // Filesystems mark the end of a folder with the largest position of 32-bit or 64-bit
      // telldir (sysfs and tmpfs: INT32_MAX, ext4: INT64_MAX; sysfs keeps its entry positions
      // below INT32_MAX for that reason). When it is there, the next call could only return 0,
      // so it is not made: one system call less per folder. Any other position reads on.
      size_t last = 0;
      for (size_t at = 0; at < end_;) {
        unsigned short reclen;
        memcpy(&reclen, buf_ + at + offsetof(struct dirent64, d_reclen), sizeof reclen);
        if (reclen == 0) break;  // never from the kernel; stop rather than loop
        last = at;
        at += reclen;
      }
      int64_t d_off;
      memcpy(&d_off, buf_ + last + offsetof(struct dirent64, d_off), sizeof d_off);
      last_ = d_off == INT32_MAX || d_off == INT64_MAX;
    }
    unsigned short reclen;
    memcpy(&reclen, buf_ + pos_ + offsetof(struct dirent64, d_reclen), sizeof reclen);
    if (reclen == 0) {  // malformed: end the listing
      end_ = pos_;
      last_ = true;
      return nullptr;
    }
    const char* name = buf_ + pos_ + offsetof(struct dirent64, d_name);
    pos_ += reclen;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    return name;
  }
}

void ListHwmonEntries(int class_fd, HwmonEntries* entries) {
  DirLister lister(class_fd);
  while (const char* name = lister.Next()) {
    if (strncmp(name, "hwmon", 5) == 0) entries->Add(name);
  }
}

}  // namespace ostrel
