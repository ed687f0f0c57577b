// The task manager: task table, message routing entry points, start and stop,
// and the signals through which the framework's output leaves the library.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include "vlk_task.h"

Cvlk_task_mgr::Cvlk_task_mgr(QObject* parent)
    : QObject(parent),
      m_taskCount(0),
      m_tasks{},
      m_pool(nullptr),
      m_trace(VLK_FALSE),
      m_noBufCount(0),
      m_misaddressedLogged(0),
      m_running(false),
      m_stopped(false) {
  // Resource pools draw their identifier stamps from the runtime's generator.
  std::srand(static_cast<unsigned int>(std::time(nullptr)));
}

Cvlk_task_mgr::~Cvlk_task_mgr() {
  Stop();
  // Tasks reach the manager while they go (their queues, the table), so the
  // ones this manager parents are deleted while it is still whole; the pool,
  // which owns every buffer, goes last.
  const QObjectList kids = children();
  for (QObject* kid : kids) {
    if (Cvlk_task* task = qobject_cast<Cvlk_task*>(kid)) delete task;
  }
  delete m_pool;
  m_pool = nullptr;
}

EerrNo Cvlk_task_mgr::Run() {
  if (m_pool == nullptr) return ERR_NOT_INITIAL;
  if (m_running || m_stopped) return ERR_INVALID_OPR;
  m_running = true;
  // The timer pools tick on this thread's Qt event loop. Without a dispatcher
  // here no timer will ever fire; say so instead of failing quietly later.
  if (QCoreApplication::instance() == nullptr) {
    LogWarning("VLK: Run without a QCoreApplication: timers will not fire");
  } else if (QAbstractEventDispatcher::instance() == nullptr) {
    LogWarning("VLK: Run on a thread without a Qt event loop: timers will not fire");
  }
  startMsgPool();
  startTasks();
  afterRun();
  return ERR_OK;
}

void Cvlk_task_mgr::Stop() {
  if (m_stopped) return;
  m_stopped = true;
  // The routing thread first, so that nothing moves into task queues any more;
  // then every task (its own queue is freed as it closes); at last whatever the
  // tasks sent to the routing queue while they were stopping.
  if (m_pool != nullptr) m_pool->stop();
  for (Cvlk_task* task : m_tasks) {
    if (task != nullptr) task->requestStop();
  }
  for (Cvlk_task* task : m_tasks) {
    if (task != nullptr) task->close();
  }
  if (m_pool != nullptr) m_pool->Close();
}

void Cvlk_task_mgr::startMsgPool() {
  if (m_pool != nullptr) m_pool->start();
}

void Cvlk_task_mgr::startTasks() {
  unsigned int started = 0;
  for (unsigned int slot = 0; slot < 32 && started < m_taskCount; ++slot) {
    if (m_tasks[slot] == nullptr) continue;
    m_tasks[slot]->start();
    ++started;
  }
}

EerrNo Cvlk_task_mgr::regTask(Cvlk_task* task) {
  if (task == nullptr || task->GetModId() >= 32) return ERR_INVALID_PARAM;
  // The routing thread reads the table without a lock once Run has started it.
  if (m_running || m_stopped) return ERR_INVALID_OPR;
  Cvlk_task*& slot = m_tasks[task->GetModId()];
  if (slot == task) return ERR_OK;  // already filed: counted and connected once
  if (m_taskCount >= 32) return ERR_OUT_OF_MEMORY;
  if (slot != nullptr) return ERR_OBJ_EXISTED;
  slot = task;
  task->m_registered = true;
  ++m_taskCount;
  connect(task, &Cvlk_task::sigTracedInfo, this, &Cvlk_task_mgr::sigOutputTraceInfo);
  return ERR_OK;
}

void Cvlk_task_mgr::unregTask(Cvlk_task* task) {
  for (Cvlk_task*& slot : m_tasks) {
    if (slot != task) continue;
    slot = nullptr;
    --m_taskCount;
  }
}

Cvlk_task* Cvlk_task_mgr::getTask(unsigned int id) const { return (id >= 1 && id <= 31) ? m_tasks[id] : nullptr; }

EerrNo Cvlk_task_mgr::SendMsg(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  if (m_pool == nullptr) {
    Cvlk_msg_pool::FreeToOwner(buf);  // the buffer is not the caller's any more
    return ERR_NOT_INITIAL;
  }
  return m_pool->Post(buf);
}

EerrNo Cvlk_task_mgr::SendMsgToTask(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  Cvlk_task* task = getTask(buf->GetMsgPointer()->dstTaskId);
  if (task != nullptr) return task->PumpMsgBuf(buf);
  noteMisaddressed(EMSG_STAT_E_NO_TASK, buf->GetMsgPointer());
  if (FreeMsgBuf(buf) != ERR_OK) Cvlk_msg_pool::FreeToOwner(buf);
  return ERR_OBJ_NOT_FOUND;
}

EerrNo Cvlk_task_mgr::TransferMsg(Cvlk_msg_buf*) { return ERR_OK; }

void Cvlk_task_mgr::noteMisaddressed(unsigned int kind, const Cmsg* msg) {
  if (kind < EMSG_STAT_E_NO_TASK || kind > EMSG_STAT_E_UNKNOWN_MSG) return;
  if (m_pool != nullptr) m_pool->IncStat(kind);
  const unsigned int bit = 1u << (kind - EMSG_STAT_E_NO_TASK);
  if ((m_misaddressedLogged.fetch_or(bit, std::memory_order_relaxed) & bit) != 0) return;
  // The first of each kind is logged; later ones are only counted.
  char line[192];
  switch (kind) {
    case EMSG_STAT_E_NO_TASK:
      std::snprintf(line, sizeof(line), "VLK: no task %u: message (type %u) freed; further ones are counted in %s",
                    msg->dstTaskId, msg->msgType, "EMSG_STAT_E_NO_TASK");
      break;
    case EMSG_STAT_E_NO_FACTORY:
      std::snprintf(line, sizeof(line),
                    "VLK: task %u has no factory %u: message (type %u) freed; further ones are counted in %s",
                    msg->dstTaskId, msg->dstFactoryId, msg->msgType, "EMSG_STAT_E_NO_FACTORY");
      break;
    case EMSG_STAT_E_NO_FSM:
      std::snprintf(line, sizeof(line),
                    "VLK: task %u, factory %u has no machine %08X: message (type %u) freed; further ones are "
                    "counted in %s",
                    msg->dstTaskId, msg->dstFactoryId, msg->dstFsmId, msg->msgType, "EMSG_STAT_E_NO_FSM");
      break;
    default:
      std::snprintf(line, sizeof(line),
                    "VLK: task %u, factory %u does not know message type %u: message freed; further ones are "
                    "counted in %s",
                    msg->dstTaskId, msg->dstFactoryId, msg->msgType, "EMSG_STAT_E_UNKNOWN_MSG");
      break;
  }
  LogWarning(line);
}

Cvlk_msg_buf* Cvlk_task_mgr::GetMsgBuf(unsigned int size) {
  Cvlk_msg_buf* buf = nullptr;
  Cvlk_task* self = Cvlk_task::runningTask();
  if (self != nullptr && self->m_mgr == this && self->m_freeCount != 0) {
    // A handler's request: its task's freed buffers go back first, under the
    // same lock hold, so the pool is never short of them.
    buf = self->allocAfterFrees(size);
  } else {
    buf = allocMsgBuf(size);
  }
  if (buf == nullptr) noteNoMsgBuf();
  return buf;
}

Cvlk_msg_buf* Cvlk_task_mgr::allocMsgBuf(unsigned int size) {
  return m_pool != nullptr ? m_pool->Alloc(size) : nullptr;
}

void Cvlk_task_mgr::noteNoMsgBuf(unsigned int n) {
  // The count is never reset: the signal marks the first failure only.
  if (n != 0 && m_noBufCount.fetch_add(n, std::memory_order_relaxed) == 0) Q_EMIT sigErrorNoMsgBuf();
}

EerrNo Cvlk_task_mgr::FreeMsgBuf(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  if (m_pool == nullptr) return ERR_NOT_INITIAL;
  return m_pool->Free(buf);
}

EerrNo Cvlk_task_mgr::initMessagePool(unsigned int tinyBufSize, unsigned int tinyNodeCnt, unsigned int smallBufSize,
                                      unsigned int smallNodeCnt, unsigned int commBufSize, unsigned int commNodeCnt,
                                      unsigned int bigBufSize, unsigned int bigNodeCnt) {
  if (m_pool != nullptr) return ERR_INVALID_OPR;
  m_pool = new Cvlk_msg_pool(this);
  const unsigned int sizes[EMSG_CLASS_NUM] = {tinyBufSize, smallBufSize, commBufSize, bigBufSize};
  const unsigned int counts[EMSG_CLASS_NUM] = {tinyNodeCnt, smallNodeCnt, commNodeCnt, bigNodeCnt};
  EerrNo result = ERR_OK;
  for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls) {
    EerrNo err = m_pool->InitClass(cls, sizes[cls], counts[cls]);
    if (err != ERR_OK && result == ERR_OK) result = err;
  }
  return result;
}

void Cvlk_task_mgr::clearMessageStat() {
  if (m_pool != nullptr) m_pool->ClearStat();
}

void Cvlk_task_mgr::showMessageStat() {
  if (m_pool != nullptr) m_pool->PrintStat();
}

unsigned int Cvlk_task_mgr::GetMsgRealNum(unsigned int cls) const {
  return m_pool != nullptr ? m_pool->GetRealNum(cls) : 0u;
}

unsigned int Cvlk_task_mgr::GetMsgIdleNum(unsigned int cls) const {
  return m_pool != nullptr ? m_pool->GetIdleNum(cls) : 0u;
}

unsigned int Cvlk_task_mgr::GetMsgBufSize(unsigned int cls) const {
  return m_pool != nullptr ? m_pool->GetClassSize(cls) : 0u;
}

unsigned int Cvlk_task_mgr::GetMsgStat(unsigned int idx) const { return m_pool != nullptr ? m_pool->GetStat(idx) : 0u; }

EerrNo Cvlk_task_mgr::afterRun() { return ERR_OK; }

EerrNo Cvlk_task_mgr::GetQueueMetrics(unsigned int id, Cvlk_queue_metrics* out) {
  if (out == nullptr) return ERR_INVALID_PARAM;
  Cvlk_task* task = id < 32 ? m_tasks[id] : nullptr;
  if (task == nullptr) return ERR_OBJ_NOT_FOUND;
  *out = task->TakeQueueMetrics();
  return ERR_OK;
}

void Cvlk_task_mgr::printQueueMetrics(Cvlk_task* task) {
  const Cvlk_queue_metrics m = task->TakeQueueMetrics();
  char line[192];
  std::snprintf(line, sizeof(line),
                "queue: depth=%u, highWater=%u, handled=%llu, timed=%llu, meanWaitUs=%llu, maxWaitUs=%llu", m.depth,
                m.highWater, static_cast<unsigned long long>(m.handled), static_cast<unsigned long long>(m.timed),
                static_cast<unsigned long long>(m.meanQueueNs / 1000),
                static_cast<unsigned long long>(m.maxQueueNs / 1000));
  Display(line);
}

void Cvlk_task_mgr::Print() {
  if (m_pool != nullptr) m_pool->PrintStatus();
  for (Cvlk_task* task : m_tasks) {
    if (task == nullptr) continue;
    task->Print();
    printQueueMetrics(task);
    Display(" ");
  }
}

void Cvlk_task_mgr::Display(const char* text) {
  if (text == nullptr || *text == '\0') return;
  Q_EMIT sigOutputTraceInfo(QString(text));
}

void Cvlk_task_mgr::TraceInfo(const char* text) {
  if (HasTraceOn() == VLK_TRUE) Display(text);
}

void Cvlk_task_mgr::LogInfo(const char* text) { Q_EMIT sigLogInfo(QString(text)); }

void Cvlk_task_mgr::LogWarning(const char* text) { Q_EMIT sigLogWarning(QString(text)); }

void Cvlk_task_mgr::LogError(const char* text) { Q_EMIT sigLogError(QString(text)); }
