// Threads, the recursive mutex and the coalescing semaphore.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "vlk_sys.h"

namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

class ReturningThread : public Cvlk_thread {
 public:
  std::atomic<int> runs{0};

 protected:
  void run() override { runs.fetch_add(1); }
};

// A queue consumer in the library's pattern: acquire, drain, test the stop flag.
class LoopThread : public Cvlk_thread {
 public:
  ~LoopThread() override { stop(); }
  void requestStop() override {
    Cvlk_thread::requestStop();
    sem.release();
  }
  Cvlk_semaphore sem;
  std::atomic<int> wakeups{0};

 protected:
  void run() override {
    while (true) {
      sem.acquire();
      if (isStopRequested()) return;
      wakeups.fetch_add(1);
    }
  }
};

}  // namespace

TEST(Thread, RunOnceThenStartStopAndJoinAreHarmless) {
  { ReturningThread never; }  // destroyed without a start
  ReturningThread t;
  EXPECT_FALSE(t.isStarted());
  t.join();  // before the start
  t.start();
  t.join();
  EXPECT_FALSE(t.isRunning());
  t.start();  // a second start starts nothing
  t.stop();
  t.stop();
  EXPECT_EQ(t.runs.load(), 1);
}

TEST(Thread, StopWakesASleepingLoopAndJoinsIt) {
  LoopThread loop;
  loop.start();
  loop.stop();
  EXPECT_FALSE(loop.isRunning());
}  // and the destructor's second stop is harmless

TEST(Semaphore, FirstAcquireReturnsAtOnceReleasesCoalesceAndWakeWaiters) {
  Cvlk_semaphore sem;
  sem.acquire();
  EXPECT_FALSE(sem.acquireFor(20));
  sem.release();
  sem.release();
  sem.release();
  EXPECT_TRUE(sem.acquireFor(0));
  // Three releases were one: the next acquire must wait for a new release.
  EXPECT_FALSE(sem.acquireFor(20));
  std::thread releaser([&] { sem.release(); });
  EXPECT_TRUE(sem.acquireFor(20000));
  releaser.join();
  auto waiter = std::async(std::launch::async, [&] { sem.acquire(); });
  sem.release();
  ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
}

TEST(Mutex, HolderRetakesOtherThreadWaitsForEveryGive) {
  Cvlk_mutex mutex;
  mutex.Take();
  mutex.Take();  // recursion does not block the holder
  std::atomic<bool> taken{false};
  std::promise<void> started;
  std::thread other([&] {
    started.set_value();
    mutex.Take();
    taken = true;
    mutex.Give();
  });
  started.get_future().wait();
  mutex.Give();
  // Still held once: the other thread cannot have it yet.
  EXPECT_FALSE(taken.load());
  mutex.Give();
  other.join();
  EXPECT_TRUE(taken.load());
}

TEST(Mutex, QueuePatternLosesNothingAcrossProducers) {
  // Producers append under the mutex and release; the consumer drains on each wake.
  struct Shared {
    Cvlk_mutex lock;
    Cvlk_semaphore sem;
    int queued = 0;
    int consumed = 0;
  } s;
  constexpr int kPerProducer = 20000;
  std::atomic<bool> done{false};
  std::thread consumer([&] {
    while (true) {
      s.sem.acquire();
      for (;;) {
        Cvlk_mutex_locker guard(&s.lock);
        if (s.queued == 0) break;
        --s.queued;
        ++s.consumed;
      }
      Cvlk_mutex_locker guard(&s.lock);
      if (done && s.consumed == 4 * kPerProducer) return;
    }
  });
  std::thread producers[4];
  for (auto& p : producers) {
    p = std::thread([&] {
      for (int i = 0; i < kPerProducer; ++i) {
        {
          Cvlk_mutex_locker guard(&s.lock);
          ++s.queued;
        }
        s.sem.release();
      }
    });
  }
  for (auto& p : producers) p.join();
  done = true;
  s.sem.release();
  consumer.join();
  EXPECT_EQ(s.consumed, 4 * kPerProducer);
}
