// tcp_info_peer_reset.cc: a connection's TCP state from the kernel's TCP_INFO.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/peer_reset.h"

namespace ostrel {

bool PeerHasReset(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return true;
  return info.tcpi_state == TCP_CLOSE;
}

}  // namespace ostrel
