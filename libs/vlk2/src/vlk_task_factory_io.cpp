// Factory services: messages it sends itself (relation-off answers, inner events),
// timers, checks and output.
#include <cstdarg>
#include <cstdio>

#include "vlk_task.h"
#include "vlk_task_output.h"

EerrNo Cfactory::sendRelationOff(Cmsg* msg) {
  Cvlk_msg_buf* buf = _getMsgBuf(sizeof(Cmsg));
  if (buf == nullptr) return ERR_OUT_OF_MEMORY;
  Cmsg* reply = buf->GetMsgPointer();
  reply->Init();
  reply->srcTaskId = msg->dstTaskId;
  reply->srcFactoryId = msg->dstFactoryId;
  reply->srcFsmId = msg->dstFsmId;
  reply->srcExtra = msg->dstExtra;
  reply->dstTaskId = msg->srcTaskId;
  reply->dstFactoryId = msg->srcFactoryId;
  reply->dstFsmId = msg->srcFsmId;
  reply->dstExtra = msg->srcExtra;
  reply->msgType = MSG_RELATION_OFF;
  return _sendMsg(buf);
}

EerrNo Cfactory::_sendInnerEvent(unsigned int arg1, unsigned int arg2, unsigned int arg3) {
  Cvlk_task* task = GetFacMgr();
  if (task == nullptr) return ERR_INVALID_OBJ;
  Cvlk_msg_buf* buf = _getMsgBuf(sizeof(Csys_fac_inner_msg));
  if (buf == nullptr) return ERR_OUT_OF_MEMORY;
  auto* msg = reinterpret_cast<Csys_fac_inner_msg*>(buf->GetMsgPointer());
  msg->init();
  msg->srcTaskId = msg->dstTaskId = task->GetModId();
  msg->srcFactoryId = msg->dstFactoryId = GetId();
  msg->innerArg1 = arg1;
  msg->innerArg2 = arg2;
  msg->innerArg3 = arg3;
  return _sendMsg(buf);
}

Cvlk_msg_buf* Cfactory::_getMsgBuf(unsigned int size) {
  Cvlk_task* task = GetFacMgr();
  return task != nullptr ? task->GetMsgBuf(size) : nullptr;
}

EerrNo Cfactory::_sendMsg(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  Cvlk_task* task = GetFacMgr();
  if (task == nullptr) {
    Cvlk_msg_pool::FreeToOwner(buf);  // sent means given away, even when it cannot go
    return ERR_INVALID_OBJ;
  }
  return task->SendMsg(buf);
}

unsigned int Cfactory::CreateTimer(unsigned int fsmId, unsigned int dataLen, unsigned char* data) {
  Cvlk_task* task = GetFacMgr();
  return task != nullptr ? task->CreateTimer(GetId(), fsmId, dataLen, data) : 0;
}

void Cfactory::StartTimer(unsigned int id, unsigned int seconds) {
  if (Cvlk_task* task = GetFacMgr()) task->StartTimer(id, seconds);
}

void Cfactory::StopTimer(unsigned int id) {
  if (Cvlk_task* task = GetFacMgr()) task->StopTimer(id);
}

void Cfactory::FreeTimer(unsigned int& id) {
  if (Cvlk_task* task = GetFacMgr()) task->FreeTimer(id);
  id = 0;
}

unsigned int Cfactory::GetCurrSeconds() {
  Cvlk_task* task = GetFacMgr();
  return task != nullptr ? task->GetCurrSeconds() : 0;
}

EerrNo Cfactory::OnCreate() { return ERR_OK; }

EerrNo Cfactory::selfChecking() { return ERR_OK; }

void Cfactory::Print() { Display("%s: real=%u, idle=%u", GetName(), GetRealNum(), GetIdleNum()); }

void Cfactory::Display(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VlkTaskDisplayV(_taskMgr(), format, args);
  va_end(args);
}

void Cfactory::TraceInfo(const char* format, ...) {
  Cvlk_task_mgr* mgr = _taskMgr();
  if (mgr == nullptr || mgr->HasTraceOn() != VLK_TRUE) return;
  va_list args;
  va_start(args, format);
  VlkTaskDisplayV(mgr, format, args);
  va_end(args);
}

void Cfactory::_trace(const char* format, ...) {
  if ((m_flags & kFlagTrace) == 0) return;
  va_list args;
  va_start(args, format);
  VlkTaskTraceV(_taskMgr(), GetName(), GetId(), format, args);
  va_end(args);
}

void Cfactory::_logInfo(const char* text) {
  if (Cvlk_task_mgr* mgr = _taskMgr()) mgr->LogInfo(text);
}

void Cfactory::_logWarning(const char* text) {
  if (Cvlk_task_mgr* mgr = _taskMgr()) mgr->LogWarning(text);
}

void Cfactory::_logError(const char* text) {
  if (Cvlk_task_mgr* mgr = _taskMgr()) mgr->LogError(text);
}
