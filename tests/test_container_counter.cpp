// Cvlk_counter stepped from several threads at once: no step may be lost.
#include <thread>

#include "container_test_util.h"

namespace {

TEST(CounterThreads, ConcurrentStepsAreNeverLost) {
  constexpr unsigned int kThreads = 4, kSteps = 20000;
  Cvlk_counter counter(3);
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&counter] {
      for (unsigned int i = 0; i < kSteps; ++i) {
        counter.Inc(0);
        counter.Inc(1);
        counter.Dec(1);
        counter.Dec(2);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter.Get(0), kThreads * kSteps);
  EXPECT_EQ(counter.Get(1), 0u);
  EXPECT_EQ(counter.Get(2), 0u - kThreads * kSteps);
}

}  // namespace
