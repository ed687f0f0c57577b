// Timers: the wheel turned by the test, expiries read from a task never started; a
// running task's pool asked beyond capacity by several threads; a lost expiry
// reported while the task starts a timer. (A task's own timers: test_task_route.)
#include <QTimerEvent>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "test_task_util.h"

using namespace tasktest;

namespace {

constexpr unsigned int kTask = 3, kFac = 77, kCapacity = 45;
using Ticks = std::vector<unsigned int>;

class TimerPoolTest : public ::testing::Test {
 protected:
  ~TimerPoolTest() override {
    Drain();
    EXPECT_EQ(pool->GetIdleNum(), pool->GetRealNum());
    EXPECT_TRUE(mgr.AllIdle());
  }
  // A timer of kFac for machine fsm, started when `period` is not 0.
  unsigned int Make(unsigned int period, unsigned int len = 0, const unsigned char* data = nullptr,
                    unsigned int fsm = 0x12345) {
    unsigned int id = pool->CreateTimer(kFac, fsm, len, data);
    if (period != 0) pool->StartTimer(id, period);
    return id;
  }
  // Advances n seconds; returns the ticks at which an expiry of timer `id` was posted.
  Ticks Advance(unsigned int n, unsigned int id) {
    Ticks fired;
    for (unsigned int i = 0; i < n; ++i) {
      pool->Tick();
      for (const Csys_timout_msg& m : Drain()) {
        if (m.srcFsmId == id) fired.push_back(pool->GetCurrSeconds());
      }
    }
    return fired;
  }
  // Takes every queued expiry off the task's queue, frees it, returns copies.
  std::vector<Csys_timout_msg> Drain() {
    std::vector<Csys_timout_msg> out;
    while (Cvlk_msg_buf* buf = task->GetPumpMsgBuf()) {
      out.push_back(*reinterpret_cast<Csys_timout_msg*>(buf->GetMsgPointer()));
      task->FreeMsgBuf(buf);
    }
    return out;
  }

  TestMgr mgr{64, 16};
  TestTask* task = new TestTask(&mgr, kTask);
  Cvlk_timer_pool* pool = new Cvlk_timer_pool(kCapacity, task);
};

// The expiry header, in the order the timers were started, and data cut to seven
// bytes or zero-filled.
TEST_F(TimerPoolTest, ExpiryMessages) {
  const unsigned char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  unsigned int ids[] = {Make(3, 10, ten), Make(3, 3, ten), Make(3, 4, nullptr)};
  const struct { unsigned int len; unsigned char data[7]; } want[] = {
      {7, {1, 2, 3, 4, 5, 6, 7}}, {3, {1, 2, 3}}, {4, {}}};
  EXPECT_TRUE(Advance(2, ids[0]).empty());
  pool->Tick();
  std::vector<Csys_timout_msg> got = Drain();
  ASSERT_EQ(got.size(), 3u);
  for (unsigned int i = 0; i < 3; ++i) {
    const Csys_timout_msg& m = got[i];
    EXPECT_EQ(std::make_tuple(m.msgType, m.srcTaskId, m.dstTaskId, m.srcFactoryId, m.dstFactoryId, m.srcFsmId,
                              m.dstFsmId),
              std::make_tuple(static_cast<unsigned int>(MSG_TIMEOUT), kTask, kTask, kFac, kFac, ids[i], 0x12345u));
    EXPECT_EQ(m.srcExtra | m.dstExtra | m.appWord1 | m.appWord2 | m.msgFlags, 0u);
    EXPECT_EQ(m.dataLen, want[i].len);
    EXPECT_EQ(std::memcmp(m.data, want[i].data, 7), 0) << i;
  }
  EXPECT_EQ(Advance(9, ids[0]), (Ticks{6, 9, 12}));
  for (unsigned int& id : ids) pool->FreeTimer(id);
  EXPECT_EQ(ids[0], 0u);
}

// Stop, restart and freed ids; then (regression) a period of a whole turn or more
// is not due when its slot is first visited (300 s at 85 s); 256 s lands in the
// current slot.
TEST_F(TimerPoolTest, StopRestartFreedIdsAndPeriodsOfAWholeTurnOrMore) {
  unsigned int id = Make(0);
  EXPECT_EQ(pool->GetTimerExpiry(id), Ctimer_res_node::kNotRunning);  // created stopped
  EXPECT_TRUE(Advance(2, id).empty());
  pool->StartTimer(id, 2);  // at tick 2
  EXPECT_EQ(Advance(4, id), (Ticks{4, 6}));
  pool->StopTimer(id);
  EXPECT_EQ(pool->GetTimerExpiry(id), Ctimer_res_node::kNotRunning);
  EXPECT_TRUE(Advance(10, id).empty());
  pool->StartTimer(id, 0);  // zero seconds: nothing changes
  EXPECT_TRUE(Advance(3, id).empty());
  pool->StartTimer(id, 5);  // at tick 19
  EXPECT_EQ(Advance(5, id), (Ticks{24}));
  pool->StartTimer(id, 7);  // restart a running timer with a new period
  EXPECT_EQ(Advance(14, id), (Ticks{31, 38}));
  unsigned int stale = id, zero = 0;
  pool->FreeTimer(id);
  pool->StartTimer(stale, 1);  // a freed id names no timer
  pool->StopTimer(stale);
  EXPECT_TRUE(Advance(3, stale).empty());
  pool->FreeTimer(stale);  // double free: nothing
  pool->FreeTimer(zero);
  EXPECT_EQ(id | stale, 0u);
  unsigned int t300 = Make(300);  // at 41
  EXPECT_EQ(Advance(600, t300), (Ticks{341, 641}));
  unsigned int t256 = Make(256);  // at 641
  EXPECT_EQ(Advance(512, t256), (Ticks{897, 1153}));
  pool->FreeTimer(t300);
  pool->FreeTimer(t256);
}

// A full pool refuses and logs; more expiries in one tick than one queue hand-over
// carries all arrive, in the order the timers were started. Expiries that find no
// buffer are dropped and counted, the timers stay armed; a Qt timer event ticks.
TEST_F(TimerPoolTest, FullPoolManyExpiriesInOneTickAndNoBuffer) {
  std::vector<unsigned int> ids;
  for (unsigned int i = 0; i < kCapacity; ++i) ids.push_back(Make(1, 0, nullptr, i));
  EXPECT_EQ(Make(0), 0u);
  EXPECT_EQ(mgr.errors, QStringList{"Fail to create timer! Task ID is 3"});
  auto expired = [&] {
    std::vector<unsigned int> got;
    for (const Csys_timout_msg& m : Drain()) got.push_back(m.srcFsmId);
    return got;
  };
  pool->Tick();
  EXPECT_EQ(expired(), ids);
  std::vector<Cvlk_msg_buf*> held;  // empty the tiny class (56-byte expiries live there)
  while (Cvlk_msg_buf* buf = mgr.GetMsgBuf(56)) held.push_back(buf);
  ASSERT_EQ(held.size(), 64u);
  pool->Tick();
  EXPECT_TRUE(Drain().empty());
  EXPECT_EQ(mgr.GetNoMsgBufCount(), 1u + kCapacity);  // our own probe, then every expiry
  for (Cvlk_msg_buf* buf : held) mgr.FreeMsgBuf(buf);
  QTimerEvent event(12345);  // whatever the Qt timer id
  QCoreApplication::sendEvent(pool, &event);
  EXPECT_EQ(pool->GetCurrSeconds(), 3u);
  EXPECT_EQ(expired(), ids);
  pool->FreeTimer(ids[2]);
  EXPECT_NE(ids[2] = Make(0), 0u);
  for (unsigned int& id : ids) pool->FreeTimer(id);
}

// Several threads ask a running task's timer pool for more timers than it has,
// round after round, while the wheel turns and expiries flow to the task: each
// round exactly the free ones are granted, and all come back.
TEST(TimerExhaustion, ThreadsAskingBeyondCapacityGetExactlyWhatIsFree) {
  constexpr unsigned int kTimers = 6, kThreads = 4, kEach = 2, kRounds = 40;
  TestMgr mgr(64, 4);
  auto* task = new TestTask(&mgr, 3, "timers");
  std::atomic<int> expiries{0};
  task->onMsg = [&](Cvlk_task*, Cmsg* msg) { return expiries += msg->msgType == MSG_TIMEOUT, PRC_PROCESSED; };
  ASSERT_EQ(task->setTimer(kTimers), ERR_OK);
  ASSERT_EQ(mgr.regTask(task), ERR_OK);
  ASSERT_EQ(mgr.Run(), ERR_OK);
  Cvlk_timer_pool* pool = task->GetTimerPool();
  ASSERT_EQ(pool->GetIdleNum(), kTimers);  // the self-check timer has the rest
  unsigned int ids[kThreads][kEach];
  auto inParallel = [&](auto step) {
    std::vector<std::thread> threads;
    for (unsigned int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { step(ids[t], t); });
    for (std::thread& th : threads) th.join();
  };
  for (unsigned int round = 1; round <= kRounds; ++round) {
    std::atomic<unsigned int> got{0};
    inParallel([&](unsigned int* mine, unsigned int t) {
      for (unsigned int i = 0; i < kEach; ++i) {
        mine[i] = task->CreateTimer(100 + t, 0, 0, nullptr);
        got += mine[i] != 0;
        task->StartTimer(mine[i], 1 + (round + t) % 2);  // nothing for a refused (0) id
      }
    });
    EXPECT_EQ(got.load(), kTimers) << "round " << round;  // never more, never fewer
    EXPECT_EQ(pool->GetIdleNum(), 0u);
    for (int i = 0; i < 2; ++i) pool->Tick();
    inParallel([&](unsigned int* mine, unsigned int) {
      for (unsigned int i = 0; i < kEach; ++i) task->StopTimer(mine[i]), task->FreeTimer(mine[i]);
    });
    EXPECT_EQ(pool->GetIdleNum(), kTimers) << "round " << round;
  }
  EXPECT_TRUE(WaitUntilTrue([&] { return expiries.load() > 0; }));  // the expiries reached the task
  mgr.Stop();
  EXPECT_TRUE(mgr.AllIdle());
}

// Regression: a lost expiry is reported after the timer lock is let go. A receiver
// on the ticking thread stops the manager while the task thread waits to start a
// timer; reported under the lock, each waited for the other for ever.
TEST(TimerExhaustion, NoBufferReceiverStopsTheManagerWhileTheTaskStartsATimer) {
  TestMgr mgr(4, 4);
  auto* task = new TestTask(&mgr, 3, "stopper");
  task->setTimer(1);
  Counter starting, ticked;
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
  std::vector<Cvlk_msg_buf*> held;  // every tiny buffer, so that the expiry is the first failure
  for (unsigned int i = 0; i < 4; ++i) held.push_back(mgr.GetMsgBuf(56));
  bool stopped = false;
  QObject::connect(&mgr, &Cvlk_task_mgr::sigErrorNoMsgBuf, &mgr, [&] {
        Cvlk_msg_buf* go = mgr.GetMsgBuf(100);  // a small buffer: the tiny class is empty
        ASSERT_NE(go, nullptr);
        FillMsg(go, 3, 0, 0);
        mgr.SendMsg(go);
        EXPECT_TRUE(starting.WaitFor(1));
        mgr.Stop();
        stopped = true;
      }, Qt::DirectConnection);
  std::thread watchdog([&] {  // a deadlock fails the test instead of hanging it
    if (ticked.WaitFor(1)) return;
    std::fprintf(stderr, "deadlock: Stop from a sigErrorNoMsgBuf receiver did not return\n");
    std::abort();
  });
  task->GetTimerPool()->Tick();
  ticked.Add();
  watchdog.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(mgr.GetNoMsgBufCount(), 1u);
  for (Cvlk_msg_buf* buf : held) EXPECT_EQ(mgr.FreeMsgBuf(buf), ERR_OK);
  EXPECT_TRUE(mgr.AllIdle());
}

}  // namespace

TASKTEST_QT_MAIN()
