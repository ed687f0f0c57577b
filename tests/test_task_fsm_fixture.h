// Shared scaffolding of the timer, factory and state-machine tests: a manager with
// a small message pool, tasks that expose their set-up calls, a scriptable machine
// and factory, and a single-threaded delivery loop for tasks that are not started.
#ifndef TEST_TASK_FSM_FIXTURE_H
#define TEST_TASK_FSM_FIXTURE_H

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>

#include <gtest/gtest.h>

#include "vlk_task.h"

// A main with a Qt application, so that timer pools can register their Qt timer
// (it never fires: the tests call the tick routine themselves).
#define VLK_TEST_MAIN_WITH_QT               \
  int main(int argc, char** argv) {         \
    QCoreApplication app(argc, argv);       \
    ::testing::InitGoogleTest(&argc, argv); \
    return RUN_ALL_TESTS();                 \
  }

class TestMgr : public Cvlk_task_mgr {
 public:
  using Cvlk_task_mgr::initMessagePool;
  using Cvlk_task_mgr::regTask;

  // tiny 64 x tiny, small 256 x small, comm 1024 x 4, big 4096 x 2
  explicit TestMgr(unsigned int tiny = 64, unsigned int small = 16) {
    initMessagePool(64, tiny, 256, small, 1024, 4, 4096, 2);
    QObject::connect(this, &Cvlk_task_mgr::sigOutputTraceInfo, [this](const QString& s) { lines << s; });
    QObject::connect(this, &Cvlk_task_mgr::sigLogError, [this](const QString& s) { errors << s; });
  }
  ~TestMgr() override { Stop(); }

  // Every buffer of every class is back in the pool.
  bool AllIdle() const {
    for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls) {
      if (GetMsgIdleNum(cls) != GetMsgRealNum(cls)) return false;
    }
    return true;
  }

  QStringList lines;   // Display and trace lines (emitted on the caller's thread)
  QStringList errors;  // LogError lines
};

class TestTask : public Cvlk_task {
 public:
  using Cvlk_task::regFactory;
  using Cvlk_task::setTimer;
  TestTask(Cvlk_task_mgr* mgr, unsigned int id, const char* name = "TestTask") : Cvlk_task(mgr, id, name) {}
  ~TestTask() override { stop(); }
};

// A machine whose ProcessMsg runs a script; counts every hook.
class ScriptFsm : public Cfsm {
 public:
  explicit ScriptFsm(Cfactory* factory) : Cfsm(factory, 0) {}
  Eprc_result PrePrcMsg(Cvlk_msg_buf* buf) override { return ++pre, Cfsm::PrePrcMsg(buf); }
  Eprc_result ProcessMsg(Cmsg* msg) override { return ++processed, script ? script(this, msg) : PRC_PROCESSED; }
  void PostPrcMsg(Cvlk_msg_buf*) override { ++post; }
  EerrNo Create() override { return ++creates, Cfsm::Create(), createResult; }
  EerrNo Destroy() override { return ++destroys, ERR_OK; }
  const char* GetName() override { return "ScriptFsm"; }

  std::function<Eprc_result(ScriptFsm*, Cmsg*)> script;
  EerrNo createResult = ERR_OK;
  int pre = 0, processed = 0, post = 0, creates = 0, destroys = 0;
};

// A factory of ScriptFsm machines. A message with dstFsmId 0 gets a new machine
// unless `route` says otherwise.
class ScriptFactory : public Cfactory {
 public:
  ScriptFactory(Cvlk_task* task, unsigned int id, unsigned int count = 4) : Cfactory(task, id, count) {
    for (unsigned int i = 0; i < count; ++i) Add(new ScriptFsm(this));
  }
  const char* GetName() override { return "ScriptFactory"; }
  ScriptFsm* Fsm(unsigned int index) { return static_cast<ScriptFsm*>(GetByIndex(index)); }
  using Cfactory::_sendInnerEvent;
  using Cfactory::regFsm;

  std::function<Eprc_result(ScriptFactory*, Cmsg*, Cfsm**)> route;
  std::array<unsigned int, 3> inner{};  // the last inner event's arguments

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override {
    if (msg->msgType != MSG_APP && msg->msgType != MSG_CHECK_RELATION) return Cfactory::_facMsgPrc(msg, fsm);
    if (route) return route(this, msg, fsm);
    Cvlk_res_node* node = AllocNode();
    if (node == nullptr) return PRC_ERROR;
    *fsm = static_cast<Cfsm*>(node);
    return PRC_NEW_FSM;
  }
  Eprc_result _recvInnerEvent(unsigned int a1, unsigned int a2, unsigned int a3) override {
    inner = {a1, a2, a3};
    return PRC_PROCESSED;
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

// One task that is never started, with one factory F of `count` machines; the test
// delivers the messages itself. At the end every machine is killed and every
// buffer must be back in the pool.
template <class F, unsigned int count>
class OneFactoryTest : public ::testing::Test {
 protected:
  static constexpr unsigned int kTask = 4, kFac = 40;

  OneFactoryTest() { task->regFactory(fac); }
  ~OneFactoryTest() override {
    while (Cvlk_msg_buf* buf = task->GetPumpMsgBuf()) DispatchOne(task, buf);
    for (unsigned int i = 0; i < count; ++i) fac->killFsm(static_cast<Cfsm*>(fac->GetByIndex(i))->GetId());
    EXPECT_EQ(fac->GetIdleNum(), count);
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
  F* fac = new F(task, kFac);
};

#endif  // TEST_TASK_FSM_FIXTURE_H
