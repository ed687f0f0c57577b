// The task manager: task table, message routing entry points, start and stop,
// and the signals through which the framework's output leaves the library.
#include <cstdlib>
#include <ctime>

#include "vlk_task.h"

Cvlk_task_mgr::Cvlk_task_mgr(QObject* parent)
    : QObject(parent),
      m_taskCount(0),
      m_tasks{},
      m_pool(nullptr),
      m_trace(VLK_FALSE),
      m_noBufCount(0),
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
  if (task == nullptr) return ERR_INVALID_PARAM;
  if (m_taskCount >= 32 || task->GetModId() >= 32) return ERR_OUT_OF_MEMORY;
  Cvlk_task* old = m_tasks[task->GetModId()];
  if (old != nullptr && old != task) old->m_registered = false;
  m_tasks[task->GetModId()] = task;
  task->m_registered = true;
  ++m_taskCount;
  connect(task, &Cvlk_task::sigTracedInfo, this, &Cvlk_task_mgr::sigOutputTraceInfo);
  return ERR_OK;
}

void Cvlk_task_mgr::unregTask(Cvlk_task* task) {
  for (Cvlk_task*& slot : m_tasks) {
    if (slot == task) slot = nullptr;
  }
}

Cvlk_task* Cvlk_task_mgr::getTask(unsigned int id) const { return (id >= 1 && id <= 31) ? m_tasks[id] : nullptr; }

EerrNo Cvlk_task_mgr::SendMsg(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  if (m_pool == nullptr) return ERR_NOT_INITIAL;
  return m_pool->Post(buf);
}

EerrNo Cvlk_task_mgr::SendMsgToTask(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  Cvlk_task* task = getTask(buf->GetMsgPointer()->dstTaskId);
  if (task != nullptr) return task->PumpMsgBuf(buf);
  FreeMsgBuf(buf);
  return ERR_OK;
}

EerrNo Cvlk_task_mgr::TransferMsg(Cvlk_msg_buf* buf) { return FreeMsgBuf(buf); }

Cvlk_msg_buf* Cvlk_task_mgr::GetMsgBuf(unsigned int size) {
  Cvlk_msg_buf* buf = allocMsgBuf(size);
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

void Cvlk_task_mgr::Print() {
  if (m_pool != nullptr) m_pool->PrintStatus();
  for (Cvlk_task* task : m_tasks) {
    if (task == nullptr) continue;
    task->Print();
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
