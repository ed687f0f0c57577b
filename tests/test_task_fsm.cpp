// Factories and state machines on one thread: the task is never started, the test
// delivers its queue itself.
#include <array>
#include <tuple>
#include <vector>

#include "test_task_util.h"

using namespace tasktest;

namespace {

// A factory of ScriptFsm machines whose routing hook is `route` when set.
class ScriptFactory : public MachineFactory<ScriptFsm> {
 public:
  using MachineFactory::MachineFactory;
  using Cfactory::_sendInnerEvent;
  using Cfactory::_sendMsg;
  using Cfactory::_trace;
  using Cfactory::regFsm;

  std::function<Eprc_result(ScriptFactory*, Cmsg*, Cfsm**)> route;
  std::array<unsigned int, 3> inner{};  // the last inner event's arguments

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override {
    return route && msg->msgType == MSG_APP ? route(this, msg, fsm) : MachineFactory::_facMsgPrc(msg, fsm);
  }
  Eprc_result _recvInnerEvent(unsigned int a1, unsigned int a2, unsigned int a3) override {
    inner = {a1, a2, a3};
    return PRC_PROCESSED;
  }
};

enum : unsigned int { CMD_WORK = 1, CMD_GO = 2 };

class FactoryTest : public OneFactoryTest<ScriptFactory> {
 protected:
  // A busy machine, made by a first message, its counters reset.
  ScriptFsm* NewFsm() {
    EXPECT_EQ(Send(0), PRC_PROCESSED);
    for (unsigned int i = 0; i < 4; ++i) {
      ScriptFsm* fsm = fac->Fsm(i);
      if (fac->GetStateById(fsm->GetId()) == RES_BUSY && fsm->processed == 1)
        return fsm->processed = fsm->pre = fsm->post = 0, fsm;
    }
    ADD_FAILURE() << "no machine was allocated";
    return nullptr;
  }
};

// Regression: hook results naming no machine and machine results naming no queue
// are refused, not followed.
TEST_F(FactoryTest, RoutingHookResults) {
  const std::pair<unsigned int, Eprc_result> cases[] = {
      {0, PRC_NOT_PROCESSED}, {1, PRC_PROCESSED}, {2, PRC_RESERVED_2}, {7, PRC_RESERVED_7},
      {8, PRC_ERROR},         {9, PRC_TRANSFER},  {3, PRC_ERROR},      {10, PRC_ERROR},
      {11, PRC_ERROR},        {12, PRC_ERROR},    {PRC_NEW_FSM, PRC_ERROR},  // no machine given
      {PRC_FSM_FOUND, PRC_ERROR},  {PRC_TARGETS_SET, PRC_TARGETS_SET},         // an empty target list
  };
  for (const auto& c : cases) {
    fac->route = [r = static_cast<Eprc_result>(c.first)](ScriptFactory*, Cmsg*, Cfsm**) { return r; };
    EXPECT_EQ(Send(0), c.second) << c.first;
    EXPECT_TRUE(mgr.AllIdle()) << c.first;
  }
  // A machine whose Create fails goes back to the idle list.
  fac->route = nullptr;
  for (unsigned int i = 0; i < 4; ++i) fac->Fsm(i)->createResult = ERR_FAIL;
  EXPECT_EQ(Send(0), PRC_ERROR);
  EXPECT_EQ(fac->GetIdleNum(), 4u);
  for (unsigned int i = 0; i < 4; ++i) fac->Fsm(i)->createResult = ERR_OK;
  // A machine's result above PRC_HOLD_MSG names no queue: an error, and freed.
  ScriptFsm* fsm = NewFsm();
  fsm->script = [](ScriptFsm*, Cmsg*) { return static_cast<Eprc_result>(12); };
  EXPECT_EQ(Send(fsm->GetId()), PRC_ERROR);
  // Every machine busy: a message that needs a new one is refused and freed.
  for (int i = 0; i < 3; ++i) NewFsm();
  EXPECT_EQ(Send(0), PRC_ERROR);
  EXPECT_TRUE(mgr.AllIdle());
}

// A stale machine id and a type the default hook does not know are freed, counted
// and logged once each; an unclaimed expiry is neither. An inner event comes back.
TEST_F(FactoryTest, UnknownMachineUnknownTypeAndInnerEvents) {
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Send(0x00050001), PRC_NOT_PROCESSED);  // no busy machine there
    EXPECT_EQ(Send(0, 7), PRC_NOT_PROCESSED);        // the default hook handles no such type
  }
  EXPECT_EQ(Send(0, MSG_TIMEOUT), PRC_NOT_PROCESSED);
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_E_NO_FSM), 2u);
  EXPECT_EQ(mgr.GetMsgStat(EMSG_STAT_E_UNKNOWN_MSG), 2u);
  ASSERT_EQ(mgr.warnings.size(), 2);
  EXPECT_TRUE(mgr.warnings[0].contains("has no machine 00050001")) << mgr.warnings[0].toStdString();
  EXPECT_TRUE(mgr.warnings[1].contains("does not know message type 7")) << mgr.warnings[1].toStdString();
  EXPECT_EQ(fac->_sendInnerEvent(7, 8, 9), ERR_OK);  // to its own task's queue
  Cvlk_msg_buf* buf = task->GetPumpMsgBuf();
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(DispatchOne(task, buf), PRC_PROCESSED);
  EXPECT_EQ(fac->inner, (std::array<unsigned int, 3>{7, 8, 9}));
}

// Saved messages are offered again after a change of state, whatever the replays
// answer (transfer, hold, kill: no buffer is left behind). A message that leaves
// the state alone replays nothing, a round that leaves it alone ends the replay,
// and rounds that keep changing it (regression: forever) stop after as many
// rounds as buffers were saved.
TEST_F(FactoryTest, SavedMessagesReplayAfterStateChanges) {
  const struct Case {
    Eprc_result go;                    // CMD_GO's answer
    bool goChanges, replayChanges;     // whether CMD_GO, a replay, changes the state
    std::vector<Eprc_result> replays;  // a message saved for each; the replays' answers in turn
    int replayed, post;                // post -1: not checked
    unsigned int saved, held;          // left afterwards
  } cases[] = {
      {PRC_PROCESSED, true, false, {PRC_PROCESSED, PRC_PROCESSED}, 2, 3, 0, 0},  // no post-processing of a save
      {PRC_PROCESSED, true, false, {PRC_TRANSFER, PRC_HOLD_MSG, PRC_PROCESSED}, 3, -1, 0, 1},
      {PRC_HOLD_MSG, true, false, {PRC_KILL_FSM, PRC_PROCESSED}, 1, -1, 0, 0},  // the second never offered
      {PRC_PROCESSED, false, false, {PRC_SAVE_MSG, PRC_SAVE_MSG, PRC_SAVE_MSG}, 0, -1, 3, 0},
      {PRC_PROCESSED, true, false, {PRC_SAVE_MSG, PRC_SAVE_MSG, PRC_SAVE_MSG}, 3, -1, 3, 0},  // one round
      {PRC_PROCESSED, true, true, {PRC_SAVE_MSG, PRC_SAVE_MSG, PRC_SAVE_MSG}, 9, -1, 3, 0},   // three
  };
  for (const Case& c : cases) {
    ScriptFsm* fsm = NewFsm();
    const unsigned int id = fsm->GetId();
    int replayed = 0;
    size_t next = 0;
    fsm->script = [&](ScriptFsm* f, Cmsg* m) {
      if (m->appWord1 == CMD_GO) return f->SetState(f->GetState() + (c.goChanges ? 1 : 0)), c.go;
      if (f->GetState() == 0) return PRC_SAVE_MSG;
      ++replayed;
      if (c.replayChanges) f->SetState(f->GetState() + 1);
      return c.replays[next++ % c.replays.size()];
    };
    const int n = static_cast<int>(c.replays.size());
    for (int i = 0; i < n; ++i) EXPECT_EQ(Send(id, MSG_APP, CMD_WORK), PRC_SAVE_MSG);
    EXPECT_EQ(Send(id, MSG_APP, CMD_GO), c.go);
    EXPECT_EQ(replayed, c.replayed) << n;
    EXPECT_EQ(fsm->pre, n + 1);  // replays skip PrePrcMsg
    EXPECT_EQ(fsm->processed, n + 1 + c.replayed);
    EXPECT_EQ(c.post < 0 ? c.post : fsm->post, c.post);
    EXPECT_EQ(std::make_tuple(fsm->GetSaveNum(), fsm->GetHoldNum()), std::make_tuple(c.saved, c.held));
    EXPECT_EQ(mgr.GetMsgIdleNum(EMSG_CLASS_TINY) + c.held + c.saved, mgr.GetMsgRealNum(EMSG_CLASS_TINY));
    EXPECT_EQ(fac->GetStateById(id) == RES_IDLE, c.go == PRC_HOLD_MSG);
    fsm->script = nullptr;  // the machine may serve the next case
    fac->killFsm(id);
    EXPECT_TRUE(mgr.AllIdle());
  }
}

// Regressions at the target list: a save from one of several targets is an error
// (no one queue keeps it; freed, the second does not run); 500 targets and no
// more, also one more handed back as found or new (it was written past the list).
TEST_F(FactoryTest, TargetListLimits) {
  ScriptFsm* a = NewFsm();
  ScriptFsm* b = NewFsm();
  a->script = [](ScriptFsm*, Cmsg*) { return PRC_SAVE_MSG; };
  fac->route = [&](ScriptFactory* f, Cmsg*, Cfsm**) { return f->regFsm(a), f->regFsm(b), PRC_TARGETS_SET; };
  EXPECT_EQ(Send(0), PRC_ERROR);
  EXPECT_EQ(std::make_tuple(a->processed, b->processed, a->GetSaveNum()), std::make_tuple(1, 0, 0u));
  a->script = nullptr;  // both run when neither keeps the message
  EXPECT_EQ(Send(0), PRC_PROCESSED);
  EXPECT_EQ(b->processed, 1);

  const std::pair<Eprc_result, Eprc_result> cases[] = {
      {PRC_TARGETS_SET, PRC_PROCESSED}, {PRC_FSM_FOUND, PRC_ERROR}, {PRC_NEW_FSM, PRC_ERROR}};
  for (const auto& c : cases) {
    a->processed = 0;
    mgr.lines.clear();
    fac->route = [&](ScriptFactory* f, Cmsg*, Cfsm** fsm) {
      for (unsigned int i = 0; i < Cfactory::kMaxRegFsm; ++i) EXPECT_EQ(f->regFsm(a), ERR_OK);
      if (c.first == PRC_TARGETS_SET) {
        EXPECT_EQ(f->regFsm(a), ERR_INVALID_OPR);
      }
      *fsm = c.first == PRC_NEW_FSM ? static_cast<Cfsm*>(f->AllocNode()) : a;
      return c.first;
    };
    EXPECT_EQ(Send(0), c.second) << c.first;
    EXPECT_EQ(a->processed, c.first == PRC_TARGETS_SET ? 500 : 0) << c.first;
    EXPECT_EQ(fac->GetRegFsmNum(), 500u) << c.first;
    EXPECT_EQ(mgr.lines.count(QString("VLK: cannot register so many FSM!")), 1) << c.first;
  }
  EXPECT_EQ(fac->GetIdleNum(), 2u);  // the new machine that found no room went back
}

// Regression: without a manager above them, buffers sent or freed were dropped.
TEST_F(FactoryTest, WithoutATaskBuffersStillGoHome) {
  ScriptFactory orphan(nullptr, 41, 1);
  ScriptFsm* fsm = orphan.Fsm(0);
  EXPECT_EQ(orphan._sendMsg(Msg(0)), ERR_INVALID_OBJ);
  EXPECT_EQ(fsm->_sendMsg(Msg(0)), ERR_INVALID_OBJ);
  Cvlk_msg_buf* held = Msg(0);
  ASSERT_EQ(fsm->PutHoldMsg(held), ERR_OK);
  Cmsg other;
  EXPECT_EQ(fsm->FreeHoldMsg(&other), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(fsm->FreeHoldMsg(held->GetMsgPointer()), ERR_OK);
  {
    TestTask lone(nullptr, kTask + 1, "lone");
    EXPECT_EQ(lone.SendMsg(Msg(0)), ERR_NOT_INITIAL);  // for another task: nobody routes it
    Cvlk_msg_buf* own = Msg(0);
    own->GetMsgPointer()->dstTaskId = kTask + 1;
    EXPECT_EQ(lone.SendMsg(own), ERR_OK);  // its own queue; freed when the task goes
  }
  EXPECT_TRUE(mgr.AllIdle());
}

// While the switch is on a machine takes the trace flag from a message, keeps it,
// puts it on what it sends, and loses it on Create or the switch going off; the
// factory follows each message. Lines appear only with the flag and the switch.
TEST_F(FactoryTest, TraceFlagsFollowMessagesAndTheSwitch) {
  ScriptFsm* fsm = NewFsm();
  unsigned int sent = 0;  // the flag word of what the machine sent last
  fsm->script = [&](ScriptFsm* f, Cmsg* m) {
    f->_trace("fsm %u", m->appWord1);
    static_cast<ScriptFactory*>(f->GetFactory())->_trace("fac %u", m->appWord1);
    Cvlk_msg_buf* out = mgr.GetMsgBuf(sizeof(Cmsg));
    FillMsg(out, kTask, kFac + 1, 0);
    out->GetMsgPointer()->msgFlags = 0xF0u | (f->GetFlags() ^ 1u);  // not this machine's flag
    f->_sendMsg(out);
    Cvlk_msg_buf* back = task->GetPumpMsgBuf();
    sent = back->GetMsgPointer()->msgFlags;
    task->FreeMsgBuf(back);
    return PRC_PROCESSED;
  };
  const QString fsmLine = QString::asprintf("ScriptFsm[%08X] fsm ", fsm->GetId());
  const QString facLine = QString::asprintf("MachineFactory[%08X] fac ", kFac);
  const struct { bool on; unsigned int flag, fsmFlag; QStringList lines; } steps[] = {
      {true, 0, 0, {}},
      {true, 1, 1, {fsmLine + "1", facLine + "1"}},
      {true, 0, 1, {fsmLine + "2"}},  // kept; the factory follows the message
      {false, 1, 0, {}},              // switch off: the flag goes
      {true, 1, 1, {fsmLine + "4", facLine + "4"}},
  };
  for (unsigned int i = 0; i < std::size(steps); ++i) {
    steps[i].on ? mgr.TraceOn() : mgr.TraceOff();
    mgr.lines.clear();
    Cvlk_msg_buf* buf = Msg(fsm->GetId(), MSG_APP, i);
    buf->GetMsgPointer()->msgFlags = steps[i].flag;
    EXPECT_EQ(DispatchOne(task, buf), PRC_PROCESSED) << i;
    EXPECT_EQ(fsm->GetFlags(), steps[i].fsmFlag) << i;
    EXPECT_EQ(sent, 0xF0u | steps[i].fsmFlag) << i;  // the other bits are left alone
    EXPECT_EQ(mgr.lines, steps[i].lines) << i;
  }
  EXPECT_EQ(fsm->Create(), ERR_OK);
  EXPECT_EQ(fsm->GetFlags(), 0u);
  mgr.TraceOff();
}

TEST_F(FactoryTest, NightlyCheckKillsMachinesBusyEightHours) {
  ScriptFsm* old = NewFsm();
  ScriptFsm* young = NewFsm();
  ScriptFsm* active = NewFsm();
  old->script = [](ScriptFsm*, Cmsg*) { return PRC_HOLD_MSG; };
  Send(old->GetId());  // held: the kill frees it
  old->SetAllocTime(VlkNodeNow() - 8 * 3600);
  young->SetAllocTime(VlkNodeNow() - 8 * 3600 + 60);  // 7h59m
  active->SetAllocTime(VlkNodeNow() - 9 * 3600);
  Send(active->GetId());  // a message marks the machine active: it counts from now
  mgr.lines.clear();
  EXPECT_EQ(fac->midnightChecking(), ERR_OK);
  EXPECT_EQ(std::make_tuple(fac->GetStateById(old->GetId()), fac->GetStateById(young->GetId()),
                            fac->GetStateById(active->GetId()), old->destroys),
            std::make_tuple(RES_IDLE, RES_BUSY, RES_BUSY, 1));
  EXPECT_EQ(mgr.lines.size(), 1);  // the killed machine's Print
  EXPECT_TRUE(mgr.AllIdle());
}

// ---- The event-table machine ----

// Events: the bytes of appWord1 (low first, 0 ends); appWord2 more EV_A from _parseMsg.
enum : unsigned short { EV_A = 1, EV_B, EV_KILL, EV_SAVE, EV_STOP, EV_HOLE, EV_SPAWN, EV_BAD };

class TableFsm : public Cev_fsm {
 public:
  explicit TableFsm(Cfactory* factory) : Cev_fsm(factory, 0) {}
  const char* GetName() override { return "TableFsm"; }

  std::vector<unsigned int> trail;  // (state << 8 | event) of every handler X run
  EerrNo lastGen = ERR_OK;
  int genOk = 0;
  unsigned int cur = 0;  // the table's own current state

 protected:
  unsigned int _getCurrState(unsigned char, unsigned char) override { return cur; }
  void _setCurrState(unsigned char, unsigned char, unsigned int state) override { cur = state; }
  void _parseMsg(Cmsg* msg) override {
    for (unsigned int w = msg->appWord1; (w & 0xFF) != 0; w >>= 8) _genEvent(w & 0xFF, 0, 0);
    for (unsigned int i = 0; i < msg->appWord2; ++i) genOk += (lastGen = _genEvent(EV_A, 0, 0)) == ERR_OK;
  }
  const Cevt_entry* _getEvtEntry(unsigned int, unsigned short event, unsigned char) override {
    return event >= EV_A && event <= EV_BAD ? &kRows[event - 1] : nullptr;
  }

  EevtPrc X(Cmsg*, unsigned short event, unsigned char) { return trail.push_back(cur << 8 | event), EVT_CONTINUE; }
  EevtPrc Done(Cmsg*, unsigned short, unsigned char) { return EVT_PROCESSED; }
  EevtPrc Stop(Cmsg*, unsigned short, unsigned char) { return EVT_STOP; }
  EevtPrc Spawn(Cmsg*, unsigned short, unsigned char) { return _genEvent(EV_A, 0, 0), EVT_NOT_PROCESSED; }

  static const Cevt_entry kRows[];
};

using T = TableFsm;
const Cevt_entry TableFsm::kRows[] = {
    /* EV_A     */ VlkEvtRow(1, &T::X),
    /* EV_B     */ VlkEvtRow(5, &T::X, &T::Done),
    /* EV_KILL  */ VlkEvtRow(9, &T::_procKillFsm, &T::X),
    /* EV_SAVE  */ VlkEvtRow(2, &T::_procNull, &T::_procSaveMsg),
    /* EV_STOP  */ VlkEvtRow(9, &T::Stop),
    /* EV_HOLE  */ {2, 0, {VLK_EVT_HANDLER(T, X)}, 9},  // second handler missing
    /* EV_SPAWN */ VlkEvtRow(3, &T::Spawn),
    /* EV_BAD   */ {11, 0, {VLK_EVT_HANDLER(T, X)}, 9},
};

// Packs up to four events into appWord1, first event in the low byte.
unsigned int Events(std::initializer_list<unsigned int> evs) {
  unsigned int w = 0, shift = 0;
  for (unsigned int e : evs) w |= e << shift, shift += 8;
  return w;
}

class EventFsmTest : public OneFactoryTest<MachineFactory<TableFsm>> {
 protected:
  EventFsmTest() {
    EXPECT_EQ(Send(0), PRC_NOT_PROCESSED);  // allocates the machine (no events)
    fsm = fac->Fsm(0);
    EXPECT_EQ(fac->GetStateById(fsm->GetId()), RES_BUSY);
  }
  TableFsm* fsm;
};

// Each step: events sent, the result, the table's state, handler X's trail so far.
TEST_F(EventFsmTest, RowsHandlersAndStateChanges) {
  const struct { unsigned int events; Eprc_result r; unsigned int cur; std::vector<unsigned int> trail; } steps[] = {
      {0, PRC_NOT_PROCESSED, 0, {}},
      {Events({60}), PRC_NOT_PROCESSED, 0, {}},      // no row
      {Events({EV_BAD}), PRC_NOT_PROCESSED, 0, {}},  // 11 handlers: a missing row
      {Events({EV_A}), PRC_PROCESSED, 1, {0x001}},
      // EVT_PROCESSED ends the row without a state change; the next event still runs.
      {Events({EV_B, EV_A}), PRC_PROCESSED, 1, {0x001, 0x102, 0x101}},
      // A handler may queue events: 1 -> 3, then EV_A in state 3 -> 1.
      {Events({EV_SPAWN}), PRC_PROCESSED, 1, {0x001, 0x102, 0x101, 0x301}},
      {Events({EV_STOP, EV_A}), PRC_PROCESSED, 1, {0x001, 0x102, 0x101, 0x301}},  // EV_A not run
      {Events({EV_HOLE}), PRC_NOT_PROCESSED, 1, {0x001, 0x102, 0x101, 0x301, 0x106}},  // a missing handler
      {Events({EV_SAVE}), PRC_SAVE_MSG, 2, {0x001, 0x102, 0x101, 0x301, 0x106}},  // moves on, keeps it
  };
  for (const auto& s : steps) {
    EXPECT_EQ(Send(fsm->GetId(), MSG_APP, s.events), s.r) << std::hex << s.events;
    EXPECT_EQ(fsm->cur, s.cur) << std::hex << s.events;
    EXPECT_EQ(fsm->trail, s.trail) << std::hex << s.events;
  }
  EXPECT_EQ(fsm->GetState(), 4u);  // counts the changes: 0 -> 1, 1 -> 3, 3 -> 1, 1 -> 2
  EXPECT_EQ(fsm->GetLastEvent(), EV_SAVE);
  EXPECT_EQ(fsm->GetSaveNum(), 1u);
  // X after _procKillFsm never runs, nor EV_A; the saved message goes with the machine.
  EXPECT_EQ(Send(fsm->GetId(), MSG_APP, Events({EV_KILL, EV_A})), PRC_KILL_FSM);
  EXPECT_EQ(fsm->trail.size(), 5u);
  EXPECT_EQ(fac->GetStateById(fsm->GetId()), RES_IDLE);
}

TEST_F(EventFsmTest, TwoHundredFiftyEventsAndNoMore) {
  for (unsigned int n : {250u, 251u}) {
    fsm->genOk = 0;
    EXPECT_EQ(Send(fsm->GetId(), MSG_APP, 0, n), PRC_PROCESSED);
    EXPECT_EQ(fsm->genOk, 250);
    EXPECT_EQ(fsm->lastGen, n == 250 ? ERR_OK : ERR_INVALID_OPR);
  }
  EXPECT_EQ(fsm->trail.size(), 500u);
  EXPECT_EQ(fac->GetEvtNum(), 250u);
}

}  // namespace

TASKTEST_QT_MAIN()
