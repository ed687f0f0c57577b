// vlk2 in the messaging comparison, driven as an application drives it: tasks
// of one Cvlk_task_mgr exchanging pool buffers, each received message
// dispatched by the task to its factory, which hands it to a state machine
// whose event table runs the handler. "vlk2" sends through the routing thread
// (SendMsg), "vlk2-direct" appends to the destination task's queue on the
// sender's thread (SendMsgToTask). Flood producers are plain threads that wait
// (yield) while the pool is empty: the pool bounds the memory in flight.
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "compare_msg.h"
#include "vlk_task.h"

namespace msgbench {
namespace {

constexpr unsigned int kPoolBufs = 8192;  // buffers of the class that fits the body
constexpr unsigned int kFactoryId = 100;
constexpr unsigned int kBodyType = 10;  // the application's message type

// A message: the header, then the body.
template <class B = Body>
struct BasicWire {
  Cmsg hdr;
  B body;
};
using Wire = BasicWire<>;

// Handlers see the message as a Wire; a sized flood's handler casts it to its own.
using Handler = std::function<void(Wire*)>;

// The receiving side's session: one event-table machine whose only row runs
// the handler for every body and stays in its state.
class BodyFsm : public Cev_fsm {
 public:
  enum : unsigned short { kEvBody = 1 };
  BodyFsm(Cfactory* factory, Handler* handler) : Cev_fsm(factory, 0), m_handler(handler) {}
  const char* GetName() override { return "BodyFsm"; }

 protected:
  unsigned int _getCurrState(unsigned char, unsigned char) override { return m_state; }
  void _setCurrState(unsigned char, unsigned char, unsigned int state) override { m_state = state; }
  void _parseMsg(Cmsg* msg) override {
    if (msg->msgType == kBodyType) _genEvent(kEvBody, 0, 0);
  }
  const Cevt_entry* _getEvtEntry(unsigned int state, unsigned short event, unsigned char) override {
    return state == 0 && event == kEvBody ? &kRows[0] : nullptr;
  }
  EevtPrc OnBody(Cmsg* msg, unsigned short, unsigned char) {
    (*m_handler)(reinterpret_cast<Wire*>(msg));
    return EVT_NOT_PROCESSED;  // the row's next state
  }

 private:
  static const Cevt_entry kRows[];
  Handler* m_handler;
  unsigned int m_state = 0;
};

const Cevt_entry BodyFsm::kRows[] = {{1, 0, {VLK_EVT_HANDLER(BodyFsm, OnBody)}, 0}};

// Gives the first body a new machine and every later one the same machine.
class BodyFactory : public Cfactory {
 public:
  BodyFactory(Cvlk_task* task, Handler* handler) : Cfactory(task, kFactoryId, 1) { Add(new BodyFsm(this, handler)); }
  const char* GetName() override { return "BodyFactory"; }

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override {
    if (msg->msgType != kBodyType) return Cfactory::_facMsgPrc(msg, fsm);
    if (m_session != nullptr) {
      *fsm = m_session;
      return PRC_FSM_FOUND;
    }
    m_session = static_cast<Cfsm*>(AllocNode());
    *fsm = m_session;
    return m_session != nullptr ? PRC_NEW_FSM : PRC_ERROR;
  }

 private:
  Cfsm* m_session = nullptr;
};

// n machines of one factory, every one allocated (created) as a session that
// waits for its next message: what an application holds per idle session.
class IdleFactory : public Cfactory {
 public:
  explicit IdleFactory(unsigned int n) : Cfactory(nullptr, kFactoryId + 1, n) {
    for (unsigned int i = 0; i < n; ++i) Add(new BodyFsm(this, &m_handler));
  }
  const char* GetName() override { return "IdleFactory"; }
  bool AllocAll() {
    for (unsigned int i = GetMaxNum(); i > 0; --i) {
      Cfsm* fsm = static_cast<Cfsm*>(AllocNode());
      if (fsm == nullptr || fsm->Create() != ERR_OK) return false;
    }
    return true;
  }

 private:
  Handler m_handler;
};

std::shared_ptr<void> IdleMachines(unsigned int n) {
  std::shared_ptr<IdleFactory> factory = std::make_shared<IdleFactory>(n);
  return factory->AllocAll() ? factory : nullptr;
}

class BenchTask : public Cvlk_task {
 public:
  BenchTask(Cvlk_task_mgr* mgr, unsigned int id) : Cvlk_task(mgr, id, "bench") {
    regFactory(new BodyFactory(this, &onMsg));  // a Qt child of the task
    setTimer(1);                                 // the request timer
  }
  Handler onMsg;
};

class BenchMgr : public Cvlk_task_mgr {
 public:
  // Tasks 1..tasks, Qt children of the manager. The pool's classes fit a
  // header with a 64-byte, a 1 KiB and a 4 KiB body; the one that fits
  // `bodyBytes` has the buffers, the others stay tiny.
  explicit BenchMgr(unsigned int tasks, unsigned int bodyBytes = sizeof(Body))
      : m_msgSize(sizeof(Cmsg) + bodyBytes),
        m_class(bodyBytes <= sizeof(Body) ? EMSG_CLASS_SMALL
                                          : (bodyBytes <= sizeof(Body1k) ? EMSG_CLASS_COMM : EMSG_CLASS_BIG)) {
    for (unsigned int i = 0; i < tasks && i < kMaxConsumers; ++i) {
      task[i] = new BenchTask(this, i + 1);
      regTask(task[i]);
    }
    auto count = [this](Emsg_class c) { return c == m_class ? kPoolBufs : 4u; };
    initMessagePool(32, 4, sizeof(Cmsg) + sizeof(Body), count(EMSG_CLASS_SMALL), sizeof(Cmsg) + sizeof(Body1k),
                    count(EMSG_CLASS_COMM), sizeof(Cmsg) + sizeof(Body4k), count(EMSG_CLASS_BIG));
  }
  ~BenchMgr() override { Stop(); }

  // A buffer for dst, waiting while the pool is empty.
  Cvlk_msg_buf* Take(unsigned int dst, Wire** wire) {
    Cvlk_msg_buf* buf;
    while ((buf = GetMsgBuf(m_msgSize)) == nullptr) std::this_thread::yield();
    Wire* w = reinterpret_cast<Wire*>(buf->GetMsgPointer());
    w->hdr.Init();
    w->hdr.dstTaskId = dst;
    w->hdr.dstFactoryId = kFactoryId;
    w->hdr.msgType = kBodyType;
    *wire = w;
    return buf;
  }
  EerrNo Send(Cvlk_msg_buf* buf, bool direct) { return direct ? SendMsgToTask(buf) : SendMsg(buf); }

  // Every buffer back in its class once the last message was processed.
  bool PoolFull(std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    unsigned int idle = 0, real = 0;
    do {
      idle = GetMsgIdleNum(m_class);
      real = GetMsgRealNum(m_class);
      if (idle == real) break;
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < deadline);
    char line[128];
    std::snprintf(line, sizeof line, "pool %u/%u idle, %u requests found it empty", idle, real, GetNoMsgBufCount());
    text = line;
    return idle == real;
  }

  BenchTask* task[kMaxConsumers] = {};

 private:
  unsigned int m_msgSize;
  Emsg_class m_class;
};

// Qt timers of the task timer pools want an application object on this thread.
QCoreApplication& App() {
  setenv("QT_NO_GLIB", "1", 1);  // as for Qt's own rows
  static int argc = 1;
  static char name[] = "compare_msg";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// With `timer`, task 1 arms a timer (5 s) with every request and stops it when
// the answer comes: a request/response with a timeout.
vlkbench::Outcome Ping(const vlkbench::RunContext& ctx, bool direct, bool timer = false) {
  App();
  BenchMgr mgr(2);
  PingRecorder rec(PingRounds(ctx));
  unsigned int timerId = 0;
  Cvlk_task* requester = mgr.task[0];
  // Task 2 answers every message with a fresh buffer; task 1 times the trips.
  mgr.task[1]->onMsg = [&](Wire* in) {
    Wire* out;
    Cvlk_msg_buf* buf = mgr.Take(1, &out);
    out->body = in->body;
    mgr.Send(buf, direct);
  };
  mgr.task[0]->onMsg = [&](Wire* in) {
    if (timer) requester->StopTimer(timerId);
    if (!rec.Reply(in->body.seq)) return;
    Wire* out;
    Cvlk_msg_buf* buf = mgr.Take(2, &out);
    FillBody(out->body, 0, rec.Next());
    if (timer) requester->StartTimer(timerId, kTimeoutSeconds);
    mgr.Send(buf, direct);
  };
  mgr.Run();
  if (timer && (timerId = requester->CreateTimer(kFactoryId, 0, 0, nullptr)) == 0) {
    return rec.Result(false, "no timer could be created", false);
  }
  Wire* first;
  Cvlk_msg_buf* buf = mgr.Take(2, &first);
  first->body.seq = 0;
  rec.Begin();
  if (timer) requester->StartTimer(timerId, kTimeoutSeconds);
  mgr.Send(buf, direct);
  const bool finished = rec.Done().Wait(60000);
  std::string pool;
  const bool full = mgr.PoolFull(pool);
  return rec.Result(finished, pool, full);
}

template <class B = Body>
vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                        bool direct, std::uint64_t messages = 0) {
  App();
  BenchMgr mgr(consumers, sizeof(B));
  FloodChecks checks(ctx, producers, consumers, messages);
  for (unsigned int c = 0; c < consumers; ++c) {
    FloodCheck* check = &checks[c];
    mgr.task[c]->onMsg = [check](Wire* in) { check->Take(reinterpret_cast<BasicWire<B>*>(in)->body); };
  }
  mgr.Run();
  return DriveFlood(
      checks,
      [&](unsigned int p, unsigned int c, std::uint64_t seq) {
        Wire* w;
        Cvlk_msg_buf* buf = mgr.Take(c + 1, &w);
        FillBody(reinterpret_cast<BasicWire<B>*>(w)->body, p, seq);
        mgr.Send(buf, direct);
      },
      [&](std::string& text) { return mgr.PoolFull(text); });
}

void Register() {
  RegisterMsgCases(
      "vlk2", [](const vlkbench::RunContext& ctx) { return Ping(ctx, false); },
      [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) { return Flood(ctx, p, c, false); });
  RegisterMsgCases(
      "vlk2-direct", [](const vlkbench::RunContext& ctx) { return Ping(ctx, true); },
      [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) { return Flood(ctx, p, c, true); });
  RegisterIdleCase("vlk2", IdleMachines);
  for (bool direct : {false, true}) {
    RegisterSizedFloods(direct ? "vlk2-direct" : "vlk2", [direct](const vlkbench::RunContext& ctx, auto tag) {
      return Flood<typename decltype(tag)::type>(ctx, 1, 1, direct, SizedFloodMessages(ctx));
    });
  }
  RegisterRequestCase("vlk2", [](const vlkbench::RunContext& ctx) { return Ping(ctx, false, true); });
  RegisterRequestCase("vlk2-direct", [](const vlkbench::RunContext& ctx) { return Ping(ctx, true, true); });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
