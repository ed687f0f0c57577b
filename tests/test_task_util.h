// Helpers shared by the framework-core tests: a manager that opens its
// protected set-up calls, a task whose messages go to a callback, and waiting
// on a condition with a deadline.
#ifndef TEST_TASK_UTIL_H
#define TEST_TASK_UTIL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <QCoreApplication>

#include "vlk_task.h"

namespace tasktest {

constexpr auto kDeadline = std::chrono::seconds(20);

class TestMgr : public Cvlk_task_mgr {
 public:
  using Cvlk_task_mgr::clearMessageStat;
  using Cvlk_task_mgr::initMessagePool;
  using Cvlk_task_mgr::regTask;
  using Cvlk_task_mgr::showMessageStat;

  // Idle counts equal real counts in every class: no buffer is out or queued.
  bool AllIdle() const {
    for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls) {
      if (GetMsgIdleNum(cls) != GetMsgRealNum(cls)) return false;
    }
    return true;
  }
};

// Messages reach _fsm_not_found (the task has no factories); the callback runs
// on the task thread and decides the result.
class TestTask : public Cvlk_task {
 public:
  using Cvlk_task::regFactory;
  using Cvlk_task::setTimer;
  TestTask(Cvlk_task_mgr* mgr, unsigned int id, const char* name = "test") : Cvlk_task(mgr, id, name) {}
  ~TestTask() override { stop(); }  // the thread goes before the callback and the counters

  std::function<Eprc_result(Cvlk_task*, Cmsg*)> onMsg;
  std::atomic<int> hour{12};
  std::atomic<int> midnightRuns{0};
  std::atomic<int> selfCheckRuns{0};

  EerrNo selfChecking() override {
    ++selfCheckRuns;
    return Cvlk_task::selfChecking();
  }

 protected:
  Eprc_result _fsm_not_found(Cmsg* msg) override {
    if (onMsg) return onMsg(this, msg);
    return Cvlk_task::_fsm_not_found(msg);
  }
  EerrNo midnightChecking() override {
    ++midnightRuns;
    return Cvlk_task::midnightChecking();
  }
  int GetLocalHour() override { return hour; }
};

// Polls a condition that another thread makes true, running this thread's Qt
// events meanwhile; false after the deadline.
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

// A count that threads step and a test waits on. The wait runs no Qt events, and
// what a thread did before Add is visible (also to the sanitizer) after WaitFor.
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

// Fills a fresh header addressed to a task; word goes to appWord1, src to srcTaskId.
inline Cvlk_msg_buf* MakeMsg(Cvlk_task_mgr* mgr, unsigned int dstTask, unsigned int type = MSG_APP,
                             unsigned int word = 0, unsigned int src = 0) {
  Cvlk_msg_buf* buf = mgr->GetMsgBuf(48);
  if (buf == nullptr) return nullptr;
  Cmsg* msg = buf->GetMsgPointer();
  msg->Init();
  msg->dstTaskId = dstTask;
  msg->msgType = type;
  msg->appWord1 = word;
  msg->srcTaskId = src;
  return buf;
}

// The programs whose tasks talk to the manager through queued Qt signals need
// a QCoreApplication.
#define TASKTEST_QT_MAIN()                      \
  int main(int argc, char** argv) {             \
    QCoreApplication app(argc, argv);           \
    ::testing::InitGoogleTest(&argc, argv);     \
    return RUN_ALL_TESTS();                     \
  }

}  // namespace tasktest

#endif  // TEST_TASK_UTIL_H
