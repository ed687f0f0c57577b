// pingpong: two tasks of the vlk2 framework. A timer in the "ping" task fires
// every second; its event-table machine then sends a numbered request to the
// "pong" task, which answers it. After three answers the program ends.
#include <atomic>
#include <cstdio>

#include <QCoreApplication>

#include <vlk2.h>

// [guide:ids]
enum : unsigned int { kPingTask = 1, kPongTask = 2 };            // task ids: 1..31
enum : unsigned int { kPingFactory = 10, kPongFactory = 20 };    // factory ids: not 0
enum : unsigned int { MSG_PING = 100, MSG_PONG = 101 };          // 6 and up are the application's
struct PingMsg : Cmsg {  // the 48-byte header, then the body
  unsigned int seq;
};
// [/guide:ids]

static std::atomic<int> g_answers{0};
constexpr int kRounds = 3;

// [guide:pong]
// One machine per request: it answers and goes back to the factory's pool.
class PongFsm : public Cfsm {
 public:
  explicit PongFsm(Cfactory* factory) : Cfsm(factory, 0) {}
  const char* GetName() override { return "PongFsm"; }
  Eprc_result ProcessMsg(Cmsg* msg) override {
    const PingMsg* ping = MsgAs<PingMsg>(msg);  // null if the buffer is too small
    if (ping == nullptr || ping->msgType != MSG_PING) return PRC_KILL_FSM;
    Cvlk_msg_buf* buf;
    PingMsg* pong = VlkNewMsg<PingMsg>(this, &buf, VlkMsgSource(msg), MSG_PONG);
    if (pong != nullptr) {
      pong->seq = ping->seq;
      _sendMsg(buf);  // the buffer is the framework's from here on
    }
    return PRC_KILL_FSM;  // the task frees the request's buffer
  }
};
// [/guide:pong]

// The pinging machine: idle until the timer ticks, then waiting for the answer.
class PingFsm : public Cev_fsm {
 public:
  enum : unsigned int { S_IDLE, S_WAITING, S_COUNT };
  enum : unsigned short { EV_TICK, EV_PONG, EV_COUNT };
  explicit PingFsm(Cfactory* factory) : Cev_fsm(factory, 0) {}
  const char* GetName() override { return "PingFsm"; }

 protected:
  // [guide:events]
  void _parseMsg(Cmsg* msg) override {  // message -> events
    if (msg->msgType == MSG_TIMEOUT) _genEvent(EV_TICK, 0, 0);
    if (msg->msgType == MSG_PONG) _genEvent(EV_PONG, 0, 0);
  }
  unsigned int _getCurrState(unsigned char, unsigned char) override { return m_curr; }
  void _setCurrState(unsigned char, unsigned char, unsigned int s) override { m_curr = s; }
  const Cevt_entry* _getEvtEntry(unsigned int state, unsigned short event, unsigned char) override {
    return state < S_COUNT && event < EV_COUNT ? &kTable[state][event] : nullptr;
  }
  // [/guide:events]
  // [guide:handlers]
  EevtPrc sendPing(Cmsg*, unsigned short, unsigned char) {
    Cvlk_msg_buf* buf;
    PingMsg* ping = VlkNewMsg<PingMsg>(this, &buf, VlkMsgAddr(kPongTask, kPongFactory), MSG_PING);
    if (ping == nullptr) return EVT_STAY;  // no buffer: stay idle, try at the next tick
    ping->seq = ++m_sent;
    _sendMsg(buf);
    return EVT_CONTINUE;  // on to the row's next state
  }
  EevtPrc gotPong(Cmsg* msg, unsigned short, unsigned char) {
    const PingMsg* pong = MsgAs<PingMsg>(msg);
    std::printf("pong %u\n", pong != nullptr ? pong->seq : 0u);
    if (++g_answers == kRounds) QMetaObject::invokeMethod(qApp, "quit", Qt::QueuedConnection);
    return EVT_CONTINUE;
  }
  // [/guide:handlers]

 private:
  static const Cevt_entry kTable[S_COUNT][EV_COUNT];
  unsigned int m_curr = S_IDLE;
  unsigned int m_sent = 0;
};

// [guide:table]
const Cevt_entry PingFsm::kTable[S_COUNT][EV_COUNT] = {
    /* S_IDLE    */ {VlkEvtRow(S_WAITING, &PingFsm::sendPing), {}},
    /* S_WAITING */ {VlkEvtRow(S_WAITING, &PingFsm::_procNull), VlkEvtRow(S_IDLE, &PingFsm::gotPong)},
};
// [/guide:table]

// [guide:pongfactory]
// PongFactory: a new machine for every message that names none.
class PongFactory : public Cfactory {
 public:
  explicit PongFactory(Cvlk_task* task) : Cfactory(task, kPongFactory, 16) {
    for (int i = 0; i < 16; ++i) Add(new PongFsm(this));  // made up front, owned by the factory
  }
  const char* GetName() override { return "PongFactory"; }

 protected:
  Eprc_result _facMsgPrc(Cmsg*, Cfsm** fsm) override {
    *fsm = static_cast<Cfsm*>(AllocNode());
    return *fsm != nullptr ? PRC_NEW_FSM : PRC_NOT_PROCESSED;
  }
};

// [/guide:pongfactory]

// [guide:pingfactory]
// PingFactory: one machine, driven by a one-second timer of the factory's.
class PingFactory : public Cfactory {
 public:
  explicit PingFactory(Cvlk_task* task) : Cfactory(task, kPingFactory, 1) { Add(new PingFsm(this)); }
  const char* GetName() override { return "PingFactory"; }
  EerrNo OnCreate() override {  // runs in Run(), on the thread that calls it
    unsigned int timer = CreateTimer(0, 0, nullptr);  // fsm 0: expiries come to _facMsgPrc
    StartTimer(timer, 1);                             // every second until stopped
    return timer != 0 ? ERR_OK : ERR_OUT_OF_MEMORY;
  }

 protected:
  Eprc_result _facMsgPrc(Cmsg*, Cfsm** fsm) override {  // every tick goes to the one machine
    if (GetBusyNum() > 0) {
      *fsm = static_cast<Cfsm*>(GetByIndex(0));
      return PRC_FSM_FOUND;
    }
    *fsm = static_cast<Cfsm*>(AllocNode());  // the first tick allocates it
    return *fsm != nullptr ? PRC_NEW_FSM : PRC_NOT_PROCESSED;
  }
};
// [/guide:pingfactory]

// [guide:task]
template <class F>
class OneFactoryTask : public Cvlk_task {
 public:
  OneFactoryTask(Cvlk_task_mgr* mgr, unsigned int id, const char* name, unsigned int timers)
      : Cvlk_task(mgr, id, name) {
    regFactory(new F(this));  // the task is the factory's Qt parent and owner
    setTimer(timers);         // timers beyond the self-check timer, before start
  }
};

// [/guide:task]

// [guide:manager]
class PingPongMgr : public Cvlk_task_mgr {
 public:
  PingPongMgr() {
    initMessagePool(64, 256, 256, 64, 1024, 16, 4096, 4);  // size and count of each class
    regTask(new OneFactoryTask<PingFactory>(this, kPingTask, "ping", 1));
    regTask(new OneFactoryTask<PongFactory>(this, kPongTask, "pong", 0));
  }
  ~PingPongMgr() override { Stop(); }  // join every thread before the tasks are deleted
};

// [/guide:manager]

// [guide:main]
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  PingPongMgr mgr;
  QObject::connect(&mgr, &Cvlk_task_mgr::sigLogError,
                   [](const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
  if (mgr.Run() != ERR_OK) return 1;
  const int rc = app.exec();  // the timers tick in this loop, on the thread that called Run
  mgr.Stop();
  return rc == 0 && g_answers == kRounds ? 0 : 1;
}
// [/guide:main]
