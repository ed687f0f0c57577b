// Counts every heap allocation of every thread while g_counting is set: the
// global allocation functions are replaced, and without sanitizers (which bring
// their own heap) the C heap entry points too. Linked into the tests that prove
// a path allocates nothing.
#include <cerrno>
#include <cstdlib>
#include <new>

#include "test_alloc_count.h"

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocs{0};

namespace {

inline void Note() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace
#if !defined(VLK_TEST_SANITIZED) && defined(__GLIBC__)
// The C heap: counted and passed on to glibc's own functions. Sanitizers bring
// their own heap, so there only the C++ allocation functions are counted.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t n) { return Note(), __libc_malloc(n); }
void* calloc(std::size_t n, std::size_t size) { return Note(), __libc_calloc(n, size); }
void* realloc(void* p, std::size_t n) { return Note(), __libc_realloc(p, n); }
void* memalign(std::size_t align, std::size_t n) { return Note(), __libc_memalign(align, n); }
void* aligned_alloc(std::size_t align, std::size_t n) { return Note(), __libc_memalign(align, n); }
int posix_memalign(void** out, std::size_t align, std::size_t n) {
  Note();
  *out = __libc_memalign(align, n);
  return *out == nullptr ? ENOMEM : 0;
}
void free(void* p) { __libc_free(p); }
}
#endif

void* operator new(std::size_t n) {
  Note();
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Note(), std::malloc(n != 0 ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void* operator new(std::size_t n, std::align_val_t align) {
  void* p = nullptr;
  if (Note(), posix_memalign(&p, static_cast<std::size_t>(align), n != 0 ? n : 1) != 0) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n, std::align_val_t align) { return operator new(n, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
