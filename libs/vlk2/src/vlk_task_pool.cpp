// The message pool: four fixed size classes of buffers, the routing queue and
// the routing thread, and the pool's statistics.
#include <cstdio>
#include <thread>

#include "vlk_task.h"

namespace {

const char* const kStatNames[EMSG_STAT_NUM] = {
    "EMSG_STAT_E_NO_MSG_NODE",     "EMSG_STAT_E_NO_TINY_MSG_NODE", "EMSG_STAT_E_NO_SMALL_MSG_NODE",
    "EMSG_STAT_E_NO_COMM_MSG_NODE", "EMSG_STAT_E_NO_BIG_MSG_NODE", "EMSG_STAT_E_NO_MSG_BUF",
    "EMSG_STAT_N_ALLOC_MSG",       "EMSG_STAT_N_ALLOC_TINY_MSG",   "EMSG_STAT_N_ALLOC_SMALL_MSG",
    "EMSG_STAT_N_ALLOC_COMM_MSG",  "EMSG_STAT_N_ALLOC_BIG_MSG",    "EMSG_STAT_N_FREE_MSG",
    "EMSG_STAT_E_NO_TASK",         "EMSG_STAT_E_NO_FACTORY",       "EMSG_STAT_E_NO_FSM",
    "EMSG_STAT_E_UNKNOWN_MSG",
};

const char* const kInitFormats[EMSG_CLASS_NUM] = {
    "initTinyMsgPool: nodeCnt=%u, bufSize=%u",
    "initSmallMsgPool: nodeCnt=%u, bufSize=%u",
    "initCommMsgPool: nodeCnt=%u, bufSize=%u",
    "initBigMsgPool: nodeCnt=%u, bufSize=%u",
};

const char* const kStatusFormats[EMSG_CLASS_NUM] = {
    "tiny:  realCnt=%u, idleCnt=%u",
    "small: realCnt=%u, idleCnt=%u",
    "comm:  realCnt=%u, idleCnt=%u",
    "big:   realCnt=%u, idleCnt=%u",
};

}  // namespace

Cvlk_msg_pool::Cvlk_msg_pool(Cvlk_task_mgr* mgr)
    : Cvlk_thread(mgr), m_mgr(mgr), m_class{}, m_size{}, m_stat(nullptr), m_closed(false) {
  m_stat = new Cvlk_counter(EMSG_STAT_NUM, VlkGetGlobalObjID(), this);
  setThreadName("vlk-route");
}

Cvlk_msg_pool::~Cvlk_msg_pool() {
  // The routing thread must be gone before the queue and the classes go; the
  // size classes (Qt children) then delete every buffer.
  Close();
}

EerrNo Cvlk_msg_pool::InitClass(unsigned int cls, unsigned int bufSize, unsigned int nodeCnt) {
  if (cls >= EMSG_CLASS_NUM) return ERR_INVALID_PARAM;
  Cvlk_fast_locker guard(&m_lock);
  if (m_class[cls] != nullptr) return ERR_INVALID_OPR;
  m_size[cls] = bufSize;
  Cvlk_resource* res = new Cvlk_resource(bufSize, nodeCnt, this);
  m_class[cls] = res;
  if (res->GetErr() != ERR_OK) return ERR_OUT_OF_MEMORY;
  for (unsigned int i = 0; i < nodeCnt; ++i) {
    Cvlk_msg_buf* buf = new Cvlk_msg_buf(bufSize, res);
    if (buf->GetErr() != ERR_OK || res->Add(buf) != ERR_OK) {
      delete buf;
      return ERR_OUT_OF_MEMORY;
    }
  }
  VlkDebug(kInitFormats[cls], nodeCnt, bufSize);
  return ERR_OK;
}

Cvlk_msg_buf* Cvlk_msg_pool::allocLocked(unsigned int size) {
  Cvlk_msg_buf* buf = nullptr;
  for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls) {
    if (m_class[cls] == nullptr || m_size[cls] < size) continue;
    // The first class large enough is the only one tried: no fall-back.
    m_stat->Inc(EMSG_STAT_N_ALLOC_TINY_MSG + cls);
    buf = static_cast<Cvlk_msg_buf*>(m_class[cls]->AllocNode());
    if (buf == nullptr) m_stat->Inc(EMSG_STAT_E_NO_TINY_MSG_NODE + cls);
    break;
  }
  // Stepped while the lock is held: only its holder touches the counters, so
  // they travel with the lock instead of being fought over by every core.
  m_stat->Inc(buf != nullptr ? EMSG_STAT_N_ALLOC_MSG : EMSG_STAT_E_NO_MSG_NODE);
  return buf;
}

Cvlk_msg_buf* Cvlk_msg_pool::Alloc(unsigned int size) {
  Cvlk_fast_locker guard(&m_lock);
  return allocLocked(size);
}

EerrNo Cvlk_msg_pool::freeLocked(Cvlk_msg_buf* buf) {
  Cvlk_resource* res = buf->GetRes();
  bool ours = false;
  for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls) ours = ours || (res != nullptr && res == m_class[cls]);
  if (!ours) return ERR_INVALID_PARAM;
  // A buffer waiting for the routing thread is still the pool's.
  if (buf->m_routing.load(std::memory_order_relaxed)) return ERR_INVALID_OPR;
  // An idle buffer, or one in a task's queue, is refused by the class.
  return res->FreeById(buf->GetId());
}

EerrNo Cvlk_msg_pool::Free(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  Cvlk_fast_locker guard(&m_lock);
  const EerrNo err = freeLocked(buf);
  if (err == ERR_OK) m_stat->Inc(EMSG_STAT_N_FREE_MSG);
  return err;
}

void Cvlk_msg_pool::freeBatchLocked(Cvlk_msg_buf* const* bufs, unsigned int n) {
  for (unsigned int i = 0; i < n; ++i) {
    if (freeLocked(bufs[i]) == ERR_OK) m_stat->Inc(EMSG_STAT_N_FREE_MSG);
  }
}

void Cvlk_msg_pool::FreeBatch(Cvlk_msg_buf* const* bufs, unsigned int n) {
  Cvlk_fast_locker guard(&m_lock);
  freeBatchLocked(bufs, n);
}

Cvlk_msg_buf* Cvlk_msg_pool::FreeBatchAlloc(Cvlk_msg_buf* const* bufs, unsigned int n, unsigned int size) {
  Cvlk_fast_locker guard(&m_lock);
  freeBatchLocked(bufs, n);
  return allocLocked(size);
}

EerrNo Cvlk_msg_pool::FreeToOwner(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  // A buffer's class is a Qt child of the pool that made it.
  Cvlk_resource* res = buf->GetRes();
  auto* pool = res != nullptr ? dynamic_cast<Cvlk_msg_pool*>(res->parent()) : nullptr;
  return pool != nullptr ? pool->Free(buf) : ERR_INVALID_PARAM;
}

EerrNo Cvlk_msg_pool::Post(Cvlk_msg_buf* buf) {
  if (buf == nullptr) return ERR_INVALID_PARAM;
  // A handler of one of this manager's tasks may deliver its buffer itself
  // (see Cvlk_task::m_mayDeliver) when the routing thread holds nothing: it
  // would deliver this buffer next, so the sender does, and spares the
  // wake-up of the routing thread. Not before Run nor once Stop has begun:
  // then buffers wait for Close.
  Cvlk_task* sender = Cvlk_task::runningTask();
  if (sender != nullptr && sender->m_mgr == m_mgr && sender->m_mayDeliver &&
      m_inFlight.load(std::memory_order_acquire) == 0 && isRunning() && !isStopRequested()) {
    sender->m_mayDeliver = false;  // one per handler
    deliverDirect(buf);
    return ERR_OK;
  }
  // Counted before it is pushed (the routing thread lowers the count only for
  // what it took) and before m_closed is read: either Close sees the count and
  // waits for the push, or this sender sees m_closed. Nobody routes any more
  // then: the buffer goes straight back.
  m_inFlight.fetch_add(1, std::memory_order_seq_cst);
  if (m_closed.load(std::memory_order_seq_cst)) {
    m_inFlight.fetch_sub(1, std::memory_order_release);
    return Free(buf);
  }
  buf->m_routing.store(true, std::memory_order_relaxed);
  Cvlk_msg_buf* head = m_routeHead.load(std::memory_order_relaxed);
  do {
    buf->m_routeNext = head;
  } while (!m_routeHead.compare_exchange_weak(head, buf, std::memory_order_release, std::memory_order_relaxed));
  // Only the sender that found the queue empty wakes the routing thread: it
  // takes everything queued until it finds the queue empty again.
  if (head == nullptr) m_wake.release();
  return ERR_OK;
}

Cvlk_task* Cvlk_msg_pool::place(unsigned int dst, Cvlk_msg_buf* const* bufs, unsigned int n) {
  // No pool lock is held here: appendBufs takes the task's queue lock.
  Cvlk_task* task = m_mgr->getTask(dst);
  if (task != nullptr && task->appendBufs(bufs, n)) return task;
  // No such task, or one that is closed: the buffers go back.
  for (unsigned int k = 0; k < n; ++k) {
    if (task == nullptr) m_mgr->noteMisaddressed(EMSG_STAT_E_NO_TASK, bufs[k]->GetMsgPointer());
    Free(bufs[k]);
  }
  return nullptr;
}

void Cvlk_msg_pool::deliverDirect(Cvlk_msg_buf* buf) {
  if (Cvlk_task* task = place(buf->GetMsgPointer()->dstTaskId, &buf, 1)) task->wakeUp();
}

Cvlk_msg_buf* Cvlk_msg_pool::takeQueue() {
  Cvlk_msg_buf* newest = m_routeHead.exchange(nullptr, std::memory_order_acquire);
  // Newest first as pushed: turned round, each sender's buffers come out in
  // the order sent.
  // Taken, a buffer no longer waits here: a task's queue (or the pool) takes
  // it next.
  Cvlk_msg_buf* oldest = nullptr;
  while (newest != nullptr) {
    Cvlk_msg_buf* next = newest->m_routeNext;
    newest->m_routing.store(false, std::memory_order_relaxed);
    newest->m_routeNext = oldest;
    oldest = newest;
    newest = next;
  }
  return oldest;
}

void Cvlk_msg_pool::route(Cvlk_msg_buf** bufs, unsigned int n) {
  std::uint32_t fed = 0;  // bit n: task n got buffers
  unsigned int i = 0;
  while (i < n) {
    const unsigned int dst = bufs[i]->GetMsgPointer()->dstTaskId;
    unsigned int end = i + 1;
    while (end < n && bufs[end]->GetMsgPointer()->dstTaskId == dst) ++end;
    if (place(dst, bufs + i, end - i) != nullptr) fed |= 1u << dst;
    i = end;
  }
  // Every buffer is placed: senders may deliver their own again, even the
  // answers of the tasks about to be woken.
  if (n > 0) m_inFlight.fetch_sub(n, std::memory_order_release);
  while (fed != 0) {
    const unsigned int id = static_cast<unsigned int>(__builtin_ctz(fed));
    fed &= fed - 1;
    m_mgr->getTask(id)->wakeUp();
  }
}

void Cvlk_msg_pool::routeChain(Cvlk_msg_buf* chain) {
  Cvlk_msg_buf* batch[kRouteBatch];
  while (chain != nullptr) {
    unsigned int n = 0;
    for (; n < kRouteBatch && chain != nullptr; chain = chain->m_routeNext) batch[n++] = chain;
    route(batch, n);
  }
}

void Cvlk_msg_pool::run() {
  while (!isStopRequested()) {
    m_wake.acquire();
    // Releases coalesce: take what is queued until the queue is found empty.
    // Once taken, a buffer is always delivered or freed, even when a stop is
    // requested half-way.
    while (Cvlk_msg_buf* chain = takeQueue()) {
      routeChain(chain);
      if (isStopRequested()) break;
    }
  }
}

void Cvlk_msg_pool::requestStop() {
  Cvlk_thread::requestStop();
  m_wake.release();
}

void Cvlk_msg_pool::Close() {
  stop();
  m_closed.store(true, std::memory_order_seq_cst);
  // Whatever is still queued goes back, also from senders that counted their
  // buffer before they saw m_closed and have yet to push it.
  while (m_inFlight.load(std::memory_order_seq_cst) != 0) {
    Cvlk_msg_buf* chain = takeQueue();
    if (chain == nullptr) {
      std::this_thread::yield();
      continue;
    }
    unsigned int n = 0;
    while (chain != nullptr) {
      Cvlk_msg_buf* next = chain->m_routeNext;
      Free(chain);
      chain = next;
      ++n;
    }
    m_inFlight.fetch_sub(n, std::memory_order_release);
  }
}

unsigned int Cvlk_msg_pool::GetRealNum(unsigned int cls) {
  if (cls >= EMSG_CLASS_NUM) return 0;
  Cvlk_fast_locker guard(&m_lock);
  return m_class[cls] != nullptr ? m_class[cls]->GetRealNum() : 0u;
}

unsigned int Cvlk_msg_pool::GetIdleNum(unsigned int cls) {
  if (cls >= EMSG_CLASS_NUM) return 0;
  Cvlk_fast_locker guard(&m_lock);
  return m_class[cls] != nullptr ? m_class[cls]->GetIdleNum() : 0u;
}

unsigned int Cvlk_msg_pool::GetStat(unsigned int idx) const { return m_stat->Get(idx); }

void Cvlk_msg_pool::ClearStat() { m_stat->ClearAll(); }

void Cvlk_msg_pool::IncStat(unsigned int idx) { m_stat->Inc(idx); }

void Cvlk_msg_pool::PrintStatus() {
  char line[96];
  m_mgr->Display("================================================");
  m_mgr->Display("Message pool::");
  for (unsigned int cls = 0; cls < EMSG_CLASS_NUM; ++cls) {
    std::snprintf(line, sizeof(line), kStatusFormats[cls], GetRealNum(cls), GetIdleNum(cls));
    m_mgr->Display(line);
  }
}

void Cvlk_msg_pool::PrintStat() {
  char line[96];
  PrintStatus();
  m_mgr->Display("========================================");
  m_mgr->Display("Message pool statistic:  ");
  for (unsigned int idx = 0; idx < EMSG_STAT_NUM; ++idx) {
    unsigned int value = m_stat->Get(idx);
    if (value == 0) continue;
    std::snprintf(line, sizeof(line), "%s (%u)", kStatNames[idx], value);
    m_mgr->Display(line);
  }
}
