// The topic task: subscriptions and fan-out.
#include "relay_topic.h"

#include <time.h>

#include <cstring>

#include "relay_cluster.h"
#include "relay_log.h"

Crelay_topic_fac::Crelay_topic_fac(Cvlk_task* task, Srelay_ctx* ctx, Cvlk_hash_tbl* table, unsigned maxConnMachines)
    : Cfactory(task, kRelayTopicFactoryId, 0),
      m_ctx(ctx),
      m_table(table),
      m_machines(maxConnMachines),
      m_counts(new unsigned[maxConnMachines]()) {}

unsigned* Crelay_topic_fac::countOf(unsigned fsmId) {
  unsigned slot = fsmId & 0xFFFF;
  return (slot == 0 || slot > m_machines) ? nullptr : &m_counts[slot - 1];
}

Eprc_result Crelay_topic_fac::_facMsgPrc(Cmsg* msg, Cfsm** fsm) {
  Srelay_topic_msg* topic = nullptr;
  switch (msg->msgType) {
    case RELAY_MSG_SUB:
    case RELAY_MSG_UNSUB:
    case RELAY_MSG_PUB:
    case RELAY_MSG_REMOTE:
    case RELAY_MSG_DROP:
    case RELAY_MSG_PING:
    case RELAY_MSG_REFUSE:
    case RELAY_MSG_QUIT:
      topic = MsgCast<Srelay_topic_msg>(GetCurrMsgBuf());
      if (topic == nullptr) {
        RelayShortRecord(m_ctx, msg);
        return PRC_ERROR;
      }
      break;
    default: return Cfactory::_facMsgPrc(msg, fsm);
  }
  switch (msg->msgType) {
    case RELAY_MSG_SUB: subscribe(topic); return PRC_PROCESSED;
    case RELAY_MSG_UNSUB: unsubscribe(topic); return PRC_PROCESSED;
    case RELAY_MSG_PUB: publish(topic); return PRC_PROCESSED;
    case RELAY_MSG_REMOTE:  // another relay's: no answer, not shared again
      fanOut(topic);
      if (m_ctx->cluster != nullptr) m_ctx->cluster->Consumed();
      return PRC_PROCESSED;
    case RELAY_MSG_DROP: drop(topic->from); return PRC_PROCESSED;
    case RELAY_MSG_PING: {
      char out[8];
      sendLine(topic->from, RELAY_MSG_SEND, out, RelayFormatPong(out, sizeof(out)));
      return PRC_PROCESSED;
    }
    case RELAY_MSG_REFUSE: {
      char reason[64];
      unsigned n = topic->textLen < sizeof(reason) - 1 ? topic->textLen : sizeof(reason) - 1;
      std::memcpy(reason, topic->bytes() + topic->topicLen, n);
      reason[n] = '\0';
      char out[96];
      sendLine(topic->from, RELAY_MSG_SEND, out, RelayFormatErr(out, sizeof(out), reason));
      return PRC_PROCESSED;
    }
    case RELAY_MSG_QUIT: {
      char out[8];
      sendLine(topic->from, RELAY_MSG_BYE, out, RelayFormatOk(out, sizeof(out)));
      return PRC_PROCESSED;
    }
    default: return Cfactory::_facMsgPrc(msg, fsm);
  }
}

unsigned Crelay_topic_fac::findEntry(Srelay_topic_msg* msg) {
  unsigned char* data = nullptr;
  unsigned id = 0;
  unsigned char* key = reinterpret_cast<unsigned char*>(msg->bytes());
  if (m_table->FindFirst(msg->topicLen, key, &data, &id) != ERR_OK) return 0;
  while (true) {
    Srelay_peer peer;
    std::memcpy(&peer, data, sizeof(peer));
    if (peer.fsmId == msg->from.fsmId) return id;
    unsigned next = 0;
    if (m_table->FindNext(id, &data, &next) != ERR_OK) return 0;
    id = next;
  }
}

void Crelay_topic_fac::subscribe(Srelay_topic_msg* msg) {
  if (findEntry(msg) != 0) {
    answer(msg->from, nullptr);  // subscribing twice changes nothing
    return;
  }
  unsigned* count = countOf(msg->from.fsmId);
  if (count != nullptr && *count >= m_ctx->maxSubsPerConnection.load(std::memory_order_relaxed)) {
    answer(msg->from, kRelayErrConnLimit);
    return;
  }
  Srelay_peer peer = msg->from;
  unsigned char* key = reinterpret_cast<unsigned char*>(msg->bytes());
  unsigned char* data = nullptr;
  bool first = m_table->Search(msg->topicLen, key, &data) != ERR_OK;
  EerrNo err = m_table->Add(msg->topicLen, key, reinterpret_cast<unsigned char*>(&peer), nullptr);
  if (err == ERR_OK) {
    m_ctx->counters.subscriptions.fetch_add(1, std::memory_order_relaxed);
    if (count != nullptr) ++*count;
    if (first && m_ctx->cluster != nullptr) m_ctx->cluster->Want(msg->bytes(), msg->topicLen);
  }
  answer(msg->from, err == ERR_OK ? nullptr : kRelayErrTooMany);
}

void Crelay_topic_fac::unsubscribe(Srelay_topic_msg* msg) {
  unsigned id = findEntry(msg);
  if (id == 0) {
    answer(msg->from, kRelayErrNotSub);
    return;
  }
  if (m_table->RemoveNode(id) == ERR_OK) {
    m_ctx->counters.subscriptions.fetch_sub(1, std::memory_order_relaxed);
    unsigned* count = countOf(msg->from.fsmId);
    if (count != nullptr && *count > 0) --*count;
    lastGone(msg->bytes(), msg->topicLen);
  }
  answer(msg->from, nullptr);
}

void Crelay_topic_fac::lastGone(const char* topic, unsigned topicLen) {
  unsigned char* data = nullptr;
  if (m_ctx->cluster != nullptr &&
      m_table->Search(topicLen, reinterpret_cast<const unsigned char*>(topic), &data) != ERR_OK) {
    m_ctx->cluster->Unwant(topic, topicLen);
  }
}

void Crelay_topic_fac::publish(Srelay_topic_msg* msg) {
  bool lost = !fanOut(msg);
  // Shared once with the other relays; while Redis is away the publication is
  // counted as not shared and the publisher still gets "OK" for its local
  // deliveries. Only a full queue to a connected Redis answers "ERR".
  if (m_ctx->cluster != nullptr &&
      m_ctx->cluster->Publish(msg->bytes(), msg->topicLen, msg->bytes() + msg->topicLen, msg->textLen) ==
          RELAY_SHARE_BUSY) {
    lost = true;
  }
  m_ctx->counters.published.fetch_add(1, std::memory_order_relaxed);
  // The answer goes out after every delivery of this publication, on the same
  // queues: the publisher's "OK" means all of them were handed on.
  answer(msg->from, lost ? kRelayErrBusy : nullptr);
}

bool Crelay_topic_fac::fanOut(Srelay_topic_msg* msg) {
  unsigned len = RelayFormatMsg(m_line, sizeof(m_line), msg->bytes(), msg->topicLen, msg->bytes() + msg->topicLen,
                                msg->textLen);
  bool lost = len == 0;
  unsigned char* data = nullptr;
  unsigned id = 0;
  EerrNo err = len == 0 ? ERR_FAIL
                        : m_table->FindFirst(msg->topicLen, reinterpret_cast<unsigned char*>(msg->bytes()), &data, &id);
  while (err == ERR_OK) {
    Srelay_peer peer;
    std::memcpy(&peer, data, sizeof(peer));
    if (!sendLine(peer, RELAY_MSG_DELIVER, m_line, len)) lost = true;
    unsigned next = 0;
    err = m_table->FindNext(id, &data, &next);
    id = next;
  }
  return !lost;
}

void Crelay_topic_fac::drop(const Srelay_peer& gone) {
  unsigned char* data = nullptr;
  unsigned id = 0;
  EerrNo err = m_table->GetFirst(&data, &id);
  while (err == ERR_OK) {
    Srelay_peer peer;
    std::memcpy(&peer, data, sizeof(peer));
    unsigned next = 0;
    err = m_table->GetNext(id, &data, &next);  // step on before the entry goes
    if (peer.fsmId == gone.fsmId) {
      char topic[kRelayMaxTopic];
      Cvlk_hash_node* node = static_cast<Cvlk_hash_node*>(m_table->GetById(id));
      unsigned topicLen = node->GetKeyLen();
      std::memcpy(topic, node->GetKey(), topicLen);
      if (m_table->RemoveNode(id) == ERR_OK) {
        m_ctx->counters.subscriptions.fetch_sub(1, std::memory_order_relaxed);
        lastGone(topic, topicLen);
      }
    }
    id = next;
  }
  unsigned* count = countOf(gone.fsmId);
  if (count != nullptr) *count = 0;
}

bool Crelay_topic_fac::sendLine(const Srelay_peer& to, unsigned type, const char* line, unsigned len) {
  const Cmsg_addr from = VlkMsgAddr(kRelayTopicTaskId, kRelayTopicFactoryId);
  const Cmsg_addr dst = RelayNetFactory(to.fsmId);
  Cvlk_msg_buf* buf = nullptr;
  Srelay_line_msg* msg = VlkNewMsg<Srelay_line_msg>(m_ctx->mgr, &buf, from, dst, type, len);
  if (msg == nullptr) {
    m_ctx->counters.noBuffer.fetch_add(1, std::memory_order_relaxed);
    RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_BUFFERS, "message pool empty: fan-out waits for buffers to come back");
    Cvlk_task_mgr* mgr = m_ctx->mgr;
    unsigned cls = 0;
    while (cls + 1 < EMSG_CLASS_NUM && mgr->GetMsgBufSize(cls) < RelayLineMsgSize(len)) ++cls;
    timespec pause{0, 200000};  // 0.2 ms
    while (msg == nullptr && !m_ctx->stopping.load(std::memory_order_relaxed)) {
      if (mgr->GetMsgIdleNum(cls) == 0) {
        nanosleep(&pause, nullptr);
        continue;
      }
      msg = VlkNewMsg<Srelay_line_msg>(mgr, &buf, from, dst, type, len);
    }
    if (msg == nullptr) return false;
  }
  msg->len = len;
  std::memcpy(msg->bytes(), line, len);
  _sendMsg(buf);
  return true;
}

void Crelay_topic_fac::answer(const Srelay_peer& to, const char* reason) {
  char out[64];
  unsigned len = reason == nullptr ? RelayFormatOk(out, sizeof(out)) : RelayFormatErr(out, sizeof(out), reason);
  if (reason != nullptr) m_ctx->counters.refused.fetch_add(1, std::memory_order_relaxed);
  sendLine(to, RELAY_MSG_SEND, out, len);
}

Crelay_topic_task::Crelay_topic_task(Cvlk_task_mgr* mgr, Srelay_ctx* ctx, unsigned maxSubscriptions)
    : Cvlk_task(mgr, kRelayTopicTaskId, "relay-topic") {
  m_table = new Cvlk_hash_tbl(VlkGetGlobalObjID(), maxSubscriptions, kRelayMaxTopic, sizeof(Srelay_peer), VLK_TRUE,
                              this);
  m_err = m_table->GetErr();
  m_fac = new Crelay_topic_fac(this, ctx, m_table, ctx->maxConnections * RELAY_SERVER_COUNT);
  if (m_err == ERR_OK) m_err = m_fac->GetErr();
  if (m_err == ERR_OK) m_err = regFactory(m_fac);
}
