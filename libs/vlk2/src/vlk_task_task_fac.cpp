// Tasks: dispatch to factories, creation, self-checking and the timer calls.
// Interim: the factory and timer-pool classes are not declared yet; messages go
// to _fsm_not_found and the timer calls report failure.
#include <cstdio>
#include <ctime>

#include "vlk_task.h"

Cfactory* Cvlk_task::findFactory(unsigned int) const { return nullptr; }

void Cvlk_task::processPumpMsg(Cvlk_msg_buf* buf) {
  Cmsg* msg = buf->GetMsgPointer();
  Eprc_result result = _fsm_not_found(msg);
  // 10 or more: the buffer now belongs to a state machine's queue.
  if (static_cast<std::int32_t>(result) >= static_cast<std::int32_t>(PRC_SAVE_MSG)) return;
  FreeMsgBuf(buf);
}

Eprc_result Cvlk_task::_fsm_not_found(Cmsg* msg) {
  const unsigned int selfChk = m_selfChkTimerId.load(std::memory_order_relaxed);
  if (msg->msgType == MSG_TIMEOUT && selfChk != 0 && msg->srcFsmId == selfChk) {
    selfChecking();
    return PRC_PROCESSED;
  }
  return PRC_NOT_PROCESSED;
}

EerrNo Cvlk_task::OnCreate() {
  startSelfChkingTimer();
  return ERR_OK;
}

void Cvlk_task::startSelfChkingTimer() {
  unsigned int id = CreateTimer(0, 0, 0, nullptr);
  m_selfChkTimerId.store(id, std::memory_order_relaxed);
  if (id != 0) StartTimer(id, 5400);
}

EerrNo Cvlk_task::selfChecking() {
  VlkDebug("selfChecking of %s", m_name);
  const int hour = GetLocalHour();
  if (hour == 3 || hour == 4) midnightChecking();
  return ERR_OK;
}

EerrNo Cvlk_task::midnightChecking() { return ERR_OK; }

int Cvlk_task::GetLocalHour() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return -1;
  return local.tm_hour;
}

void Cvlk_task::Print() {
  char line[64];
  Display("==========================================================");
  std::snprintf(line, sizeof(line), "%s(%u): ", m_name, m_id);
  Display(line);
}

void Cvlk_task::startTimerPool() {}

unsigned int Cvlk_task::CreateTimer(unsigned int, unsigned int, unsigned int, unsigned char*) {
  char line[64];
  std::snprintf(line, sizeof(line), "Fail to create timer! Task ID is %u", m_id);
  LogError(line);
  return 0;
}

void Cvlk_task::FreeTimer(unsigned int& id) { id = 0; }

void Cvlk_task::StartTimer(unsigned int, unsigned int) {}

void Cvlk_task::StopTimer(unsigned int) {}

unsigned int Cvlk_task::GetCurrSeconds() const { return 0; }
