// peer_reset.h: whether the peer of one of the server's connected TCP sockets has already reset
// the connection, as the operating system's TCP state tells it.
//
// A plain function without state of its own; safe on any thread for a socket that the caller
// keeps open meanwhile. Each operating system's folder defines it.
#ifndef OSTREL_PLATFORM_PEER_RESET_H_
#define OSTREL_PLATFORM_PEER_RESET_H_

namespace ostrel {

// True when the peer of the connected TCP socket `fd` has reset the connection, or when the
// socket's state cannot be read at all. A reset takes the socket straight to the closed state;
// a peer that only half-closed leaves it waiting for our close, which is not a reset.
bool PeerHasReset(int fd);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_PEER_RESET_H_
