// thread_class.h: the scheduling class of the helper's own threads (the network thread, the
// request workers and the reading thread). Their work is background service: it should neither
// compete with what the user is doing nor be starved.
//
// A plain function without state of its own; each operating system's folder defines it (on
// macOS: the utility quality-of-service class; on Linux: nothing, the default policy serves).
#ifndef OSTREL_PLATFORM_THREAD_CLASS_H_
#define OSTREL_PLATFORM_THREAD_CLASS_H_

namespace ostrel {

// Puts the calling thread in the class the system gives background service work. Called first
// by each of the helper's threads; failing leaves the thread as it was, silently.
void EnterServiceThreadClass();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_THREAD_CLASS_H_
