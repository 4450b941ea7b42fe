// alloc_count.h: counts what the benchmark process asks malloc for (operator new included), so
// a benchmark can report the calls and bytes one operation allocates.
//
// The counting malloc family (alloc_count.cc) replaces glibc's for the whole benchmark binary
// and hands every call on to glibc's own allocator; the totals are process-wide relaxed atomics,
// so read them around single-threaded work only.
#ifndef OSTREL_BENCH_ALLOC_COUNT_H_
#define OSTREL_BENCH_ALLOC_COUNT_H_

#include <stdint.h>

namespace ostrel::bench {

// Allocation totals since the process started.
struct AllocTotals {
  uint64_t calls;  // malloc, calloc, realloc and aligned allocations
  uint64_t bytes;  // bytes asked for by those calls
};

AllocTotals AllocatedSoFar();

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_ALLOC_COUNT_H_
