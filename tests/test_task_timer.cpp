// Timer pool: the wheel advanced tick by tick through the tick routine, expiry
// messages read back from the task's own queue (the task is never started).
#include <QTimerEvent>

#include <vector>

#include "test_task_fsm_fixture.h"

namespace {

constexpr unsigned int kTask = 3;
constexpr unsigned int kFactory = 77;

class TimerPoolTest : public ::testing::Test {
 protected:
  TimerPoolTest() : task(new TestTask(&mgr, kTask)), pool(new Cvlk_timer_pool(4, task)) {}

  ~TimerPoolTest() override {
    DrainExpiries();
    EXPECT_TRUE(mgr.AllIdle());
  }

  // Advances n seconds; returns the ticks (GetCurrSeconds values) at which an expiry
  // of timer `id` was posted.
  std::vector<unsigned int> Advance(unsigned int n, unsigned int id) {
    std::vector<unsigned int> fired;
    for (unsigned int i = 0; i < n; ++i) {
      pool->Tick();
      for (const Csys_timout_msg& m : DrainExpiries()) {
        if (m.srcFsmId == id) fired.push_back(pool->GetCurrSeconds());
      }
    }
    return fired;
  }

  // Takes every queued expiry message off the task's queue, frees it, returns copies.
  std::vector<Csys_timout_msg> DrainExpiries() {
    std::vector<Csys_timout_msg> out;
    while (Cvlk_msg_buf* buf = task->GetPumpMsgBuf()) {
      out.push_back(*reinterpret_cast<Csys_timout_msg*>(buf->GetMsgPointer()));
      task->FreeMsgBuf(buf);
    }
    return out;
  }

  TestMgr mgr;
  TestTask* task;
  Cvlk_timer_pool* pool;
};

TEST_F(TimerPoolTest, ThreeSecondTimerFiresEveryThirdTick) {
  unsigned char data[3] = {0xA1, 0xB2, 0xC3};
  unsigned int id = pool->CreateTimer(kFactory, 0x12345, 3, data);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(pool->GetTimerExpiry(id), Ctimer_res_node::kNotRunning);  // created stopped
  EXPECT_TRUE(Advance(5, id).empty());

  pool->StartTimer(id, 3);  // at tick 5
  pool->Tick();
  pool->Tick();
  EXPECT_TRUE(DrainExpiries().empty());
  pool->Tick();  // tick 8: the third after StartTimer
  std::vector<Csys_timout_msg> got = DrainExpiries();
  ASSERT_EQ(got.size(), 1u);
  const Csys_timout_msg& m = got[0];
  EXPECT_EQ(m.msgType, static_cast<unsigned int>(MSG_TIMEOUT));
  EXPECT_EQ(m.srcTaskId, kTask);
  EXPECT_EQ(m.dstTaskId, kTask);
  EXPECT_EQ(m.srcFactoryId, kFactory);
  EXPECT_EQ(m.dstFactoryId, kFactory);
  EXPECT_EQ(m.srcFsmId, id);
  EXPECT_EQ(m.dstFsmId, 0x12345u);
  EXPECT_EQ(m.dataLen, 3u);
  EXPECT_EQ(m.data[0], 0xA1);
  EXPECT_EQ(m.data[2], 0xC3);
  EXPECT_EQ(m.data[3], 0);
  EXPECT_EQ(m.srcExtra | m.dstExtra | m.appWord1 | m.appWord2 | m.msgFlags, 0u);

  EXPECT_EQ(Advance(9, id), (std::vector<unsigned int>{11, 14, 17}));
  pool->FreeTimer(id);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(pool->GetIdleNum(), pool->GetRealNum());
}

TEST_F(TimerPoolTest, PeriodsOfAWholeTurnOrMoreWaitForTheirTick) {
  unsigned int t300 = pool->CreateTimer(kFactory, 0, 0, nullptr);
  unsigned int t256 = pool->CreateTimer(kFactory, 0, 0, nullptr);
  pool->StartTimer(t300, 300);
  pool->StartTimer(t256, 256);  // lands in the current slot
  std::vector<unsigned int> f300, f256;
  for (unsigned int i = 0; i < 600; ++i) {
    pool->Tick();
    for (const Csys_timout_msg& m : DrainExpiries()) {
      (m.srcFsmId == t300 ? f300 : f256).push_back(pool->GetCurrSeconds());
    }
    if (pool->GetCurrSeconds() == 44) {
      EXPECT_EQ(pool->GetTimerExpiry(t300), 300u);  // visited, not due
    }
  }
  EXPECT_EQ(f300, (std::vector<unsigned int>{300, 600}));
  EXPECT_EQ(f256, (std::vector<unsigned int>{256, 512}));
  pool->FreeTimer(t300);
  pool->FreeTimer(t256);
}

TEST_F(TimerPoolTest, StopRestartAndFreedIds) {
  unsigned int id = pool->CreateTimer(kFactory, 0, 0, nullptr);
  pool->StartTimer(id, 2);
  EXPECT_EQ(Advance(4, id), (std::vector<unsigned int>{2, 4}));
  pool->StopTimer(id);
  EXPECT_EQ(pool->GetTimerExpiry(id), Ctimer_res_node::kNotRunning);
  EXPECT_TRUE(Advance(10, id).empty());
  pool->StartTimer(id, 0);  // zero seconds: nothing changes
  EXPECT_TRUE(Advance(3, id).empty());
  pool->StartTimer(id, 5);  // at tick 17
  EXPECT_EQ(Advance(5, id), (std::vector<unsigned int>{22}));
  pool->StartTimer(id, 7);  // restart a running timer with a new period
  EXPECT_EQ(Advance(14, id), (std::vector<unsigned int>{29, 36}));

  unsigned int stale = id;
  pool->FreeTimer(id);
  EXPECT_EQ(id, 0u);
  pool->StartTimer(stale, 1);  // a freed id names no timer
  pool->StopTimer(stale);
  EXPECT_TRUE(Advance(3, stale).empty());
  pool->FreeTimer(stale);  // double free: nothing
  EXPECT_EQ(stale, 0u);
  unsigned int zero = 0;
  pool->FreeTimer(zero);
  EXPECT_EQ(pool->GetIdleNum(), 4u);
}

TEST_F(TimerPoolTest, DataBytesAreCutToSevenOrZeroFilled) {
  unsigned char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  unsigned int a = pool->CreateTimer(kFactory, 0, 10, ten);
  unsigned int b = pool->CreateTimer(kFactory, 0, 4, nullptr);
  pool->StartTimer(a, 1);
  pool->StartTimer(b, 1);
  pool->Tick();
  std::vector<Csys_timout_msg> got = DrainExpiries();
  ASSERT_EQ(got.size(), 2u);
  for (const Csys_timout_msg& m : got) {
    if (m.srcFsmId == a) {
      EXPECT_EQ(m.dataLen, 7u);
      for (int i = 0; i < 7; ++i) EXPECT_EQ(m.data[i], i + 1);
    } else {
      EXPECT_EQ(m.srcFsmId, b);
      EXPECT_EQ(m.dataLen, 4u);
      for (int i = 0; i < 7; ++i) EXPECT_EQ(m.data[i], 0);
    }
  }
  pool->FreeTimer(a);
  pool->FreeTimer(b);
}

TEST_F(TimerPoolTest, ExhaustedPoolLogsAndReturnsZero) {
  unsigned int ids[4];
  for (unsigned int& id : ids) {
    id = pool->CreateTimer(kFactory, 0, 0, nullptr);
    EXPECT_NE(id, 0u);
  }
  EXPECT_EQ(pool->CreateTimer(kFactory, 0, 0, nullptr), 0u);
  ASSERT_EQ(mgr.errors.size(), 1);
  EXPECT_EQ(mgr.errors[0], QString("Fail to create timer! Task ID is 3"));
  pool->FreeTimer(ids[2]);
  unsigned int again = pool->CreateTimer(kFactory, 0, 0, nullptr);
  EXPECT_NE(again, 0u);
  for (unsigned int& id : ids) pool->FreeTimer(id);
  pool->FreeTimer(again);
  EXPECT_EQ(pool->GetIdleNum(), 4u);
}

TEST_F(TimerPoolTest, ExpiryWithoutBufferIsDroppedAndTimerStaysArmed) {
  unsigned int id = pool->CreateTimer(kFactory, 0, 0, nullptr);
  pool->StartTimer(id, 1);
  std::vector<Cvlk_msg_buf*> held;  // empty the tiny class (56-byte expiries live there)
  while (Cvlk_msg_buf* buf = mgr.GetMsgBuf(56)) held.push_back(buf);
  ASSERT_EQ(held.size(), 64u);
  pool->Tick();
  EXPECT_TRUE(DrainExpiries().empty());
  EXPECT_EQ(mgr.GetNoMsgBufCount(), 2u);  // our own probe, then the expiry
  for (Cvlk_msg_buf* buf : held) mgr.FreeMsgBuf(buf);
  EXPECT_EQ(Advance(1, id), (std::vector<unsigned int>{2}));
  pool->FreeTimer(id);
}

TEST_F(TimerPoolTest, TimerEventRunsTheTick) {
  unsigned int id = pool->CreateTimer(kFactory, 0, 0, nullptr);
  pool->StartTimer(id, 1);
  QTimerEvent event(12345);  // whatever the Qt timer id
  QCoreApplication::sendEvent(pool, &event);
  EXPECT_EQ(pool->GetCurrSeconds(), 1u);
  EXPECT_EQ(DrainExpiries().size(), 1u);
  pool->FreeTimer(id);
}

// The task's own timer functions reach the pool that start() made; the self-check
// timer takes the first of the task's timers and setTimer reserves more.
TEST(TaskTimers, SelfCheckTimerAndReservedTimers) {
  TestMgr mgr;
  auto* one = new TestTask(&mgr, 5, "one");
  auto* three = new TestTask(&mgr, 6, "three");
  three->setTimer(2);
  one->start();
  three->start();
  EXPECT_EQ(one->CreateTimer(kFactory, 0, 0, nullptr), 0u);
  unsigned int a = three->CreateTimer(kFactory, 0, 0, nullptr);
  unsigned int b = three->CreateTimer(kFactory, 0, 0, nullptr);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_EQ(three->CreateTimer(kFactory, 0, 0, nullptr), 0u);
  three->FreeTimer(a);
  three->FreeTimer(b);
  EXPECT_EQ(a, 0u);
  one->stop();
  three->stop();
  EXPECT_TRUE(mgr.AllIdle());
}

}  // namespace

VLK_TEST_MAIN_WITH_QT
