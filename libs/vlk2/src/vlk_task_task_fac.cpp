// Tasks: dispatch to factories, creation, self-checking and the timer calls.
#include <cstdio>
#include <ctime>

#include "vlk_task.h"

Cfactory* Cvlk_task::findFactory(unsigned int factoryId) const {
  for (unsigned int i = 0; i < m_facCount; ++i) {
    if (m_factories[i]->GetId() == factoryId) return m_factories[i];
  }
  return nullptr;
}

bool Cvlk_task::isSelfChkExpiry(const Cmsg* msg) const {
  const unsigned int selfChk = m_selfChkTimerId.load(std::memory_order_relaxed);
  return msg->msgType == MSG_TIMEOUT && selfChk != 0 && msg->srcFsmId == selfChk;
}

void Cvlk_task::processPumpMsg(Cvlk_msg_buf* buf) {
  Cmsg* msg = buf->GetMsgPointer();
  Eprc_result result;
  // The self-check timer's expiry (factory id 0) is the task's own, even if a
  // factory has id 0.
  const bool selfChk = msg->dstFactoryId == 0 && isSelfChkExpiry(msg);
  Cfactory* factory = selfChk ? nullptr : findFactory(msg->dstFactoryId);
  if (factory != nullptr) {
    result = factory->ProcessMsg(buf);
  } else {
    result = _fsm_not_found(msg);
    if (result == PRC_FSM_FOUND) {
      // The hook may have registered the factory meanwhile.
      Cfactory* again = findFactory(msg->dstFactoryId);
      result = again != nullptr ? again->ProcessMsg(buf) : PRC_NOT_PROCESSED;
    } else if (static_cast<std::int32_t>(result) >= static_cast<std::int32_t>(PRC_SAVE_MSG)) {
      result = PRC_ERROR;  // the hook has no machine whose queue could keep the buffer
    }
    if (result == PRC_NOT_PROCESSED && m_mgr != nullptr) m_mgr->noteMisaddressed(EMSG_STAT_E_NO_FACTORY, msg);
  }
  // 10 or more: the buffer now belongs to a state machine's queue.
  if (static_cast<std::int32_t>(result) >= static_cast<std::int32_t>(PRC_SAVE_MSG)) return;
  freeLater(buf);
}

Eprc_result Cvlk_task::_fsm_not_found(Cmsg* msg) {
  if (isSelfChkExpiry(msg)) {
    selfChecking();
    return PRC_PROCESSED;
  }
  return PRC_NOT_PROCESSED;
}

EerrNo Cvlk_task::OnCreate() {
  for (unsigned int i = 0; i < m_facCount; ++i) m_factories[i]->OnCreate();
  startSelfChkingTimer();
  return ERR_OK;
}

void Cvlk_task::startSelfChkingTimer() {
  // Normally reserved when the timer pool was made (startTimerPool).
  unsigned int id = m_selfChkTimerId.load(std::memory_order_relaxed);
  if (id == 0) {
    id = CreateTimer(0, 0, 0, nullptr);
    m_selfChkTimerId.store(id, std::memory_order_relaxed);
  }
  if (id != 0) StartTimer(id, kSelfChkSeconds);
}

EerrNo Cvlk_task::selfChecking() {
  VlkDebug("selfChecking of %s", m_name);
  for (unsigned int i = m_facCount; i > 0; --i) m_factories[i - 1]->selfChecking();
  const int hour = GetLocalHour();
  if (hour == 3 || hour == 4) midnightChecking();
  return ERR_OK;
}

EerrNo Cvlk_task::midnightChecking() {
  for (unsigned int i = m_facCount; i > 0; --i) m_factories[i - 1]->midnightChecking();
  return ERR_OK;
}

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
  for (unsigned int i = 0; i < m_facCount; ++i) {
    m_factories[i]->Print();
    Display(" ");
  }
}

void Cvlk_task::startTimerPool() {
  if (m_timerPool != nullptr) return;
  m_timerPool = new Cvlk_timer_pool(m_timerCount, this);
  // The self-check timer is taken before any factory's OnCreate can create
  // timers: an application that reserved too few with setTimer then sees its
  // own CreateTimer fail, instead of self-checking stopping without a word.
  const unsigned int id = m_timerPool->CreateTimer(0, 0, 0, nullptr);
  m_selfChkTimerId.store(id, std::memory_order_relaxed);
  if (id == 0) LogWarning("VLK: no timer left for the self-check timer: self-checking is off");
}

unsigned int Cvlk_task::CreateTimer(unsigned int factoryId, unsigned int fsmId, unsigned int dataLen,
                                    unsigned char* data) {
  // The pool logs its own failures; without a pool (task not started) the same
  // line is logged here.
  if (m_timerPool != nullptr) return m_timerPool->CreateTimer(factoryId, fsmId, dataLen, data);
  char line[64];
  std::snprintf(line, sizeof(line), "Fail to create timer! Task ID is %u", m_id);
  LogError(line);
  return 0;
}

void Cvlk_task::FreeTimer(unsigned int& id) {
  if (m_timerPool != nullptr) m_timerPool->FreeTimer(id);
  id = 0;
}

void Cvlk_task::StartTimer(unsigned int id, unsigned int seconds) {
  if (m_timerPool != nullptr) m_timerPool->StartTimer(id, seconds);
}

void Cvlk_task::StopTimer(unsigned int id) {
  if (m_timerPool != nullptr) m_timerPool->StopTimer(id);
}

unsigned int Cvlk_task::GetCurrSeconds() const { return m_timerPool != nullptr ? m_timerPool->GetCurrSeconds() : 0u; }
