// Threads, the recursive mutex and the coalescing semaphore.
#include <dirent.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "test_task_util.h"
#include "vlk_sys.h"

namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

class ReturningThread : public Cvlk_thread {
 public:
  std::atomic<int> runs{0};
  char name[16] = {};

 protected:
  void run() override {
    pthread_getname_np(pthread_self(), name, sizeof name);
    runs.fetch_add(1);
  }
};

// Its run() ends by deleting its own object.
class SelfDeletingThread : public Cvlk_thread {
 public:
  explicit SelfDeletingThread(std::atomic<bool>* gone) : m_gone(gone) {}
  ~SelfDeletingThread() override { m_gone->store(true); }

 protected:
  void run() override { delete this; }

 private:
  std::atomic<bool>* m_gone;
};

// Its run() never looks at the stop flag.
class DeafThread : public Cvlk_thread {
 public:
  std::atomic<bool> running{false};

 protected:
  void run() override {
    running = true;
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

// The threads of this process by name.
std::multiset<std::string> ThreadNames() {
  std::multiset<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  for (dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
    std::string name;
    if (e->d_name[0] != '.' && std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), name))
      names.insert(name);
  }
  if (dir != nullptr) closedir(dir);
  return names;
}

// True once thread tid sleeps in a futex wait (its current system call), or when
// the system does not tell.
bool InFutexWait(pid_t tid) {
  std::string call;
  std::ifstream(std::string("/proc/self/task/") + std::to_string(tid) + "/syscall") >> call;
  return call.empty() || call == std::to_string(SYS_futex);
}

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

TEST(Thread, RunMayDeleteItsObjectAndTheDestructorOfARunningThreadFailsLoudly) {
  std::atomic<bool> gone{false};
  (new SelfDeletingThread(&gone))->start();
  EXPECT_TRUE(tasktest::WaitUntilTrue([&] { return gone.load(); }));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto* deaf = new DeafThread;
        deaf->start();
        while (!deaf->running) std::this_thread::yield();
        delete deaf;
      },
      "\"Cvlk_thread\" destroyed while its run\\(\\) still runs");
}

TEST(Thread, EveryThreadIsNamedTasksByTheirNamesTheRouterVlkRoute) {
  ReturningThread plain, named;
  named.setThreadName("a-thread-name-of-26-chars");
  plain.start();
  named.start();
  plain.join();
  named.join();
  EXPECT_STREQ(plain.name, "Cvlk_thread");  // the class name
  EXPECT_STREQ(named.name, "a-thread-name-o");  // cut to 15
  tasktest::TestMgr mgr;
  tasktest::TestTask task(&mgr, 1, "worker-of-the-relay");
  ASSERT_EQ(mgr.initMessagePool(64, 4, 256, 1, 1024, 1, 4096, 1), ERR_OK);
  ASSERT_EQ(mgr.regTask(&task), ERR_OK);
  ASSERT_EQ(mgr.Run(), ERR_OK);
  std::multiset<std::string> names = ThreadNames();
  EXPECT_EQ(names.count("vlk-route"), 1u);
  EXPECT_EQ(names.count("worker-of-the-r"), 1u);
  mgr.Stop();
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

TEST(Semaphore, SeveralWaitersEachReleaseLetsOneThrough) {
  // Heap-held, so that a waiter left asleep by a fault cannot outlive it.
  struct Waiters {
    Cvlk_semaphore sem;
    std::atomic<int> through{0};
    std::atomic<pid_t> tids[2]{};
    std::thread threads[2];
  }* w = new Waiters;
  w->sem.acquire();  // the initial count
  for (int i = 0; i < 2; ++i) {
    w->threads[i] = std::thread([w, i] {
      w->tids[i] = gettid();
      w->sem.acquire();
      ++w->through;
    });
  }
  // Both asleep in acquire before the first release.
  ASSERT_TRUE(tasktest::WaitUntilTrue([&] { return w->tids[0] != 0 && w->tids[1] != 0; }));
  ASSERT_TRUE(tasktest::WaitUntilTrue([&] { return InFutexWait(w->tids[0]) && InFutexWait(w->tids[1]); }));
  bool ok = true;
  for (int round = 1; ok && round <= 2; ++round) {
    w->sem.release();
    ok = tasktest::WaitUntilTrue([&] { return w->through == round; });
    EXPECT_TRUE(ok) << "release " << round << " woke nobody";
  }
  if (!ok) {  // a waiter sleeps for good: leave it and its semaphore behind
    for (auto& t : w->threads) t.detach();
    return;
  }
  for (auto& t : w->threads) t.join();
  EXPECT_FALSE(w->sem.acquireFor(0));  // each release was taken once
  delete w;
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
