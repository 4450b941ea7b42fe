// mac_socket_state.h: whether the peer of a TCP socket has reset it, on macOS (the operation of
// platform/socket_state.h), from the kernel's TCP_CONNECTION_INFO.
//
// A plain function without state of its own; safe on any thread.
#ifndef OSTREL_PLATFORM_MACOS_MAC_SOCKET_STATE_H_
#define OSTREL_PLATFORM_MACOS_MAC_SOCKET_STATE_H_

namespace ostrel::macos {

// True when the connection of `fd` is in TCPS_CLOSED (what a reset leaves) or its state cannot
// be read.
bool PeerHasReset(int fd);

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_MAC_SOCKET_STATE_H_
