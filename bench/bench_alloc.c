/* Counting allocator interposer for the bench programs: glibc's allocator stays
 * underneath, reached through its __libc_* entry points, so counting costs one
 * relaxed increment per call.  operator new ends in malloc, so C++ allocations
 * are counted too. */
#include <errno.h>
#include <stddef.h>

void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

static unsigned long long g_allocs;

static inline void count(void) { __atomic_fetch_add(&g_allocs, 1, __ATOMIC_RELAXED); }

unsigned long long vlk_bench_alloc_count(void) { return __atomic_load_n(&g_allocs, __ATOMIC_RELAXED); }

void* malloc(size_t n) {
  count();
  return __libc_malloc(n);
}

void* calloc(size_t n, size_t s) {
  count();
  return __libc_calloc(n, s);
}

void* realloc(void* p, size_t n) {
  count();
  return __libc_realloc(p, n);
}

void* memalign(size_t a, size_t n) {
  count();
  return __libc_memalign(a, n);
}

void* aligned_alloc(size_t a, size_t n) {
  count();
  return __libc_memalign(a, n);
}

int posix_memalign(void** out, size_t a, size_t n) {
  void* p;
  count();
  p = __libc_memalign(a, n);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}
