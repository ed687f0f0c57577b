// A small application on the framework for the end-to-end and allocation tests:
// task 1 runs ping machines, task 2 pong machines, both event-table machines made
// by their factories. A ping session: START (from the test) -> PING round 1 ->
// PONG -> PING round 2 ... -> last PONG -> FIN to the pong machine; both machines
// kill themselves. A ping machine keeps a one-second timer while it lives.
// Nothing here allocates once the application runs.
#ifndef TEST_TASK_E2E_APP_H
#define TEST_TASK_E2E_APP_H

#include <atomic>
#include <chrono>
#include <thread>

#include "test_task_fsm_fixture.h"

namespace app {

constexpr unsigned int kPingTask = 1;
constexpr unsigned int kPongTask = 2;
constexpr unsigned int kPingFac = 100;
constexpr unsigned int kPongFac = 200;

enum : unsigned int { MSG_PING = 10, MSG_PONG = 11, MSG_START = 12, MSG_FIN = 13, MSG_PROBE_START = 14 };
enum : unsigned short { EV_START = 1, EV_PONG = 2, EV_LAST_PONG = 3, EV_TIMER = 4, EV_PING = 5, EV_FIN = 6, EV_PROBE = 7 };
enum : unsigned int { S_IDLE = 0, S_WAIT = 1 };

// Counters the test reads; written by the task threads.
struct Stats {
  std::atomic<int> completed{0};  // ping sessions that got their last pong
  std::atomic<int> timerHits{0};  // timer expiries seen by ping machines
  std::atomic<int> destroyed{0};  // ping machines destroyed (killed)
  std::atomic<int> noBuf{0};      // sends that found no buffer
  std::atomic<unsigned int> lastPeer{0};  // id of the last pong machine a session finished with
};

// Base of both machines: the table state lives in m_cur; Send addresses a bare
// header from this machine.
class AppFsm : public Cev_fsm {
 public:
  AppFsm(Cfactory* factory, Stats* stats) : Cev_fsm(factory, S_IDLE), m_stats(stats) {}
  EerrNo Create() override {
    m_cur = S_IDLE;
    return Cev_fsm::Create();
  }

 protected:
  unsigned int _getCurrState(unsigned char, unsigned char) override { return m_cur; }
  void _setCurrState(unsigned char, unsigned char, unsigned int state) override { m_cur = state; }

  // Sends a bare header from this machine to (task, factory, fsm).
  void Send(unsigned int task, unsigned int factory, unsigned int fsm, unsigned int type, unsigned int word1,
            unsigned int word2 = 0) {
    Cvlk_msg_buf* buf = _getMsgBuf(sizeof(Cmsg));
    if (buf == nullptr) {
      m_stats->noBuf.fetch_add(1);
      return;
    }
    FillMsg(buf, task, factory, fsm, type, word1, word2);
    Cmsg* msg = buf->GetMsgPointer();
    msg->srcTaskId = GetFacMgr()->GetModId();
    msg->srcFactoryId = GetFactory()->GetId();
    msg->srcFsmId = GetId();
    _sendMsg(buf);
  }

  Stats* m_stats;
  unsigned int m_cur = S_IDLE;
};

class PingFsm : public AppFsm {
 public:
  using AppFsm::AppFsm;
  const char* GetName() override { return "PingFsm"; }
  EerrNo Destroy() override {
    FreeTimer(m_timer);
    m_stats->destroyed.fetch_add(1);
    return ERR_OK;
  }

 protected:
  void _parseMsg(Cmsg* msg) override {
    switch (msg->msgType) {
      case MSG_START: _genEvent(EV_START, 0, 0); break;
      case MSG_PROBE_START: _genEvent(EV_PROBE, 0, 0); break;
      case MSG_PONG: _genEvent(msg->appWord1 >= m_rounds ? EV_LAST_PONG : EV_PONG, 0, 0); break;
      case MSG_TIMEOUT: _genEvent(EV_TIMER, 0, 0); break;
      default: break;
    }
  }
  const Cevt_entry* _getEvtEntry(unsigned int state, unsigned short event, unsigned char) override {
    if (event == EV_TIMER) return &kRows[3];
    if (state == S_IDLE && event == EV_START) return &kRows[0];
    if (state == S_IDLE && event == EV_PROBE) return &kRows[4];
    if (state == S_WAIT && event == EV_PONG) return &kRows[1];
    if (state == S_WAIT && event == EV_LAST_PONG) return &kRows[2];
    return nullptr;
  }

  EevtPrc OnStart(Cmsg* msg, unsigned short, unsigned char) {
    m_rounds = msg->appWord2;
    m_timer = CreateTimer(0, nullptr);
    StartTimer(m_timer, 1);
    Send(kPongTask, kPongFac, 0, MSG_PING, 1);
    return EVT_NOT_PROCESSED;
  }
  EevtPrc OnPong(Cmsg* msg, unsigned short, unsigned char) {
    return Send(kPongTask, kPongFac, msg->srcFsmId, MSG_PING, msg->appWord1 + 1), EVT_PROCESSED;
  }
  EevtPrc OnLastPong(Cmsg* msg, unsigned short, unsigned char) {
    Send(kPongTask, kPongFac, msg->srcFsmId, MSG_FIN, 0);
    m_stats->lastPeer.store(msg->srcFsmId);
    m_stats->completed.fetch_add(1);
    return EVT_NOT_PROCESSED;
  }
  EevtPrc OnTimer(Cmsg*, unsigned short, unsigned char) { return m_stats->timerHits.fetch_add(1), EVT_PROCESSED; }
  // Probes a machine of the pong factory named by the start message.
  EevtPrc OnProbe(Cmsg* msg, unsigned short, unsigned char) {
    return Send(kPongTask, kPongFac, msg->appWord1, MSG_CHECK_RELATION, 0), EVT_NOT_PROCESSED;
  }

  static const Cevt_entry kRows[];

 private:
  unsigned int m_rounds = 0;
  unsigned int m_timer = 0;
};

#define PING_H(fn) VLK_EVT_HANDLER(PingFsm, fn)
inline const Cevt_entry PingFsm::kRows[] = {
    {1, 0, {PING_H(OnStart)}, S_WAIT},
    {1, 0, {PING_H(OnPong)}, S_WAIT},
    {2, 0, {PING_H(OnLastPong), PING_H(_procKillFsm)}, S_IDLE},
    {1, 0, {PING_H(OnTimer)}, S_WAIT},
    {1, 0, {PING_H(OnProbe)}, S_WAIT},
};
#undef PING_H

class PongFsm : public AppFsm {
 public:
  using AppFsm::AppFsm;
  const char* GetName() override { return "PongFsm"; }

 protected:
  void _parseMsg(Cmsg* msg) override {
    if (msg->msgType == MSG_PING || msg->msgType == MSG_FIN) _genEvent(msg->msgType == MSG_PING ? EV_PING : EV_FIN, 0, 0);
  }
  const Cevt_entry* _getEvtEntry(unsigned int, unsigned short event, unsigned char) override {
    return event == EV_PING ? &kRows[0] : event == EV_FIN ? &kRows[1] : nullptr;
  }
  EevtPrc OnPing(Cmsg* msg, unsigned short, unsigned char) {
    return Send(msg->srcTaskId, msg->srcFactoryId, msg->srcFsmId, MSG_PONG, msg->appWord1), EVT_NOT_PROCESSED;
  }

  static const Cevt_entry kRows[];
};

#define PONG_H(fn) VLK_EVT_HANDLER(PongFsm, fn)
inline const Cevt_entry PongFsm::kRows[] = {
    {1, 0, {PONG_H(OnPing)}, S_WAIT},
    {1, 0, {PONG_H(_procKillFsm)}, S_IDLE},
};
#undef PONG_H

// Allocates a machine for every message that names none.
template <class Machine>
class AppFactory : public Cfactory {
 public:
  AppFactory(Cvlk_task* task, unsigned int id, unsigned int count, Stats* stats) : Cfactory(task, id, count) {
    for (unsigned int i = 0; i < count; ++i) Add(new Machine(this, stats));
  }
  const char* GetName() override { return "AppFactory"; }

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override {
    if (msg->msgType < MSG_PING) return Cfactory::_facMsgPrc(msg, fsm);
    Cvlk_res_node* node = AllocNode();
    if (node == nullptr) return PRC_ERROR;
    *fsm = static_cast<Cfsm*>(node);
    return PRC_NEW_FSM;
  }
};

// The whole application: a manager, the two tasks and their factories, running.
class App {
 public:
  App(unsigned int sessions, unsigned int tinyBufs)
      : mgr(tinyBufs, 16),
        ping(new TestTask(&mgr, kPingTask, "ping")),
        pong(new TestTask(&mgr, kPongTask, "pong")),
        pingFac(new AppFactory<PingFsm>(ping, kPingFac, sessions, &stats)),
        pongFac(new AppFactory<PongFsm>(pong, kPongFac, sessions, &stats)) {
    ping->regFactory(pingFac);
    pong->regFactory(pongFac);
    ping->setTimer(sessions);
    mgr.regTask(ping);
    mgr.regTask(pong);
  }

  EerrNo Run() { return mgr.Run(); }

  // Starts a session from outside the tasks, through the routing thread.
  void Start(unsigned int rounds, unsigned int type = MSG_START, unsigned int word1 = 0) {
    Cvlk_msg_buf* buf = mgr.GetMsgBuf(sizeof(Cmsg));
    if (buf == nullptr) return;
    FillMsg(buf, kPingTask, kPingFac, 0, type, word1, rounds);
    mgr.SendMsg(buf);
  }

  // Ticks the ping task's timers about once a millisecond until done() or 20 s
  // passed. The ticks stay below the self-check period (5400 s).
  template <class Done>
  bool WaitTicking(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      // Ticks only while the tiny class is at least half idle, so that a slow
      // (instrumented) build never starves the sessions of buffers with expiries.
      if (m_ticks < kMaxTicks && mgr.GetMsgIdleNum(EMSG_CLASS_TINY) * 2 > mgr.GetMsgRealNum(EMSG_CLASS_TINY)) {
        ping->GetTimerPool()->Tick();
        ++m_ticks;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // Every machine idle, every buffer back in the pool, only the self-check timer left.
  bool Quiet() {
    return pingFac->GetIdleNum() == pingFac->GetRealNum() && pongFac->GetIdleNum() == pongFac->GetRealNum() &&
           mgr.AllIdle() && ping->GetTimerPool()->GetIdleNum() + 1 == ping->GetTimerPool()->GetRealNum();
  }

  static constexpr unsigned int kMaxTicks = 5000;
  unsigned int m_ticks = 0;
  Stats stats;
  TestMgr mgr;
  TestTask* ping;
  TestTask* pong;
  Cfactory* pingFac;
  Cfactory* pongFac;
};

}  // namespace app

#endif  // TEST_TASK_E2E_APP_H
