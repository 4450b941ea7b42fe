// folder_listing.h: the entry names of a chip's sysfs folder, remembered between readings by
// the folder's identity, so that a reading looks at a folder (one stat) instead of listing it.
//
// Identity is the device, inode number, modification and change time of the folder itself. A
// folder whose entries change gets a new modification time; a device that the kernel registers
// anew (hot-plug, a driver reloaded, an hwmon number handed out again) gets new folders with new
// inode numbers. A folder changed in the last kRacySeconds is listed but not remembered: file
// system clocks are coarse, and a change in the same tick as the listing would not show. A
// remembered listing is also taken afresh after kMaxAgeSeconds. Class folders (class/hwmon,
// class/power_supply), whose entries sysfs adds without touching their times, are never listed
// through this: they are listed on every reading.
//
// Listings are shared by every thread through one lock; a FolderListing object belongs to the
// thread that made it. A remembered listing is looked at without allocating.
#ifndef OSTREL_PLATFORM_LINUX_FOLDER_LISTING_H_
#define OSTREL_PLATFORM_LINUX_FOLDER_LISTING_H_

#include <stddef.h>

#include <memory>
#include <string>
#include <string_view>

namespace ostrel {

class FolderListing {
 public:
  static constexpr int kRacySeconds = 2;
  static constexpr int kMaxAgeSeconds = 60;
  static constexpr size_t kMaxFolders = 128;  // remembered at once; more are listed each time

  // The entries of the folder `name` relative to the open folder `dir_fd`, or of `dir_fd`
  // itself when `name` is nullptr. "." and ".." are left out.
  FolderListing(int dir_fd, const char* name);
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // False when the folder could not be looked at or listed (gone, not a folder).
  bool found() const { return names_ != nullptr; }
  // The next entry's name, valid while this object lives; nullptr after the last.
  const char* Next();
  // True when the folder has an entry named `name`.
  bool Has(std::string_view name) const;

 private:
  std::shared_ptr<const std::string> names_;  // zero-terminated names, one after another
  size_t pos_ = 0;                            // offset of the next name in *names_
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_FOLDER_LISTING_H_
