// The timer pool of a task: timer nodes on a 256-slot wheel advanced once a second.
#include <cstdio>

#include <QTimerEvent>

#include "vlk_task.h"

namespace {

constexpr unsigned int kTickMs = 1000;
constexpr unsigned int kMaxTimerData = 7;
constexpr unsigned int kNoTask = 32;  // Ctimer_data::Init's "not yet filled" task id

}  // namespace

Ctimer_res_node::Ctimer_res_node(Cvlk_resource* owner) : Cvlk_res_node(owner) { Init(); }

void Ctimer_res_node::Init() {
  m_interval = 0;
  m_expiry = kNotRunning;
  m_data.Init();
}

Cvlk_timer_pool::Cvlk_timer_pool(unsigned int capacity, Cvlk_task* task) : QObject(task), m_task(task) {
  Cvlk_mutex_locker guard(&m_lock);
  for (unsigned int i = 0; i < kWheelSlots; ++i) m_wheel[i].SetId(i + 1);
  m_timers = new Cvlk_resource(VlkGetGlobalObjID(), capacity, this);
  if (m_timers->GetErr() != ERR_OK) {
    m_err = m_timers->GetErr();
    return;
  }
  for (unsigned int i = 0; i < capacity; ++i) {
    auto* node = new Ctimer_res_node(m_timers);
    if (m_timers->Add(node) != ERR_OK) {
      delete node;
      m_err = ERR_OUT_OF_MEMORY;
      break;
    }
  }
  startTimer(kTickMs);
}

Cvlk_timer_pool::~Cvlk_timer_pool() {
  // The wheel's lists only link nodes that m_timers owns; empty them so that no
  // list outlives a node it points to.
  Cvlk_mutex_locker guard(&m_lock);
  for (unsigned int i = 0; i < kWheelSlots; ++i) {
    while (m_wheel[i].RemoveHead() != nullptr) {
    }
  }
}

Ctimer_res_node* Cvlk_timer_pool::_busyNode(unsigned int id) {
  if (id == 0 || m_timers->GetStateById(id) != RES_BUSY) return nullptr;
  return static_cast<Ctimer_res_node*>(m_timers->GetById(id));
}

void Cvlk_timer_pool::_unlinkFromWheel(Ctimer_res_node* node) {
  const unsigned int linkId = node->GetLinkId();
  if (linkId < 1 || linkId > kWheelSlots) return;
  Cvlk_link& slot = m_wheel[linkId - 1];
  if (slot.IsInLink(node) == VLK_TRUE) slot.Remove(node);
}

unsigned int Cvlk_timer_pool::CreateTimer(unsigned int factoryId, unsigned int fsmId, unsigned int dataLen,
                                          const unsigned char* data) {
  Ctimer_data record;
  record.Init();
  record.taskId = m_task != nullptr ? m_task->GetModId() : kNoTask;
  record.factoryId = factoryId;
  record.fsmId = fsmId;
  record.dataLen = static_cast<unsigned char>(dataLen < kMaxTimerData ? dataLen : kMaxTimerData);
  if (dataLen != 0 && data != nullptr) VlkMemCopy(record.data, data, record.dataLen);

  Ctimer_res_node* node = nullptr;
  {
    Cvlk_mutex_locker guard(&m_lock);
    if (record.taskId != kNoTask && m_timers != nullptr) {
      node = static_cast<Ctimer_res_node*>(m_timers->AllocNode());
    }
    if (node != nullptr) {
      node->Init();
      node->m_data = record;
      return node->GetId();
    }
  }
  char text[96];
  std::snprintf(text, sizeof(text), "Fail to create timer! Task ID is %u", record.taskId);
  if (m_task != nullptr) m_task->LogError(text);
  return 0;
}

void Cvlk_timer_pool::StartTimer(unsigned int id, unsigned int seconds) {
  Cvlk_mutex_locker guard(&m_lock);
  Ctimer_res_node* node = _busyNode(id);
  if (node == nullptr || seconds == 0) return;
  _unlinkFromWheel(node);
  const unsigned int now = m_tickCount.load(std::memory_order_relaxed);
  node->m_interval = seconds;
  node->m_expiry = now + seconds;
  m_wheel[static_cast<unsigned char>(m_wheelPos + seconds)].AddToTail(node);
}

void Cvlk_timer_pool::StopTimer(unsigned int id) {
  Cvlk_mutex_locker guard(&m_lock);
  Ctimer_res_node* node = _busyNode(id);
  if (node == nullptr) return;
  node->m_expiry = Ctimer_res_node::kNotRunning;
  _unlinkFromWheel(node);
}

void Cvlk_timer_pool::FreeTimer(unsigned int& id) {
  {
    Cvlk_mutex_locker guard(&m_lock);
    Ctimer_res_node* node = _busyNode(id);
    if (node != nullptr) {
      _unlinkFromWheel(node);
      node->m_expiry = Ctimer_res_node::kNotRunning;
      m_timers->FreeById(id);
    }
  }
  id = 0;
}

void Cvlk_timer_pool::timerEvent(QTimerEvent* /*event*/) { Tick(); }

void Cvlk_timer_pool::Tick() {
  unsigned int noBuf = 0;
  tickLocked(&noBuf);
  // Reported with the lock let go: a receiver of sigErrorNoMsgBuf on this thread
  // may start timers or stop the task (whose thread may be waiting for the lock).
  if (noBuf != 0 && m_task != nullptr && m_task->GetTaskMgr() != nullptr) {
    m_task->GetTaskMgr()->noteNoMsgBuf(noBuf);
  }
}

void Cvlk_timer_pool::tickLocked(unsigned int* noBuf) {
  Cvlk_mutex_locker guard(&m_lock);
  const unsigned int now = m_tickCount.load(std::memory_order_relaxed) + 1;
  m_tickCount.store(now, std::memory_order_relaxed);
  m_wheelPos = static_cast<unsigned char>(m_wheelPos + 1);

  Cvlk_link& slot = m_wheel[m_wheelPos];
  unsigned int left = slot.GetNum();
  auto* node = static_cast<Ctimer_res_node*>(slot.GetHead());
  // Expiry messages go to the task's queue a batch at a time: one queue lock
  // hold and one wake-up per batch, in expiry order.
  Cvlk_msg_buf* batch[kExpiryBatch];
  unsigned int batched = 0;
  while (left-- > 0 && node != nullptr) {
    auto* next = static_cast<Ctimer_res_node*>(node->GetNext());
    if (node->m_expiry <= now) {
      if (Cvlk_msg_buf* buf = _makeExpiry(node, noBuf)) batch[batched++] = buf;
      if (batched == kExpiryBatch) {
        m_task->PumpMsgBufs(batch, batched);
        batched = 0;
      }
      node->m_expiry = node->m_interval + now;
      const unsigned char target = static_cast<unsigned char>(m_wheelPos + node->m_interval);
      if (target != m_wheelPos) {
        slot.Remove(node);
        m_wheel[target].AddToTail(node);
      }
    }
    node = next;
  }
  if (batched > 0) m_task->PumpMsgBufs(batch, batched);
}

Cvlk_msg_buf* Cvlk_timer_pool::_makeExpiry(const Ctimer_res_node* node, unsigned int* noBuf) {
  Cvlk_task_mgr* mgr = m_task != nullptr ? m_task->GetTaskMgr() : nullptr;
  if (mgr == nullptr) return nullptr;
  Cvlk_msg_buf* buf = mgr->allocMsgBuf(sizeof(Csys_timout_msg));
  if (buf == nullptr) {  // this expiry is lost; the timer stays armed
    ++*noBuf;
    return nullptr;
  }
  auto* msg = reinterpret_cast<Csys_timout_msg*>(buf->GetMsgPointer());
  msg->Init();
  const Ctimer_data& data = node->m_data;
  msg->srcTaskId = data.taskId;
  msg->dstTaskId = data.taskId;
  msg->srcFactoryId = data.factoryId;
  msg->dstFactoryId = data.factoryId;
  msg->srcFsmId = node->GetId();
  msg->dstFsmId = data.fsmId;
  msg->dataLen = data.dataLen;
  VlkMemCopy(msg->data, data.data, data.dataLen);
  return buf;
}

unsigned int Cvlk_timer_pool::GetIdleNum() {
  Cvlk_mutex_locker guard(&m_lock);
  return m_timers != nullptr ? m_timers->GetIdleNum() : 0;
}

unsigned int Cvlk_timer_pool::GetRealNum() {
  Cvlk_mutex_locker guard(&m_lock);
  return m_timers != nullptr ? m_timers->GetRealNum() : 0;
}

unsigned int Cvlk_timer_pool::GetTimerExpiry(unsigned int id) {
  Cvlk_mutex_locker guard(&m_lock);
  Ctimer_res_node* node = _busyNode(id);
  return node != nullptr ? node->m_expiry : 0;
}
