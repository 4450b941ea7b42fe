// macos_factories.cc: the machine's platform, sensor sources, open-file counts, heap release,
// peer-reset check, text segmentation, thread class and address reuse on macOS, over the
// system's own libraries (MachineLibraries: dlopen and dlsym by system path) and its sockets.
//
// Only the macOS product links this file; elsewhere it is compiled but not linked, since the
// running system's folder defines the same functions.
#include <memory>

#include "platform/address_reuse.h"
#include "platform/energy_source.h"
#include "platform/heap_release.h"
#include "platform/macos/apple_smc_transport.h"
#include "platform/macos/dev_fd_open_files.h"
#include "platform/macos/hid_temp_source.h"
#include "platform/macos/icucore_grapheme_breaks.h"
#include "platform/macos/ioreport_energy_source.h"
#include "platform/macos/mac_platform.h"
#include "platform/macos/pthread_qos.h"
#include "platform/macos/tcp_connection_info_peer_reset.h"
#include "platform/macos/zone_relief_heap_release.h"
#include "platform/open_files.h"
#include "platform/peer_reset.h"
#include "platform/platform.h"
#include "platform/smc_transport.h"
#include "platform/temp_source.h"
#include "platform/text_segmentation.h"
#include "platform/thread_class.h"

namespace ostrel {

std::unique_ptr<Platform> NewPlatform(const HelperIdentity& /*helper*/) {
  return std::make_unique<macos::MacPlatform>(macos::MachineLibraries());
}

std::unique_ptr<TempSource> NewMachineTempSource() {
  return std::make_unique<macos::HidTempSource>(macos::MachineLibraries());
}

std::unique_ptr<SmcTransport> NewMachineSmcTransport() {
  return std::make_unique<macos::AppleSmcTransport>(macos::MachineLibraries());
}

std::unique_ptr<EnergySource> NewMachineEnergySource() {
  return std::make_unique<macos::IOReportEnergySource>(macos::MachineLibraries());
}

int64_t FreeDescriptorCount() { return macos::FreeDescriptorCount(); }

bool CanOpenDescriptors(int count) { return macos::CanOpenDescriptors(count); }

void ReleaseFreeMemory() { macos::ReleaseFreeMemory(macos::MachineLibraries()); }

bool PeerHasReset(int fd) { return macos::PeerHasReset(fd); }

std::unique_ptr<GraphemeBreaks> NewGraphemeBreaks(std::string_view text) {
  // Resolved once, on first use; read-only afterwards.
  static const macos::IcuCore* const icu = new macos::IcuCore(macos::MachineLibraries().icu_core);
  return icu->Breaks(text);
}

void EnterServiceThreadClass() { macos::EnterUtilityClass(macos::MachineLibraries()); }

// No SO_REUSEADDR on macOS. There the option lets a socket bind a specific address beside
// another socket of the same user bound to the wildcard address at the same port, even one
// that listens: the helper would bind 127.0.0.1:53843 while another program listens on
// *:53843, with no failure and no alert, and silently take that program's loopback
// connections. Without it that bind fails and the failure alert tells the user. The price: the
// helper closes its connections first, so they sit in TIME_WAIT (about 30 seconds on macOS)
// after it ends, and a helper started again within that time fails to bind too, with the same
// alert.
bool ListenerReusesAddress() { return false; }

}  // namespace ostrel
