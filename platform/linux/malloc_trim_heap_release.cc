// malloc_trim_heap_release.cc: free heap pages go back with glibc's malloc_trim.
#include <malloc.h>

#include "platform/heap_release.h"

namespace ostrel {

void ReleaseFreeMemory() { malloc_trim(0); }

}  // namespace ostrel
