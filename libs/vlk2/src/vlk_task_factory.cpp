// Factory dispatch: choosing the target machines of a message, acting on their
// results, saving, holding and replaying messages, killing machines.
#include "vlk_task.h"

namespace {

// Results a machine or a routing hook may hand back to the task. Anything larger
// would make the task believe a queue owns the buffer, which none does.
Eprc_result clampResult(Eprc_result r) { return r > PRC_HOLD_MSG ? PRC_ERROR : r; }

// Names the buffer being processed while in scope; a replay inside a dispatch
// names its own buffer and gives the outer one back when it ends.
class CurrBufScope {
 public:
  CurrBufScope(Cvlk_msg_buf*& slot, Cvlk_msg_buf* buf) : m_slot(slot), m_prev(slot) { m_slot = buf; }
  ~CurrBufScope() { m_slot = m_prev; }
  CurrBufScope(const CurrBufScope&) = delete;
  CurrBufScope& operator=(const CurrBufScope&) = delete;

 private:
  Cvlk_msg_buf*& m_slot;
  Cvlk_msg_buf* m_prev;
};

}  // namespace

Cfactory::Cfactory(Cvlk_task* task, unsigned int id, unsigned int maxFsm) : Cvlk_resource(id, maxFsm, task) {
  VlkMemReset(m_fsmList, sizeof(m_fsmList));
  VlkMemReset(m_evtQueue, sizeof(m_evtQueue));
}

Cfactory::~Cfactory() = default;

Cvlk_task* Cfactory::GetFacMgr() const { return static_cast<Cvlk_task*>(parent()); }

Cvlk_task_mgr* Cfactory::_taskMgr() const {
  Cvlk_task* task = GetFacMgr();
  return task != nullptr ? task->GetTaskMgr() : nullptr;
}

Eprc_result Cfactory::ProcessMsg(Cvlk_msg_buf* buf) {
  Cmsg* msg = buf->GetMsgPointer();
  CurrBufScope current(m_currBuf, buf);
  m_flags = (m_flags & ~kFlagTrace) | (msg->msgFlags & kFlagTrace);
  m_fsmCnt = 0;
  Eprc_result result = PRC_NOT_PROCESSED;

  if (msg->dstFsmId != 0) {
    if (GetStateById(msg->dstFsmId) != RES_BUSY) {
      const Eprc_result r = clampResult(_routeMsgErr(msg));
      if (r == PRC_NOT_PROCESSED) noteMisaddressed(EMSG_STAT_E_NO_FSM, msg);
      return r;
    }
    m_fsmList[m_fsmCnt++] = static_cast<Cfsm*>(GetById(msg->dstFsmId));
  } else {
    Cfsm* fsm = nullptr;
    const Eprc_result r = _facMsgPrc(msg, &fsm);
    switch (r) {
      case PRC_NOT_PROCESSED:
      case PRC_PROCESSED:
      case PRC_RESERVED_2:
      case PRC_RESERVED_7:
      case PRC_ERROR:
      case PRC_TRANSFER:
        return r;
      case PRC_NEW_FSM:
        if (fsm == nullptr) return PRC_ERROR;
        // The hook may have filled the list with regFsm already: the machine
        // is refused, and given back, when there is no room for it.
        if (regFsm(fsm) != ERR_OK) {
          FreeById(fsm->GetId());
          return PRC_ERROR;
        }
        msg->dstFsmId = fsm->GetId();
        if (fsm->Create() != ERR_OK) {
          FreeById(fsm->GetId());
          return PRC_ERROR;
        }
        break;
      case PRC_FSM_FOUND:
        if (fsm == nullptr || regFsm(fsm) != ERR_OK) return PRC_ERROR;
        msg->dstFsmId = fsm->GetId();
        break;
      case PRC_TARGETS_SET:
        break;
      default:
        return PRC_ERROR;
    }
    result = r;
  }

  for (unsigned int i = 0; i < m_fsmCnt; ++i) {
    Cfsm* fsm = m_fsmList[i];
    const unsigned int stateBefore = fsm->GetState();
    Eprc_result r = fsm->PrePrcMsg(buf);
    if (r == PRC_NOT_PROCESSED) {
      r = fsm->ProcessMsg(msg);
      if (r != PRC_SAVE_MSG) fsm->PostPrcMsg(buf);
    }
    result = clampResult(r);
    switch (result) {
      case PRC_KILL_FSM:
        _killFsm(fsm);
        continue;
      case PRC_TRANSFER:
        if (m_fsmCnt > 1) return PRC_ERROR;
        break;
      case PRC_SAVE_MSG:
        // A buffer no queue took stays the task's to free.
        if (m_fsmCnt > 1 || fsm->PutSaveMsg(buf) != ERR_OK) return PRC_ERROR;
        continue;
      case PRC_HOLD_MSG:
        if (m_fsmCnt > 1 || fsm->PutHoldMsg(buf) != ERR_OK) return PRC_ERROR;
        break;
      default:
        break;
    }
    _replay(fsm, stateBefore);
  }
  return result;
}

void Cfactory::_replay(Cfsm* fsm, unsigned int stateBefore) {
  if (fsm->GetState() == stateBefore) return;
  // Each round offers every saved message once; a round that leaves the state
  // unchanged ends the replay, and there are at most as many rounds as buffers
  // were saved when it began.
  for (unsigned int left = fsm->GetSaveNum(); left > 0; --left) {
    if (GetStateById(fsm->GetId()) != RES_BUSY) return;  // killed by a replayed message
    const unsigned int state = fsm->GetState();
    _saveMsgPrc(fsm);
    if (fsm->GetState() == state) return;
  }
}

void Cfactory::_saveMsgPrc(Cfsm* fsm) {
  Cvlk_task* task = GetFacMgr();
  if (fsm->GetErr() != ERR_OK || task == nullptr) return;
  fsm->SetErr(ERR_INVALID_OPR);  // replay in progress
  for (unsigned int left = fsm->GetSaveNum(); left > 0; --left) {
    Cvlk_msg_buf* buf = fsm->GetSaveMsg();
    if (buf == nullptr) break;
    Eprc_result r;
    {
      CurrBufScope current(m_currBuf, buf);
      r = fsm->ProcessMsg(buf->GetMsgPointer());
      if (r != PRC_SAVE_MSG) fsm->PostPrcMsg(buf);
    }
    if (r == PRC_KILL_FSM) {
      task->FreeMsgBuf(buf);
      _killFsm(fsm);
      break;
    }
    if (r == PRC_TRANSFER) {
      // TransferMsg hands nothing on, so the buffer is freed once it was offered.
      task->TransferMsg(buf);
      task->FreeMsgBuf(buf);
    } else if (r == PRC_SAVE_MSG && fsm->PutSaveMsg(buf) == ERR_OK) {
      // kept for a later replay
    } else if (r == PRC_HOLD_MSG && fsm->PutHoldMsg(buf) == ERR_OK) {
      // held until the machine frees it
    } else {
      task->FreeMsgBuf(buf);
    }
  }
  fsm->SetErr(ERR_OK);
}

void Cfactory::killFsm(unsigned int fsmId) { _killFsm(fsmId); }

void Cfactory::_killFsm(unsigned int fsmId) {
  if (fsmId == 0 || GetStateById(fsmId) != RES_BUSY) return;
  _killFsm(static_cast<Cfsm*>(GetById(fsmId)));
}

void Cfactory::_killFsm(Cfsm* fsm) {
  if (fsm == nullptr) return;
  fsm->Destroy();
  Cvlk_task* task = GetFacMgr();
  if (task == nullptr) return;
  while (Cvlk_msg_buf* buf = fsm->GetSaveMsg()) task->FreeMsgBuf(buf);
  while (Cvlk_msg_buf* buf = fsm->GetHoldMsg()) task->FreeMsgBuf(buf);
  FreeById(fsm->GetId());
}

EerrNo Cfactory::regFsm(Cfsm* fsm) {
  if (m_fsmCnt >= kMaxRegFsm) {
    Display("VLK: cannot register so many FSM!");
    return ERR_INVALID_OPR;
  }
  m_fsmList[m_fsmCnt++] = fsm;
  return ERR_OK;
}

void Cfactory::initEvtParams() {
  m_evtCnt = 0;
  VlkMemReset(m_evtQueue, sizeof(m_evtQueue));
}

EerrNo Cfactory::midnightChecking() {
  const unsigned int busy = GetBusyNum();
  unsigned int met = 0;
  for (unsigned int i = 0; i < GetRealNum() && met < busy; ++i) {
    if (GetStateByIndex(i) != RES_BUSY) continue;
    ++met;
    auto* fsm = static_cast<Cfsm*>(GetByIndex(i));
    if (static_cast<unsigned int>(fsm->GetAllocDuration()) >= kMaxBusySeconds) {
      fsm->Print();
      _killFsm(fsm);
    }
  }
  return ERR_OK;
}

Eprc_result Cfactory::_facMsgPrc(Cmsg* msg, Cfsm** /*fsm*/) {
  switch (msg->msgType) {
    case MSG_TIMEOUT:
      return _procTimeout(reinterpret_cast<Csys_timout_msg*>(msg));
    case MSG_FAC_INNER:
      return _procFacInnerMsg(reinterpret_cast<Csys_fac_inner_msg*>(msg));
    default:
      noteMisaddressed(EMSG_STAT_E_UNKNOWN_MSG, msg);
      return PRC_NOT_PROCESSED;
  }
}

void Cfactory::noteMisaddressed(unsigned int kind, const Cmsg* msg) {
  if (Cvlk_task_mgr* mgr = _taskMgr()) mgr->noteMisaddressed(kind, msg);
}

Eprc_result Cfactory::_routeMsgErr(Cmsg* msg) {
  if (msg->msgType != MSG_CHECK_RELATION) return PRC_NOT_PROCESSED;
  sendRelationOff(msg);
  return PRC_PROCESSED;
}

Eprc_result Cfactory::_recvInnerEvent(unsigned int, unsigned int, unsigned int) { return PRC_NOT_PROCESSED; }

Eprc_result Cfactory::_procFacInnerMsg(Csys_fac_inner_msg* msg) {
  return _recvInnerEvent(msg->innerArg1, msg->innerArg2, msg->innerArg3);
}

Eprc_result Cfactory::_procTimeout(Csys_timout_msg*) { return PRC_NOT_PROCESSED; }
