// The framework at its limits on running threads: every message class drained
// while tasks pass messages around, a timer pool asked for more timers than it
// holds by several threads, a factory asked for more machines than it has.
// Requests beyond a limit fail cleanly, nothing deadlocks, service resumes and
// every pool is whole again at the end.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_task_fsm_fixture.h"

using tasktest::Counter;
using tasktest::WaitUntilTrue;

namespace {

// A size in each class of the pool below, smallest class first.
constexpr unsigned int kClassSize[EMSG_CLASS_NUM] = {40, 200, 1000, 3000};
constexpr unsigned int kClassCount[EMSG_CLASS_NUM] = {8, 8, 4, 2};
constexpr unsigned int kTasks = 3;

// Three tasks pass chains of messages round a ring; each hop takes a buffer of
// the next class for the next message. A hop that gets no buffer ends its chain.
class ChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mgr.initMessagePool(64, kClassCount[0], 256, kClassCount[1], 1024, kClassCount[2], 4096,
                                  kClassCount[3]),
              ERR_OK);
    QObject::connect(&mgr, &Cvlk_task_mgr::sigErrorNoMsgBuf, &mgr, [this] { ++noBufSignals; },
                     Qt::DirectConnection);
    for (unsigned int id = 1; id <= kTasks; ++id) {
      tasks.push_back(std::make_unique<TestTask>(&mgr, id, "chain"));
      tasks.back()->onMsg = [this](Cvlk_task* self, Cmsg* msg) { return Hop(self, msg); };
      ASSERT_EQ(mgr.regTask(tasks.back().get()), ERR_OK);
    }
    ASSERT_EQ(mgr.Run(), ERR_OK);
  }
  void TearDown() override {
    mgr.Stop();
    EXPECT_TRUE(mgr.AllIdle());
    EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_FREE_MSG), mgr.GetMsgStat(EMSG_STAT_N_ALLOC_MSG));
  }

  Eprc_result Hop(Cvlk_task* self, Cmsg* msg) {
    const unsigned int hop = msg->appWord1, last = msg->appWord2;
    if (hop >= last) return finished.Add(), PRC_PROCESSED;
    Cvlk_msg_buf* next = self->GetMsgBuf(kClassSize[(hop + 1) % EMSG_CLASS_NUM]);
    if (next == nullptr) return dropped.Add(), PRC_PROCESSED;
    Fill(next, self->GetModId() % kTasks + 1, hop + 1, last);
    self->SendMsg(next);
    return PRC_PROCESSED;
  }
  static void Fill(Cvlk_msg_buf* buf, unsigned int dst, unsigned int hop, unsigned int last) {
    Cmsg* m = buf->GetMsgPointer();
    m->Init();
    m->dstTaskId = dst;
    m->appWord1 = hop;
    m->appWord2 = last;
  }
  // Starts a chain of `last` hops at hop 0 (class 0); false when no buffer was free.
  bool Start(unsigned int last) {
    Cvlk_msg_buf* buf = mgr.GetMsgBuf(kClassSize[0]);
    if (buf == nullptr) return false;
    Fill(buf, 1, 0, last);
    return mgr.SendMsg(buf) == ERR_OK;
  }

  tasktest::TestMgr mgr;
  std::vector<std::unique_ptr<TestTask>> tasks;
  Counter finished, dropped;
  std::atomic<int> noBufSignals{0};
};

TEST_F(ChainTest, EveryClassDrainedUnderLoadFailsCleanlyAndServiceResumes) {
  // Endless chains, more than the big class can carry at once.
  constexpr int kChains = 12;
  int started = 0;
  for (int i = 0; i < kChains; ++i) started += Start(0xFFFFFFFFu) ? 1 : 0;
  ASSERT_GT(started, 0);
  // Take every buffer of every class as the chains let go of them.
  std::vector<Cvlk_msg_buf*> held;
  unsigned int total = 0;
  for (unsigned int n : kClassCount) total += n;
  unsigned int ownFailures = 0;
  const auto end = std::chrono::steady_clock::now() + tasktest::kDeadline;
  while (held.size() < total && std::chrono::steady_clock::now() < end) {
    for (unsigned int size : kClassSize) {
      if (Cvlk_msg_buf* buf = mgr.GetMsgBuf(size))
        held.push_back(buf);
      else
        ++ownFailures;
    }
    std::this_thread::yield();
  }
  ASSERT_EQ(held.size(), total);
  // No chain holds a buffer any more: each ended on a failed request.
  EXPECT_TRUE(dropped.WaitFor(started));
  EXPECT_EQ(dropped.Get(), started);
  for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls) EXPECT_EQ(mgr.GetMsgIdleNum(cls), 0u) << cls;
  // Every refused request counted: the chains', the test's own, the chains not started.
  EXPECT_EQ(mgr.GetNoMsgBufCount(), static_cast<unsigned int>(started + (kChains - started)) + ownFailures);
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_E_NO_MSG_NODE), mgr.GetNoMsgBufCount());
  EXPECT_EQ(noBufSignals.load(), 1);  // the first failure only
  EXPECT_EQ(mgr.GetMsgBuf(1), nullptr);

  // Everything back: two chains (at most one buffer of a class each in flight
  // per class, so no request of theirs can fail) run to their end.
  for (Cvlk_msg_buf* buf : held) ASSERT_EQ(mgr.FreeMsgBuf(buf), ERR_OK);
  const unsigned int failuresBefore = mgr.GetNoMsgBufCount();
  ASSERT_TRUE(Start(500));
  ASSERT_TRUE(Start(500));
  ASSERT_TRUE(finished.WaitFor(2));
  EXPECT_EQ(dropped.Get(), started);
  EXPECT_EQ(mgr.GetNoMsgBufCount(), failuresBefore);
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.AllIdle(); }));
}

// Several threads ask a running task's timer pool for more timers than it has,
// round after round, while the wheel turns and expiries flow to the task.
TEST(TimerExhaustion, ThreadsAskingBeyondCapacityGetExactlyWhatIsFree) {
  constexpr unsigned int kTimers = 6, kThreads = 4, kEach = 2, kRounds = 40;
  tasktest::TestMgr mgr;
  ASSERT_EQ(mgr.initMessagePool(64, 64, 256, 4, 1024, 2, 4096, 1), ERR_OK);
  auto* task = new TestTask(&mgr, 3, "timers");
  std::atomic<int> expiries{0};
  task->onMsg = [&](Cvlk_task*, Cmsg* msg) {
    if (msg->msgType == MSG_TIMEOUT) ++expiries;
    return PRC_PROCESSED;
  };
  task->setTimer(kTimers);
  ASSERT_EQ(mgr.regTask(task), ERR_OK);
  ASSERT_EQ(mgr.Run(), ERR_OK);
  Cvlk_timer_pool* pool = task->GetTimerPool();
  ASSERT_NE(pool, nullptr);
  const unsigned int idleAtStart = pool->GetIdleNum();
  ASSERT_EQ(idleAtStart, kTimers);  // the self-check timer has the rest

  Counter created, released;
  std::atomic<unsigned int> got{0};
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (unsigned int round = 1; round <= kRounds; ++round) {
        unsigned int ids[kEach];
        for (unsigned int& id : ids) {
          id = task->CreateTimer(100 + t, 0, 0, nullptr);
          if (id != 0) ++got;
          task->StartTimer(id, 1 + (round + t) % 2);  // nothing for a refused (0) id
        }
        // The test checks and ticks between the steps; `released` lets them on.
        created.Add();
        released.WaitFor(static_cast<int>((2 * round - 1) * kThreads));
        for (unsigned int& id : ids) {
          task->StopTimer(id);
          task->FreeTimer(id);
        }
        created.Add();
        released.WaitFor(static_cast<int>(2 * round * kThreads));
      }
    });
  }
  unsigned int totalGot = 0;
  for (unsigned int round = 1; round <= kRounds; ++round) {
    ASSERT_TRUE(created.WaitFor(static_cast<int>((2 * round - 1) * kThreads)));
    EXPECT_EQ(got.exchange(0), kTimers) << "round " << round;  // never more, never fewer
    EXPECT_EQ(pool->GetIdleNum(), 0u);
    totalGot += kTimers;
    for (int i = 0; i < 2; ++i) pool->Tick();
    for (unsigned int t = 0; t < kThreads; ++t) released.Add();
    ASSERT_TRUE(created.WaitFor(static_cast<int>(2 * round * kThreads)));
    EXPECT_EQ(pool->GetIdleNum(), kTimers) << "round " << round;
    for (unsigned int t = 0; t < kThreads; ++t) released.Add();
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(totalGot, kTimers * kRounds);
  EXPECT_TRUE(WaitUntilTrue([&] { return expiries.load() > 0; }));  // the expiries reached the task
  mgr.Stop();
  EXPECT_EQ(pool->GetIdleNum(), idleAtStart);
  EXPECT_TRUE(mgr.AllIdle());
}

// Regression: a lost expiry is reported after the timer lock is let go. A
// receiver on the ticking thread stops the manager while the task thread waits
// to start a timer; reported under the lock, each waited for the other for ever.
TEST(TimerExhaustion, NoBufferReceiverStopsTheManagerWhileTheTaskStartsATimer) {
  tasktest::TestMgr mgr;
  ASSERT_EQ(mgr.initMessagePool(64, 4, 256, 4, 1024, 2, 4096, 1), ERR_OK);
  auto* task = new TestTask(&mgr, 3, "stopper");
  task->setTimer(1);
  Counter starting;
  std::atomic<unsigned int> timer{0};
  task->onMsg = [&](Cvlk_task* self, Cmsg* msg) {
    if (msg->msgType != MSG_APP) return PRC_NOT_PROCESSED;
    starting.Add();
    self->StartTimer(timer, 5);
    return PRC_PROCESSED;
  };
  ASSERT_EQ(mgr.regTask(task), ERR_OK);
  ASSERT_EQ(mgr.Run(), ERR_OK);
  timer = task->CreateTimer(100, 0, 0, nullptr);
  task->StartTimer(timer, 1);
  // Exactly every tiny buffer held, so that the expiry is the first failure.
  std::vector<Cvlk_msg_buf*> held;
  for (unsigned int i = 0; i < mgr.GetMsgRealNum(EMSG_CLASS_TINY); ++i) held.push_back(mgr.GetMsgBuf(56));
  bool stopped = false;
  QObject::connect(
      &mgr, &Cvlk_task_mgr::sigErrorNoMsgBuf, &mgr,
      [&] {
        Cvlk_msg_buf* go = mgr.GetMsgBuf(100);  // a small buffer: the tiny class is empty
        ASSERT_NE(go, nullptr);
        go->GetMsgPointer()->Init();
        go->GetMsgPointer()->dstTaskId = 3;
        mgr.SendMsg(go);
        EXPECT_TRUE(starting.WaitFor(1));
        mgr.Stop();
        stopped = true;
      },
      Qt::DirectConnection);
  // A deadlock fails the test instead of hanging it.
  std::mutex doneLock;
  std::condition_variable doneCond;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(doneLock);
    if (!doneCond.wait_for(lock, tasktest::kDeadline, [&] { return done; })) {
      std::fprintf(stderr, "deadlock: Stop from a sigErrorNoMsgBuf receiver did not return\n");
      std::abort();
    }
  });
  task->GetTimerPool()->Tick();
  {
    std::lock_guard<std::mutex> lock(doneLock);
    done = true;
  }
  doneCond.notify_all();
  watchdog.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(mgr.GetNoMsgBufCount(), 1u);
  for (Cvlk_msg_buf* buf : held) EXPECT_EQ(mgr.FreeMsgBuf(buf), ERR_OK);
  EXPECT_TRUE(mgr.AllIdle());
}

// A machine that keeps (saves) every message that asks for it.
class KeepingFsm : public Cfsm {
 public:
  explicit KeepingFsm(Cfactory* factory) : Cfsm(factory, 0) {}
  Eprc_result ProcessMsg(Cmsg* msg) override { return msg->appWord1 == 1 ? PRC_SAVE_MSG : PRC_PROCESSED; }
  const char* GetName() override { return "KeepingFsm"; }
};

using FactoryExhaustion = OneFactoryTest<MachineFactory<KeepingFsm>>;

// Every machine busy and holding a buffer: a message that needs a new machine
// is refused and its buffer freed; a killed machine gives its slot and its
// saved buffer back.
TEST_F(FactoryExhaustion, AMessageBeyondTheLastMachineIsRefusedAndFreed) {
  for (unsigned int i = 0; i < 4; ++i) EXPECT_EQ(Send(0, MSG_APP, 1), PRC_SAVE_MSG) << i;
  EXPECT_EQ(fac->GetIdleNum(), 0u);
  const unsigned int tinyHeld = mgr.GetMsgRealNum(EMSG_CLASS_TINY) - mgr.GetMsgIdleNum(EMSG_CLASS_TINY);
  EXPECT_EQ(tinyHeld, 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Send(0, MSG_APP, 1), PRC_ERROR);
  EXPECT_EQ(mgr.GetMsgIdleNum(EMSG_CLASS_TINY), mgr.GetMsgRealNum(EMSG_CLASS_TINY) - 4);
  const unsigned int victim = fac->Fsm(2)->GetId();
  fac->killFsm(victim);
  EXPECT_EQ(fac->GetIdleNum(), 1u);
  EXPECT_EQ(mgr.GetMsgIdleNum(EMSG_CLASS_TINY), mgr.GetMsgRealNum(EMSG_CLASS_TINY) - 3);
  EXPECT_EQ(Send(victim), PRC_NOT_PROCESSED);  // the old id names no machine
  EXPECT_EQ(Send(0), PRC_PROCESSED);           // the freed slot serves a newcomer
}

}  // namespace

TASKTEST_QT_MAIN()
