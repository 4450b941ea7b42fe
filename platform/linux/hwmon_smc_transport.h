// hwmon_smc_transport.h: an SMC transport that answers the fan keys from the Linux hwmon fans.
//
// Linux has no AppleSMC user client, so this transport plays its part for the fan reader: the
// service "AppleSMC" matches when at least one hwmon fan exists, and the structure call answers
// key-information (command 9) and read (command 5) requests for these keys, each response a
// full record built with smc_record.h:
//
//   "FNum"  "ui8 "  number of fans
//   "F<n>Ac" "flt "  fan<k>_input of the n-th fan (RPM)
//   "F<n>Mn" "flt "  fan<k>_min
//   "F<n>Mx" "flt "  fan<k>_max
//
// A fan is a fan<k>_input file of a chip under <root>/class/hwmon; fans are numbered from 0 in
// hwmon chip order, then by k. Attribute values are read afresh on every read request; a
// missing, unreadable, garbage or negative file fails that request.
//
// Each found service, and each connection opened from it, holds the fan list (HwmonFanList)
// enumerated when the service was found, so that "FNum" and every "F<n>.." key of one reading
// name the same fans even if a chip appears or vanishes meanwhile (a fan number never shifts to
// another fan halfway through a document), and the folders are walked once per reading rather
// than once per key.
//
// Threads: an object is used by one thread at a time; the fan reader makes a new one for every
// reading, so concurrent readings share nothing but the (read-only) sysfs tree.
#ifndef OSTREL_PLATFORM_LINUX_HWMON_SMC_TRANSPORT_H_
#define OSTREL_PLATFORM_LINUX_HWMON_SMC_TRANSPORT_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/folder_listing.h"
#include "platform/linux/sysfs.h"
#include "platform/smc_transport.h"

namespace ostrel {

// The fans under a sysfs root, found in one walk of class/hwmon: how many there are, and where
// the first kMaxListedFans of them are read from. The walk lists class/hwmon, takes each chip's
// entries from its folder's listing (FolderListing: remembered while the folder is unchanged)
// and reads no file: a chip's attributes are in hwmon<N>/, or in hwmon<N>/device/ when the
// listing shows no "name" in hwmon<N>/ and one in device/ (applesmc, older Super-I/O drivers).
// The class/hwmon folder stays open until the list is destroyed. The fans' files are read
// through descriptors kept with their folders' remembered listings, or else opened relative to
// class/hwmon and closed a few at a time (FileCloser): beside the kept ones, at most two
// descriptors more than the closer holds are open at once, however the fans are spread. Immutable
// once made but for those closings; used by one thread at a time.
class HwmonFanList {
 public:
  // Fan keys carry one digit ("F9Ac"), so no fan beyond the tenth can be asked for.
  static constexpr size_t kMaxListedFans = 10;

  // Walks <sys_root>/class/hwmon. No fans (also when the folder can't be read): count() 0.
  explicit HwmonFanList(const std::string& sys_root);
  ~HwmonFanList();
  HwmonFanList(const HwmonFanList&) = delete;
  HwmonFanList& operator=(const HwmonFanList&) = delete;

  // Every fan found: a fan<k>_input entry of any chip, whatever it holds.
  uint32_t count() const { return count_; }
  // How many fans can be read: the first min(count(), kMaxListedFans).
  size_t listed() const { return listed_; }
  // The value of fan<k>_<attribute> ("input", "min", "max") of fan n (n < listed()) in RPM.
  // Nothing when the file is missing, unreadable, garbage or negative (no fan turns backwards;
  // a negative number is a driver error code, not a speed).
  std::optional<float> ReadRpm(size_t n, const char* attribute) const;

 private:
  uint32_t count_ = 0;  // fans found
  size_t listed_ = 0;   // fans_[0..listed_) in fan order
  int class_dir_ = -1;  // <sys_root>/class/hwmon, open while fans are listed
  // The speed files read, closed a few at a time (reading changes nothing else of the list).
  mutable FileCloser closer_;
  // Per listed fan, its attribute files' common beginning relative to class/hwmon
  // ("hwmon6/device/fan1_": the chip, device/ for old drivers, "fan<k>_").
  char fans_[kMaxListedFans][48];
  // Per listed fan, which of fan<k>_min and fan<k>_max its folder's listing shows.
  uint8_t limits_[kMaxListedFans] = {};
  // The listings of the folders the listed fans are in (whose files they keep open), and per
  // listed fan the index of its folder's.
  std::vector<FolderListing> folders_;
  uint8_t folder_of_[kMaxListedFans] = {};
};

class HwmonSmcTransport : public SmcTransport {
 public:
  // `sys_root` is "/sys" in the product, a fixture tree in tests. Nothing is read yet.
  explicit HwmonSmcTransport(std::string sys_root);
  ~HwmonSmcTransport() override;
  HwmonSmcTransport(const HwmonSmcTransport&) = delete;
  HwmonSmcTransport& operator=(const HwmonSmcTransport&) = delete;

  // "AppleSMC" with at least one fan present: a new service handle, which keeps the fans it
  // found. Anything else: 0.
  SmcServiceHandle FindService(const char* class_name) override;
  // Needs a live service handle and type 0 (kSmcBadArgument otherwise); the connection answers
  // for the fans its service found, so one reading walks the hwmon folders once.
  int32_t Open(SmcServiceHandle service, uint32_t type, SmcConnectionHandle* connection) override;
  void ReleaseService(SmcServiceHandle service) override;
  // Selector 2 only, input size exactly 80, output room at least 80 (kSmcBadArgument
  // otherwise). Command 9 answers the key's data size and type; command 5 needs the data size
  // that command 9 gave and answers the value. Unknown key or fan: kSmcNotFound. File not
  // readable: kSmcNotReadable. Writes `output` and *output_size (80) only on kSmcSuccess.
  int32_t CallStructMethod(SmcConnectionHandle connection, uint32_t selector,
                           const SmcParamRecord* input, size_t input_size, SmcParamRecord* output,
                           size_t* output_size) override;
  void Close(SmcConnectionHandle connection) override;

  // How many services and connections are still held; for tests that check the balance.
  size_t open_services() const { return services_.size(); }
  size_t open_connections() const { return connections_.size(); }

 private:
  // One found service, or one open connection.
  struct Connection {
    uint32_t handle;                           // as given to the caller
    std::shared_ptr<const HwmonFanList> fans;  // fixed when the service was found
  };

  Connection* FindConnection(SmcConnectionHandle handle);
  std::vector<Connection>::iterator FindService(SmcServiceHandle service);
  uint32_t NextHandle();

  const std::string sys_root_;           // "/sys" in the product
  std::vector<Connection> services_;     // found and not yet released
  std::vector<Connection> connections_;  // opened and not yet closed
  uint32_t last_handle_ = 0;             // handles count up from 1
};

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_LINUX_HWMON_SMC_TRANSPORT_H_
