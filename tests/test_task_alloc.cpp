// End to end on real threads, counting heap allocations while the application of
// test_task_e2e_app.h runs: with tracing off the count must be zero.
// This binary replaces the global allocation functions (and, without sanitizers,
// the C heap entry points) to count every allocation of every thread.
#include <cstdlib>
#include <new>

#include "test_task_e2e_app.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocs{0};

inline void Note() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VLK_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VLK_TEST_SANITIZED 1
#endif

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
  Note();
  void* p = nullptr;
  if (posix_memalign(&p, static_cast<std::size_t>(align), n != 0 ? n : 1) != 0) throw std::bad_alloc();
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

namespace {

using app::App;

TEST(AllocationCount, CountingSeesAllocations) {
  g_allocs = 0;
  g_counting = true;
  auto* p = new int(7);
  g_counting = false;
  delete p;
  EXPECT_GE(g_allocs.load(), 1);  // also counted as malloc without sanitizers
#if !defined(VLK_TEST_SANITIZED)
  // Allocations inside shared libraries (here Qt's) are seen as well.
  g_allocs = 0;
  g_counting = true;
  {
    QString text(100, QChar('x'));
  }
  g_counting = false;
  EXPECT_GE(g_allocs.load(), 1);
#endif
}

// The end-to-end run on real threads: ping-pong sessions through the routing thread
// create and kill machines, timers fire, and a probe to a machine that has gone is
// answered with MSG_RELATION_OFF, which kills the prober. With tracing off nothing
// allocates once the first session has warmed the threads up.
TEST(EndToEnd, PingPongSessionsAllocateNothing) {
  constexpr int kSessions = 16, kWaves = 4;
  App a(kSessions, 256);
  ASSERT_EQ(a.Run(), ERR_OK);
  a.Start(10);
  ASSERT_TRUE(a.WaitTicking([&] { return a.stats.completed.load() == 1 && a.mgr.AllIdle(); }));
  ASSERT_EQ(a.stats.destroyed.load(), 1);

  g_allocs = 0;
  g_counting = true;
  bool done = true;
  for (int wave = 0; wave < kWaves && done; ++wave) {
    const int target = a.stats.completed.load() + kSessions;
    for (int i = 0; i < kSessions; ++i) a.Start(250);
    done = a.WaitTicking([&] { return a.stats.completed.load() == target && a.mgr.AllIdle(); });
  }
  EXPECT_EQ(a.stats.destroyed.load(), 1 + kWaves * kSessions);
  const unsigned int gone = a.stats.lastPeer.load();
  a.Start(0, app::MSG_PROBE_START, gone);
  done = done && a.WaitTicking([&] { return a.stats.destroyed.load() == 2 + kWaves * kSessions && a.mgr.AllIdle(); });
  g_counting = false;

  ASSERT_TRUE(done) << "completed " << a.stats.completed.load();
  EXPECT_NE(gone, 0u);
  EXPECT_EQ(g_allocs.load(), 0) << "heap allocations while messages flowed";
  EXPECT_EQ(a.stats.completed.load(), 1 + kWaves * kSessions);  // the prober finished no session
  EXPECT_GT(a.stats.timerHits.load(), 0);
  EXPECT_EQ(a.stats.noBuf.load(), 0);
  a.mgr.Stop();
  EXPECT_TRUE(a.Quiet());
}

}  // namespace

VLK_TEST_MAIN_WITH_QT
