// Tasks: dispatch to factories, creation, self-checking and the timer calls.
#include <cstdio>
#include <ctime>
#include <type_traits>

#include "vlk_task.h"

namespace {

// Transitional: the factory and timer-pool classes are declared in this header
// by their own area; until both are, the calls below compile to "no factory"
// and "no timer pool". Each helper is a template so that its body is only
// compiled against a complete class.
template <typename T, typename = void>
struct Declared : std::false_type {};
template <typename T>
struct Declared<T, std::void_t<decltype(sizeof(T))>> : std::true_type {};

template <typename F = Cfactory>
F* FindIn(F* const* factories, unsigned int count, unsigned int factoryId) {
  if constexpr (Declared<F>::value) {
    for (unsigned int i = 0; i < count; ++i) {
      if (factories[i]->GetId() == factoryId) return factories[i];
    }
  }
  return nullptr;
}

template <typename F = Cfactory>
Eprc_result Dispatch(F* factory, Cvlk_msg_buf* buf) {
  if constexpr (Declared<F>::value) return factory->ProcessMsg(buf);
  return PRC_NOT_PROCESSED;
}

template <typename F = Cfactory>
void OnCreateOf(F* factory) {
  if constexpr (Declared<F>::value) factory->OnCreate();
}

template <typename F = Cfactory>
void SelfCheckOf(F* factory) {
  if constexpr (Declared<F>::value) factory->selfChecking();
}

template <typename F = Cfactory>
void MidnightCheckOf(F* factory) {
  if constexpr (Declared<F>::value) factory->midnightChecking();
}

template <typename F = Cfactory>
void PrintOf(F* factory) {
  if constexpr (Declared<F>::value) factory->Print();
}

template <typename P = Cvlk_timer_pool>
P* NewTimerPool(unsigned int capacity, Cvlk_task* task) {
  if constexpr (Declared<P>::value) return new P(capacity, task);
  return nullptr;
}

template <typename P = Cvlk_timer_pool>
unsigned int CreateIn(P* pool, unsigned int factoryId, unsigned int fsmId, unsigned int dataLen,
                      unsigned char* data) {
  if constexpr (Declared<P>::value) return pool->CreateTimer(factoryId, fsmId, dataLen, data);
  return 0;
}

template <typename P = Cvlk_timer_pool>
void StartIn(P* pool, unsigned int id, unsigned int seconds) {
  if constexpr (Declared<P>::value) pool->StartTimer(id, seconds);
}

template <typename P = Cvlk_timer_pool>
void StopIn(P* pool, unsigned int id) {
  if constexpr (Declared<P>::value) pool->StopTimer(id);
}

template <typename P = Cvlk_timer_pool>
void FreeIn(P* pool, unsigned int& id) {
  if constexpr (Declared<P>::value) pool->FreeTimer(id);
}

template <typename P = Cvlk_timer_pool>
unsigned int SecondsOf(P* pool) {
  if constexpr (Declared<P>::value) return pool->GetCurrSeconds();
  return 0;
}

}  // namespace

Cfactory* Cvlk_task::findFactory(unsigned int factoryId) const { return FindIn(m_factories, m_facCount, factoryId); }

void Cvlk_task::processPumpMsg(Cvlk_msg_buf* buf) {
  Cmsg* msg = buf->GetMsgPointer();
  Eprc_result result;
  if (Cfactory* factory = findFactory(msg->dstFactoryId)) {
    result = Dispatch(factory, buf);
  } else {
    result = _fsm_not_found(msg);
    if (result == PRC_FSM_FOUND) {
      // The hook may have registered the factory meanwhile.
      Cfactory* again = findFactory(msg->dstFactoryId);
      result = again != nullptr ? Dispatch(again, buf) : PRC_NOT_PROCESSED;
    }
  }
  // 10 or more: the buffer now belongs to a state machine's queue.
  if (static_cast<std::int32_t>(result) >= static_cast<std::int32_t>(PRC_SAVE_MSG)) return;
  FreeMsgBuf(buf);
}

Eprc_result Cvlk_task::_fsm_not_found(Cmsg* msg) {
  // The self-check timer has factory id 0, which no factory has.
  const unsigned int selfChk = m_selfChkTimerId.load(std::memory_order_relaxed);
  if (msg->msgType == MSG_TIMEOUT && selfChk != 0 && msg->srcFsmId == selfChk) {
    selfChecking();
    return PRC_PROCESSED;
  }
  return PRC_NOT_PROCESSED;
}

EerrNo Cvlk_task::OnCreate() {
  for (unsigned int i = 0; i < m_facCount; ++i) OnCreateOf(m_factories[i]);
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
  for (unsigned int i = m_facCount; i > 0; --i) SelfCheckOf(m_factories[i - 1]);
  const int hour = GetLocalHour();
  if (hour == 3 || hour == 4) midnightChecking();
  return ERR_OK;
}

EerrNo Cvlk_task::midnightChecking() {
  for (unsigned int i = m_facCount; i > 0; --i) MidnightCheckOf(m_factories[i - 1]);
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
    PrintOf(m_factories[i]);
    Display(" ");
  }
}

void Cvlk_task::startTimerPool() {
  if (m_timerPool == nullptr) m_timerPool = NewTimerPool(m_timerCount, this);
}

unsigned int Cvlk_task::CreateTimer(unsigned int factoryId, unsigned int fsmId, unsigned int dataLen,
                                    unsigned char* data) {
  // The pool logs its own failures; without a pool (task not started) the same
  // line is logged here.
  if (m_timerPool != nullptr) return CreateIn(m_timerPool, factoryId, fsmId, dataLen, data);
  char line[64];
  std::snprintf(line, sizeof(line), "Fail to create timer! Task ID is %u", m_id);
  LogError(line);
  return 0;
}

void Cvlk_task::FreeTimer(unsigned int& id) {
  if (m_timerPool != nullptr) FreeIn(m_timerPool, id);
  id = 0;
}

void Cvlk_task::StartTimer(unsigned int id, unsigned int seconds) {
  if (m_timerPool != nullptr) StartIn(m_timerPool, id, seconds);
}

void Cvlk_task::StopTimer(unsigned int id) {
  if (m_timerPool != nullptr) StopIn(m_timerPool, id);
}

unsigned int Cvlk_task::GetCurrSeconds() const { return m_timerPool != nullptr ? SecondsOf(m_timerPool) : 0u; }
