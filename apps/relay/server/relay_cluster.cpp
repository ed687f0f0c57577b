// The cluster bridge: topics shared through Redis publish/subscribe.
#include "relay_cluster.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include "relay_msgs.h"

// ---------------------------------------------------------------------------
// The bridge: set-up and the topic task's side
// ---------------------------------------------------------------------------

namespace {

// Steps of a connection's handshake, carried as the callbacks' private data.
enum Estep : std::uintptr_t { STEP_AUTH = 1, STEP_SELECT, STEP_PING };
const char* const kStepNames[] = {"", "AUTH", "SELECT", "PING"};

std::int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Crelay_cluster::Crelay_cluster(const Srelay_cluster_config& cfg, Cvlk_task_mgr* mgr, unsigned dstTask,
                               unsigned dstFactory, unsigned maxTopics)
    : m_cfg(cfg),
      m_mgr(mgr),
      m_dstTask(dstTask),
      m_dstFactory(dstFactory),
      m_capacity(maxTopics < 1 ? 1 : (maxTopics > 65535 ? 65535 : maxTopics)) {
  if (getrandom(&m_origin, sizeof(m_origin), 0) != static_cast<ssize_t>(sizeof(m_origin))) {
    m_origin = static_cast<std::uint64_t>(WallMs()) * 6364136223846793005ull ^ static_cast<std::uint64_t>(getpid());
  }
  m_sub.owner = m_pub.owner = this;
  m_sub.subscriber = true;
}

Crelay_cluster::~Crelay_cluster() {
  stop();
  delete m_topics;
  delete[] m_ring;
  delete m_queue;
  if (m_wakeFd >= 0) close(m_wakeFd);
}

bool Crelay_cluster::Start(std::string& err) {
  if (!RelayClusterCheck(m_cfg, err)) return false;
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) {
    err = std::string("cluster: eventfd: ") + std::strerror(errno);
    return false;
  }
  m_topics = new Cvlk_hash_tbl(VlkGetGlobalObjID(), m_capacity, kRelayMaxTopic, sizeof(Stopic), VLK_FALSE);
  m_ring = new unsigned[m_capacity];
  m_queue = new Cvlk_link();
  if (m_topics->GetErr() != ERR_OK) {
    err = "cluster: cannot make the topic table";
    return false;
  }
  start();
  return true;
}

void Crelay_cluster::requestStop() {
  Cvlk_thread::requestStop();
  if (m_wakeFd >= 0) {
    std::uint64_t one = 1;
    ssize_t ignored = write(m_wakeFd, &one, sizeof(one));
    (void)ignored;
  }
}

void Crelay_cluster::wake() {
  if (m_woken.exchange(true, std::memory_order_acq_rel)) return;
  std::uint64_t one = 1;
  ssize_t ignored = write(m_wakeFd, &one, sizeof(one));
  (void)ignored;
}

std::int64_t Crelay_cluster::nowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Crelay_cluster::mark(const char* topic, unsigned len, bool wanted) {
  if (m_topics == nullptr || len == 0 || len > kRelayMaxTopic) return;
  const unsigned char* key = reinterpret_cast<const unsigned char*>(topic);
  bool full = false;
  {
    Cguard guard(m_lock);
    unsigned char* data = nullptr;
    unsigned id = 0;
    Stopic* t = nullptr;
    if (m_topics->FindFirst(len, key, &data, &id) == ERR_OK) {
      t = reinterpret_cast<Stopic*>(data);
    } else if (wanted) {
      Stopic fresh{0, REMOTE_NONE, 0};
      if (m_topics->Add(len, key, reinterpret_cast<unsigned char*>(&fresh), &id) == ERR_OK &&
          m_topics->FindFirst(len, key, &data, &id) == ERR_OK) {
        t = reinterpret_cast<Stopic*>(data);
      } else {
        full = true;
      }
    }
    if (t != nullptr) {
      t->wanted = wanted ? 1 : 0;
      if (!t->queued && m_ringCount < m_capacity) {
        t->queued = 1;
        m_ring[(m_ringHead + m_ringCount) % m_capacity] = id;
        ++m_ringCount;
      }
    }
  }
  if (full) {
    m_tableFull.fetch_add(1, std::memory_order_relaxed);
    m_mgr->LogWarning("cluster: the topic table is full: a topic is served on this relay only");
    return;
  }
  wake();
}

Erelay_share Crelay_cluster::Publish(const char* topic, unsigned topicLen, const char* text, unsigned textLen) {
  if (!m_connected.load(std::memory_order_acquire)) {
    m_notShared.fetch_add(1, std::memory_order_relaxed);
    return RELAY_SHARE_OFFLINE;
  }
  if (m_queued.load(std::memory_order_relaxed) >= kMaxQueued) {
    m_notShared.fetch_add(1, std::memory_order_relaxed);
    return RELAY_SHARE_BUSY;
  }
  // Kept in the bridge's own queue, never sent: the header only names what it holds.
  Cvlk_msg_buf* buf = nullptr;
  Srelay_topic_msg* msg =
      VlkNewMsg<Srelay_topic_msg>(m_mgr, &buf, VlkMsgAddr(0, 0), VlkMsgAddr(0, 0), RELAY_MSG_PUB, topicLen + textLen);
  if (msg == nullptr) {
    m_notShared.fetch_add(1, std::memory_order_relaxed);
    return RELAY_SHARE_BUSY;
  }
  msg->topicLen = topicLen;
  msg->textLen = textLen;
  std::memcpy(msg->bytes(), topic, topicLen);
  if (textLen) std::memcpy(msg->bytes() + topicLen, text, textLen);
  {
    Cguard guard(m_lock);
    m_queue->AddToTail(buf);
  }
  m_queued.fetch_add(1, std::memory_order_relaxed);
  wake();
  return RELAY_SHARE_QUEUED;
}

void Crelay_cluster::ReadStats(Srelay_cluster_stats& out) const {
  out.connected = m_connected.load(std::memory_order_acquire);
  out.sinceMs = m_sinceMs.load(std::memory_order_relaxed);
  out.topicsRemote = m_topicsRemote.load(std::memory_order_relaxed);
  out.in = m_in.load(std::memory_order_relaxed);
  out.out = m_out.load(std::memory_order_relaxed);
  out.notShared = m_notShared.load(std::memory_order_relaxed);
  out.echoes = m_echoes.load(std::memory_order_relaxed);
  out.refused = m_refused.load(std::memory_order_relaxed);
  out.inNoBuffer = m_inNoBuffer.load(std::memory_order_relaxed);
  out.outages = m_outages.load(std::memory_order_relaxed);
  out.tableFull = m_tableFull.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The bridge thread: the loop and the link's life
// ---------------------------------------------------------------------------

void Crelay_cluster::run() {
  while (!isStopRequested()) {
    std::int64_t now = nowMs();
    if (m_sub.ac == nullptr && m_pub.ac == nullptr && !m_broken && now >= m_nextAttemptAt) connect();
    if (!m_broken && !m_connected.load(std::memory_order_relaxed) && m_connectAt != 0 &&
        now - m_connectAt > static_cast<std::int64_t>(m_cfg.connectTimeoutMs)) {
      fail("no answer within connect_timeout_ms");
    }
    if (!m_broken && m_connected.load(std::memory_order_relaxed)) keepAlive(now);
    if (m_broken) teardown();
    processChanges();
    flushParked();
    drainPublications(m_connected.load(std::memory_order_relaxed));
    noticeRoom();  // the pool may have room again for work held back elsewhere

    pollfd fds[3];
    Sconn* conns[3] = {nullptr, nullptr, nullptr};
    nfds_t n = 0;
    fds[n++] = pollfd{m_wakeFd, POLLIN, 0};
    // Messages from Redis wait in the socket (and in Redis) while the pool runs
    // short, rather than be taken in and dropped.
    bool room = inboundRoom();
    for (Sconn* c : {&m_sub, &m_pub}) {
      if (c->ac == nullptr) continue;
      bool read = c->wantRead && (room || !c->ready || c != &m_sub);
      short events = static_cast<short>((read ? POLLIN : 0) | (c->wantWrite ? POLLOUT : 0));
      conns[n] = c;
      fds[n++] = pollfd{c->ac->c.fd, events, 0};
    }
    // Short waits while the pool is short or others wait for room.
    bool waiting = m_waiting != nullptr && m_waiting->load(std::memory_order_relaxed) > 0;
    int timeout = room && !waiting ? 100 : 2;
    if (n == 1 && m_nextAttemptAt > now) {
      std::int64_t wait = m_nextAttemptAt - now;
      timeout = wait < 1000 ? static_cast<int>(wait) : 1000;
    }
    if (poll(fds, n, timeout) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      m_woken.store(false, std::memory_order_release);
      std::uint64_t count = 0;
      ssize_t ignored = read(m_wakeFd, &count, sizeof(count));
      (void)ignored;
    }
    for (nfds_t i = 1; i < n; ++i) {
      Sconn* c = conns[i];
      if (c->ac != nullptr && (fds[i].revents & (POLLIN | POLLERR | POLLHUP))) redisAsyncHandleRead(c->ac);
      if (c->ac != nullptr && (fds[i].revents & POLLOUT)) redisAsyncHandleWrite(c->ac);
    }
    if (!m_broken && !m_connected.load(std::memory_order_relaxed) && m_sub.ready && m_pub.ready) onReady();
  }
  // Shutting down: the connections go without an outage report, and what is
  // still queued goes back to the pool.
  m_outageLogged = true;
  bool wasConnected = m_connected.exchange(false);
  if (m_sub.ac != nullptr || m_pub.ac != nullptr) {
    m_broken = true;
    m_reason = "the relay stops";
    teardown();
  }
  drainPublications(false);
  // Messages from Redis still parked for want of a buffer are lost with the stop.
  for (unsigned at = m_parkHead; at < m_parkLen;) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(m_park + at);
    at += 4 + p[0] + ((static_cast<unsigned>(p[1]) << 16) | (static_cast<unsigned>(p[2]) << 8) | p[3]);
    m_inNoBuffer.fetch_add(1, std::memory_order_relaxed);
  }
  m_parkHead = m_parkLen = 0;
  if (wasConnected) m_mgr->LogInfo("cluster: disconnected from redis (the relay stops)");
}

void Crelay_cluster::noticeRoom() {
  if (m_waiting == nullptr || m_waiting->load(std::memory_order_relaxed) == 0) return;
  std::int64_t now = nowMs();
  if (now - m_noticeAt < 5 || !poolRoomy()) return;
  Cvlk_msg_buf* notice = nullptr;
  if (VlkNewMsg<Cmsg>(m_mgr, &notice, VlkMsgAddr(0, 0), VlkMsgAddr(m_noticeTask, m_noticeFactory), m_noticeType) ==
      nullptr) {
    return;
  }
  m_noticeAt = now;
  m_mgr->SendMsg(notice);
}

bool Crelay_cluster::inboundRoom() const {
  return m_parkHead == m_parkLen && m_inFlight.load(std::memory_order_relaxed) < static_cast<int>(kMaxInbound) && poolRoomy();
}

bool Crelay_cluster::poolRoomy() const {
  for (unsigned cls = 0; cls < EMSG_CLASS_NUM; ++cls) {
    unsigned real = m_mgr->GetMsgRealNum(cls);
    if (real > 0 && m_mgr->GetMsgIdleNum(cls) * 2 < real) return false;
  }
  return true;
}

bool Crelay_cluster::attach(Sconn& c) {
  if (c.ac == nullptr || c.ac->err) {
    std::string why = c.ac ? c.ac->errstr : "out of memory";
    if (c.ac) redisAsyncFree(c.ac);
    c.ac = nullptr;
    fail(why.c_str());
    return false;
  }
  c.ac->data = &c;
  c.ac->ev.data = &c;
  c.ac->ev.addRead = evAddRead;
  c.ac->ev.delRead = evDelRead;
  c.ac->ev.addWrite = evAddWrite;
  c.ac->ev.delWrite = evDelWrite;
  c.ac->ev.cleanup = evCleanup;
  redisAsyncSetConnectCallback(c.ac, onConnect);
  redisAsyncSetDisconnectCallback(c.ac, onDisconnect);
  return true;
}

void Crelay_cluster::connect() {
  m_connectAt = nowMs();
  m_sub.ready = m_pub.ready = false;
  m_sub.ac = redisAsyncConnect(m_cfg.host.c_str(), static_cast<int>(m_cfg.port));
  if (!attach(m_sub)) return;
  m_pub.ac = redisAsyncConnect(m_cfg.host.c_str(), static_cast<int>(m_cfg.port));
  attach(m_pub);
}

void Crelay_cluster::handshake(Sconn& c) {
  if (!m_cfg.password.empty()) {
    const char* argv[] = {"AUTH", m_cfg.password.c_str()};
    const size_t lens[] = {4, m_cfg.password.size()};
    redisAsyncCommandArgv(c.ac, onHandshake, reinterpret_cast<void*>(STEP_AUTH), 2, argv, lens);
  }
  if (m_cfg.database != 0) {
    char db[16];
    int n = std::snprintf(db, sizeof(db), "%u", m_cfg.database);
    const char* argv[] = {"SELECT", db};
    const size_t lens[] = {6, static_cast<size_t>(n)};
    redisAsyncCommandArgv(c.ac, onHandshake, reinterpret_cast<void*>(STEP_SELECT), 2, argv, lens);
  }
  redisAsyncCommand(c.ac, onHandshake, reinterpret_cast<void*>(STEP_PING), "PING");
}

void Crelay_cluster::fail(const char* reason) {
  if (m_broken) return;
  m_broken = true;
  m_reason = reason != nullptr && reason[0] ? reason : "connection closed";
}

void Crelay_cluster::teardown() {
  // Freeing a context runs its pending callbacks with no reply and, when it was
  // connected, its disconnect callback; both see m_broken set and stay quiet.
  for (Sconn* c : {&m_sub, &m_pub}) {
    if (c->ac != nullptr) {
      redisAsyncContext* ac = c->ac;
      c->ac = nullptr;
      redisAsyncFree(ac);
    }
    c->ready = c->wantRead = c->wantWrite = false;
  }
  m_inflight = 0;
  m_topicsRemote.store(0, std::memory_order_relaxed);
  {
    // Nothing is subscribed any more; topics nobody wants are forgotten.
    Cguard guard(m_lock);
    unsigned char* data = nullptr;
    unsigned id = 0;
    EerrNo e = m_topics->GetFirst(&data, &id);
    while (e == ERR_OK) {
      Stopic* t = reinterpret_cast<Stopic*>(data);
      unsigned next = 0;
      e = m_topics->GetNext(id, &data, &next);
      t->remote = REMOTE_NONE;
      if (!t->wanted && !t->queued) m_topics->RemoveNode(id);
      id = next;
    }
  }
  std::int64_t now = nowMs();
  if (m_connected.exchange(false)) {
    m_outages.fetch_add(1, std::memory_order_relaxed);
    m_sinceMs.store(WallMs(), std::memory_order_relaxed);
    m_downSince = now;
    m_notSharedAtLoss = m_notShared.load(std::memory_order_relaxed);
    if (!isStopRequested()) {
      m_mgr->LogWarning(QString::asprintf("cluster: lost redis at %s:%u (%s): serving local subscribers only "
                                          "until it is back",
                                          m_cfg.host.c_str(), m_cfg.port, m_reason.c_str())
                            .toLocal8Bit()
                            .constData());
    }
    m_outageLogged = true;
  } else if (!m_outageLogged) {
    m_outageLogged = true;
    m_downSince = now;
    m_notSharedAtLoss = m_notShared.load(std::memory_order_relaxed);
    m_mgr->LogWarning(QString::asprintf("cluster: cannot reach redis at %s:%u (%s): serving local subscribers only, "
                                        "retrying",
                                        m_cfg.host.c_str(), m_cfg.port, m_reason.c_str())
                          .toLocal8Bit()
                          .constData());
  }
  m_backoffMs = m_backoffMs == 0 ? m_cfg.reconnectMinMs
                                 : (m_backoffMs * 2 > m_cfg.reconnectMaxMs ? m_cfg.reconnectMaxMs : m_backoffMs * 2);
  m_nextAttemptAt = now + m_backoffMs;
  m_connectAt = 0;
  m_broken = false;
}

void Crelay_cluster::onReady() {
  std::int64_t now = nowMs();
  m_connectAt = 0;
  m_backoffMs = 0;
  m_progressAt = m_lastPingAt = now;
  m_inflight = 0;
  m_sinceMs.store(WallMs(), std::memory_order_relaxed);
  m_connected.store(true, std::memory_order_release);
  if (!m_everUp && !m_outageLogged) {
    m_mgr->LogInfo(QString::asprintf("cluster: connected to redis at %s:%u, channels \"%s<topic>\", origin %016" PRIx64,
                                     m_cfg.host.c_str(), m_cfg.port, m_cfg.channelPrefix.c_str(), m_origin)
                       .toLocal8Bit()
                       .constData());
  } else {
    m_mgr->LogInfo(QString::asprintf("cluster: redis at %s:%u is back after %.1f s; %" PRIu64
                                     " publications were not shared meanwhile",
                                     m_cfg.host.c_str(), m_cfg.port, static_cast<double>(now - m_downSince) / 1000.0,
                                     m_notShared.load(std::memory_order_relaxed) - m_notSharedAtLoss)
                       .toLocal8Bit()
                       .constData());
  }
  m_everUp = true;
  m_outageLogged = false;
  resubscribeAll();
}

void Crelay_cluster::keepAlive(std::int64_t now) {
  if (m_inflight > 0 && now - m_progressAt > static_cast<std::int64_t>(m_cfg.connectTimeoutMs)) {
    fail("no answer within connect_timeout_ms");
    return;
  }
  if (m_inflight == 0 && now - m_lastPingAt >= 1000 && m_pub.ac != nullptr) {
    if (redisAsyncCommand(m_pub.ac, onPong, nullptr, "PING") == REDIS_OK) {
      ++m_inflight;
      m_progressAt = m_lastPingAt = now;
    }
  }
}

// ---------------------------------------------------------------------------
// hiredis callbacks and the poll loop's event hooks (bridge thread)
// ---------------------------------------------------------------------------

void Crelay_cluster::onConnect(const redisAsyncContext* ac, int status) {
  Sconn* c = static_cast<Sconn*>(ac->data);
  if (status != REDIS_OK) {
    c->ac = nullptr;  // hiredis frees a context whose connect failed
    c->wantRead = c->wantWrite = false;
    c->owner->fail(ac->errstr);
    return;
  }
  c->owner->handshake(*c);
}

void Crelay_cluster::onDisconnect(const redisAsyncContext* ac, int) {
  Sconn* c = static_cast<Sconn*>(ac->data);
  c->ac = nullptr;
  c->ready = c->wantRead = c->wantWrite = false;
  c->owner->fail(ac->err ? ac->errstr : "redis closed the connection");
}

void Crelay_cluster::onHandshake(redisAsyncContext* ac, void* r, void* step) {
  redisReply* reply = static_cast<redisReply*>(r);
  Sconn* c = static_cast<Sconn*>(ac->data);
  if (reply == nullptr) return;  // the connection is going
  std::uintptr_t s = reinterpret_cast<std::uintptr_t>(step);
  if (reply->type == REDIS_REPLY_ERROR) {
    std::string why = std::string("redis refused ") + kStepNames[s < 4 ? s : 0] + ": " + reply->str;
    c->owner->fail(why.c_str());
    return;
  }
  if (s == STEP_PING) c->ready = true;
}

void Crelay_cluster::onPublished(redisAsyncContext* ac, void* r, void*) {
  redisReply* reply = static_cast<redisReply*>(r);
  Crelay_cluster* self = static_cast<Sconn*>(ac->data)->owner;
  if (self->m_inflight > 0) --self->m_inflight;
  self->m_progressAt = self->nowMs();
  if (reply == nullptr || reply->type == REDIS_REPLY_ERROR) {
    self->m_notShared.fetch_add(1, std::memory_order_relaxed);
  } else {
    self->m_out.fetch_add(1, std::memory_order_relaxed);
  }
}

void Crelay_cluster::onPong(redisAsyncContext* ac, void*, void*) {
  Crelay_cluster* self = static_cast<Sconn*>(ac->data)->owner;
  if (self->m_inflight > 0) --self->m_inflight;
  self->m_progressAt = self->nowMs();
}

void Crelay_cluster::onPushed(redisAsyncContext* ac, void* r, void*) {
  redisReply* reply = static_cast<redisReply*>(r);
  if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 ||
      reply->element[0]->type != REDIS_REPLY_STRING) {
    return;
  }
  Crelay_cluster* self = static_cast<Sconn*>(ac->data)->owner;
  const char* kind = reply->element[0]->str;
  if (std::strcmp(kind, "message") == 0) {
    self->onMessage(reply);
  } else if (std::strcmp(kind, "subscribe") == 0) {
    self->onSubscription(reply, true);
  } else if (std::strcmp(kind, "unsubscribe") == 0) {
    self->onSubscription(reply, false);
  }
}

void Crelay_cluster::evAddRead(void* conn) { static_cast<Sconn*>(conn)->wantRead = true; }
void Crelay_cluster::evDelRead(void* conn) { static_cast<Sconn*>(conn)->wantRead = false; }
void Crelay_cluster::evAddWrite(void* conn) { static_cast<Sconn*>(conn)->wantWrite = true; }
void Crelay_cluster::evDelWrite(void* conn) { static_cast<Sconn*>(conn)->wantWrite = false; }
void Crelay_cluster::evCleanup(void* conn) {
  Sconn* c = static_cast<Sconn*>(conn);
  c->wantRead = c->wantWrite = false;
}
