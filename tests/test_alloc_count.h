// The allocation count of tests/test_alloc_count.cpp: while g_counting is set,
// every heap allocation of every thread adds 1 to g_allocs.
#ifndef VLK_TEST_ALLOC_COUNT_H
#define VLK_TEST_ALLOC_COUNT_H

#include <atomic>

extern std::atomic<bool> g_counting;
extern std::atomic<long> g_allocs;

#endif  // VLK_TEST_ALLOC_COUNT_H
