// A task with factories: dispatch by factory id, the order of the factories'
// creation and check hooks, the self-check timer, the not-found hook and who
// frees a buffer after each result.
#include <QCoreApplication>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_task_util.h"

using namespace tasktest;

namespace {

// A machine whose result is set by the test.
class ResultFsm : public Cfsm {
 public:
  explicit ResultFsm(Cfactory* factory) : Cfsm(factory, 0) {}
  Eprc_result ProcessMsg(Cmsg*) override { return result; }
  const char* GetName() override { return "ResultFsm"; }
  Eprc_result result = PRC_PROCESSED;
};

// Records its hooks in a shared log; a message with dstFsmId 0 gets machine 0.
class LogFactory : public Cfactory {
 public:
  LogFactory(Cvlk_task* task, unsigned int id, const char* tag, std::vector<std::string>* log)
      : Cfactory(task, id, 1), m_tag(tag), m_log(log) {
    Add(new ResultFsm(this));
  }
  const char* GetName() override { return m_tag; }
  EerrNo OnCreate() override { return note("create"); }
  EerrNo selfChecking() override { return note("self"); }
  EerrNo midnightChecking() override { return note("midnight"); }
  ResultFsm* Fsm() { return static_cast<ResultFsm*>(GetByIndex(0)); }
  std::atomic<int> routed{0};

 protected:
  Eprc_result _facMsgPrc(Cmsg*, Cfsm** fsm) override {
    ++routed;
    note("msg");
    if (GetStateById(Fsm()->GetId()) == RES_BUSY) {
      *fsm = Fsm();
      return PRC_FSM_FOUND;
    }
    *fsm = static_cast<Cfsm*>(AllocNode());
    return *fsm != nullptr ? PRC_NEW_FSM : PRC_ERROR;
  }

 private:
  EerrNo note(const char* what) {
    m_log->push_back(std::string(m_tag) + ":" + what);
    return ERR_OK;
  }
  const char* m_tag;
  std::vector<std::string>* m_log;
};

class FacTask : public TestTask {
 public:
  using TestTask::TestTask;
  static constexpr unsigned int kMarker = 0x600D;
  LogFactory* late = nullptr;  // registered by the not-found hook
  Counter marks;               // markers processed
  Counter checks;              // self-checks run

  EerrNo selfChecking() override {
    checks.Add();
    return TestTask::selfChecking();
  }

 protected:
  Eprc_result _fsm_not_found(Cmsg* msg) override {
    if (msg->appWord1 == kMarker) {
      marks.Add();
      return PRC_PROCESSED;
    }
    if (late != nullptr && msg->dstFactoryId == late->GetId() && GetFactoryCount() == 2) {
      regFactory(late);
      return PRC_FSM_FOUND;
    }
    return TestTask::_fsm_not_found(msg);
  }
};

class TaskFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mgr.initMessagePool(64, 16, 256, 4, 1024, 2, 4096, 1), ERR_OK);
    ASSERT_EQ(mgr.regTask(&task), ERR_OK);
    ASSERT_EQ(task.regFactory(&first), ERR_OK);
    ASSERT_EQ(task.regFactory(&second), ERR_OK);
  }
  void TearDown() override {
    mgr.Stop();
    EXPECT_TRUE(mgr.AllIdle());
  }
  // Sends a marker behind everything queued so far and waits until the task has
  // processed it: whatever the task did before is then visible here.
  void Flush() {
    const int target = task.marks.Get() + 1;
    Cvlk_msg_buf* marker = MakeMsg(&mgr, 1);
    marker->GetMsgPointer()->appWord1 = FacTask::kMarker;
    marker->GetMsgPointer()->dstFactoryId = 0xF1A5;  // no factory's
    task.SendMsg(marker);
    ASSERT_TRUE(task.marks.WaitFor(target));
  }

  TestMgr mgr;
  std::vector<std::string> log;
  FacTask task{&mgr, 1, "facs"};
  LogFactory first{&task, 0x11, "first", &log};
  LogFactory second{&task, 0x22, "second", &log};
};

TEST_F(TaskFactoryTest, HooksRunInRegistrationOrderChecksInReverse) {
  for (int i = 0; i < 6; ++i) EXPECT_EQ(task.regFactory(new LogFactory(&task, 0x100 + i, "x", &log)), ERR_OK);
  LogFactory ninth(&task, 0x200, "ninth", &log);
  EXPECT_EQ(task.regFactory(&ninth), ERR_OUT_OF_MEMORY);
  log.clear();
  task.OnCreate();
  task.hour = 3;
  task.selfChecking();
  task.hour = 5;
  task.selfChecking();
  ASSERT_EQ(log.size(), 8u + 8u + 8u + 8u);  // create; self and midnight at 3; self at 5
  // Creation in registration order; the checks start with the last registered.
  const std::pair<int, const char*> want[] = {{0, "first:create"}, {1, "second:create"}, {8, "x:self"},
      {14, "second:self"}, {15, "first:self"}, {22, "second:midnight"}, {23, "first:midnight"}, {31, "first:self"}};
  for (const auto& w : want) EXPECT_EQ(log[w.first], w.second) << w.first;
}

// The self-check timer fires every 5400 seconds and reaches the task's own hook,
// also when a factory has id 0 (regression: that factory took the expiry and
// self-checking stopped). No Qt events run in this test (the waits use the
// test's own locks), so only the test's ticks move the wheel.
TEST_F(TaskFactoryTest, SelfCheckTimerExpiryRunsTheChecks) {
  LogFactory zero(&task, 0, "zero", &log);
  ASSERT_EQ(task.regFactory(&zero), ERR_OK);
  task.start();  // timer pool, factories' OnCreate, the self-check timer
  const unsigned int selfChk = task.GetSelfChkTimerId();
  ASSERT_NE(selfChk, 0u);
  Cvlk_timer_pool* pool = task.GetTimerPool();
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->GetTimerExpiry(selfChk), 5400u);
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

// Regression: a message queued before start is taken only after OnCreate has
// returned (OnCreate ran while the thread already dispatched).
TEST_F(TaskFactoryTest, MessageQueuedBeforeStartWaitsForOnCreate) {
  Cvlk_msg_buf* early = MakeMsg(&mgr, 1);
  early->GetMsgPointer()->dstFactoryId = first.GetId();
  task.SendMsg(early);
  task.start();
  Flush();
  EXPECT_EQ(log, (std::vector<std::string>{"first:create", "second:create", "first:msg"}));
}

TEST_F(TaskFactoryTest, ResultDecidesWhoFreesTheBuffer) {
  task.start();
  auto sendTo = [&](LogFactory& f) {
    Cvlk_msg_buf* buf = MakeMsg(&mgr, 1);
    buf->GetMsgPointer()->dstFactoryId = f.GetId();
    task.SendMsg(buf);
  };
  second.Fsm()->result = PRC_TRANSFER;  // handed on: the task frees it
  sendTo(second);
  // A message for no factory: whatever the not-found hook answers, no machine
  // kept it and the task frees it (regression: 10 or more was never freed).
  task.onMsg = [](Cvlk_task*, Cmsg* msg) { return static_cast<Eprc_result>(msg->appWord2); };
  for (unsigned int result : {0u, 1u, 10u, 11u, 12u, 0x7FFFFFFFu}) {
    Cvlk_msg_buf* buf = MakeMsg(&mgr, 1);
    buf->GetMsgPointer()->dstFactoryId = 0x99;
    buf->GetMsgPointer()->appWord2 = result;
    task.SendMsg(buf);
  }
  Flush();
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.AllIdle(); }));
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_E_NO_FACTORY), 1u);  // the one left PRC_NOT_PROCESSED
  second.Fsm()->result = PRC_HOLD_MSG;  // kept by the machine
  sendTo(second);
  first.Fsm()->result = PRC_SAVE_MSG;
  sendTo(first);
  Flush();
  EXPECT_EQ(first.routed.load(), 1);
  EXPECT_EQ(second.routed.load(), 2);  // allocated its machine, then found it busy
  EXPECT_EQ(first.Fsm()->GetSaveNum(), 1u);
  EXPECT_EQ(second.Fsm()->GetHoldNum(), 1u);
  EXPECT_TRUE(WaitUntilTrue([&] { return mgr.GetMsgIdleNum(EMSG_CLASS_TINY) == 16 - 2; }));
  // A factory registered by the not-found hook gets the message on the second look.
  LogFactory late(&task, 0x33, "late", &log);
  task.late = &late;
  sendTo(late);
  Flush();
  EXPECT_EQ(late.routed.load(), 1);
  mgr.Stop();
  first.killFsm(first.Fsm()->GetId());  // a kill returns the kept buffers
  second.killFsm(second.Fsm()->GetId());
}

TEST_F(TaskFactoryTest, PrintShowsEveryFactoryAlsoWhileTheTaskRuns) {
  QStringList lines;
  QObject::connect(&mgr, &Cvlk_task_mgr::sigOutputTraceInfo, [&](const QString& s) { lines << s; });
  task.Print();
  const QStringList expected = {QString(58, '='), "facs(1): ", "first: real=1, idle=1", " ",
                                "second: real=1, idle=1", " "};
  EXPECT_EQ(lines, expected);
  // Regression: the manager's Print reads the machine counts on this thread
  // while the task thread allocates and kills the machine.
  first.Fsm()->result = PRC_KILL_FSM;
  task.start();
  lines.clear();
  for (int i = 1; i <= 100; ++i) {
    Cvlk_msg_buf* buf = MakeMsg(&mgr, 1);
    ASSERT_NE(buf, nullptr);
    buf->GetMsgPointer()->dstFactoryId = first.GetId();
    task.SendMsg(buf);
    mgr.Print();
    ASSERT_TRUE(WaitUntilTrue([&] { return first.routed.load() == i; }));
  }
  Flush();
  EXPECT_EQ(first.routed.load(), 100);
  EXPECT_EQ(lines.filter(QRegularExpression("^first: real=1, idle=[01]$")).size(), 100);
}

}  // namespace

TASKTEST_QT_MAIN()
