// heap_release.h: giving the heap's free pages back to the system, so that a process that has
// served a burst of work shrinks back to its idle size.
//
// A plain function without state of its own; safe on any thread. Each operating system's folder
// defines it.
#ifndef OSTREL_PLATFORM_HEAP_RELEASE_H_
#define OSTREL_PLATFORM_HEAP_RELEASE_H_

namespace ostrel {

// Hands the allocator's free pages back to the system; does nothing where it cannot.
void ReleaseFreeMemory();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_HEAP_RELEASE_H_
