// Messages between threads (routing, queues, metrics, order, Stop) and tasks with
// factories (dispatch, hooks, the self-check timer, who frees a buffer).
#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <QRegularExpression>

#include "test_task_util.h"

using namespace tasktest;

namespace {

// Marks the message processed after running f on the task thread.
template <typename F>
std::function<Eprc_result(Cvlk_task*, Cmsg*)> Handle(F f) {
  return [f](Cvlk_task* self, Cmsg* msg) { return f(self, msg), PRC_PROCESSED; };
}

class RouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (unsigned int id : {0u, 1u, 2u}) {
      tasks.push_back(std::make_unique<TestTask>(&mgr, id, "t"));
      ASSERT_EQ(mgr.regTask(tasks.back().get()), ERR_OK);
    }
  }
  void TearDown() override {
    mgr.Stop();
    EXPECT_TRUE(mgr.AllIdle());
    EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_FREE_MSG), mgr.GetMsgStat(EMSG_STAT_N_ALLOC_MSG));
  }
  TestTask& task(unsigned int id) { return *tasks[id]; }

  TestMgr mgr{64, 16};
  std::vector<std::unique_ptr<TestTask>> tasks;
};

// Task 0 is never addressable, 32 out of range, 5 empty: each is freed and counted,
// a direct send says so, the first is logged. Known ones arrive in order on the
// task's thread, whose traced lines leave through the manager.
TEST_F(RouteTest, UnknownDestinationsAreFreedAndKnownOnesDelivered) {
  Counter got1;
  std::vector<unsigned int> words;  // task 1's thread, then through got1's lock
  const std::thread::id mainThread = std::this_thread::get_id();
  task(0).onMsg = Handle([&](Cvlk_task*, Cmsg*) { ADD_FAILURE() << "task 0 got a message"; });
  task(1).onMsg = Handle([&](Cvlk_task* self, Cmsg* msg) {
    EXPECT_NE(std::this_thread::get_id(), mainThread);
    words.push_back(msg->appWord1);
    self->slotTracedInfo(QStringLiteral("from the task"));
    got1.Add();
  });
  mgr.TraceOn();
  ASSERT_EQ(mgr.Run(), ERR_OK);  // the main thread has an event dispatcher: no warning
  EXPECT_EQ(mgr.Run(), ERR_INVALID_OPR);
  EXPECT_EQ(mgr.SendMsg(nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(mgr.SendMsgToTask(nullptr), ERR_INVALID_PARAM);
  for (unsigned int dst : {0u, 32u, 5u, 0xFFFFFFFFu}) {
    EXPECT_EQ(mgr.SendMsg(MakeMsg(&mgr, dst)), ERR_OK);
    EXPECT_EQ(mgr.SendMsgToTask(MakeMsg(&mgr, dst)), ERR_OBJ_NOT_FOUND);
  }
  EXPECT_EQ(mgr.SendMsgToTask(MakeMsg(&mgr, 1, MSG_APP, 1)), ERR_OK);
  EXPECT_EQ(mgr.SendMsg(MakeMsg(&mgr, 1, MSG_APP, 2)), ERR_OK);  // routed after the unknown ones: FIFO
  ASSERT_TRUE(got1.WaitFor(2));
  // A free is counted just after the buffer is back: wait for both.
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.AllIdle() && mgr.GetMsgStat(EMSG_STAT_N_FREE_MSG) == 10u; }));
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_E_NO_TASK), 8u);
  EXPECT_EQ(mgr.warnings.size(), 1);
  EXPECT_TRUE(mgr.warnings.value(0).startsWith("VLK: no task ")) << mgr.warnings.value(0).toStdString();
  EXPECT_EQ(words, (std::vector<unsigned int>{1, 2}));
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.lines.count(QStringLiteral("from the task")) == 2; }));
}

// Nothing is lost at Stop: buffers queued for the router or a task, with or
// without Run, are freed, and later sends free theirs at once.
TEST_F(RouteTest, StopFreesQueuedBuffersAndLaterSendsFreeAtOnce) {
  Counter entered;
  for (unsigned int id : {1u, 2u}) {
    // The first message holds the task until Stop: the rest stay queued.
    task(id).onMsg = Handle([&](Cvlk_task* self, Cmsg*) {
      entered.Add();
      const auto end = std::chrono::steady_clock::now() + kDeadline;
      while (!self->isStopRequested() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    });
  }
  ASSERT_EQ(mgr.Run(), ERR_OK);
  for (int i = 0; i < 20; ++i) {
    mgr.SendMsg(MakeMsg(&mgr, 1));
    mgr.SendMsgToTask(MakeMsg(&mgr, 2));
  }
  ASSERT_TRUE(entered.WaitFor(2));
  mgr.Stop();
  EXPECT_EQ(entered.Get(), 2);
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_FREE_MSG), 40u);
  EXPECT_EQ(mgr.SendMsg(MakeMsg(&mgr, 1)), ERR_OK);
  EXPECT_EQ(mgr.SendMsgToTask(MakeMsg(&mgr, 2)), ERR_OK);
  EXPECT_EQ(task(1).SendMsg(MakeMsg(&mgr, 1)), ERR_OK);
  EXPECT_TRUE(mgr.AllIdle());
  EXPECT_EQ(mgr.Run(), ERR_INVALID_OPR);
}

TEST_F(RouteTest, StopWithoutRunFreesTheRoutingQueue) {
  Cvlk_msg_buf* first = MakeMsg(&mgr, 1);
  ASSERT_EQ(mgr.SendMsg(first), ERR_OK);
  EXPECT_EQ(mgr.FreeMsgBuf(first), ERR_INVALID_OPR);  // the router's now
  for (int i = 0; i < 4; ++i) ASSERT_EQ(mgr.SendMsg(MakeMsg(&mgr, 1)), ERR_OK);
  ASSERT_EQ(mgr.SendMsgToTask(MakeMsg(&mgr, 2)), ERR_OK);
  EXPECT_EQ(mgr.GetMsgIdleNum(EMSG_CLASS_TINY), 64u - 6u);  // queued; tear-down stops and checks
}

// Wake-ups coalesce, so one must drain all that is queued: 60 buffers (two batches)
// for the routing thread before it starts, 60 handed to a task at once.
TEST_F(RouteTest, OneWakeUpDrainsMoreThanOneBatch) {
  constexpr int kMany = 60;
  Counter got;
  task(1).onMsg = task(2).onMsg = Handle([&](Cvlk_task*, Cmsg*) { got.Add(); });
  for (int i = 0; i < kMany; ++i) ASSERT_EQ(mgr.SendMsg(MakeMsg(&mgr, 1)), ERR_OK);
  ASSERT_EQ(mgr.Run(), ERR_OK);
  ASSERT_TRUE(got.WaitFor(kMany));
  Cvlk_msg_buf* bufs[kMany];
  for (Cvlk_msg_buf*& buf : bufs) ASSERT_NE(buf = MakeMsg(&mgr, 2), nullptr);
  task(2).PumpMsgBufs(bufs, kMany);
  EXPECT_TRUE(got.WaitFor(2 * kMany));
}

// Exact counts: a handler held on the first message lets five routed ones pile up,
// then all six drain. Of the times only a fresh stamp is checked (not hours old).
TEST_F(RouteTest, QueueMetricsCountDepthHighWaterAndHandled) {
  Counter entered, release, done;
  task(1).onMsg = Handle([&](Cvlk_task*, Cmsg* msg) {
    if (msg->appWord1 == 0) entered.Add(), release.WaitFor(1);
    done.Add();
  });
  ASSERT_EQ(mgr.Run(), ERR_OK);
  ASSERT_EQ(mgr.SendMsgToTask(MakeMsg(&mgr, 1, MSG_APP, 0)), ERR_OK);
  ASSERT_TRUE(entered.WaitFor(1));
  for (unsigned int word = 1; word <= 5; ++word) ASSERT_EQ(mgr.SendMsg(MakeMsg(&mgr, 1, MSG_APP, word)), ERR_OK);
  Cvlk_queue_metrics m;
  std::uint64_t timed = 0, maxNs = 0;
  auto read = [&] {
    EXPECT_EQ(mgr.GetQueueMetrics(1, &m), ERR_OK);
    timed += m.timed;
    maxNs = std::max(maxNs, m.maxQueueNs);
  };
  ASSERT_TRUE(WaitUntilTrue([&] { return read(), m.depth == 5u; }));
  EXPECT_EQ(std::make_tuple(m.highWater, m.handled, timed), std::make_tuple(5u, std::uint64_t{0}, std::uint64_t{1}));
  release.Add();
  ASSERT_TRUE(done.WaitFor(6));
  ASSERT_TRUE(WaitUntilTrue([&] { return read(), m.handled == 6u; }));
  EXPECT_EQ(std::make_tuple(m.depth, m.highWater, timed), std::make_tuple(0u, 5u, std::uint64_t{6}));
  EXPECT_LT(maxNs, 3600ull * 1000000000ull);
  ASSERT_EQ(mgr.GetQueueMetrics(1, &m), ERR_OK);  // a new window: nothing taken since
  EXPECT_EQ(m.timed | m.meanQueueNs | m.maxQueueNs, 0u);
  EXPECT_EQ(mgr.GetQueueMetrics(3, &m), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(mgr.GetQueueMetrics(1, nullptr), ERR_INVALID_PARAM);
}

// Task 1 answers each tick with a burst of numbered messages to task 2, delivered by
// the handler while the routing thread holds nothing, else through it. This thread
// adds numbered noise for task 2 and a missing task; three threads flood task 2, so
// the pool runs dry (senders wait for buffers; one that never comes fails the test).
// Every sender's numbers arrive complete and in order, and service resumes.
TEST_F(RouteTest, ConcurrentSendersKeepTheirOrderWhileThePoolRunsDry) {
  constexpr unsigned int kTicks = 3000, kBurst = 3, kWindow = 16, kSenders = 3, kPerSender = 6000;
  std::atomic<unsigned int> ticked{0}, noiseGot{0}, outOfOrder{0};
  std::atomic<bool> gaveUp{false};
  unsigned int burstNext = 0;                 // task 1's thread only
  unsigned int next[2 + kSenders] = {};       // task 2's thread only, by sender: 0 this thread, 1 task 1
  Counter got;
  auto take = [&](unsigned int dst, unsigned int word, unsigned int src) {
    Cvlk_msg_buf* buf;
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while ((buf = MakeMsg(&mgr, dst, MSG_APP, word, src)) == nullptr) {
      if (gaveUp || std::chrono::steady_clock::now() > end) {
        if (!gaveUp.exchange(true)) ADD_FAILURE() << "no buffer came back";
        return buf;
      }
      std::this_thread::yield();
    }
    return buf;
  };
  task(1).onMsg = Handle([&](Cvlk_task* self, Cmsg*) {
    for (unsigned int b = 0; b < kBurst; ++b)
      if (Cvlk_msg_buf* buf = take(2, burstNext++, 1)) self->SendMsg(buf);
    ++ticked;
  });
  task(2).onMsg = Handle([&](Cvlk_task*, Cmsg* msg) {
    const unsigned int src = msg->srcTaskId;
    if (src > 1 + kSenders || msg->appWord1 != next[src]) ++outOfOrder;
    if (src <= 1 + kSenders) next[src] = msg->appWord1 + 1;
    if (src == 0) ++noiseGot;
    got.Add();
  });
  ASSERT_EQ(mgr.Run(), ERR_OK);
  std::vector<std::thread> threads;
  for (unsigned int s = 2; s < 2 + kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (unsigned int i = 0; i < kPerSender; ++i) {
        Cvlk_msg_buf* buf = take(2, i, s);
        EXPECT_EQ(buf != nullptr ? mgr.SendMsg(buf) : ERR_OK, ERR_OK);
      }
    });
  }
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  for (unsigned int t = 0; t < kTicks && !gaveUp; ++t) {
    // A few ticks and a little noise outstanding.
    while ((t - ticked > kWindow || t - noiseGot > kWindow) && std::chrono::steady_clock::now() < end) {
      std::this_thread::yield();
    }
    for (unsigned int dst : {2u, 1u, 5u})
      if (Cvlk_msg_buf* buf = take(dst, t, 0)) mgr.SendMsg(buf);
  }
  for (std::thread& th : threads) th.join();
  ASSERT_TRUE(got.WaitFor(kTicks * (kBurst + 1) + kSenders * kPerSender));
  EXPECT_EQ(outOfOrder.load(), 0u);
  EXPECT_EQ(next[0], kTicks);
  EXPECT_EQ(next[1], kTicks * kBurst);
  for (unsigned int s = 2; s < 2 + kSenders; ++s) EXPECT_EQ(next[s], kPerSender);  // seen through got's lock
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.AllIdle(); }));
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_E_NO_TASK), kTicks);
  EXPECT_GT(mgr.GetNoMsgBufCount(), 0u);  // the pool did run dry
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_N_ALLOC_MSG), kTicks * (kBurst + 3) + kSenders * kPerSender);
}

// A task frees processed buffers a batch at a time, yet a handler gets the ones
// freed before it: with two tiny buffers, both queued, the second handler gets one.
TEST(MgrLifetime, HandlersFindTheBuffersFreedBeforeThem) {
  TestMgr mgr;
  ASSERT_EQ(mgr.initMessagePool(64, 2, 256, 0, 1024, 0, 4096, 0), ERR_OK);
  TestTask task(&mgr, 1, "t");
  ASSERT_EQ(mgr.regTask(&task), ERR_OK);
  Counter done;
  std::atomic<bool> got{false};
  task.onMsg = Handle([&](Cvlk_task* self, Cmsg* msg) {
    Cvlk_msg_buf* buf = msg->appWord1 == 2 ? self->GetMsgBuf(48) : nullptr;
    if ((got = buf != nullptr)) self->FreeMsgBuf(buf);
    done.Add();
  });
  ASSERT_EQ(mgr.SendMsgToTask(MakeMsg(&mgr, 1, MSG_APP, 1)), ERR_OK);
  ASSERT_EQ(mgr.SendMsgToTask(MakeMsg(&mgr, 1, MSG_APP, 2)), ERR_OK);
  ASSERT_EQ(mgr.Run(), ERR_OK);  // the task takes both in one batch
  ASSERT_TRUE(done.WaitFor(2));
  EXPECT_TRUE(got);
  mgr.Stop();
  EXPECT_TRUE(mgr.AllIdle());
  EXPECT_EQ(mgr.GetNoMsgBufCount(), 0u);
}

// Run on a thread without a Qt event dispatcher: the timer pools could never tick.
TEST(MgrLifetime, RunWithoutAnEventLoopWarns) {
  TestMgr mgr(1, 1);
  std::thread([&] { EXPECT_EQ(mgr.Run(), ERR_OK); }).join();
  EXPECT_EQ(mgr.warnings, QStringList{"VLK: Run on a thread without a Qt event loop: timers will not fire"});
}

// ---- A task with factories ----

// Logs its hooks; OnCreate (before the task's thread starts) tries to create a
// timer. A message naming no machine gets its one machine.
class LogFactory : public MachineFactory<ScriptFsm> {
 public:
  LogFactory(Cvlk_task* task, unsigned int id, const char* tag, std::vector<std::string>* log)
      : MachineFactory(task, id, 1), m_tag(tag), m_log(log) {}
  const char* GetName() override { return m_tag; }
  EerrNo OnCreate() override {
    EXPECT_FALSE(GetFacMgr()->isStarted()) << "OnCreate after the task's thread started";
    timerAtCreate = CreateTimer(0, 0, nullptr);
    return note("create");
  }
  EerrNo selfChecking() override { return note("self"); }
  EerrNo midnightChecking() override { return note("midnight"); }
  std::atomic<int> routed{0};
  unsigned int timerAtCreate = 1;

 protected:
  Eprc_result _facMsgPrc(Cmsg*, Cfsm** fsm) override {
    ++routed;
    note("msg");
    const bool busy = GetStateById(Fsm()->GetId()) == RES_BUSY;
    *fsm = busy ? Fsm() : static_cast<Cfsm*>(AllocNode());
    return busy ? PRC_FSM_FOUND : PRC_NEW_FSM;
  }

 private:
  EerrNo note(const char* what) { return m_log->push_back(std::string(m_tag) + ":" + what), ERR_OK; }
  const char* m_tag;
  std::vector<std::string>* m_log;
};

// Counts the markers it processes (see Flush) and its self-checks.
class FacTask : public TestTask {
 public:
  using TestTask::TestTask;
  static constexpr unsigned int kMarker = 0x600D;
  Counter marks, checks;
  EerrNo selfChecking() override { return checks.Add(), TestTask::selfChecking(); }

 protected:
  Eprc_result _fsm_not_found(Cmsg* msg) override {
    return msg->appWord1 == kMarker ? (marks.Add(), PRC_PROCESSED) : TestTask::_fsm_not_found(msg);
  }
};

class TaskFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mgr.regTask(&task), ERR_OK);
    ASSERT_EQ(task.regFactory(&first), ERR_OK);
    ASSERT_EQ(task.regFactory(&second), ERR_OK);
  }
  void TearDown() override {
    mgr.Stop();
    EXPECT_TRUE(mgr.AllIdle());
  }
  void SendTo(unsigned int fac, unsigned int word = 0) { task.SendMsg(MakeMsg(&mgr, 1, MSG_APP, word, 0, fac)); }
  // Waits for a marker sent behind everything queued: what the task did is visible.
  void Flush() {
    const int target = task.marks.Get() + 1;
    SendTo(0xF1A5, FacTask::kMarker);
    ASSERT_TRUE(task.marks.WaitFor(target));
  }

  TestMgr mgr{16, 4};
  std::vector<std::string> log;
  FacTask task{&mgr, 1, "facs"};
  LogFactory first{&task, 0x11, "first", &log};
  LogFactory second{&task, 0x22, "second", &log};
};

// Creation in registration order, the checks from the last registered on; the
// midnight check only at 3 and 4 o'clock; eight factories at most.
TEST_F(TaskFactoryTest, HooksRunInRegistrationOrderChecksInReverse) {
  for (int i = 0; i < 6; ++i) EXPECT_EQ(task.regFactory(new LogFactory(&task, 0x100 + i, "x", &log)), ERR_OK);
  LogFactory ninth(&task, 0x200, "ninth", &log);
  EXPECT_EQ(task.regFactory(&ninth), ERR_OUT_OF_MEMORY);
  task.OnCreate();
  for (int hour : {2, 3, 4, 5, 23}) {
    task.hour = hour;
    task.selfChecking();
  }
  EXPECT_EQ(task.midnightRuns.load(), 2);
  ASSERT_EQ(log.size(), 8u * 8u);  // create; self at 2; self and midnight at 3 and 4; self at 5 and 23
  const std::pair<int, const char*> want[] = {{0, "first:create"}, {1, "second:create"}, {8, "x:self"},
      {14, "second:self"}, {15, "first:self"}, {30, "second:midnight"}, {31, "first:midnight"}, {63, "first:self"}};
  for (const auto& w : want) EXPECT_EQ(log[w.first], w.second) << w.first;
}

// Regressions: the self-check timer is taken before any OnCreate, so a factory's
// timer without setTimer is refused (it took the self-check's place); setTimer is
// refused once started and beyond capacity (the count wrapped); the timer fires
// every 5400 s into the task's own hook, also beside a factory with id 0 (which
// took the expiry). No Qt events run here: only the test's ticks turn the wheel.
TEST_F(TaskFactoryTest, SelfCheckTimerComesFirstAndRunsTheChecks) {
  LogFactory zero(&task, 0, "zero", &log);
  ASSERT_EQ(task.regFactory(&zero), ERR_OK);
  for (unsigned int n : {Cvlk_task::kMaxTimers, 0xFFFFFFFFu}) EXPECT_EQ(task.setTimer(n), ERR_OUT_OF_MEMORY) << n;
  task.start();  // timer pool, factories' OnCreate, the self-check timer
  EXPECT_EQ(task.setTimer(1), ERR_INVALID_OPR);
  EXPECT_EQ(first.timerAtCreate | second.timerAtCreate | zero.timerAtCreate, 0u);
  EXPECT_EQ(mgr.errors, QStringList(3, "Fail to create timer! Task ID is 1"));
  const unsigned int selfChk = task.GetSelfChkTimerId();
  ASSERT_NE(selfChk, 0u);
  Cvlk_timer_pool* pool = task.GetTimerPool();
  ASSERT_EQ(pool->GetTimerExpiry(selfChk), 5400u);
  for (int i = 0; i < 5399; ++i) pool->Tick();
  Flush();
  EXPECT_EQ(task.checks.Get(), 0);
  pool->Tick();  // the 5400th second
  ASSERT_TRUE(task.checks.WaitFor(1));
  EXPECT_EQ(pool->GetTimerExpiry(selfChk), 10800u);
  Cvlk_msg_buf* other = MakeMsg(&mgr, 1, MSG_TIMEOUT);  // another timer of factory 0 is the factory's
  other->GetMsgPointer()->srcFsmId = selfChk + 1;
  task.SendMsg(other);
  Flush();
  EXPECT_EQ(zero.routed.load(), 1);
  EXPECT_EQ(task.checks.Get(), 1);
  mgr.Stop();
}

TEST_F(TaskFactoryTest, ResultDecidesWhoFreesTheBuffer) {
  task.start();
  second.Fsm()->result = PRC_TRANSFER;  // handed on: the task frees it
  SendTo(second.GetId());
  // Regression: for no factory, whatever the hook answers the task frees it (not 10+).
  task.onMsg = [](Cvlk_task*, Cmsg* msg) { return static_cast<Eprc_result>(msg->appWord1); };
  for (unsigned int result : {0u, 1u, 10u, 11u, 12u, 0x7FFFFFFFu}) SendTo(0x99, result);
  Flush();
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.AllIdle(); }));
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_E_NO_FACTORY), 1u);  // the one left PRC_NOT_PROCESSED
  second.Fsm()->result = PRC_HOLD_MSG;  // kept by the machine
  SendTo(second.GetId());
  first.Fsm()->result = PRC_SAVE_MSG;
  SendTo(first.GetId());
  Flush();
  EXPECT_EQ(first.routed.load(), 1);
  EXPECT_EQ(second.routed.load(), 2);  // allocated its machine, then found it busy
  EXPECT_EQ(first.Fsm()->GetSaveNum() + second.Fsm()->GetHoldNum(), 2u);
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.GetMsgIdleNum(EMSG_CLASS_TINY) == 16 - 2; }));
  // A factory registered by the not-found hook gets the message on the second look.
  LogFactory late(&task, 0x33, "late", &log);
  task.onMsg = [&](Cvlk_task*, Cmsg*) { return task.regFactory(&late), PRC_FSM_FOUND; };
  SendTo(late.GetId());
  Flush();
  EXPECT_EQ(late.routed.load(), 1);
  mgr.Stop();
  first.killFsm(first.Fsm()->GetId());  // a kill returns the kept buffers
  second.killFsm(second.Fsm()->GetId());
}

// Regressions: a message queued before start waits for OnCreate (which ran while
// the thread dispatched; LogFactory checks it comes first); the manager's Print
// reads the machine counts here while the task thread allocates and kills.
TEST_F(TaskFactoryTest, QueuedBeforeStartWaitsForOnCreateAndPrintWhileKilling) {
  first.Fsm()->result = PRC_KILL_FSM;
  SendTo(first.GetId());
  task.start();
  Flush();
  EXPECT_EQ(log, (std::vector<std::string>{"first:create", "second:create", "first:msg"}));
  for (int i = 2; i <= 100; ++i) {
    SendTo(first.GetId());
    mgr.Print();
    ASSERT_TRUE(WaitUntilTrue([&] { return first.routed.load() == i; }));
  }
  Flush();
  EXPECT_EQ(mgr.lines.filter(QRegularExpression("^first: real=1, idle=[01]$")).size(), 99);
}

}  // namespace

TASKTEST_QT_MAIN()
