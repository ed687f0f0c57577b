// Tasks: the queue, the thread that drains it, sending, output and shutdown.
#include <ctime>

#include "vlk_task.h"

namespace {

// The clock of the queue metrics: the coarse monotonic clock, a plain read of
// the kernel's last tick (no counter read), cheap enough to take per send.
std::int64_t QueueClockNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The task whose thread this is (null on other threads): a buffer request
// made there may first hand back the task's freed buffers. Read on every
// request, so it is kept in the static TLS block (one %fs-relative load, no
// __tls_get_addr call); one pointer fits the surplus even under dlopen.
__attribute__((tls_model("initial-exec"))) thread_local Cvlk_task* t_runningTask = nullptr;

}  // namespace

Cvlk_task::Cvlk_task(Cvlk_task_mgr* mgr, unsigned int id, const char* name)
    : Cvlk_thread(mgr),
      m_mgr(mgr),
      m_id(id),
      m_name{},
      m_facCount(0),
      m_factories{},
      m_timerCount(1),
      m_timerPool(nullptr),
      m_queue(nullptr),
      m_selfChkTimerId(0),
      m_closed(false),
      m_registered(false) {
  // Longer names are cut so that the field always ends in a terminator.
  if (name != nullptr) {
    for (unsigned int i = 0; i + 1 < sizeof(m_name) && name[i] != '\0'; ++i) m_name[i] = name[i];
  }
  init();
}

Cvlk_task::~Cvlk_task() {
  close();
  if (m_registered && m_mgr != nullptr) m_mgr->unregTask(this);
}

void Cvlk_task::init() {
  m_timerCount = 1;  // the self-check timer
  m_facCount = 0;
  for (Cfactory*& factory : m_factories) factory = nullptr;
  // Made before the lock is taken: adopting a Qt child sends this task an event,
  // which event filters see, and no outside code runs under a library lock.
  Cvlk_link* queue = new Cvlk_link(VlkGetGlobalObjID(), this);
  Cvlk_fast_locker guard(&m_queueLock);
  m_queue = queue;
}

EerrNo Cvlk_task::regFactory(Cfactory* factory) {
  if (factory == nullptr) return ERR_INVALID_PARAM;
  if (m_facCount >= 8) return ERR_OUT_OF_MEMORY;
  m_factories[m_facCount++] = factory;
  return ERR_OK;
}

EerrNo Cvlk_task::setTimer(unsigned int n) {
  // The pool is made at start with the count reached by then.
  if (m_timerPool != nullptr || isStarted()) return ERR_INVALID_OPR;
  if (n > kMaxTimers - m_timerCount) return ERR_OUT_OF_MEMORY;
  m_timerCount += n;
  return ERR_OK;
}

void Cvlk_task::start() {
  if (isStarted()) return;
  // The timer pool and whatever OnCreate sets up exist before the thread runs:
  // a message queued before start (or sent by OnCreate itself) is taken only
  // once OnCreate has returned, and starting the thread publishes OnCreate's
  // writes to it.
  startTimerPool();
  OnCreate();
  setThreadName(m_name);  // top -H and debuggers show the task's name
  Cvlk_thread::start();
}

EerrNo Cvlk_task::SendMsg(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  // A message to oneself never passes the routing thread.
  if (buf->GetMsgPointer()->dstTaskId == m_id) return PumpMsgBuf(buf);
  if (m_mgr == nullptr) {
    FreeMsgBuf(buf);  // nobody can route it, and it is no longer the caller's
    return ERR_NOT_INITIAL;
  }
  return m_mgr->SendMsg(buf);
}

EerrNo Cvlk_task::enqueueLocked(Cvlk_msg_buf* buf, std::int64_t now) {
  const EerrNo err = m_queue->AddToTail(buf);
  if (err != ERR_OK) return err;
  buf->m_queuedNs = now;
  const unsigned int depth = m_queue->GetNum();
  if (depth > m_highWater) m_highWater = depth;
  return ERR_OK;
}

EerrNo Cvlk_task::PumpMsgBuf(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  EerrNo err = ERR_OK;
  bool closed;
  const std::int64_t now = QueueClockNs();
  {
    Cvlk_fast_locker guard(&m_queueLock);
    closed = m_closed || m_queue == nullptr;
    if (!closed) err = enqueueLocked(buf, now);
  }
  // The queue lock is released before the pool lock is taken.
  if (closed) return FreeMsgBuf(buf);
  if (err == ERR_OK) m_wake.release();
  return err;
}

bool Cvlk_task::appendBufs(Cvlk_msg_buf* const* bufs, unsigned int n) {
  const std::int64_t now = QueueClockNs();  // one reading for the whole batch
  Cvlk_fast_locker guard(&m_queueLock);
  if (m_closed || m_queue == nullptr) return false;
  for (unsigned int i = 0; i < n; ++i) {
    enqueueLocked(bufs[i], now);  // as PumpMsgBuf, whose result the router ignores
  }
  return true;
}

void Cvlk_task::PumpMsgBufs(Cvlk_msg_buf* const* bufs, unsigned int n) {
  if (n == 0) return;
  // The queue lock is released before the pool lock is taken.
  if (appendBufs(bufs, n)) {
    m_wake.release();
  } else {
    for (unsigned int i = 0; i < n; ++i) FreeMsgBuf(bufs[i]);
  }
}

Cvlk_msg_buf* Cvlk_task::GetPumpMsgBuf() {
  Cvlk_fast_locker guard(&m_queueLock);
  if (m_queue == nullptr) return nullptr;
  return static_cast<Cvlk_msg_buf*>(m_queue->RemoveHead());
}

EerrNo Cvlk_task::TransferMsg(Cvlk_msg_buf*) { return ERR_OK; }

Cvlk_msg_buf* Cvlk_task::GetMsgBuf(unsigned int size) { return m_mgr != nullptr ? m_mgr->GetMsgBuf(size) : nullptr; }

Cvlk_task* Cvlk_task::runningTask() { return t_runningTask; }

Cvlk_msg_buf* Cvlk_task::allocAfterFrees(unsigned int size) {
  Cvlk_msg_buf* buf = m_mgr->m_pool->FreeBatchAlloc(m_freeCache, m_freeCount, size);
  m_freeCount = 0;
  return buf;
}

void Cvlk_task::freeLater(Cvlk_msg_buf* buf) {
  if (m_mgr == nullptr || m_mgr->m_pool == nullptr) {
    FreeMsgBuf(buf);
    return;
  }
  m_freeCache[m_freeCount++] = buf;
  if (m_freeCount == kRunBatch) flushFrees();
}

void Cvlk_task::flushFrees() {
  if (m_freeCount == 0) return;
  m_mgr->m_pool->FreeBatch(m_freeCache, m_freeCount);
  m_freeCount = 0;
}

EerrNo Cvlk_task::FreeMsgBuf(Cvlk_msg_buf* buf) {
  // Without a manager the buffer still goes home, to the pool that made it.
  if (m_mgr == nullptr) return Cvlk_msg_pool::FreeToOwner(buf);
  return m_mgr->FreeMsgBuf(buf);
}

Cvlk_queue_metrics Cvlk_task::TakeQueueMetrics() {
  Cvlk_queue_metrics m;
  m.handled = m_handled.load(std::memory_order_relaxed);
  Cvlk_fast_locker guard(&m_queueLock);
  m.depth = m_queue != nullptr ? m_queue->GetNum() : 0u;
  m.highWater = m_highWater;
  m.timed = m_waitCount;
  m.meanQueueNs = m_waitCount != 0 ? m_waitSumNs / m_waitCount : 0u;
  m.maxQueueNs = m_waitMaxNs;
  m_waitCount = m_waitSumNs = m_waitMaxNs = 0;
  return m;
}

unsigned int Cvlk_task::takeBatch(Cvlk_msg_buf** out, unsigned int max) {
  const std::int64_t now = QueueClockNs();  // one reading for the whole batch
  Cvlk_fast_locker guard(&m_queueLock);
  unsigned int n = 0;
  while (n < max && m_queue != nullptr) {
    Cvlk_msg_buf* buf = static_cast<Cvlk_msg_buf*>(m_queue->RemoveHead());
    if (buf == nullptr) break;
    out[n++] = buf;
    // A sender's reading may be a tick newer than ours.
    const std::uint64_t waited = now > buf->m_queuedNs ? static_cast<std::uint64_t>(now - buf->m_queuedNs) : 0u;
    m_waitSumNs += waited;
    if (waited > m_waitMaxNs) m_waitMaxNs = waited;
  }
  m_waitCount += n;
  return n;
}

void Cvlk_task::run() {
  Cvlk_msg_buf* batch[kRunBatch];
  t_runningTask = this;
  while (!isStopRequested()) {
    m_wake.acquire();
    // Releases coalesce: drain everything queued since the last wake-up, a few
    // buffers per lock hold. The queue lock is never held while a message is
    // processed.
    while (!isStopRequested()) {
      const unsigned int n = takeBatch(batch, kRunBatch);
      if (n == 0) break;
      unsigned int i = 0;
      for (; i < n && !isStopRequested(); ++i) {
        // Only the handler of the last message of a batch that emptied the
        // queue may deliver a send itself (see m_mayDeliver).
        m_mayDeliver = i + 1 == n && n < kRunBatch;
        processPumpMsg(batch[i]);
      }
      m_mayDeliver = false;
      m_handled.store(m_handled.load(std::memory_order_relaxed) + i, std::memory_order_relaxed);
      flushFrees();
      // Asked to stop half-way: what was taken goes back to the pool.
      for (; i < n; ++i) FreeMsgBuf(batch[i]);
    }
  }
  flushFrees();
  t_runningTask = nullptr;
}

void Cvlk_task::requestStop() {
  Cvlk_thread::requestStop();
  m_wake.release();
}

void Cvlk_task::close() {
  stop();
  {
    Cvlk_fast_locker guard(&m_queueLock);
    m_closed = true;
  }
  while (Cvlk_msg_buf* buf = GetPumpMsgBuf()) FreeMsgBuf(buf);
}

void Cvlk_task::Display(const char* text) {
  if (m_mgr != nullptr) m_mgr->Display(text);
}

void Cvlk_task::TraceInfo(const char* text) {
  if (m_mgr != nullptr) m_mgr->TraceInfo(text);
}

void Cvlk_task::LogInfo(const char* text) {
  if (m_mgr != nullptr) m_mgr->LogInfo(text);
}

void Cvlk_task::LogWarning(const char* text) {
  if (m_mgr != nullptr) m_mgr->LogWarning(text);
}

void Cvlk_task::LogError(const char* text) {
  if (m_mgr != nullptr) m_mgr->LogError(text);
}

void Cvlk_task::slotTracedInfo(QString info) {
  if (m_mgr != nullptr && m_mgr->HasTraceOn() == VLK_TRUE) Q_EMIT sigTracedInfo(info);
}
