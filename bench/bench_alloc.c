/* Counting allocator interposer for the bench programs: glibc's allocator stays
 * underneath, reached through its __libc_* entry points.  operator new ends in
 * malloc, so C++ allocations are counted too.
 *
 * Each thread counts in a slot of its own (a cache line no other thread
 * writes), so counting costs every contestant the same plain increment and no
 * shared cache line moves between cores.  A slot is never given back: the
 * counts of threads that have ended stay in the sum. */
#include <errno.h>
#include <stddef.h>

void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

enum { kSlots = 1024 };

struct slot {
  unsigned long long count;
  char pad[64 - sizeof(unsigned long long)];
};

/* Slot kSlots - 1 is shared by the threads that came after the others were
 * taken (atomic increments there). */
static struct slot g_slots[kSlots] __attribute__((aligned(64)));
static unsigned int g_taken;                /* slots handed out; atomic */
static __thread struct slot* t_slot;        /* this thread's slot, once it allocated */

static inline void count(void) {
  struct slot* s = t_slot;
  if (__builtin_expect(s == NULL, 0)) {
    unsigned int i = __atomic_fetch_add(&g_taken, 1, __ATOMIC_RELAXED);
    s = &g_slots[i < kSlots - 1 ? i : kSlots - 1];
    t_slot = s;
  }
  if (s == &g_slots[kSlots - 1]) {
    __atomic_fetch_add(&s->count, 1, __ATOMIC_RELAXED);
  } else {
    /* Only this thread writes it; readers load it atomically. */
    __atomic_store_n(&s->count, s->count + 1, __ATOMIC_RELAXED);
  }
}

unsigned long long vlk_bench_alloc_count(void) {
  unsigned long long sum = 0;
  unsigned int n = __atomic_load_n(&g_taken, __ATOMIC_RELAXED), i;
  if (n > kSlots - 1) n = kSlots - 1;
  for (i = 0; i < n; ++i) sum += __atomic_load_n(&g_slots[i].count, __ATOMIC_RELAXED);
  return sum + __atomic_load_n(&g_slots[kSlots - 1].count, __ATOMIC_RELAXED);
}

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
