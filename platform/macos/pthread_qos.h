// pthread_qos.h: the quality-of-service class of the helper's threads on macOS (the operation
// of platform/thread_class.h): utility, the class the system gives work the user does not wait
// on directly but expects to finish, scheduled and throttled for energy accordingly.
//
// pthread_set_qos_class_self_np is looked up in the system library at run time, like every
// other macOS function of this layer. A plain function without state of its own; safe on any
// thread, and it changes only the calling thread.
#ifndef OSTREL_PLATFORM_MACOS_PTHREAD_QOS_H_
#define OSTREL_PLATFORM_MACOS_PTHREAD_QOS_H_

#include "platform/macos/symbol_resolver.h"

namespace ostrel::macos {

// Puts the calling thread in the utility class, at its base priority. False when the function
// is missing or refuses; the thread then keeps the class it had. `libraries` is borrowed.
bool EnterUtilityClass(MacLibraries& libraries);

}  // namespace ostrel::macos

#endif  // OSTREL_PLATFORM_MACOS_PTHREAD_QOS_H_
