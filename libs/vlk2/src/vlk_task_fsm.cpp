// The state-machine base: queues of kept messages, the per-message hooks, timers
// and output through the factory, the task and the manager.
#include <cstdarg>
#include <cstdio>
#include <new>

#include "vlk_task.h"
#include "vlk_task_output.h"

namespace {

Cvlk_link* newQueue() {
  auto* queue = new (std::nothrow) Cvlk_link();
  if (queue != nullptr) queue->SetRandId();
  return queue;
}

}  // namespace

Cfsm::Cfsm(Cfactory* factory, unsigned int state) : Cvlk_res_node(factory), m_state(state) {
  if (GetErr() != ERR_OK) return;
  m_saveQueue = newQueue();
  m_holdQueue = newQueue();
  if (m_saveQueue == nullptr || m_holdQueue == nullptr || m_saveQueue->GetErr() != ERR_OK ||
      m_holdQueue->GetErr() != ERR_OK) {
    SetErr(ERR_OUT_OF_MEMORY);
  }
}

Cfsm::~Cfsm() {
  delete m_saveQueue;
  delete m_holdQueue;
}

Cfactory* Cfsm::GetFactory() const { return static_cast<Cfactory*>(GetRes()); }

Cvlk_task* Cfsm::GetFacMgr() const {
  Cfactory* factory = GetFactory();
  return factory != nullptr ? factory->GetFacMgr() : nullptr;
}

Cvlk_task_mgr* Cfsm::_taskMgr() const {
  Cvlk_task* task = GetFacMgr();
  return task != nullptr ? task->GetTaskMgr() : nullptr;
}

Eprc_result Cfsm::PrePrcMsg(Cvlk_msg_buf* buf) {
  SetActive();
  Cmsg* msg = buf->GetMsgPointer();
  Cvlk_task_mgr* mgr = _taskMgr();
  if (mgr != nullptr && mgr->HasTraceOn() == VLK_TRUE) {
    if ((m_flags & kFlagTrace) == 0) m_flags |= (msg->msgFlags & kFlagTrace);
  } else {
    m_flags &= ~kFlagTrace;
  }
  if (msg->msgType == MSG_RELATION_OFF) {
    _trace("Fail to check relationship, kill current FSM!");
    return PRC_KILL_FSM;
  }
  return PRC_NOT_PROCESSED;
}

void Cfsm::PostPrcMsg(Cvlk_msg_buf*) {}

EerrNo Cfsm::Create() {
  m_flags &= ~kFlagTrace;
  m_state = 0;
  return ERR_OK;
}

EerrNo Cfsm::Destroy() { return ERR_OK; }

unsigned int Cfsm::GetSaveNum() const { return m_saveQueue != nullptr ? m_saveQueue->GetNum() : 0; }

unsigned int Cfsm::GetHoldNum() const { return m_holdQueue != nullptr ? m_holdQueue->GetNum() : 0; }

Cvlk_msg_buf* Cfsm::GetSaveMsg() {
  return m_saveQueue != nullptr ? static_cast<Cvlk_msg_buf*>(m_saveQueue->RemoveHead()) : nullptr;
}

Cvlk_msg_buf* Cfsm::GetHoldMsg() {
  return m_holdQueue != nullptr ? static_cast<Cvlk_msg_buf*>(m_holdQueue->RemoveHead()) : nullptr;
}

EerrNo Cfsm::PutSaveMsg(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  return m_saveQueue != nullptr ? m_saveQueue->AddToTail(buf) : ERR_OUT_OF_MEMORY;
}

EerrNo Cfsm::PutHoldMsg(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  return m_holdQueue != nullptr ? m_holdQueue->AddToTail(buf) : ERR_OUT_OF_MEMORY;
}

EerrNo Cfsm::FreeHoldMsg(Cmsg* msg) {
  if (m_holdQueue == nullptr || msg == nullptr) return ERR_OBJ_NOT_FOUND;
  auto* buf = static_cast<Cvlk_msg_buf*>(m_holdQueue->GetHead());
  for (unsigned int left = m_holdQueue->GetNum(); left > 0 && buf != nullptr; --left) {
    if (buf->GetMsgPointer() == msg) {
      m_holdQueue->Remove(buf);
      if (Cvlk_task* task = GetFacMgr()) {
        task->FreeMsgBuf(buf);
      } else {
        Cvlk_msg_pool::FreeToOwner(buf);
      }
      return ERR_OK;
    }
    buf = static_cast<Cvlk_msg_buf*>(buf->GetNext());
  }
  return ERR_OBJ_NOT_FOUND;
}

Cvlk_msg_buf* Cfsm::_getMsgBuf(unsigned int size) {
  Cvlk_task* task = GetFacMgr();
  return task != nullptr ? task->GetMsgBuf(size) : nullptr;
}

EerrNo Cfsm::_sendMsg(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  Cmsg* msg = buf->GetMsgPointer();
  msg->msgFlags = (msg->msgFlags & ~kFlagTrace) | (m_flags & kFlagTrace);
  Cvlk_task* task = GetFacMgr();
  if (task == nullptr) {
    Cvlk_msg_pool::FreeToOwner(buf);  // sent means given away, even when it cannot go
    return ERR_INVALID_OBJ;
  }
  return task->SendMsg(buf);
}

unsigned int Cfsm::CreateTimer(unsigned int dataLen, unsigned char* data) {
  Cfactory* factory = GetFactory();
  Cvlk_task* task = GetFacMgr();
  if (task == nullptr) return 0;
  return task->CreateTimer(factory->GetId(), GetId(), dataLen, data);
}

void Cfsm::StartTimer(unsigned int id, unsigned int seconds) {
  if (id == 0) return;
  if (Cvlk_task* task = GetFacMgr()) task->StartTimer(id, seconds);
}

void Cfsm::StopTimer(unsigned int id) {
  if (id == 0) return;
  if (Cvlk_task* task = GetFacMgr()) task->StopTimer(id);
}

void Cfsm::FreeTimer(unsigned int& id) {
  if (id == 0) return;
  if (Cvlk_task* task = GetFacMgr()) task->FreeTimer(id);
  id = 0;
}

unsigned int Cfsm::GetCurrSeconds() {
  Cvlk_task* task = GetFacMgr();
  return task != nullptr ? task->GetCurrSeconds() : 0;
}

void Cfsm::Print() { displayInfo("%s[%08X] _state=%u", GetName(), GetId(), m_state); }

void Cfsm::displayInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VlkTaskDisplayV(_taskMgr(), format, args);
  va_end(args);
}

void Cfsm::_trace(const char* format, ...) {
  if ((m_flags & kFlagTrace) == 0) return;
  va_list args;
  va_start(args, format);
  VlkTaskTraceV(_taskMgr(), GetName(), GetId(), format, args);
  va_end(args);
}

void Cfsm::_logInfo(const char* text) {
  if (Cvlk_task_mgr* mgr = _taskMgr()) mgr->LogInfo(text);
}

void Cfsm::_logWarning(const char* text) {
  if (Cvlk_task_mgr* mgr = _taskMgr()) mgr->LogWarning(text);
}

void Cfsm::_logError(const char* text) {
  if (Cvlk_task_mgr* mgr = _taskMgr()) mgr->LogError(text);
}
