// address_reuse.cc: the Linux listener sets SO_REUSEADDR.
//
// Without it, a helper restarted while its previous instance's connections sit in TIME_WAIT
// (up to a minute after a burst of requests) would fail to bind and show the failure alert. On
// Linux the option cannot lead to silent sharing of the port: the kernel still refuses the bind
// while another live socket listens on 127.0.0.1:53843 or on the wildcard address at that port,
// whether or not either asked for reuse, so a helper started beside such a program fails with
// the alert. (SO_REUSEPORT would allow sharing, and is never set.)
#include "platform/address_reuse.h"

namespace ostrel {

bool ListenerReusesAddress() { return true; }

}  // namespace ostrel
