// Factory dispatch on one thread: the task is never started and the test delivers
// its queue itself, so every step of a message's road is deterministic.
#include <vector>

#include "test_task_fsm_fixture.h"

namespace {

constexpr unsigned int kTask = 4;
constexpr unsigned int kFac = 40;

enum : unsigned int { CMD_WORK = 1, CMD_GO = 2 };

class FactoryTest : public ::testing::Test {
 protected:
  FactoryTest() : task(new TestTask(&mgr, kTask)), fac(new ScriptFactory(task, kFac, 4)) {
    task->regFactory(fac);
  }
  ~FactoryTest() override {
    DrainQueue(task);
    for (unsigned int i = 0; i < fac->GetRealNum(); ++i) fac->killFsm(fac->Fsm(i)->GetId());
    EXPECT_EQ(fac->GetIdleNum(), fac->GetRealNum());
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
  // A busy machine, made by a first message.
  ScriptFsm* NewFsm() {
    EXPECT_EQ(Send(0), PRC_PROCESSED);  // the machine's own result
    for (unsigned int i = 0; i < fac->GetRealNum(); ++i) {
      ScriptFsm* fsm = fac->Fsm(i);
      if (fac->GetStateById(fsm->GetId()) == RES_BUSY && fsm->processed == 1 && fsm->pre == 1) {
        fsm->processed = fsm->pre = fsm->post = 0;
        return fsm;
      }
    }
    ADD_FAILURE() << "no machine was allocated";
    return nullptr;
  }

  TestMgr mgr;
  TestTask* task;
  ScriptFactory* fac;
};

// Saves CMD_WORK messages while in state 0; CMD_GO moves it to state 1, where
// CMD_WORK is handled and counted.
Eprc_result Saver(ScriptFsm* fsm, Cmsg* msg) {
  if (msg->appWord1 == CMD_GO) {
    fsm->SetState(1);
    return PRC_PROCESSED;
  }
  return fsm->GetState() == 0 ? PRC_SAVE_MSG : PRC_PROCESSED;
}

TEST_F(FactoryTest, RoutingHookResults) {
  // The default hook handles no application message (type 7 bypasses the script).
  EXPECT_EQ(Send(0, 7), PRC_NOT_PROCESSED);

  for (unsigned int r : {0u, 1u, 2u, 7u, 8u, 9u}) {
    fac->route = [r](ScriptFactory*, Cmsg*, Cfsm**) { return static_cast<Eprc_result>(r); };
    EXPECT_EQ(Send(0), static_cast<Eprc_result>(r));
  }
  for (unsigned int r : {3u, 10u, 11u, 12u}) {
    fac->route = [r](ScriptFactory*, Cmsg*, Cfsm**) { return static_cast<Eprc_result>(r); };
    EXPECT_EQ(Send(0), PRC_ERROR) << r;
  }
  // PRC_NEW_FSM or PRC_FSM_FOUND without a machine is refused, not followed.
  fac->route = [](ScriptFactory*, Cmsg*, Cfsm**) { return PRC_NEW_FSM; };
  EXPECT_EQ(Send(0), PRC_ERROR);
  fac->route = [](ScriptFactory*, Cmsg*, Cfsm**) { return PRC_FSM_FOUND; };
  EXPECT_EQ(Send(0), PRC_ERROR);
  // An empty target list: nothing runs, the buffer is freed.
  fac->route = [](ScriptFactory*, Cmsg*, Cfsm**) { return PRC_TARGETS_SET; };
  EXPECT_EQ(Send(0), PRC_TARGETS_SET);
  EXPECT_EQ(fac->GetIdleNum(), 4u);
  // A machine whose Create fails goes back to the idle list.
  fac->route = nullptr;
  for (unsigned int i = 0; i < 4; ++i) fac->Fsm(i)->createResult = ERR_FAIL;
  EXPECT_EQ(Send(0), PRC_ERROR);
  EXPECT_EQ(fac->GetIdleNum(), 4u);
  // A machine's result above PRC_HOLD_MSG names no queue: an error, and freed.
  for (unsigned int i = 0; i < 4; ++i) fac->Fsm(i)->createResult = ERR_OK;
  ScriptFsm* fsm = NewFsm();
  fsm->script = [](ScriptFsm*, Cmsg*) { return static_cast<Eprc_result>(12); };
  EXPECT_EQ(Send(fsm->GetId()), PRC_ERROR);
  EXPECT_TRUE(mgr.AllIdle());
}

TEST_F(FactoryTest, UnknownMachineAndInnerEvents) {
  EXPECT_EQ(Send(0x00050001), PRC_NOT_PROCESSED);  // no busy machine there
  EXPECT_EQ(fac->_sendInnerEvent(7, 8, 9), ERR_OK);
  Cvlk_msg_buf* buf = task->GetPumpMsgBuf();
  ASSERT_NE(buf, nullptr);
  const auto* inner = reinterpret_cast<Csys_fac_inner_msg*>(buf->GetMsgPointer());
  EXPECT_EQ(inner->msgType, static_cast<unsigned int>(MSG_FAC_INNER));
  EXPECT_EQ(inner->srcTaskId, kTask);
  EXPECT_EQ(inner->dstFactoryId, kFac);
  EXPECT_EQ(inner->dstFsmId, 0u);
  EXPECT_EQ(DispatchOne(task, buf), PRC_PROCESSED);
  EXPECT_EQ(fac->innerCalls, 1);
  EXPECT_EQ(fac->inner[0], 7u);
  EXPECT_EQ(fac->inner[1], 8u);
  EXPECT_EQ(fac->inner[2], 9u);
  // A timer expiry for the factory itself is not processed by default.
  EXPECT_EQ(Send(0, MSG_TIMEOUT), PRC_NOT_PROCESSED);
}

TEST_F(FactoryTest, SavedMessagesComeBackAfterTheStateChanges) {
  ScriptFsm* fsm = NewFsm();
  fsm->script = Saver;
  unsigned int id = fsm->GetId();
  EXPECT_EQ(Send(id, MSG_APP, CMD_WORK), PRC_SAVE_MSG);
  EXPECT_EQ(Send(id, MSG_APP, CMD_WORK), PRC_SAVE_MSG);
  EXPECT_EQ(fsm->GetSaveNum(), 2u);
  EXPECT_EQ(fsm->post, 0);  // not after PRC_SAVE_MSG
  EXPECT_EQ(Send(id, MSG_APP, CMD_GO), PRC_PROCESSED);
  EXPECT_EQ(fsm->GetSaveNum(), 0u);
  EXPECT_EQ(fsm->pre, 3);        // replays skip PrePrcMsg
  EXPECT_EQ(fsm->processed, 5);  // two saved, one go, two replayed
  EXPECT_EQ(fsm->post, 3);
  EXPECT_TRUE(mgr.AllIdle());
}

TEST_F(FactoryTest, ReplayChainIsBoundedBySavedBuffers) {
  ScriptFsm* fsm = NewFsm();
  unsigned int id = fsm->GetId();
  // Saves everything; CMD_GO changes the state, and so does every replayed message,
  // which saves itself again.
  int replays = 0;
  bool replaying = false;
  fsm->script = [&](ScriptFsm* f, Cmsg* m) {
    if (m->appWord1 == CMD_GO) {
      f->SetState(f->GetState() + 1);
      replaying = true;
      return PRC_PROCESSED;
    }
    if (replaying) {
      ++replays;
      f->SetState(f->GetState() + 1);
    }
    return PRC_SAVE_MSG;
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Send(id, MSG_APP, CMD_WORK), PRC_SAVE_MSG);
  EXPECT_EQ(Send(id, MSG_APP, CMD_GO), PRC_PROCESSED);
  EXPECT_EQ(replays, 3 * 3);  // three rounds (one per saved buffer) of three messages
  EXPECT_EQ(fsm->GetSaveNum(), 3u);
  fac->killFsm(id);
  EXPECT_EQ(fsm->destroys, 1);
  EXPECT_TRUE(mgr.AllIdle());
}

TEST_F(FactoryTest, ReplayResults) {
  ScriptFsm* fsm = NewFsm();
  unsigned int id = fsm->GetId();
  // In state 0 everything is saved; in state 1 the replayed messages ask, in turn,
  // for transfer, hold and an ordinary result.
  std::vector<Eprc_result> answers = {PRC_TRANSFER, PRC_HOLD_MSG, PRC_PROCESSED};
  size_t next = 0;
  fsm->script = [&](ScriptFsm* f, Cmsg* m) {
    if (m->appWord1 == CMD_GO) {
      f->SetState(1);
      return PRC_PROCESSED;
    }
    if (f->GetState() == 0) return PRC_SAVE_MSG;
    return answers[next++];
  };
  for (int i = 0; i < 3; ++i) Send(id, MSG_APP, CMD_WORK);
  EXPECT_EQ(Send(id, MSG_APP, CMD_GO), PRC_PROCESSED);
  EXPECT_EQ(next, 3u);
  EXPECT_EQ(fsm->GetSaveNum(), 0u);
  EXPECT_EQ(fsm->GetHoldNum(), 1u);
  // The transferred buffer went back to the pool: only the held one is out.
  EXPECT_EQ(mgr.GetMsgIdleNum(EMSG_CLASS_TINY) + 1, mgr.GetMsgRealNum(EMSG_CLASS_TINY));

  Cvlk_msg_buf* held = fsm->GetHoldMsg();
  Cmsg* heldMsg = held->GetMsgPointer();
  fsm->PutHoldMsg(held);
  Cmsg other;
  EXPECT_EQ(fsm->FreeHoldMsg(&other), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(fsm->FreeHoldMsg(heldMsg), ERR_OK);
  EXPECT_EQ(fsm->GetHoldNum(), 0u);
  EXPECT_TRUE(mgr.AllIdle());
}

TEST_F(FactoryTest, KillDuringReplayFreesEverything) {
  ScriptFsm* fsm = NewFsm();
  unsigned int id = fsm->GetId();
  fsm->script = [](ScriptFsm* f, Cmsg* m) {
    if (m->appWord1 == CMD_GO) {
      f->SetState(1);
      return PRC_HOLD_MSG;  // held, and the state change starts the replay
    }
    return f->GetState() == 0 ? PRC_SAVE_MSG : PRC_KILL_FSM;
  };
  Send(id, MSG_APP, CMD_WORK);
  Send(id, MSG_APP, CMD_WORK);
  EXPECT_EQ(Send(id, MSG_APP, CMD_GO), PRC_HOLD_MSG);
  EXPECT_EQ(fac->GetStateById(id), RES_IDLE);
  EXPECT_EQ(fsm->destroys, 1);
  EXPECT_EQ(fsm->processed, 4);  // the second saved message was not offered
  EXPECT_EQ(fsm->GetErr(), ERR_OK);
  EXPECT_TRUE(mgr.AllIdle());
}

TEST_F(FactoryTest, SaveFromOneOfTwoTargetsIsAnError) {
  ScriptFsm* a = NewFsm();
  ScriptFsm* b = NewFsm();
  a->script = [](ScriptFsm*, Cmsg*) { return PRC_SAVE_MSG; };
  fac->route = [&](ScriptFactory* f, Cmsg*, Cfsm**) {
    f->regFsm(a);
    f->regFsm(b);
    return PRC_TARGETS_SET;
  };
  EXPECT_EQ(Send(0), PRC_ERROR);
  EXPECT_EQ(a->processed, 1);
  EXPECT_EQ(b->processed, 0);
  EXPECT_EQ(a->GetSaveNum(), 0u);
  // Both run when neither keeps the message.
  a->script = nullptr;
  EXPECT_EQ(Send(0), PRC_PROCESSED);
  EXPECT_EQ(b->processed, 1);
  EXPECT_EQ(fac->GetRegFsmNum(), 2u);
}

TEST_F(FactoryTest, FiveHundredTargetsAndNoMore) {
  ScriptFsm* a = NewFsm();
  fac->route = [&](ScriptFactory* f, Cmsg*, Cfsm**) {
    for (unsigned int i = 0; i < Cfactory::kMaxRegFsm; ++i) EXPECT_EQ(f->regFsm(a), ERR_OK);
    EXPECT_EQ(f->regFsm(a), ERR_INVALID_OPR);
    return PRC_TARGETS_SET;
  };
  EXPECT_EQ(Send(0), PRC_PROCESSED);
  EXPECT_EQ(a->processed, 500);
  EXPECT_EQ(mgr.lines.count(QString("VLK: cannot register so many FSM!")), 1);
}

TEST_F(FactoryTest, RelationProbeToAGoneMachineKillsTheProber) {
  ScriptFsm* prober = NewFsm();
  ScriptFsm* gone = NewFsm();
  unsigned int goneId = gone->GetId();
  fac->killFsm(goneId);
  EXPECT_EQ(gone->destroys, 1);

  Cvlk_msg_buf* probe = Msg(goneId, MSG_CHECK_RELATION);
  Cmsg* p = probe->GetMsgPointer();
  p->srcTaskId = kTask;
  p->srcFactoryId = kFac;
  p->srcFsmId = prober->GetId();
  p->srcExtra = 0xE1;
  p->dstExtra = 0xE2;
  EXPECT_EQ(DispatchOne(task, probe), PRC_PROCESSED);

  Cvlk_msg_buf* off = task->GetPumpMsgBuf();
  ASSERT_NE(off, nullptr);
  const Cmsg* o = off->GetMsgPointer();
  EXPECT_EQ(o->msgType, static_cast<unsigned int>(MSG_RELATION_OFF));
  EXPECT_EQ(o->srcTaskId, kTask);
  EXPECT_EQ(o->srcFactoryId, kFac);
  EXPECT_EQ(o->srcFsmId, goneId);
  EXPECT_EQ(o->srcExtra, 0xE2u);
  EXPECT_EQ(o->dstFsmId, prober->GetId());
  EXPECT_EQ(o->dstExtra, 0xE1u);
  int processed = prober->processed;
  EXPECT_EQ(DispatchOne(task, off), PRC_KILL_FSM);
  EXPECT_EQ(prober->processed, processed);  // killed before ProcessMsg
  EXPECT_EQ(prober->destroys, 1);
  EXPECT_EQ(fac->GetStateById(prober->GetId()), RES_IDLE);
}

TEST_F(FactoryTest, NightlyCheckKillsMachinesBusyEightHours) {
  ScriptFsm* old = NewFsm();
  ScriptFsm* young = NewFsm();
  old->script = [](ScriptFsm*, Cmsg*) { return PRC_HOLD_MSG; };
  Send(old->GetId());  // held: the kill frees it
  old->SetAllocTime(VlkNodeNow() - 8 * 3600);
  young->SetAllocTime(VlkNodeNow() - 8 * 3600 + 60);
  mgr.lines.clear();
  EXPECT_EQ(fac->midnightChecking(), ERR_OK);
  EXPECT_EQ(fac->GetStateById(old->GetId()), RES_IDLE);
  EXPECT_EQ(old->destroys, 1);
  EXPECT_EQ(fac->GetStateById(young->GetId()), RES_BUSY);
  ASSERT_EQ(mgr.lines.size(), 1);  // the killed machine's Print
  EXPECT_TRUE(mgr.lines[0].startsWith("ScriptFsm[")) << mgr.lines[0].toStdString();
  EXPECT_TRUE(mgr.lines[0].endsWith("] _state=0"));
  EXPECT_TRUE(mgr.AllIdle());
}

}  // namespace

VLK_TEST_MAIN_WITH_QT
