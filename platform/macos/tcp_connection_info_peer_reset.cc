// tcp_connection_info_peer_reset.cc: a connection's TCP state from macOS's
// TCP_CONNECTION_INFO.
#include "platform/macos/tcp_connection_info_peer_reset.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <sys/socket.h>

namespace ostrel::macos {
namespace {

#ifdef TCP_CONNECTION_INFO
using ConnectionInfo = tcp_connection_info;
constexpr int kConnectionInfo = TCP_CONNECTION_INFO;
#else
// Where <netinet/tcp.h> is not macOS's (this layer compiles elsewhere for its tests), the
// option's number and the start of its record as macOS's header gives them. Only the state is
// read; the rest of the record is room for what the kernel also writes.
struct ConnectionInfo {
  uint8_t tcpi_state;  // the connection's state: one of macOS's TCPS_ values
  uint8_t rest[255];   // the other fields, unread
};
constexpr int kConnectionInfo = 0x106;
#endif
// TCPS_CLOSED in macOS's <netinet/tcp_fsm.h>: no connection, as after a reset.
constexpr int kClosed = 0;

}  // namespace

bool PeerHasReset(int fd) {
  ConnectionInfo info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, kConnectionInfo, &info, &size) != 0) return true;
  return info.tcpi_state == kClosed;
}

}  // namespace ostrel::macos
