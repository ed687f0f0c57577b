// The relay's TCP and UDP servers.
#include "relay_server.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "relay_log.h"

namespace {

std::int64_t NowSeconds() { return static_cast<std::int64_t>(::time(nullptr)); }

std::int64_t MonotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec);
}

}  // namespace

const char* const kRelayCloseReasonText[RELAY_CLOSE_REASONS] = {"peer closed", "quit", "idle",
                                                                "slow consumer", "out of buffers",
                                                                "relay stopping"};

Crelay_tcp_server::Crelay_tcp_server(Erelay_server kind, Srelay_ctx* ctx, QObject* parent)
    : Cvlk_tcp_server(ctx->maxConnections, parent), m_kind(kind), m_ctx(ctx) {}

Crelay_tcp_server::~Crelay_tcp_server() { stop(); }

Crelay_tcp_server::Sslot* Crelay_tcp_server::slot(unsigned nodeId) {
  unsigned index = nodeId & 0xFFFF;
  return (index == 0 || index > MAX_NODES) ? nullptr : &m_slots[index - 1];
}

EerrNo Crelay_tcp_server::Send(unsigned nodeId, const void* data, unsigned len) {
  EerrNo err = sendTo(nodeId, data, len);
  Sslot* s = slot(nodeId);
  if (err == ERR_OK && s != nullptr) {
    s->nodeId.store(nodeId, std::memory_order_relaxed);
    s->lastOut.store(NowSeconds(), std::memory_order_relaxed);
  }
  return err;
}

void Crelay_tcp_server::Close(unsigned nodeId, Erelay_close_reason reason) {
  Sslot* s = slot(nodeId);
  if (s != nullptr && hasNode(nodeId) == VLK_TRUE) s->reason.store(reason);
  closeConnect(nodeId);
}

unsigned Crelay_tcp_server::CloseIdle(unsigned idleSeconds, Erelay_close_reason reason) {
  unsigned ids[MAX_NODES];
  unsigned n = 0;
  std::int64_t now = NowSeconds();
  std::int64_t mono = MonotonicSeconds();
  {
    Cvlk_mutex_locker guard(&ioLock);
    for (unsigned i = 0; i < nodePool->GetRealNum(); ++i) {
      if (nodePool->GetStateByIndex(i) != RES_BUSY) continue;
      Cvlk_tcp* node = static_cast<Cvlk_tcp*>(nodePool->GetByIndex(i));
      unsigned id = node->GetId();
      Sslot* s = slot(id);
      if (s == nullptr) continue;
      if (s->nodeId.load() != id) {  // a connection this check has not met yet
        s->lastOut.store(0);
        s->firstSeen.store(mono);
        s->nodeId.store(id);
      } else if (s->firstSeen.load() == 0) {
        s->firstSeen.store(mono);
      }
      std::int64_t in = node->lastActive;
      std::int64_t out = s->lastOut.load();
      std::int64_t quiet = mono - s->firstSeen.load();  // since first met
      if (in > 0 && now - in < quiet) quiet = now - in;
      if (out > 0 && now - out < quiet) quiet = now - out;
      if (quiet >= static_cast<std::int64_t>(idleSeconds)) ids[n++] = id;
    }
  }
  for (unsigned i = 0; i < n; ++i) Close(ids[i], reason);
  return n;
}

void Crelay_tcp_server::PeerText(unsigned nodeId, char* out, unsigned cap) {
  if (cap == 0) return;
  Cvlk_uaddr peer = getPeerAddr(nodeId);
  Cvlk_tmp_str text;
  peer.getURLStr(text);
  std::snprintf(out, cap, "%s", peer.getPort() != 0 ? text.c_str() : "?");
}

void Crelay_tcp_server::procData(unsigned nodeId, Cvlk_uaddr, int len, char* data) {
  if (len <= 0) return;  // a TLS read without application data yet
  // Received bytes always travel in the big class, so that bytes held back by a
  // connection that has to wait never take the buffers requests and answers need.
  Cvlk_msg_buf* buf = nullptr;
  Srelay_data_msg* msg = VlkNewMsg<Srelay_data_msg>(m_ctx->mgr, &buf, VlkMsgAddr(0, 0), RelayNetFactory(),
                                                    RELAY_MSG_DATA, kRelayBigSize - RelayDataMsgSize(0));
  if (msg == nullptr) {
    // The bytes cannot be kept, and a stream with a hole in it is worthless:
    // close the connection rather than pass on a corrupted one.
    m_ctx->counters.noBuffer.fetch_add(1, std::memory_order_relaxed);
    Close(nodeId, RELAY_CLOSE_NO_BUFFER);
    return;
  }
  msg->server = m_kind;
  msg->nodeId = nodeId;
  msg->reason = 0;
  msg->len = static_cast<unsigned>(len);
  std::memcpy(msg->bytes(), data, static_cast<unsigned>(len));
  // Paused before the bytes go on, so that the network task's resume always
  // comes after this pause.
  if (std::memchr(data, '\n', static_cast<unsigned>(len)) != nullptr) pause(nodeId);
  m_ctx->mgr->SendMsg(buf);
}

// The lock is never held across a call into the socket layer, which may close
// the connection there and then (and so call ioClosed, which takes it). A
// resume follows the pause it undoes: the network task resumes only after the
// bytes sent on behind the pause, and no read (so no pause) happens meanwhile.
void Crelay_tcp_server::pause(unsigned nodeId) {
  Sslot* s = slot(nodeId);
  if (s == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(m_pauseLock);
    if (s->pausedNode == nodeId) return;
    if (s->pausedNode == 0) m_ctx->counters.paused.fetch_add(1, std::memory_order_relaxed);
    s->pausedNode = nodeId;
  }
  pauseReading(nodeId);
}

void Crelay_tcp_server::Resume(unsigned nodeId) {
  Sslot* s = slot(nodeId);
  if (s == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(m_pauseLock);
    if (s->pausedNode != nodeId) return;
    s->pausedNode = 0;
    m_ctx->counters.paused.fetch_sub(1, std::memory_order_relaxed);
  }
  resumeReading(nodeId);
}

bool Crelay_tcp_server::OutputHigh(unsigned nodeId) {
  Sslot* s = slot(nodeId);
  return s != nullptr && s->highNode.load(std::memory_order_relaxed) == nodeId;
}

void Crelay_tcp_server::procHighWater(unsigned nodeId, std::size_t) {
  Sslot* s = slot(nodeId);
  if (s != nullptr) s->highNode.store(nodeId);
}

void Crelay_tcp_server::procDrained(unsigned nodeId) {
  Sslot* s = slot(nodeId);
  if (s == nullptr) return;
  s->highNode.store(0);
  kick();
}

void Crelay_tcp_server::kick() {
  Cvlk_msg_buf* buf = nullptr;
  if (VlkNewMsg<Cmsg>(m_ctx->mgr, &buf, VlkMsgAddr(0, 0), RelayNetFactory(), RELAY_MSG_KICK) == nullptr) {
    return;  // the network task's one-second timer retries too
  }
  m_ctx->mgr->SendMsg(buf);
}

void Crelay_tcp_server::ioClosed(unsigned nodeId) {
  Sslot* s = slot(nodeId);
  std::uint32_t reason = RELAY_CLOSE_PEER;
  if (s != nullptr) {
    // The socket layer gives the node back before it calls this hook, so when
    // the close ran on another thread than the loop, the slot may belong to
    // the next connection already (same index, other id): only what is still
    // this connection's is cleared. Wiping the newcomer's pause left it paused
    // for good, and its peer's end was never read.
    reason = s->reason.exchange(RELAY_CLOSE_PEER);
    std::uint32_t mine = nodeId;
    if (s->nodeId.compare_exchange_strong(mine, 0)) {
      s->firstSeen.store(0);
      s->lastOut.store(0);
    }
    mine = nodeId;
    s->highNode.compare_exchange_strong(mine, 0);
    std::lock_guard<std::mutex> guard(m_pauseLock);
    if (s->pausedNode == nodeId) {
      s->pausedNode = 0;
      m_ctx->counters.paused.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  Cvlk_msg_buf* buf = nullptr;
  Srelay_data_msg* msg =
      VlkNewMsg<Srelay_data_msg>(m_ctx->mgr, &buf, VlkMsgAddr(0, 0), RelayNetFactory(), RELAY_MSG_CLOSED);
  if (msg == nullptr) {
    // The idle check's sweep releases the machine later.
    m_ctx->counters.noBuffer.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  msg->server = m_kind;
  msg->nodeId = nodeId;
  msg->reason = reason;
  msg->len = 0;
  m_ctx->mgr->SendMsg(buf);
}

Crelay_udp_server::Crelay_udp_server(QObject* parent, RelayStatsFn stats, void* owner, Srelay_ctx* ctx)
    : Cvlk_udp_server(parent, 4), m_stats(stats), m_owner(owner), m_ctx(ctx) {}

Crelay_udp_server::~Crelay_udp_server() { stop(); }

int Crelay_udp_server::checkData(unsigned, Cvlk_uaddr peer, int len, char* data) {
  // Only "STATS", with or without a line end, is answered.
  while (len > 0 && (data[len - 1] == '\n' || data[len - 1] == '\r')) --len;
  if (len != 5 || std::memcmp(data, "STATS", 5) != 0) return 1;
  std::int64_t now = MonotonicSeconds();
  if (now != m_second) {
    m_second = now;
    m_answered = 0;
  }
  if (m_answered >= m_perSecond.load(std::memory_order_relaxed)) {
    m_ctx->counters.statsRefused.fetch_add(1, std::memory_order_relaxed);
    Cvlk_tmp_str from;
    peer.getURLStr(from);
    RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_STATS, "STATS from %s not answered: over %u answers a second",
              from.c_str(), m_perSecond.load());
    return 1;
  }
  ++m_answered;
  return 0;
}

void Crelay_udp_server::procData(unsigned nodeId, Cvlk_uaddr peer, int, char*) {
  unsigned len = m_stats(m_owner, m_reply, sizeof(m_reply));
  if (len > 0) SendTo(nodeId, &peer, m_reply, len);
}
