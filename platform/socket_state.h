// socket_state.h: what the server asks the operating system about one of its connected TCP
// sockets: whether the peer has already reset the connection.
//
// A plain function without state of its own; safe on any thread for a socket that the caller
// keeps open meanwhile. Each operating system's folder defines it (on Linux: TCP_INFO; on macOS:
// TCP_CONNECTION_INFO).
#ifndef OSTREL_PLATFORM_SOCKET_STATE_H_
#define OSTREL_PLATFORM_SOCKET_STATE_H_

namespace ostrel {

// True when the peer of the connected TCP socket `fd` has reset the connection, or when the
// socket's state cannot be read at all. A reset takes the socket straight to the closed state;
// a peer that only half-closed leaves it waiting for our close, which is not a reset.
bool PeerHasReset(int fd);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_SOCKET_STATE_H_
