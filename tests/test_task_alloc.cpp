// Two tasks play ping-pong with event-table machines their factories create and
// kill, timers ticked by the test: once warm, no thread may allocate (this binary
// counts every thread's global new and, without sanitizers, malloc).
#include <new>

#include "test_alloc_count.h"
#include "test_task_util.h"

using namespace tasktest;

namespace {

constexpr unsigned int kPingTask = 1, kPongTask = 2, kPingFac = 100, kPongFac = 200;
enum : unsigned int { MSG_PING = kFirstAppType, MSG_PONG, MSG_START, MSG_FIN, MSG_PROBE_START };
// One event per message type from MSG_PING on, then the last pong and the timer.
enum : unsigned short { EV_PING = 1, EV_PONG, EV_START, EV_FIN, EV_PROBE, EV_LAST_PONG, EV_TIMER };

// Written by the task threads (lastPeer: the last pong machine a session ended with).
struct Stats {
  std::atomic<int> completed{0}, timerHits{0}, destroyed{0}, noBuf{0};
  std::atomic<unsigned int> lastPeer{0};
};

// A ping machine (task 1), made by START: PING 1 -> PONG -> PING 2 ... -> last PONG
// -> FIN to the pong machine (task 2); both kill themselves. A ping machine keeps
// a one-second timer; PROBE makes it probe the pong machine named in appWord1.
class PingPongFsm : public Cev_fsm {
 public:
  PingPongFsm(Cfactory* factory, Stats* stats) : Cev_fsm(factory, 0), m_stats(stats) {}
  const char* GetName() override { return "PingPongFsm"; }
  EerrNo Create() override { return m_cur = 0, Cev_fsm::Create(); }
  EerrNo Destroy() override {
    if (GetFactory()->GetId() == kPingFac) m_stats->destroyed.fetch_add(1);
    FreeTimer(m_timer);
    return ERR_OK;
  }

 protected:
  unsigned int _getCurrState(unsigned char, unsigned char) override { return m_cur; }
  void _setCurrState(unsigned char, unsigned char, unsigned int state) override { m_cur = state; }
  void _parseMsg(Cmsg* m) override {
    if (m->msgType == MSG_TIMEOUT) _genEvent(EV_TIMER, 0, 0);
    else if (m->msgType == MSG_PONG && m->appWord1 >= m_rounds) _genEvent(EV_LAST_PONG, 0, 0);
    else if (m->msgType >= MSG_PING && m->msgType <= MSG_PROBE_START) _genEvent(m->msgType - MSG_PING + 1, 0, 0);
  }
  const Cevt_entry* _getEvtEntry(unsigned int, unsigned short event, unsigned char) override {
    return event >= EV_PING && event <= EV_TIMER ? &kRows[event - 1] : nullptr;
  }

  EevtPrc OnStart(Cmsg* m, unsigned short, unsigned char) {
    m_rounds = m->appWord2;
    m_timer = CreateTimer(0, nullptr);
    StartTimer(m_timer, 1);
    return Send(kPongTask, kPongFac, 0, MSG_PING, 1), EVT_NOT_PROCESSED;
  }
  EevtPrc OnPing(Cmsg* m, unsigned short, unsigned char) {
    return Send(m->srcTaskId, m->srcFactoryId, m->srcFsmId, MSG_PONG, m->appWord1), EVT_NOT_PROCESSED;
  }
  EevtPrc OnPong(Cmsg* m, unsigned short, unsigned char) {
    return Send(kPongTask, kPongFac, m->srcFsmId, MSG_PING, m->appWord1 + 1), EVT_PROCESSED;
  }
  EevtPrc OnLastPong(Cmsg* m, unsigned short, unsigned char) {
    Send(kPongTask, kPongFac, m->srcFsmId, MSG_FIN, 0);
    m_stats->lastPeer.store(m->srcFsmId);
    return m_stats->completed.fetch_add(1), EVT_NOT_PROCESSED;
  }
  EevtPrc OnProbe(Cmsg* m, unsigned short, unsigned char) {
    return Send(kPongTask, kPongFac, m->appWord1, MSG_CHECK_RELATION, 0), EVT_NOT_PROCESSED;
  }
  EevtPrc OnTimer(Cmsg*, unsigned short, unsigned char) { return m_stats->timerHits.fetch_add(1), EVT_PROCESSED; }

  // Sends a bare header from this machine.
  void Send(unsigned int task, unsigned int factory, unsigned int fsm, unsigned int type, unsigned int word1) {
    Cvlk_msg_buf* buf;
    Cmsg* msg = VlkNewMsg<Cmsg>(this, &buf, VlkMsgAddr(task, factory, fsm), type);
    if (msg == nullptr) return void(m_stats->noBuf.fetch_add(1));
    msg->appWord1 = word1;
    _sendMsg(buf);
  }

  static const Cevt_entry kRows[];
  Stats* m_stats;
  unsigned int m_cur = 0, m_rounds = 0, m_timer = 0;  // m_cur: the table's state
};

#define H(fn) VLK_EVT_HANDLER(PingPongFsm, fn)
const Cevt_entry PingPongFsm::kRows[] = {
    /* EV_PING      */ {1, 0, {H(OnPing)}, 1},
    /* EV_PONG      */ {1, 0, {H(OnPong)}, 1},
    /* EV_START     */ {1, 0, {H(OnStart)}, 1},
    /* EV_FIN       */ {1, 0, {H(_procKillFsm)}, 0},
    /* EV_PROBE     */ {1, 0, {H(OnProbe)}, 1},
    /* EV_LAST_PONG */ {2, 0, {H(OnLastPong), H(_procKillFsm)}, 0},
    /* EV_TIMER     */ {1, 0, {H(OnTimer)}, 1},
};
#undef H

class PingPong : public ::testing::Test {
 protected:
  static constexpr unsigned int kSessions = 16, kWaves = 4, kMaxTicks = 5000;

  PingPong() {
    ping->regFactory(pingFac);
    pong->regFactory(pongFac);
    ping->setTimer(kSessions);
    mgr.regTask(ping);
    mgr.regTask(pong);
  }

  // Starts a session (or a probe) from outside the tasks, through the routing thread.
  void Start(unsigned int rounds, unsigned int type = MSG_START, unsigned int word1 = 0) {
    Cvlk_msg_buf* buf = mgr.GetMsgBuf(sizeof(Cmsg));
    ASSERT_NE(buf, nullptr);
    FillMsg(buf, kPingTask, kPingFac, 0, type, word1, rounds);
    mgr.SendMsg(buf);
  }

  // Ticks the ping task's timers until done(), while the tiny class is at least half
  // idle (expiries never starve a slow build's sessions), below the self-check period.
  template <class Done>
  bool WaitTicking(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() || !mgr.AllIdle()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (m_ticks < kMaxTicks && mgr.GetMsgIdleNum(EMSG_CLASS_TINY) * 2 > mgr.GetMsgRealNum(EMSG_CLASS_TINY)) {
        ping->GetTimerPool()->Tick();
        ++m_ticks;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  unsigned int m_ticks = 0;
  Stats stats;
  TestMgr mgr{256, 16};  // the tiny class carries every message
  TestTask* ping = new TestTask(&mgr, kPingTask, "ping");
  TestTask* pong = new TestTask(&mgr, kPongTask, "pong");
  Cfactory* pingFac = new MachineFactory<PingPongFsm>(ping, kPingFac, kSessions, &stats);
  Cfactory* pongFac = new MachineFactory<PingPongFsm>(pong, kPongFac, kSessions, &stats);
};

// Sessions create and kill machines, timers fire, and a probe to a pong machine that
// has gone is answered with MSG_RELATION_OFF, which kills the prober.
TEST_F(PingPong, SessionsProbesAndTimersAllocateNothing) {
  ASSERT_EQ(mgr.Run(), ERR_OK);
  Start(10);  // a warm-up session: first-use work of the threads is not counted
  ASSERT_TRUE(WaitTicking([&] { return stats.completed.load() == 1 && stats.destroyed.load() == 1; }));
  // A late message to a gone machine is counted and the first one logged: that
  // line is the path's only allocation, so it is made before counting.
  Cvlk_msg_buf* late = mgr.GetMsgBuf(sizeof(Cmsg));
  ASSERT_NE(late, nullptr);
  FillMsg(late, kPongTask, kPongFac, stats.lastPeer.load(), MSG_PING, 0);
  mgr.SendMsg(late);
  // At least one: the warm-up machine's last expiry may come late too (1 run in 60).
  ASSERT_TRUE(WaitTicking([&] { return mgr.GetMsgStat(EMSG_STAT_E_NO_FSM) >= 1; }));

  g_counting = true;
  ::operator delete(::operator new(sizeof(int)));  // the counter sees a call (never elided)
  ASSERT_GE(g_allocs.exchange(0), 1);
#if !defined(VLK_TEST_SANITIZED)
  QString(100, QChar('x'));  // and, through malloc, what a shared library allocates
  ASSERT_GE(g_allocs.exchange(0), 1);
#endif
  bool done = true;
  for (int wave = 1; wave <= static_cast<int>(kWaves) && done; ++wave) {
    for (unsigned int i = 0; i < kSessions; ++i) Start(250);
    done = WaitTicking([&] { return stats.completed.load() == 1 + wave * static_cast<int>(kSessions); });
  }
  const int destroyed = stats.destroyed.load();
  const unsigned int gone = stats.lastPeer.load();
  Start(0, MSG_PROBE_START, gone);
  done = done && WaitTicking([&] { return stats.destroyed.load() == destroyed + 1; });
  g_counting = false;

  ASSERT_TRUE(done) << "completed " << stats.completed.load();
  EXPECT_EQ(g_allocs.load(), 0) << "heap allocations while messages flowed";
  EXPECT_EQ(destroyed, 1 + static_cast<int>(kWaves * kSessions));
  EXPECT_NE(gone, 0u);
  EXPECT_EQ(stats.completed.load(), destroyed);  // the prober finished no session
  EXPECT_GT(stats.timerHits.load(), 0);
  EXPECT_EQ(stats.noBuf.load(), 0);
  mgr.Stop();
  EXPECT_EQ(pingFac->GetIdleNum() + pongFac->GetIdleNum(), 2 * kSessions);
  EXPECT_TRUE(mgr.AllIdle());
  EXPECT_EQ(ping->GetTimerPool()->GetIdleNum() + 1, ping->GetTimerPool()->GetRealNum());  // the self-check timer
}

}  // namespace

TASKTEST_QT_MAIN()
