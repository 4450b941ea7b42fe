// folder_listing.h: the entry names of a chip's sysfs folder, remembered between readings by
// the folder's identity, so that a reading looks at a folder (one stat) instead of listing it.
//
// Identity is the device, inode number, modification, change and birth time of the folder
// itself. A
// folder whose entries change gets a new modification time; a device that the kernel registers
// anew (hot-plug, a driver reloaded, an hwmon number handed out again) gets new folders with new
// inode numbers. A folder changed in the last kRacySeconds is listed but not remembered: file
// system clocks are coarse, and a change in the same tick as the listing would not show. A
// remembered listing is also taken afresh after kMaxAgeSeconds. Class folders (class/hwmon,
// class/power_supply), whose entries sysfs adds without touching their times, are never listed
// through this: they are listed on every reading.
//
// The files a reading reads in a remembered folder stay open with its listing (ReadInt,
// ReadText): each reading reads them again from their start with one pread, which makes sysfs
// produce the value afresh, instead of opening and closing them. They close when the listing is
// forgotten (the folder changed, or the listing was replaced); at most kMaxKeptFiles are kept in
// all, the rest are opened and closed on each reading.
//
// Listings are shared by every thread through one lock; a FolderListing object belongs to the
// thread that made it. A remembered listing is looked at, and its kept files read, without
// allocating.
#ifndef OSTREL_PLATFORM_LINUX_FOLDER_LISTING_H_
#define OSTREL_PLATFORM_LINUX_FOLDER_LISTING_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/sysfs.h"

namespace ostrel {

class FolderListing {
 public:
  static constexpr int kRacySeconds = 2;
  static constexpr int kMaxAgeSeconds = 60;
  static constexpr size_t kMaxFolders = 128;  // remembered at once; more are listed each time
  static constexpr int kMaxKeptFiles = 64;    // files kept open with remembered listings, in all

  // The entries of the folder `name` relative to the open folder `dir_fd`, or of `dir_fd`
  // itself when `name` is nullptr. "." and ".." are left out.
  FolderListing(int dir_fd, const char* name);
  FolderListing(FolderListing&&) = default;
  FolderListing& operator=(FolderListing&&) = default;

  // False when the folder could not be looked at or listed (gone, not a folder).
  bool found() const { return folder_ != nullptr; }
  // The next entry's name, valid while this object lives; nullptr after the last.
  const char* Next();
  // True when the folder has an entry named `name`.
  bool Has(std::string_view name) const;

  // Reads the folder's entry at `path` (relative to `dir_fd`; its last part names the entry) as
  // ReadSysfsIntAt and ReadSysfsTextAt do, through the descriptor kept with the remembered
  // listing, or by opening it (closed through `closer`) when there is none.
  std::optional<int64_t> ReadInt(int dir_fd, const char* path, FileCloser* closer) const;
  std::optional<std::string_view> ReadText(int dir_fd, const char* path, char* out, size_t cap,
                                           FileCloser* closer) const;

  // A listing's names and kept files, defined in folder_listing.cc.
  struct Folder;

 private:
  std::optional<size_t> Read(int dir_fd, const char* path, char* buf, size_t cap,
                             FileCloser* closer) const;

  std::shared_ptr<Folder> folder_;  // the listing; kept files only when remembered
  size_t pos_ = 0;                  // offset of the next name in folder_->names
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_FOLDER_LISTING_H_
