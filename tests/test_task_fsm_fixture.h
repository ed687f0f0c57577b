// Shared scaffolding of the timer, factory and state-machine tests: a manager with
// a small message pool, a scriptable machine and factory, and a single-threaded
// delivery loop for tasks that are not started. Their mains (TASKTEST_QT_MAIN)
// have a Qt application, so that timer pools can register their Qt timer (it
// never fires: the tests call the tick routine themselves).
#ifndef TEST_TASK_FSM_FIXTURE_H
#define TEST_TASK_FSM_FIXTURE_H

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include "test_task_util.h"

using tasktest::TestTask;

// A manager with a small message pool that keeps the lines it shows.
class TestMgr : public tasktest::TestMgr {
 public:
  // tiny 64 x tiny, small 256 x small, comm 1024 x 4, big 4096 x 2
  explicit TestMgr(unsigned int tiny = 64, unsigned int small = 16) {
    initMessagePool(64, tiny, 256, small, 1024, 4, 4096, 2);
    QObject::connect(this, &Cvlk_task_mgr::sigOutputTraceInfo, [this](const QString& s) { lines << s; });
    QObject::connect(this, &Cvlk_task_mgr::sigLogError, [this](const QString& s) { errors << s; });
    QObject::connect(this, &Cvlk_task_mgr::sigLogWarning, [this](const QString& s) { warnings << s; });
  }
  ~TestMgr() override { Stop(); }

  QStringList lines;     // Display and trace lines (emitted on the caller's thread)
  QStringList errors;    // LogError lines
  QStringList warnings;  // LogWarning lines
};

// Application message types: MSG_APP and kFirstAppType on.
constexpr unsigned int kFirstAppType = 10;

// A factory of `count` machines M(this, args...) that gives every application
// message naming no machine a new one; other types go to the base class.
template <class M>
class MachineFactory : public Cfactory {
 public:
  template <class... Args>
  MachineFactory(Cvlk_task* task, unsigned int id, unsigned int count, Args... args) : Cfactory(task, id, count) {
    for (unsigned int i = 0; i < count; ++i) Add(new M(this, args...));
  }
  const char* GetName() override { return "MachineFactory"; }
  M* Fsm(unsigned int index) { return static_cast<M*>(GetByIndex(index)); }

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override {
    if (msg->msgType != MSG_APP && msg->msgType < kFirstAppType) return Cfactory::_facMsgPrc(msg, fsm);
    Cvlk_res_node* node = AllocNode();
    if (node == nullptr) return PRC_ERROR;
    *fsm = static_cast<Cfsm*>(node);
    return PRC_NEW_FSM;
  }
};

// Fills a header; the body is left as it is.
inline void FillMsg(Cvlk_msg_buf* buf, unsigned int dstTask, unsigned int dstFac, unsigned int dstFsm,
                    unsigned int type = MSG_APP, unsigned int word1 = 0, unsigned int word2 = 0) {
  Cmsg* msg = buf->GetMsgPointer();
  msg->Init();
  msg->dstTaskId = dstTask;
  msg->dstFactoryId = dstFac;
  msg->dstFsmId = dstFsm;
  msg->msgType = type;
  msg->appWord1 = word1;
  msg->appWord2 = word2;
}

// What a task thread does with one message, for tasks that are not started: the
// factory named by the header processes it and the buffer is freed unless a
// machine kept it. Returns the factory's result (PRC_NOT_PROCESSED when none).
inline Eprc_result DispatchOne(Cvlk_task* task, Cvlk_msg_buf* buf) {
  Eprc_result r = PRC_NOT_PROCESSED;
  for (unsigned int i = 0; i < task->GetFactoryCount(); ++i) {
    Cfactory* factory = task->GetFactory(i);
    if (factory->GetId() == buf->GetMsgPointer()->dstFactoryId) {
      r = factory->ProcessMsg(buf);
      break;
    }
  }
  if (r < PRC_SAVE_MSG) task->FreeMsgBuf(buf);
  return r;
}

// One task that is never started, with one factory F of four machines; the test
// delivers the messages itself. At the end every machine is killed and every
// buffer must be back in the pool.
template <class F>
class OneFactoryTest : public ::testing::Test {
 protected:
  static constexpr unsigned int kTask = 4, kFac = 40;

  OneFactoryTest() { task->regFactory(fac); }
  ~OneFactoryTest() override {
    while (Cvlk_msg_buf* buf = task->GetPumpMsgBuf()) DispatchOne(task, buf);
    for (unsigned int i = 0; i < 4; ++i) fac->killFsm(fac->Fsm(i)->GetId());
    EXPECT_EQ(fac->GetIdleNum(), 4u);
    EXPECT_TRUE(mgr.AllIdle());
  }

  Cvlk_msg_buf* Msg(unsigned int dstFsm, unsigned int type = MSG_APP, unsigned int w1 = 0, unsigned int w2 = 0) {
    Cvlk_msg_buf* buf = mgr.GetMsgBuf(sizeof(Cmsg));
    FillMsg(buf, kTask, kFac, dstFsm, type, w1, w2);
    return buf;
  }
  Eprc_result Send(unsigned int dstFsm, unsigned int type = MSG_APP, unsigned int w1 = 0, unsigned int w2 = 0) {
    return DispatchOne(task, Msg(dstFsm, type, w1, w2));
  }

  TestMgr mgr;
  TestTask* task = new TestTask(&mgr, kTask);
  F* fac = new F(task, kFac, 4);
};

#endif  // TEST_TASK_FSM_FIXTURE_H
