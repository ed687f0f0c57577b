// Threads and the coalescing semaphore.
#include <dirent.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "test_task_util.h"

namespace {

using tasktest::WaitUntilTrue;

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
class DeafThread : public ReturningThread {
 protected:
  void run() override {
    for (runs = 1;;) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

// The names of this process's threads.
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

// True once thread tid sleeps in a futex wait, or when the system does not tell.
bool InFutexWait(pid_t tid) {
  std::string call;
  std::ifstream(std::string("/proc/self/task/") + std::to_string(tid) + "/syscall") >> call;
  return call.empty() || call == std::to_string(SYS_futex);
}

TEST(Thread, RunOnceThenStartStopAndJoinAreHarmless) {
  { ReturningThread never; }  // destroyed without a start
  ReturningThread t;
  t.join();  // before the start
  t.start();
  t.join();
  EXPECT_FALSE(t.isRunning());
  t.start();  // a second start starts nothing
  t.stop();
  t.stop();
  EXPECT_EQ(t.runs.load(), 1);
  EXPECT_STREQ(t.name, "Cvlk_thread");  // named for its class
}

TEST(Thread, RunMayDeleteItsObjectAndTheDestructorOfARunningThreadFailsLoudly) {
  std::atomic<bool> gone{false};
  (new SelfDeletingThread(&gone))->start();
  EXPECT_TRUE(WaitUntilTrue([&] { return gone.load(); }));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto* deaf = new DeafThread;
        deaf->start();
        while (deaf->runs == 0) std::this_thread::yield();
        delete deaf;
      },
      "\"Cvlk_thread\" destroyed while its run\\(\\) still runs");
}

// Tasks are named for the task (cut to 15 characters), the routing thread vlk-route.
// A running manager that is destroyed while its tasks keep each other busy stops
// and deletes them (Qt children), threads joined first (sanitizers see late uses).
TEST(Thread, EveryThreadIsNamedAndADestroyedManagerTakesItsTasks) {
  auto* mgr = new tasktest::TestMgr(32, 4);
  tasktest::Counter got;
  for (unsigned int id : {1u, 2u}) {
    auto* task = new tasktest::TestTask(mgr, id, id == 1 ? "worker-of-the-relay" : "second");
    task->onMsg = [&got](Cvlk_task* self, Cmsg* msg) {
      got.Add();
      Cvlk_msg_buf* next = tasktest::MakeMsg(self->GetTaskMgr(), msg->srcTaskId, MSG_APP, 0, self->GetModId());
      if (next != nullptr) self->SendMsg(next);
      return PRC_PROCESSED;
    };
    ASSERT_EQ(mgr->regTask(task), ERR_OK);
  }
  ASSERT_EQ(mgr->Run(), ERR_OK);
  std::multiset<std::string> names = ThreadNames();
  EXPECT_EQ(names.count("vlk-route"), 1u);
  EXPECT_EQ(names.count("worker-of-the-r"), 1u);
  for (unsigned int i = 0; i < 8; ++i) mgr->SendMsg(tasktest::MakeMsg(mgr, 1 + i % 2, MSG_APP, 0, 2 - i % 2));
  ASSERT_TRUE(got.WaitFor(100));
  delete mgr;
}

// One acquire takes every release made before it; a release wakes a timed waiter.
// Regression: with two waiters asleep, a release woke nobody.
TEST(Semaphore, ReleasesCoalesceAndEachWakesOneOfSeveralWaiters) {
  // Heap-held, so that a waiter left asleep by a fault cannot outlive it.
  struct Waiters {
    Cvlk_semaphore sem;
    std::atomic<int> through{0};
    std::atomic<pid_t> tids[2]{};
    std::thread threads[2];
  }* w = new Waiters;
  Cvlk_semaphore& sem = w->sem;
  sem.acquire();  // the initial count
  EXPECT_FALSE(sem.acquireFor(20));
  sem.release();
  sem.release();
  EXPECT_TRUE(sem.acquireFor(0));
  EXPECT_FALSE(sem.acquireFor(20));
  std::thread releaser([&] { sem.release(); });
  EXPECT_TRUE(sem.acquireFor(20000));
  releaser.join();
  for (int i = 0; i < 2; ++i) {
    w->threads[i] = std::thread([w, i] {
      w->tids[i] = gettid();
      w->sem.acquire();
      ++w->through;
    });
  }
  ASSERT_TRUE(WaitUntilTrue([&] { return w->tids[0] != 0 && w->tids[1] != 0; }));
  ASSERT_TRUE(WaitUntilTrue([&] { return InFutexWait(w->tids[0]) && InFutexWait(w->tids[1]); }));
  bool ok = true;
  for (int round = 1; ok && round <= 2; ++round) {
    w->sem.release();
    ok = WaitUntilTrue([&] { return w->through == round; });
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

}  // namespace
