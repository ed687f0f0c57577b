// The event-table state machine on arbitrary tables and event sequences. The
// input first builds the table (4 states x 8 events; each row a handler count,
// including the refused 0 and 11, handlers drawn from a set that also holds a
// missing one, and a next state that may lead to no row), then sends messages.
// Each message carries up to 260 events (p1, p2, event). A message either runs
// the engine directly on a busy machine, checked against a model of the engine
// (result, states, state word, last event, events queued), or goes through the
// factory (new machines, known, idle and stale identifiers, relation probes,
// saved and held buffers with their replays, kills), checked for its
// invariants. At the end every machine is killed and every buffer must be back
// in the message pool.
#include <fuzzer/FuzzedDataProvider.h>

#include <QCoreApplication>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "vlk_task.h"

namespace {

constexpr unsigned kStates = 4, kEvents = 8, kTask = 3, kFac = 30, kMachines = 4;

class Mgr : public Cvlk_task_mgr {
 public:
  using Cvlk_task_mgr::initMessagePool;
};

class Task : public Cvlk_task {
 public:
  using Cvlk_task::regFactory;
  Task(Cvlk_task_mgr* mgr) : Cvlk_task(mgr, kTask, "FuzzTask") {}
  ~Task() override { stop(); }
};

// Handlers by number; the row table stores numbers, the machine maps them.
enum Handler : unsigned char { H_X, H_DONE, H_STOP, H_SPAWN, H_NULL, H_SAVE, H_KILL, H_RESULT, H_RELEASE, H_NONE, H_COUNT };

struct Plan {
  Cevt_entry rows[kStates][kEvents];
  unsigned char kinds[kStates][kEvents][Cev_fsm::kMaxHandlers];
  std::vector<Cevt_rec> events;  // what _parseMsg queues for the current message
};
Plan* g_plan = nullptr;

class Machine : public Cev_fsm {
 public:
  explicit Machine(Cfactory* f) : Cev_fsm(f, 0) {}
  const char* GetName() override { return "FuzzFsm"; }
  unsigned cur[2] = {0, 0};
  Eprc_result pending() const { return m_result; }

  static Fevt_handler Of(unsigned char kind) {
    switch (kind) {
      case H_X: return VLK_EVT_HANDLER(Machine, X);
      case H_DONE: return VLK_EVT_HANDLER(Machine, Done);
      case H_STOP: return VLK_EVT_HANDLER(Machine, Stop);
      case H_SPAWN: return VLK_EVT_HANDLER(Machine, Spawn);
      case H_NULL: return VLK_EVT_HANDLER(Machine, _procNull);
      case H_SAVE: return VLK_EVT_HANDLER(Machine, _procSaveMsg);
      case H_KILL: return VLK_EVT_HANDLER(Machine, _procKillFsm);
      case H_RESULT: return VLK_EVT_HANDLER(Machine, Result);
      case H_RELEASE: return VLK_EVT_HANDLER(Machine, Release);
      default: return nullptr;
    }
  }

 protected:
  EerrNo Create() override {
    cur[0] = cur[1] = 0;
    return Cev_fsm::Create();
  }
  unsigned int _getCurrState(unsigned char p1, unsigned char) override { return cur[p1 & 1]; }
  void _setCurrState(unsigned char p1, unsigned char, unsigned int state) override { cur[p1 & 1] = state; }
  void _parseMsg(Cmsg*) override {
    for (const Cevt_rec& e : g_plan->events) _genEvent(e.event, e.p1, e.p2);
  }
  const Cevt_entry* _getEvtEntry(unsigned int state, unsigned short event, unsigned char) override {
    return state < kStates && event < kEvents ? &g_plan->rows[state][event] : nullptr;
  }
  EevtPrc _procUnknownMsg(Cmsg* msg) override {
    Cev_fsm::_procUnknownMsg(msg);
    return (msg->appWord2 & 1) ? EVT_STOP : EVT_NOT_PROCESSED;
  }

  EevtPrc X(Cmsg*, unsigned short, unsigned char) { return EVT_NOT_PROCESSED; }
  EevtPrc Done(Cmsg*, unsigned short, unsigned char) { return EVT_PROCESSED; }
  EevtPrc Stop(Cmsg*, unsigned short, unsigned char) { return EVT_STOP; }
  EevtPrc Spawn(Cmsg*, unsigned short event, unsigned char p2) {
    _genEvent(static_cast<unsigned short>((event + 1) % kEvents), p2, p2);
    return EVT_NOT_PROCESSED;
  }
  // Any result at all, including the ones the factory must refuse.
  EevtPrc Result(Cmsg*, unsigned short, unsigned char p2) {
    m_result = static_cast<Eprc_result>(p2 % 14);
    return EVT_NOT_PROCESSED;
  }
  // Gives the oldest held buffer back to the pool.
  EevtPrc Release(Cmsg*, unsigned short, unsigned char) {
    if (Cvlk_msg_buf* b = GetHoldMsg()) {
      FUZZ_CHECK(PutHoldMsg(b) == ERR_OK);
      FUZZ_CHECK(FreeHoldMsg(b->GetMsgPointer()) == ERR_OK);
    }
    return EVT_NOT_PROCESSED;
  }
};

class Factory : public Cfactory {
 public:
  Factory(Cvlk_task* task) : Cfactory(task, kFac, kMachines) {
    for (unsigned i = 0; i < kMachines; ++i) Add(new Machine(this));
  }
  const char* GetName() override { return "FuzzFactory"; }
  Machine* Fsm(unsigned i) { return static_cast<Machine*>(GetByIndex(i)); }

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override {
    if (msg->msgType != MSG_APP) return Cfactory::_facMsgPrc(msg, fsm);
    Cvlk_res_node* node = AllocNode();
    if (node == nullptr) return PRC_ERROR;
    *fsm = static_cast<Cfsm*>(node);
    return PRC_NEW_FSM;
  }
};

// The engine's rules, run over the same table: what ProcessMsg should do.
struct Expect {
  Eprc_result result;
  unsigned cur[2];
  unsigned stateWord;
  unsigned short lastEvent;
  unsigned evtNum;
};

Expect Model(const Machine& m, const Cmsg& msg) {
  Expect x{PRC_PROCESSED, {m.cur[0], m.cur[1]}, m.GetState(), m.GetLastEvent(), 0};
  std::vector<Cevt_rec> q;
  auto gen = [&](unsigned short ev, unsigned char p1, unsigned char p2) {
    if (q.size() >= Cfactory::kMaxEvents) return;
    q.push_back({p1, p2, ev});
    x.lastEvent = ev;
  };
  for (const Cevt_rec& e : g_plan->events) gen(e.event, e.p1, e.p2);
  x.evtNum = static_cast<unsigned>(q.size());
  if (q.empty()) return x.result = PRC_NOT_PROCESSED, x;
  for (std::size_t i = 0; i < q.size(); ++i) {
    const Cevt_rec ev = q[i];
    const unsigned cur = x.cur[ev.p1 & 1];
    const bool hasRow = cur < kStates && ev.event < kEvents;
    const Cevt_entry* row = hasRow ? &g_plan->rows[cur][ev.event] : nullptr;
    if (row == nullptr || row->handlerCnt == 0 || row->handlerCnt > Cev_fsm::kMaxHandlers) {
      x.evtNum = static_cast<unsigned>(q.size());
      if (!(msg.appWord2 & 1)) x.result = PRC_NOT_PROCESSED;
      return x;
    }
    unsigned next = row->nextState;
    EevtPrc r = EVT_NOT_PROCESSED;
    for (unsigned k = 0; k < row->handlerCnt; ++k) {
      switch (g_plan->kinds[cur][ev.event][k]) {
        case H_X: case H_NULL: case H_RELEASE: r = EVT_NOT_PROCESSED; break;
        case H_DONE: r = EVT_PROCESSED; break;
        case H_STOP: r = EVT_STOP; break;
        case H_SPAWN: gen(static_cast<unsigned short>((ev.event + 1) % kEvents), ev.p2, ev.p2); r = EVT_NOT_PROCESSED; break;
        case H_SAVE: x.result = PRC_SAVE_MSG; r = EVT_NOT_PROCESSED; break;
        case H_KILL: x.result = PRC_KILL_FSM; r = EVT_STOP; break;
        case H_RESULT: x.result = static_cast<Eprc_result>(ev.p2 % 14); r = EVT_NOT_PROCESSED; break;
        default:
          x.evtNum = static_cast<unsigned>(q.size());
          x.result = PRC_NOT_PROCESSED;
          return x;
      }
      if (r != EVT_NOT_PROCESSED) {
        next = cur;
        break;
      }
    }
    if (r == EVT_STOP) {
      x.evtNum = static_cast<unsigned>(q.size());
      return x;
    }
    if (next != cur) {
      x.cur[ev.p1 & 1] = next;
      ++x.stateWord;
    }
  }
  x.evtNum = static_cast<unsigned>(q.size());
  return x;
}

Eprc_result Dispatch(Task* task, Cvlk_msg_buf* buf) {
  Eprc_result r = PRC_NOT_PROCESSED;
  for (unsigned i = 0; i < task->GetFactoryCount(); ++i) {
    Cfactory* f = task->GetFactory(i);
    if (f->GetId() == buf->GetMsgPointer()->dstFactoryId) {
      r = f->ProcessMsg(buf);
      break;
    }
  }
  if (r < PRC_SAVE_MSG) FUZZ_CHECK(task->FreeMsgBuf(buf) == ERR_OK);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Plan plan{};
  g_plan = &plan;
  for (unsigned s = 0; s < kStates; ++s) {
    for (unsigned e = 0; e < kEvents; ++e) {
      Cevt_entry& row = plan.rows[s][e];
      const unsigned char shape = in.ConsumeIntegral<unsigned char>();
      row.handlerCnt = shape < 8 ? 0 : shape < 16 ? 11 : 1 + shape % 4;
      row.nextState = in.ConsumeIntegralInRange(0u, kStates);  // kStates: a state without rows
      for (unsigned k = 0; k < row.handlerCnt && k < Cev_fsm::kMaxHandlers; ++k) {
        const unsigned char kind = in.ConsumeIntegralInRange<unsigned char>(0, H_COUNT - 1);
        plan.kinds[s][e][k] = kind;
        row.handlers[k] = Machine::Of(kind);
      }
    }
  }

  Mgr* mgr = new Mgr;
  FUZZ_CHECK(mgr->initMessagePool(64, 24, 256, 8, 1024, 2, 4096, 1) == ERR_OK);
  Task* task = new Task(mgr);
  Factory* fac = new Factory(task);
  FUZZ_CHECK(task->regFactory(fac) == ERR_OK);
  std::vector<unsigned> seen;  // identifiers machines have had

  for (int n = 0; n < 40 && in.remaining_bytes() > 0; ++n) {
    if (in.ConsumeBool()) mgr->TraceOn(); else mgr->TraceOff();
    plan.events.clear();
    const unsigned count = in.ConsumeBool() ? in.ConsumeIntegralInRange(0u, 6u) : in.ConsumeIntegralInRange(0u, 260u);
    for (unsigned i = 0; i < count; ++i) {
      Cevt_rec e;
      e.p1 = in.ConsumeIntegral<unsigned char>();
      e.p2 = in.ConsumeIntegral<unsigned char>();
      e.event = in.ConsumeIntegralInRange<unsigned short>(0, kEvents + 1);
      if (e.event == kEvents + 1) e.event = in.ConsumeIntegral<unsigned short>();
      plan.events.push_back(e);
    }
    // Every byte of the message is taken before anything depends on the machines' state.
    const unsigned appWord2 = in.ConsumeIntegral<unsigned char>();
    const bool reply = in.ConsumeBool();
    const unsigned replyTo = in.ConsumeIntegralInRange(0u, kMachines - 1);
    const bool trace = in.ConsumeBool();
    const unsigned char type = in.ConsumeIntegralInRange<unsigned char>(0, 7);
    Machine* m = fac->Fsm(in.ConsumeIntegralInRange(0u, kMachines - 1));
    const bool direct = in.ConsumeBool();
    const unsigned pick = in.ConsumeIntegralInRange(0u, 3u);
    const unsigned raw = in.ConsumeIntegral<unsigned>();

    Cvlk_msg_buf* buf = mgr->GetMsgBuf(sizeof(Cmsg) + 16);
    if (buf == nullptr) continue;  // every buffer saved or held: nothing to send
    Cmsg* msg = buf->GetMsgPointer();
    std::memset(msg, 0, buf->GetBufLen());
    msg->srcTaskId = kTask;
    msg->dstTaskId = kTask;
    msg->dstFactoryId = kFac;
    msg->appWord2 = appWord2;
    if (reply) msg->srcFactoryId = kFac, msg->srcFsmId = fac->Fsm(replyTo)->GetId();
    msg->msgFlags = trace ? MSG_FLAG_TRACE : 0;
    msg->msgType = type < 4 ? MSG_APP : type == 4 ? MSG_RELATION_OFF : type == 5 ? MSG_CHECK_RELATION
                 : type == 6 ? MSG_FAC_INNER : MSG_TIMEOUT;
    const bool busy = fac->GetStateById(m->GetId()) == RES_BUSY;

    if (busy && msg->msgType == MSG_APP && direct) {
      // The engine alone, against the model.
      const Expect x = Model(*m, *msg);
      const unsigned holdBefore = m->GetHoldNum();
      const Eprc_result r = m->ProcessMsg(msg);
      FUZZ_CHECK(r == x.result);
      FUZZ_CHECK(m->cur[0] == x.cur[0] && m->cur[1] == x.cur[1]);
      FUZZ_CHECK(m->GetState() == x.stateWord);
      FUZZ_CHECK(m->GetLastEvent() == x.lastEvent);
      FUZZ_CHECK(fac->GetEvtNum() == x.evtNum && x.evtNum <= Cfactory::kMaxEvents);
      FUZZ_CHECK(m->GetHoldNum() <= holdBefore);
      FUZZ_CHECK(task->FreeMsgBuf(buf) == ERR_OK);
    } else {
      // Through the factory, to a new machine, a known one or a stale identifier.
      if (pick == 1) msg->dstFsmId = m->GetId();
      if (pick == 2 && !seen.empty()) msg->dstFsmId = seen[raw % seen.size()];
      if (pick == 3) msg->dstFsmId = raw;
      const unsigned idleBefore = fac->GetIdleNum();
      const Eprc_result r = Dispatch(task, buf);
      FUZZ_CHECK(r <= PRC_HOLD_MSG);
      FUZZ_CHECK(fac->GetIdleNum() <= kMachines && fac->GetRealNum() == kMachines);
      FUZZ_CHECK(fac->GetIdleNum() + 1 >= idleBefore);  // at most one machine allocated
    }
    for (unsigned i = 0; i < kMachines; ++i) {
      Machine* k = fac->Fsm(i);
      seen.push_back(k->GetId());
      if (fac->GetStateById(k->GetId()) != RES_BUSY) {
        FUZZ_CHECK(k->GetSaveNum() == 0 && k->GetHoldNum() == 0);
      }
    }
    // What the factory sent to its own task (relation answers) is delivered too.
    for (int k = 0; k < 64; ++k) {
      Cvlk_msg_buf* sent = task->GetPumpMsgBuf();
      if (sent == nullptr) break;
      Dispatch(task, sent);
    }
  }
  while (Cvlk_msg_buf* sent = task->GetPumpMsgBuf()) Dispatch(task, sent);

  for (unsigned i = 0; i < kMachines; ++i) fac->killFsm(fac->Fsm(i)->GetId());
  FUZZ_CHECK(fac->GetIdleNum() == kMachines);
  mgr->Stop();
  for (unsigned cls = 0; cls < EMSG_CLASS_NUM; ++cls) FUZZ_CHECK(mgr->GetMsgIdleNum(cls) == mgr->GetMsgRealNum(cls));
  delete mgr;  // deletes the task (its Qt parent), which deletes the factory
  g_plan = nullptr;
  return 0;
}
