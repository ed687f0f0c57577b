// Shared by the task-framework tests: a manager that keeps its output, a task with
// a callback, waits with a deadline, machine factories, delivery without threads.
#ifndef TEST_TASK_UTIL_H
#define TEST_TASK_UTIL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <QCoreApplication>
#include <QStringList>
#include <gtest/gtest.h>

#include "vlk_task.h"

namespace tasktest {

constexpr auto kDeadline = std::chrono::seconds(20);

// Keeps the lines the manager emits, from whichever thread emits them.
class TestMgr : public Cvlk_task_mgr {
 public:
  using Cvlk_task_mgr::clearMessageStat;
  using Cvlk_task_mgr::initMessagePool;
  using Cvlk_task_mgr::regTask;

  TestMgr() {
    Keep(&Cvlk_task_mgr::sigOutputTraceInfo, &lines);
    Keep(&Cvlk_task_mgr::sigLogError, &errors);
    Keep(&Cvlk_task_mgr::sigLogWarning, &warnings);
  }
  // tiny 64 x tiny, small 256 x small, comm 1024 x 4, big 4096 x 2
  TestMgr(unsigned tiny, unsigned small) : TestMgr() { initMessagePool(64, tiny, 256, small, 1024, 4, 4096, 2); }
  ~TestMgr() override { Stop(); }

  bool AllIdle() const {  // no buffer is out or queued
    for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls)
      if (GetMsgIdleNum(cls) != GetMsgRealNum(cls)) return false;
    return true;
  }

  QStringList lines, errors, warnings;  // Display and trace lines, LogError, LogWarning

 private:
  template <typename Sig>
  void Keep(Sig sig, QStringList* to) {
    QObject::connect(this, sig, [this, to](const QString& s) {
      std::lock_guard<std::mutex> guard(m_keepLock);
      *to << s;
    });
  }
  std::mutex m_keepLock;
};

// onMsg (task thread) answers the messages for no factory.
class TestTask : public Cvlk_task {
 public:
  using Cvlk_task::regFactory;
  using Cvlk_task::setTimer;
  TestTask(Cvlk_task_mgr* mgr, unsigned int id, const char* name = "test") : Cvlk_task(mgr, id, name) {}
  ~TestTask() override { stop(); }  // the thread goes before the callback and the counters

  std::function<Eprc_result(Cvlk_task*, Cmsg*)> onMsg;
  std::atomic<int> hour{12};
  std::atomic<int> midnightRuns{0};

 protected:
  Eprc_result _fsm_not_found(Cmsg* m) override { return onMsg ? onMsg(this, m) : Cvlk_task::_fsm_not_found(m); }
  EerrNo midnightChecking() override { return ++midnightRuns, Cvlk_task::midnightChecking(); }
  int GetLocalHour() override { return hour; }
};

// Polls a condition, running this thread's Qt events meanwhile; false after the deadline.
template <typename Pred>
bool WaitUntilTrue(Pred pred) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents();
    std::this_thread::yield();
  }
  return true;
}

// What a thread did before Add is visible after WaitFor (which runs no Qt events).
class Counter {
 public:
  void Add() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_value;
    m_cond.notify_all();
  }
  int Get() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_value;
  }
  bool WaitFor(int target) {  // false after the deadline
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, kDeadline, [&] { return m_value >= target; });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  int m_value = 0;
};

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

// A fresh header (null when the pool is empty); src goes to srcTaskId.
inline Cvlk_msg_buf* MakeMsg(Cvlk_task_mgr* mgr, unsigned int dstTask, unsigned int type = MSG_APP,
                             unsigned int word = 0, unsigned int src = 0, unsigned int dstFac = 0) {
  Cvlk_msg_buf* buf = mgr->GetMsgBuf(48);
  if (buf == nullptr) return nullptr;
  FillMsg(buf, dstTask, dstFac, 0, type, word);
  buf->GetMsgPointer()->srcTaskId = src;
  return buf;
}

constexpr unsigned int kFirstAppType = 10;  // application types: MSG_APP and these on

// `count` machines M(this, args...); an application message naming none gets a new one.
template <class M>
class MachineFactory : public Cfactory {
 public:
  template <class... Args>
  MachineFactory(Cvlk_task* task, unsigned int id, unsigned int count, Args... args) : Cfactory(task, id, count) {
    for (unsigned int i = 0; i < count; ++i) Add(new M(this, args...));
  }
  const char* GetName() override { return "MachineFactory"; }
  M* Fsm(unsigned int index = 0) { return static_cast<M*>(GetByIndex(index)); }

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override {
    if (msg->msgType != MSG_APP && msg->msgType < kFirstAppType) return Cfactory::_facMsgPrc(msg, fsm);
    *fsm = static_cast<Cfsm*>(AllocNode());
    return *fsm != nullptr ? PRC_NEW_FSM : PRC_ERROR;
  }
};

// A machine whose ProcessMsg runs a script, else answers `result`; counts every hook
// (from its Create on).
class ScriptFsm : public Cfsm {
 public:
  using Cfsm::_sendMsg;
  using Cfsm::_trace;
  explicit ScriptFsm(Cfactory* factory) : Cfsm(factory, 0) {}
  Eprc_result PrePrcMsg(Cvlk_msg_buf* buf) override { return ++pre, Cfsm::PrePrcMsg(buf); }
  Eprc_result ProcessMsg(Cmsg* msg) override { return ++processed, script ? script(this, msg) : result; }
  void PostPrcMsg(Cvlk_msg_buf*) override { ++post; }
  EerrNo Create() override { return pre = processed = post = 0, Cfsm::Create(), createResult; }
  EerrNo Destroy() override { return ++destroys, ERR_OK; }
  const char* GetName() override { return "ScriptFsm"; }

  std::function<Eprc_result(ScriptFsm*, Cmsg*)> script;
  Eprc_result result = PRC_PROCESSED;
  EerrNo createResult = ERR_OK;
  int pre = 0, processed = 0, post = 0, destroys = 0;
};

// A task thread's work on one message: the named factory's result; freed unless kept.
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

// A task never started, one factory F of four machines; at the end all are killed
// and every buffer must be back.
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

  TestMgr mgr{64, 16};
  TestTask* task = new TestTask(&mgr, kTask);
  F* fac = new F(task, kFac, 4);
};

// For programs whose tasks post Qt signals or whose timer pools register a Qt timer.
#define TASKTEST_QT_MAIN()                  \
  int main(int argc, char** argv) {         \
    QCoreApplication app(argc, argv);       \
    ::testing::InitGoogleTest(&argc, argv); \
    return RUN_ALL_TESTS();                 \
  }

}  // namespace tasktest

#endif  // TEST_TASK_UTIL_H
