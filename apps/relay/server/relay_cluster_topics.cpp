// The cluster bridge's topic side: publications out to Redis, subscriptions
// kept as the topic task wants them, and messages from Redis into the framework.
#include <cinttypes>
#include <cstring>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include "relay_cluster.h"
#include "relay_msgs.h"

void Crelay_cluster::drainPublications(bool send) {
  while (true) {
    Cvlk_msg_buf* batch[kBatch];
    unsigned n = 0;
    {
      Cguard guard(m_lock);
      while (n < kBatch && (!send || m_inflight + n < kMaxInflight)) {
        Cvlk_link_node* node = m_queue->RemoveHead();
        if (node == nullptr) break;
        batch[n++] = static_cast<Cvlk_msg_buf*>(node);
      }
    }
    if (n == 0) return;
    m_queued.fetch_sub(n, std::memory_order_relaxed);
    for (unsigned i = 0; i < n; ++i) {
      Srelay_topic_msg* msg = MsgCast<Srelay_topic_msg>(batch[i]);  // queued by Publish as one: never null
      bool sent = false;
      if (send && m_pub.ac != nullptr && m_cfg.channelPrefix.size() + msg->topicLen < sizeof(m_channel)) {
        unsigned clen = static_cast<unsigned>(m_cfg.channelPrefix.size());
        std::memcpy(m_channel, m_cfg.channelPrefix.data(), clen);
        std::memcpy(m_channel + clen, msg->bytes(), msg->topicLen);
        clen += msg->topicLen;
        int head = std::snprintf(m_frame, sizeof(m_frame), "%016" PRIx64 " %" PRIu64 " ", m_origin, m_seq + 1);
        if (head > 0 && static_cast<unsigned>(head) + msg->textLen <= sizeof(m_frame)) {
          std::memcpy(m_frame + head, msg->bytes() + msg->topicLen, msg->textLen);
          const char* argv[] = {"PUBLISH", m_channel, m_frame};
          const size_t lens[] = {7, clen, static_cast<size_t>(head) + msg->textLen};
          if (redisAsyncCommandArgv(m_pub.ac, onPublished, nullptr, 3, argv, lens) == REDIS_OK) {
            if (m_inflight == 0) m_progressAt = nowMs();
            ++m_inflight;
            ++m_seq;
            sent = true;
          }
        }
      }
      if (!sent) m_notShared.fetch_add(1, std::memory_order_relaxed);
      m_mgr->FreeMsgBuf(batch[i]);
    }
    noticeRoom();
    if (send && m_inflight >= kMaxInflight) return;
  }
}

// Sends what a topic needs from Redis now, or forgets a topic nobody wants.
void Crelay_cluster::decide(unsigned id, Stopic* t, const unsigned char* key, unsigned keyLen) {
  // REQUIRES: m_lock held by this thread.
  bool linkUp = m_connected.load(std::memory_order_relaxed) && !m_broken && m_sub.ac != nullptr;
  const char* verb = nullptr;
  if (t->wanted && t->remote == REMOTE_NONE && linkUp) {
    t->remote = REMOTE_SUBSCRIBING;
    verb = "SUBSCRIBE";
  } else if (!t->wanted && t->remote == REMOTE_SUBSCRIBED && linkUp) {
    t->remote = REMOTE_UNSUBSCRIBING;
    verb = "UNSUBSCRIBE";
  } else if (!t->wanted && t->remote == REMOTE_NONE && !t->queued) {
    m_topics->RemoveNode(id);
    return;
  }
  // Otherwise a command is on its way; its answer decides again.
  if (verb == nullptr) return;
  unsigned clen = static_cast<unsigned>(m_cfg.channelPrefix.size());
  std::memcpy(m_channel, m_cfg.channelPrefix.data(), clen);
  std::memcpy(m_channel + clen, key, keyLen);
  const char* argv[] = {verb, m_channel};
  const size_t lens[] = {std::strlen(verb), clen + keyLen};
  // Appending to the connection's output buffer never waits on Redis.
  if (redisAsyncCommandArgv(m_sub.ac, onPushed, nullptr, 2, argv, lens) != REDIS_OK) {
    fail("cannot queue a subscription command");
  }
}

void Crelay_cluster::processChanges() {
  Cguard guard(m_lock);
  while (m_ringCount > 0) {
    unsigned id = m_ring[m_ringHead];
    m_ringHead = (m_ringHead + 1) % m_capacity;
    --m_ringCount;
    if (m_topics->GetStateById(id) != RES_BUSY) continue;
    Cvlk_hash_node* node = static_cast<Cvlk_hash_node*>(m_topics->GetById(id));
    Stopic* t = reinterpret_cast<Stopic*>(node->GetData());
    t->queued = 0;
    decide(id, t, node->GetKey(), node->GetKeyLen());
  }
}

void Crelay_cluster::resubscribeAll() {
  Cguard guard(m_lock);
  unsigned char* data = nullptr;
  unsigned id = 0;
  EerrNo e = m_topics->GetFirst(&data, &id);
  while (e == ERR_OK) {
    unsigned next = 0;
    e = m_topics->GetNext(id, &data, &next);  // step on before the entry may go
    Cvlk_hash_node* node = static_cast<Cvlk_hash_node*>(m_topics->GetById(id));
    decide(id, reinterpret_cast<Stopic*>(node->GetData()), node->GetKey(), node->GetKeyLen());
    id = next;
  }
}

void Crelay_cluster::onSubscription(const redisReply* reply, bool subscribed) {
  if (reply->element[2]->type == REDIS_REPLY_INTEGER) {
    m_topicsRemote.store(static_cast<unsigned>(reply->element[2]->integer), std::memory_order_relaxed);
  }
  const redisReply* ch = reply->element[1];
  unsigned plen = static_cast<unsigned>(m_cfg.channelPrefix.size());
  if (ch->type != REDIS_REPLY_STRING || ch->len <= plen || ch->len - plen > kRelayMaxTopic) return;
  const unsigned char* key = reinterpret_cast<const unsigned char*>(ch->str + plen);
  unsigned keyLen = static_cast<unsigned>(ch->len - plen);
  Cguard guard(m_lock);
  unsigned char* data = nullptr;
  unsigned id = 0;
  if (m_topics->FindFirst(keyLen, key, &data, &id) != ERR_OK) return;
  Stopic* t = reinterpret_cast<Stopic*>(data);
  if (subscribed && t->remote == REMOTE_SUBSCRIBING) t->remote = REMOTE_SUBSCRIBED;
  if (!subscribed && t->remote == REMOTE_UNSUBSCRIBING) t->remote = REMOTE_NONE;
  // The key is copied: decide may remove the entry it lives in.
  unsigned char copy[kRelayMaxTopic];
  std::memcpy(copy, key, keyLen);
  decide(id, t, copy, keyLen);
}

bool Crelay_cluster::acceptOrder(std::uint64_t origin, std::uint64_t seq) {
  Sorigin* slot = nullptr;
  Sorigin* oldest = &m_origins[0];
  for (Sorigin& o : m_origins) {
    if (o.used != 0 && o.origin == origin) {
      slot = &o;
      break;
    }
    if (o.used < oldest->used) oldest = &o;
  }
  if (slot == nullptr) {
    slot = oldest;
    *slot = Sorigin{origin, 0, 0};
  }
  slot->used = ++m_originClock;
  if (seq <= slot->seq) return false;  // a repeat or an older one
  slot->seq = seq;
  return true;
}

void Crelay_cluster::onMessage(const redisReply* reply) {
  const redisReply* ch = reply->element[1];
  const redisReply* body = reply->element[2];
  unsigned plen = static_cast<unsigned>(m_cfg.channelPrefix.size());
  bool ok = ch->type == REDIS_REPLY_STRING && body->type == REDIS_REPLY_STRING && ch->len > plen &&
            RelayIsValidTopic(ch->str + plen, static_cast<unsigned>(ch->len - plen));
  // "<origin: 16 hex digits> <sequence> <text>"
  std::uint64_t origin = 0, seq = 0;
  const char* p = ok ? body->str : nullptr;
  const char* end = ok ? body->str + body->len : nullptr;
  if (ok && body->len >= 19) {
    for (int i = 0; i < 16; ++i) {
      char c = p[i];
      unsigned v = (c >= '0' && c <= '9') ? static_cast<unsigned>(c - '0')
                   : (c >= 'a' && c <= 'f') ? static_cast<unsigned>(c - 'a' + 10) : 16u;
      if (v == 16) ok = false;
      origin = (origin << 4) | (v & 15u);
    }
    p += 16;
    ok = ok && *p++ == ' ' && p < end && *p >= '0' && *p <= '9';
    while (ok && p < end && *p >= '0' && *p <= '9') {
      if (seq > (UINT64_MAX - 9) / 10) ok = false;
      seq = seq * 10 + static_cast<unsigned>(*p++ - '0');
    }
    ok = ok && p < end && *p++ == ' ';
  } else {
    ok = false;
  }
  if (ok && origin == m_origin) {
    m_echoes.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  unsigned topicLen = ok ? static_cast<unsigned>(ch->len - plen) : 0;
  unsigned textLen = ok ? static_cast<unsigned>(end - p) : 0;
  // What comes from Redis must be something a client could have published here.
  ok = ok && topicLen + textLen + 6 <= kRelayMaxReply && RelayIsValidText(p, textLen) && acceptOrder(origin, seq);
  if (!ok) {
    m_refused.fetch_add(1, std::memory_order_relaxed);
    logLimited("cluster: messages from redis refused (foreign framing, bad text or out of order)",
               m_refused.load(std::memory_order_relaxed));
    return;
  }
  deliver(ch->str + plen, topicLen, p, textLen);
}

void Crelay_cluster::deliver(const char* topic, unsigned topicLen, const char* text, unsigned textLen) {
  // Behind what is parked already (order), or parked when no buffer is left.
  if (m_parkHead == m_parkLen && handOver(topic, topicLen, text, textLen)) return;
  if (m_parkLen + 4 + topicLen + textLen > sizeof(m_park)) {
    m_inNoBuffer.fetch_add(1, std::memory_order_relaxed);
    logLimited("cluster: messages from redis lost for want of a message buffer",
               m_inNoBuffer.load(std::memory_order_relaxed));
    return;
  }
  unsigned char* at = reinterpret_cast<unsigned char*>(m_park + m_parkLen);
  at[0] = static_cast<unsigned char>(topicLen);
  at[1] = static_cast<unsigned char>(textLen >> 16);
  at[2] = static_cast<unsigned char>(textLen >> 8);
  at[3] = static_cast<unsigned char>(textLen);
  std::memcpy(m_park + m_parkLen + 4, topic, topicLen);
  if (textLen) std::memcpy(m_park + m_parkLen + 4 + topicLen, text, textLen);
  m_parkLen += 4 + topicLen + textLen;
}

void Crelay_cluster::flushParked() {
  while (m_parkHead < m_parkLen) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(m_park + m_parkHead);
    unsigned topicLen = at[0];
    unsigned textLen = (static_cast<unsigned>(at[1]) << 16) | (static_cast<unsigned>(at[2]) << 8) | at[3];
    const char* topic = m_park + m_parkHead + 4;
    if (!handOver(topic, topicLen, topic + topicLen, textLen)) return;
    m_parkHead += 4 + topicLen + textLen;
  }
  m_parkHead = m_parkLen = 0;
}

bool Crelay_cluster::handOver(const char* topic, unsigned topicLen, const char* text, unsigned textLen) {
  Cvlk_msg_buf* buf = nullptr;
  const Cmsg_addr dst = VlkMsgAddr(m_dstTask, m_dstFactory);
  Srelay_topic_msg* msg =
      VlkNewMsg<Srelay_topic_msg>(m_mgr, &buf, VlkMsgAddr(0, 0), dst, RELAY_MSG_REMOTE, topicLen + textLen);
  if (msg == nullptr) return false;
  msg->from = Srelay_peer{RELAY_SERVER_COUNT, 0, 0};
  msg->topicLen = topicLen;
  msg->textLen = textLen;
  std::memcpy(msg->bytes(), topic, topicLen);
  if (textLen) std::memcpy(msg->bytes() + topicLen, text, textLen);
  m_in.fetch_add(1, std::memory_order_relaxed);
  m_inFlight.fetch_add(1, std::memory_order_relaxed);
  m_mgr->SendMsg(buf);
  return true;
}

void Crelay_cluster::logLimited(const char* what, std::uint64_t count) {
  std::int64_t now = nowMs();
  if (m_lastLimitedLogAt != 0 && now - m_lastLimitedLogAt < 10000) return;
  m_lastLimitedLogAt = now;
  m_mgr->LogWarning(QString::asprintf("%s: %" PRIu64 " so far", what, count).toLocal8Bit().constData());
}
