// The event-table machine: events from a message, table rows, handler chains and
// state changes, driven through a factory on one thread.
#include <vector>

#include "test_task_fsm_fixture.h"

namespace {

// Events are the bytes of appWord1 (low byte first, up to four, 0 ends); appWord2
// asks for that many extra events queued from _parseMsg (for the 250 limit).
enum : unsigned short { EV_A = 1, EV_B, EV_KILL, EV_SAVE, EV_STOP, EV_HOLE, EV_SPAWN, EV_BAD, EV_VIEW };

// A record larger than a tiny buffer (64 + 4 bytes) and one that fits it exactly.
struct WideMsg : Cmsg { unsigned char body[69 - sizeof(Cmsg)]; };
struct FullMsg : Cmsg { unsigned char body[68 - sizeof(Cmsg)]; };

class TableFsm : public Cev_fsm {
 public:
  explicit TableFsm(Cfactory* factory) : Cev_fsm(factory, 0) {}
  const char* GetName() override { return "TableFsm"; }

  std::vector<unsigned int> trail;  // (state << 8 | event) of every handler X run
  EerrNo lastGen = ERR_OK;
  int genOk = 0;
  unsigned int cur = 0;  // the table's own current state
  int views = 0;         // what MsgAs gave in View: bit 0 Cmsg, 1 FullMsg, 2 WideMsg, 3 a foreign header

 protected:
  unsigned int _getCurrState(unsigned char, unsigned char) override { return cur; }
  void _setCurrState(unsigned char, unsigned char, unsigned int state) override { cur = state; }
  void _parseMsg(Cmsg* msg) override {
    for (unsigned int w = msg->appWord1; (w & 0xFF) != 0; w >>= 8) _genEvent(w & 0xFF, 0, 0);
    for (unsigned int i = 0; i < msg->appWord2; ++i) genOk += (lastGen = _genEvent(EV_A, 0, 0)) == ERR_OK;
  }
  const Cevt_entry* _getEvtEntry(unsigned int, unsigned short event, unsigned char) override {
    return event >= EV_A && event <= EV_VIEW ? &kRows[event - 1] : nullptr;
  }

  EevtPrc X(Cmsg*, unsigned short event, unsigned char) { return trail.push_back(cur << 8 | event), EVT_CONTINUE; }
  EevtPrc View(Cmsg* msg, unsigned short, unsigned char) {
    Cmsg foreign = *msg;
    views = (MsgAs<Cmsg>(msg) != nullptr) | (MsgAs<FullMsg>(msg) != nullptr) << 1 |
            (MsgAs<WideMsg>(msg) != nullptr) << 2 | (MsgAs<Cmsg>(&foreign) != nullptr) << 3;
    return EVT_STAY;
  }
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
    /* EV_VIEW  */ VlkEvtRow(9, &T::View),
};

using TableFactory = MachineFactory<TableFsm>;

// Packs up to four events into appWord1, first event in the low byte.
unsigned int Events(std::initializer_list<unsigned int> evs) {
  unsigned int w = 0, shift = 0;
  for (unsigned int e : evs) w |= e << shift, shift += 8;
  return w;
}

class EventFsmTest : public OneFactoryTest<TableFactory> {
 protected:
  EventFsmTest() {
    EXPECT_EQ(Send(0), PRC_NOT_PROCESSED);  // allocates the machine (no events)
    fsm = fac->Fsm(0);
    EXPECT_EQ(fac->GetStateById(fsm->GetId()), RES_BUSY);
  }
  // Sends `events` to the machine; checks the result, the table state afterwards and
  // the trail of handler X so far.
  void Step(unsigned int events, Eprc_result r, unsigned int cur, std::vector<unsigned int> trail = {}) {
    EXPECT_EQ(Send(fsm->GetId(), MSG_APP, events), r) << std::hex << events;
    EXPECT_EQ(fsm->cur, cur) << std::hex << events;
    EXPECT_EQ(fsm->trail, trail) << std::hex << events;
  }

  TableFsm* fsm;
};

TEST_F(EventFsmTest, NoEventUnknownEventAndMissingRowAreNotProcessed) {
  Step(0, PRC_NOT_PROCESSED, 0);
  Step(Events({60}), PRC_NOT_PROCESSED, 0);  // no row
  Step(Events({EV_BAD}), PRC_NOT_PROCESSED, 0);  // 11 handlers: a missing row
  EXPECT_EQ(fsm->GetState(), 0u);
}

TEST_F(EventFsmTest, RowsMoveTheStateOnlyWhenEveryHandlerPasses) {
  Step(Events({EV_A}), PRC_PROCESSED, 1, {0x001});
  EXPECT_EQ(fsm->GetState(), 1u);
  // EVT_PROCESSED ends the row without a state change; the next event still runs.
  Step(Events({EV_B, EV_A}), PRC_PROCESSED, 1, {0x001, 0x102, 0x101});
  // A handler may queue events: 1 -> 3, then EV_A in state 3 -> 1.
  Step(Events({EV_SPAWN}), PRC_PROCESSED, 1, {0x001, 0x102, 0x101, 0x301});
  EXPECT_EQ(fsm->GetState(), 3u);  // counts the changes: 0 -> 1, 1 -> 3, 3 -> 1
  EXPECT_EQ(fsm->GetCurrState(), 1u);  // the table's state
  EXPECT_EQ(fsm->GetLastEvent(), EV_A);
}

TEST_F(EventFsmTest, SaveStopHoleAndKillRows) {
  Step(Events({EV_STOP, EV_A}), PRC_PROCESSED, 0);     // EVT_STOP: the pending result, EV_A not run
  Step(Events({EV_HOLE}), PRC_NOT_PROCESSED, 0, {6});  // a missing handler ends it all
  Step(Events({EV_SAVE}), PRC_SAVE_MSG, 2, {6});       // moves on and keeps the message
  EXPECT_EQ(fsm->GetSaveNum(), 1u);
  Step(Events({EV_KILL, EV_A}), PRC_KILL_FSM, 2, {6});  // X after _procKillFsm never ran, nor EV_A
  EXPECT_EQ(fac->GetStateById(fsm->GetId()), RES_IDLE);
}

TEST_F(EventFsmTest, MsgAsViewsOnlyTheMessageBeingProcessedAndOnlyWhenItFits) {
  const struct { unsigned int size; int views; } cases[] = {
      {sizeof(Cmsg), 0x3},     // a tiny buffer (68 bytes): the header and FullMsg fit, WideMsg does not
      {sizeof(WideMsg), 0x7},  // a small one: all three
  };
  for (const auto& c : cases) {
    Cvlk_msg_buf* buf = mgr.GetMsgBuf(c.size);
    FillMsg(buf, kTask, kFac, fsm->GetId(), MSG_APP, Events({EV_VIEW}));
    Cmsg* header = buf->GetMsgPointer();
    EXPECT_EQ(DispatchOne(task, buf), PRC_PROCESSED);
    EXPECT_EQ(fsm->views, c.views) << c.size;
    EXPECT_EQ(fsm->MsgAs<Cmsg>(header), nullptr);  // processed and freed: no view any more
  }
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
