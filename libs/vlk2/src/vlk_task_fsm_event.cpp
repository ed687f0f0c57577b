// The event-table state machine: messages become events, events select table rows,
// rows run their handlers and move the machine to its next state.
#include "vlk_task.h"

Cev_fsm::Cev_fsm(Cfactory* factory, unsigned int state) : Cfsm(factory, state) {}

EerrNo Cev_fsm::_genEvent(unsigned short event, unsigned char p1, unsigned char p2) {
  Cfactory* factory = GetFactory();
  if (factory->m_evtCnt >= Cfactory::kMaxEvents) return ERR_INVALID_OPR;
  Cevt_rec& rec = factory->m_evtQueue[factory->m_evtCnt++];
  rec.p1 = p1;
  rec.p2 = p2;
  rec.event = event;
  m_lastEvent = event;
  return ERR_OK;
}

Eprc_result Cev_fsm::ProcessMsg(Cmsg* msg) {
  Cfactory* factory = GetFactory();
  m_result = PRC_PROCESSED;
  factory->initEvtParams();
  _parseMsg(msg);
  if (factory->m_evtCnt == 0) return PRC_NOT_PROCESSED;

  // Handlers may queue further events, so the count is read on every pass.
  for (unsigned int i = 0; i < factory->m_evtCnt; ++i) {
    const Cevt_rec ev = factory->m_evtQueue[i];
    const unsigned int cur = _getCurrState(ev.p1, ev.p2);
    const Cevt_entry* row = _getEvtEntry(cur, ev.event, ev.p1);
    if (row == nullptr || row->handlerCnt == 0 || row->handlerCnt > kMaxHandlers) {
      return _procUnknownMsg(msg) == EVT_STOP ? m_result : PRC_NOT_PROCESSED;
    }
    unsigned int next = row->nextState;
    EevtPrc r = EVT_NOT_PROCESSED;
    for (unsigned int k = 0; k < row->handlerCnt; ++k) {
      const Fevt_handler handler = row->handlers[k];
      if (handler == nullptr) return PRC_NOT_PROCESSED;
      r = (this->*handler)(msg, ev.event, ev.p2);
      if (r != EVT_NOT_PROCESSED) {
        next = cur;
        break;
      }
    }
    if (r == EVT_STOP) return m_result;
    if (next != cur) {
      _setCurrState(ev.p1, ev.p2, next);
      ++m_state;
    }
  }
  return m_result;
}

EevtPrc Cev_fsm::_procUnknownMsg(Cmsg* msg) {
  _trace("_procUnknownMsg");
  _trace("\t message is %u", msg->msgType);
  return EVT_NOT_PROCESSED;
}

EevtPrc Cev_fsm::_procSaveMsg(Cmsg*, unsigned short, unsigned char) {
  _trace("_procSaveMsg");
  m_result = PRC_SAVE_MSG;
  return EVT_NOT_PROCESSED;
}

EevtPrc Cev_fsm::_procKillFsm(Cmsg*, unsigned short, unsigned char) {
  _trace("_procKillFsm");
  m_result = PRC_KILL_FSM;
  return EVT_STOP;
}

EevtPrc Cev_fsm::_procNull(Cmsg*, unsigned short, unsigned char) {
  _trace("_procNull");
  return EVT_NOT_PROCESSED;
}

void Cev_fsm::Print() {
  Cfsm::Print();
  displayInfo("%s[%08X] currState=%u, event=%u, duration=%u", GetName(), GetId(), _getCurrState(0, 0),
              static_cast<unsigned int>(m_lastEvent), static_cast<unsigned int>(GetAllocDuration()));
}
