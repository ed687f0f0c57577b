// The allocation count of tests/test_alloc_count.cpp: while g_counting is set,
// every heap allocation of every thread adds 1 to g_allocs.
#ifndef VLK_TEST_ALLOC_COUNT_H
#define VLK_TEST_ALLOC_COUNT_H

#include <atomic>

// Sanitizers bring their own heap: there only the C++ allocation functions are
// counted, not the C heap (so allocations inside shared libraries go unseen).
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VLK_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VLK_TEST_SANITIZED 1
#endif

extern std::atomic<bool> g_counting;
extern std::atomic<long> g_allocs;

#endif  // VLK_TEST_ALLOC_COUNT_H
