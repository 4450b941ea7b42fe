// macos_factories.cc: the machine's platform, sensor sources, open-file counts, heap release and
// peer-reset check on macOS, over the system's own libraries (MachineLibraries: dlopen and
// dlsym by system path) and its sockets.
//
// Only the macOS product links this file; elsewhere it is compiled but not linked, since the
// running system's folder defines the same functions.
#include <memory>

#include "platform/energy_source.h"
#include "platform/heap_release.h"
#include "platform/macos/apple_smc_transport.h"
#include "platform/macos/dev_fd_open_files.h"
#include "platform/macos/hid_temp_source.h"
#include "platform/macos/ioreport_energy_source.h"
#include "platform/macos/mac_platform.h"
#include "platform/macos/tcp_connection_info_peer_reset.h"
#include "platform/macos/zone_relief_heap_release.h"
#include "platform/open_files.h"
#include "platform/peer_reset.h"
#include "platform/platform.h"
#include "platform/smc_transport.h"
#include "platform/temp_source.h"

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

}  // namespace ostrel
