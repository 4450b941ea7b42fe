// sysfs.h: bounded reads of sysfs attribute files and listing of sysfs folders.
//
// Every function works on paths under a root that the caller chose ("/sys" in the product, a
// fixture tree in tests) and keeps nothing between calls: each call opens, reads and closes anew,
// so devices that appear or vanish between calls are simply seen or not seen. All functions are
// safe to call from many threads at once.
#ifndef OSTREL_PLATFORM_LINUX_SYSFS_H_
#define OSTREL_PLATFORM_LINUX_SYSFS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// Reads at most `cap` bytes of the file at `path` with one read() (retried on EINTR only); the
// same as ReadAttributeAt(AT_FDCWD, path, ...). Returns the byte count (0 for an empty file), or
// -1 with errno set when the file cannot be opened or read (ENOENT, EACCES, ENODATA, EIO, ENXIO,
// EAGAIN, ...).
ssize_t ReadAttribute(const char* path, char* buf, size_t cap);

// Parses a sysfs integer: optional leading blanks, an optional sign, 1 to 19 decimal digits,
// then nothing but trailing white space (the kernel ends values with "\n"). Returns false for
// anything else, including an empty text or a value outside int64_t.
bool ParseSysfsInt(std::string_view text, int64_t* value);

// ReadAttribute + ParseSysfsInt. False when the file is missing, unreadable, empty or garbage.
bool ReadSysfsInt(const std::string& path, int64_t* value);

// Reads a short text attribute ("name", "temp1_label", "type"): at most 255 bytes, the trailing
// newline and blanks removed. False when the file cannot be read.
bool ReadSysfsText(const std::string& path, std::string* text);

// Names of the entries of `dir` that begin with `prefix`, "." and ".." excluded, in natural
// order: a run of digits compares by its value, so "hwmon2" sorts before "hwmon10". Empty when
// `dir` cannot be opened.
std::vector<std::string> ListEntries(const std::string& dir, std::string_view prefix);

// True when `a` sorts before `b` in natural order (see ListEntries).
bool NaturalLess(std::string_view a, std::string_view b);

// One hwmon chip: class/hwmon/hwmon<N>.
struct HwmonChip {
  std::string attr_dir;  // folder that holds the chip's attributes: hwmon<N> or hwmon<N>/device
  std::string name;      // the chip's "name" attribute, empty when it has none
};

// The chips under <sys_root>/class/hwmon, ordered by hwmon number. A chip's attributes sit in
// hwmon<N>/ on current kernels and in hwmon<N>/device/ on older drivers (applesmc, some
// Super-I/O drivers); attr_dir is hwmon<N> unless its "name" is missing there and present in
// device/.
std::vector<HwmonChip> ListHwmonChips(const std::string& sys_root);

// ReadAttribute for `name` relative to the open folder `dir_fd` (AT_FDCWD for the current
// folder): one read() of at most `cap` bytes, EINTR retried. The file is opened non-blocking so
// that a FIFO in a broken tree answers at once (0 bytes or EAGAIN) instead of hanging the
// caller. Returns the byte count, or -1
// with errno set.
ssize_t ReadAttributeAt(int dir_fd, const char* name, char* buf, size_t cap);

// ReadAttributeAt + ParseSysfsInt: the same rules as ReadSysfsInt, for `name` relative to
// `dir_fd`. No allocation.
bool ReadSysfsIntAt(int dir_fd, const char* name, int64_t* value);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_SYSFS_H_
