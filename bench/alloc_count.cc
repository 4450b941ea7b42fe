// alloc_count.cc: a counting malloc family for the benchmark binary. Each function counts the
// call and the bytes asked for, then calls glibc's allocator by its internal names
// (__libc_malloc and the like), so every block still comes from, and goes back to, glibc.
#include "bench/alloc_count.h"

#include <errno.h>
#include <stddef.h>

#include <atomic>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* ptr);
}

namespace {

std::atomic<uint64_t> g_calls{0};  // allocating calls so far
std::atomic<uint64_t> g_bytes{0};  // bytes asked for so far

void Count(size_t bytes) {
  g_calls.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  Count(size);
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  Count(count * size);
  return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size) {
  Count(size);
  return __libc_realloc(ptr, size);
}

void free(void* ptr) { __libc_free(ptr); }

void* memalign(size_t alignment, size_t size) {
  Count(size);
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  void* ptr = memalign(alignment, size);
  if (ptr == nullptr) return ENOMEM;
  *out = ptr;
  return 0;
}

}  // extern "C"

namespace ostrel::bench {

AllocTotals AllocatedSoFar() {
  return AllocTotals{g_calls.load(std::memory_order_relaxed),
                     g_bytes.load(std::memory_order_relaxed)};
}

}  // namespace ostrel::bench
