// tcp_connection_info_peer_reset.h: whether the peer of a TCP socket has reset it, on macOS (the
// operation of platform/peer_reset.h), from the kernel's TCP_CONNECTION_INFO.
//
// A plain function without state of its own; safe on any thread.
#ifndef OSTREL_PLATFORM_MACOS_TCP_CONNECTION_INFO_PEER_RESET_H_
#define OSTREL_PLATFORM_MACOS_TCP_CONNECTION_INFO_PEER_RESET_H_

namespace ostrel::macos {

// True when the connection of `fd` is in TCPS_CLOSED (what a reset leaves) or its state cannot
// be read.
bool PeerHasReset(int fd);

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_TCP_CONNECTION_INFO_PEER_RESET_H_
