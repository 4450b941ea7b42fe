// address_reuse.h: whether the helper's listening socket asks for address reuse
// (SO_REUSEADDR) before it binds 127.0.0.1. The answer differs by system because the option
// does: each operating system's folder defines it, with its reasons.
//
// A plain function without state; safe on any thread.
#ifndef OSTREL_PLATFORM_ADDRESS_REUSE_H_
#define OSTREL_PLATFORM_ADDRESS_REUSE_H_

namespace ostrel {

// True when the listener sets SO_REUSEADDR before binding.
bool ListenerReusesAddress();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_ADDRESS_REUSE_H_
