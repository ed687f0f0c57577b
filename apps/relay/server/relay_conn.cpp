// The network task: connection state machines and their factory.
#include "relay_conn.h"

#include <cstring>

#include "relay_log.h"
#include "relay_server.h"

namespace {

const char* const kServerName[RELAY_SERVER_COUNT] = {"plain", "tls"};
constexpr unsigned kNoReason = RELAY_CLOSE_REASONS;

}  // namespace

// ---------------------------------------------------------------------------
// Connection machine
// ---------------------------------------------------------------------------

// Constant-initialised; an empty row ({}) is an event the state ignores.
// Columns in event order: EV_NONE, EV_DATA, EV_SEND, EV_DELIVER, EV_CLOSED, EV_QUIT.
const Cevt_entry Crelay_conn_fsm::s_table[S_COUNT][EV_COUNT] = {
    // S_IDLE
    {{},
     VlkEvtRow(S_OPEN, &Crelay_conn_fsm::onOpen, &Crelay_conn_fsm::onData),
     {},
     {},
     VlkEvtRow(S_IDLE, &Crelay_conn_fsm::onClosed, &Crelay_conn_fsm::_procKillFsm),
     {}},
    // S_OPEN
    {{},
     VlkEvtRow(S_OPEN, &Crelay_conn_fsm::onData),
     VlkEvtRow(S_OPEN, &Crelay_conn_fsm::onSend),
     VlkEvtRow(S_OPEN, &Crelay_conn_fsm::onSend),
     VlkEvtRow(S_OPEN, &Crelay_conn_fsm::onClosed, &Crelay_conn_fsm::_procKillFsm),
     VlkEvtRow(S_OPEN, &Crelay_conn_fsm::onQuit)},  // QUIT: released at its CLOSED
};
static_assert(Crelay_conn_fsm::EV_COUNT == 6 && Crelay_conn_fsm::S_COUNT == 2, "the table lists every state and event");

Crelay_conn_fsm::Crelay_conn_fsm(Crelay_conn_fac* factory) : Cev_fsm(factory, 0) {}

Crelay_conn_fac* Crelay_conn_fsm::fac() { return static_cast<Crelay_conn_fac*>(GetFactory()); }

Srelay_ctx* Crelay_conn_fsm::ctx() { return fac()->Ctx(); }

void Crelay_conn_fsm::Attach(unsigned server, unsigned nodeId) {
  m_server = server;
  m_nodeId = nodeId;
}

EerrNo Crelay_conn_fsm::Create() {
  EerrNo err = Cev_fsm::Create();
  m_curr = S_IDLE;
  m_open = true;
  m_subscribed = false;
  m_quitting = false;
  m_stalled = false;
  m_logged = false;
  m_closeReason = kNoReason;
  m_inflight = 0;
  m_owed = 0;
  m_cur = nullptr;
  m_offset = 0;
  m_peer[0] = '\0';
  m_lines.Reset();
  return err;
}

EerrNo Crelay_conn_fsm::Destroy() {
  Srelay_ctx* c = ctx();
  fac()->Detach(m_server, m_nodeId, GetId());
  if (m_cur != nullptr) {  // the held queue itself is emptied by the framework
    GetFacMgr()->FreeMsgBuf(m_cur);
    m_cur = nullptr;
  }
  if (m_open) {
    // Released while its socket is still open (a stale or refused machine).
    m_open = false;
    c->servers[m_server]->Close(m_nodeId, RELAY_CLOSE_PEER);
  }
  // The topic task must forget this machine's subscriptions whatever the pool
  // says: the drop takes its buffer from the reserve.
  if (m_subscribed) toTopicTask(RELAY_MSG_DROP, nullptr, 0, nullptr, 0);
  m_subscribed = false;
  c->counters.closed.fetch_add(1, std::memory_order_relaxed);
  return ERR_OK;
}

unsigned Crelay_conn_fsm::_getCurrState(unsigned char, unsigned char) { return m_curr; }

void Crelay_conn_fsm::_setCurrState(unsigned char, unsigned char, unsigned state) { m_curr = state; }

void Crelay_conn_fsm::_parseMsg(Cmsg* msg) {
  switch (msg->msgType) {
    case RELAY_MSG_DATA: _genEvent(EV_DATA, 0, 0); break;
    case RELAY_MSG_CLOSED: _genEvent(EV_CLOSED, 0, 0); break;
    case RELAY_MSG_SEND: _genEvent(EV_SEND, 0, 0); break;
    case RELAY_MSG_DELIVER: _genEvent(EV_DELIVER, 0, 0); break;
    case RELAY_MSG_BYE: _genEvent(EV_QUIT, 0, 0); break;
    default: break;  // nothing queued: the framework frees the buffer
  }
}

const Cevt_entry* Crelay_conn_fsm::_getEvtEntry(unsigned state, unsigned short event, unsigned char) {
  if (state >= S_COUNT || event >= EV_COUNT) return nullptr;
  const Cevt_entry* row = &s_table[state][event];
  return row->handlerCnt == 0 ? nullptr : row;
}

EevtPrc Crelay_conn_fsm::onOpen(Cmsg*, unsigned short, unsigned char) {
  ctx()->counters.opened.fetch_add(1, std::memory_order_relaxed);
  ctx()->servers[m_server]->PeerText(m_nodeId, m_peer, sizeof(m_peer));
  m_logged = true;
  RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_OPEN, "connection %s opened (%s)", m_peer, kServerName[m_server]);
  return EVT_CONTINUE;
}

EevtPrc Crelay_conn_fsm::onData(Cmsg* msg, unsigned short, unsigned char) {
  if (m_quitting) return EVT_CONTINUE;
  Srelay_data_msg* data = MsgAs<Srelay_data_msg>(msg);
  if (data == nullptr) {
    RelayShortRecord(ctx(), msg);
    return EVT_CONTINUE;
  }
  if (m_cur != nullptr || GetHoldNum() > 0 || m_lines.Parked() || m_owed > 0) {
    m_result = PRC_HOLD_MSG;  // behind the bytes already waiting
    return EVT_CONTINUE;
  }
  unsigned n = feed(data->bytes(), data->len);
  if (n < data->len && !m_quitting) {
    m_offset = n;
    m_result = PRC_HOLD_MSG;  // the hold queue was empty: this buffer is its head
    return EVT_CONTINUE;
  }
  maybeResume();
  return EVT_CONTINUE;
}

void Crelay_conn_fsm::maybeResume() {
  if (m_open && !m_quitting && m_inflight == 0 && m_owed == 0 && m_cur == nullptr && GetHoldNum() == 0 &&
      !m_lines.Parked()) {
    ctx()->servers[m_server]->Resume(m_nodeId);
  }
}

unsigned Crelay_conn_fsm::feed(const char* bytes, unsigned len) {
  return m_lines.FeedUntilRefused(
      bytes, len, [this](const char* line, unsigned n) { return handleLine(line, n); },
      [this] {
        ++m_owed;
        if (!payOwed()) stall();  // also when no line follows to notice it
      });
}

void Crelay_conn_fsm::Pump() {
  if (m_quitting || !m_open) return;
  if (!m_lines.Unpark([this](const char* line, unsigned n) { return handleLine(line, n); })) return;
  if (!payOwed()) {
    stall();
    return;
  }
  while (!m_quitting) {
    if (m_cur == nullptr) {
      m_cur = GetHoldMsg();
      if (m_cur == nullptr) break;
    }
    Srelay_data_msg* data = MsgCast<Srelay_data_msg>(m_cur);  // held by onData, which checked its size
    if (data == nullptr) {
      RelayShortRecord(ctx(), m_cur->GetMsgPointer());
      GetFacMgr()->FreeMsgBuf(m_cur);
      m_cur = nullptr;
      m_offset = 0;
      continue;
    }
    m_offset += feed(data->bytes() + m_offset, data->len - m_offset);
    if (m_offset < data->len) return;  // waits again
    GetFacMgr()->FreeMsgBuf(m_cur);
    m_cur = nullptr;
    m_offset = 0;
    if (m_lines.Parked()) return;
  }
  maybeResume();
}

void Crelay_conn_fsm::ReleaseHeld() {
  if (m_cur != nullptr) GetFacMgr()->FreeMsgBuf(m_cur);
  m_cur = nullptr;
  while (Cvlk_msg_buf* buf = GetHoldMsg()) GetFacMgr()->FreeMsgBuf(buf);
}

EevtPrc Crelay_conn_fsm::onSend(Cmsg* msg, unsigned short event, unsigned char) {
  Srelay_line_msg* line = MsgAs<Srelay_line_msg>(msg);
  if (line != nullptr) {
    reply(line->bytes(), line->len);
  } else {
    RelayShortRecord(ctx(), msg);  // still an answer: the window and the pump move on
  }
  if (event == EV_DELIVER) {
    ctx()->counters.delivered.fetch_add(1, std::memory_order_relaxed);
  } else {
    if (m_inflight > 0) --m_inflight;
    Pump();  // our own window has room again; reads again once all is answered
  }
  fac()->Kick();
  return EVT_CONTINUE;
}

EevtPrc Crelay_conn_fsm::onClosed(Cmsg* msg, unsigned short, unsigned char) {
  m_open = false;  // the socket layer has closed it already
  unsigned reason = m_closeReason;
  if (reason == kNoReason) {
    const Srelay_data_msg* closed = MsgAs<Srelay_data_msg>(msg);
    if (closed == nullptr) RelayShortRecord(ctx(), msg);  // still a close: the machine goes
    reason = closed != nullptr ? closed->reason : RELAY_CLOSE_PEER;
  }
  if (reason >= RELAY_CLOSE_REASONS) reason = RELAY_CLOSE_PEER;
  logClose(reason);
  return EVT_CONTINUE;
}

void Crelay_conn_fsm::logClose(unsigned reason) {
  if (reason == RELAY_CLOSE_SLOW) {
    RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_SLOW, "connection %s closed: slow consumer (%s)", m_peer,
              kServerName[m_server]);
  } else {
    RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_CLOSE, "connection %s closed: %s (%s)", m_peer,
              kRelayCloseReasonText[reason], kServerName[m_server]);
  }
}

EevtPrc Crelay_conn_fsm::onQuit(Cmsg* msg, unsigned short, unsigned char) {
  Srelay_line_msg* line = MsgAs<Srelay_line_msg>(msg);
  if (line != nullptr) {
    reply(line->bytes(), line->len);
  } else {
    RelayShortRecord(ctx(), msg);  // the QUIT is still honoured
  }
  if (m_inflight > 0) --m_inflight;
  close(RELAY_CLOSE_QUIT);
  return EVT_CONTINUE;
}

void Crelay_conn_fsm::close(Erelay_close_reason reason) {
  if (m_open) {
    m_open = false;
    m_closeReason = reason;
    ctx()->servers[m_server]->Close(m_nodeId, reason);
  }
}

bool Crelay_conn_fsm::hasRoom(unsigned requestSize) {
  return m_inflight < kRelayWindow && !ctx()->servers[m_server]->OutputHigh(m_nodeId) &&
         fac()->PoolHasRoom(requestSize);
}

void Crelay_conn_fsm::stall() {
  ctx()->counters.heldBack.fetch_add(1, std::memory_order_relaxed);
  if (!m_stalled) {
    m_stalled = true;
    fac()->Stall(GetId());
  }
}

bool Crelay_conn_fsm::payOwed() {
  while (m_owed > 0) {
    unsigned reasonLen = static_cast<unsigned>(std::strlen(kRelayErrLineLong));
    if (!hasRoom(RelayTopicMsgSize(0, reasonLen))) return false;
    ctx()->counters.refused.fetch_add(1, std::memory_order_relaxed);
    toTopicTask(RELAY_MSG_REFUSE, nullptr, 0, kRelayErrLineLong, reasonLen);
    --m_owed;
  }
  return true;
}

bool Crelay_conn_fsm::handleLine(const char* line, unsigned len) {
  if (m_quitting) return false;
  if (!payOwed()) {
    stall();
    return false;
  }
  Srelay_request req;
  RelayParseLine(line, len, req);
  if (req.cmd == RELAY_CMD_EMPTY) return true;
  unsigned type = RELAY_MSG_REFUSE;
  switch (req.cmd) {
    case RELAY_CMD_PING: type = RELAY_MSG_PING; break;
    case RELAY_CMD_SUB: type = RELAY_MSG_SUB; break;
    case RELAY_CMD_UNSUB: type = RELAY_MSG_UNSUB; break;
    case RELAY_CMD_PUB: type = RELAY_MSG_PUB; break;
    case RELAY_CMD_QUIT: type = RELAY_MSG_QUIT; break;
    default: break;
  }
  const char* text = req.text;
  unsigned textLen = req.textLen;
  if (type == RELAY_MSG_REFUSE) {
    text = req.reason;
    textLen = static_cast<unsigned>(std::strlen(req.reason));
  }
  if (!hasRoom(RelayTopicMsgSize(req.topicLen, textLen))) {
    stall();
    return false;
  }
  ctx()->counters.lines.fetch_add(1, std::memory_order_relaxed);
  if (type == RELAY_MSG_REFUSE) ctx()->counters.refused.fetch_add(1, std::memory_order_relaxed);
  if (type == RELAY_MSG_SUB) m_subscribed = true;
  toTopicTask(type, req.topic, req.topicLen, text, textLen);
  if (type == RELAY_MSG_QUIT) {
    // The rest of the bytes is dropped; the connection closes once the topic
    // task's answer has come back behind every earlier answer.
    m_quitting = true;
    return false;
  }
  return true;
}

void Crelay_conn_fsm::reply(const char* data, unsigned len) {
  if (!m_open || len == 0) return;
  EerrNo err = ctx()->servers[m_server]->Send(m_nodeId, data, len);
  if (err == ERR_OK) return;
  if (err == ERR_BUSY) {
    // Its output queue would have passed the limit: the socket layer closed it
    // as a slow consumer. Nobody else waited for it.
    ctx()->counters.slowConsumers.fetch_add(1, std::memory_order_relaxed);
    m_closeReason = RELAY_CLOSE_SLOW;
  } else if (err != ERR_INVALID_OPR) {
    ctx()->counters.sendFailed.fetch_add(1, std::memory_order_relaxed);  // the socket failed; it is closed
  }
  // ERR_INVALID_OPR: closed or closing meanwhile; its CLOSED message says why.
  m_open = false;
}

void Crelay_conn_fsm::toTopicTask(unsigned type, const char* topic, unsigned topicLen, const char* text,
                                  unsigned textLen) {
  Cvlk_msg_buf* buf = nullptr;
  const Cmsg_addr topicFactory = VlkMsgAddr(kRelayTopicTaskId, kRelayTopicFactoryId);
  Srelay_topic_msg* msg = VlkNewMsg<Srelay_topic_msg>(this, &buf, topicFactory, type, topicLen + textLen);
  if (msg == nullptr) {
    // Only a DROP is sent without room checked first, and half of the pool is
    // kept free: this does not happen short of a fault. Counted and logged.
    ctx()->counters.noBuffer.fetch_add(1, std::memory_order_relaxed);
    RelayLogf(RELAY_LOG_ERROR, RELAY_LOGK_BUFFERS, "no message buffer for a request of connection %s", m_peer);
    return;
  }
  msg->from.server = m_server;
  msg->from.nodeId = m_nodeId;
  msg->from.fsmId = GetId();
  msg->topicLen = topicLen;
  msg->textLen = textLen;
  if (topicLen) std::memcpy(msg->bytes(), topic, topicLen);
  if (textLen) std::memcpy(msg->bytes() + topicLen, text, textLen);
  if (type != RELAY_MSG_DROP) ++m_inflight;
  _sendMsg(buf);
}

// ---------------------------------------------------------------------------
// Connection factory
// ---------------------------------------------------------------------------

Crelay_conn_fac::Crelay_conn_fac(Cvlk_task* task, Srelay_ctx* ctx, unsigned maxFsm)
    : Cfactory(task, kRelayConnFactoryId, maxFsm), m_ctx(ctx), m_maxFsm(maxFsm), m_stalledIds(new unsigned[maxFsm]) {
  std::memset(m_slots, 0, sizeof(m_slots));
  for (unsigned i = 0; i < maxFsm; ++i) {
    Crelay_conn_fsm* fsm = new Crelay_conn_fsm(this);
    if (fsm->GetErr() != ERR_OK || Add(fsm) != ERR_OK) {
      delete fsm;
      SetErr(ERR_OUT_OF_MEMORY);
      break;
    }
  }
}

Crelay_conn_fac::~Crelay_conn_fac() { delete[] m_stalledIds; }

Crelay_conn_fac::Sslot* Crelay_conn_fac::slotOf(unsigned server, unsigned nodeId) {
  unsigned index = (nodeId & 0xFFFF);
  if (server >= RELAY_SERVER_COUNT || index == 0 || index > kSlots) return nullptr;
  return &m_slots[server][index - 1];
}

void Crelay_conn_fac::Detach(unsigned server, unsigned nodeId, unsigned fsmId) {
  Sslot* slot = slotOf(server, nodeId);
  if (slot != nullptr && slot->fsmId == fsmId) *slot = Sslot{0, 0};
}

bool Crelay_conn_fac::PoolHasRoom(unsigned requestSize) {
  Cvlk_task_mgr* mgr = m_ctx->mgr;
  auto roomy = [mgr](unsigned cls) { return mgr->GetMsgIdleNum(cls) * 2 > mgr->GetMsgRealNum(cls); };
  unsigned cls = 0;
  while (cls + 1 < EMSG_CLASS_NUM && mgr->GetMsgBufSize(cls) < requestSize) ++cls;
  // Half of the request's class, and of the tiny class its answer takes, stays
  // free for the answers and deliveries of the requests already sent.
  return roomy(cls) && (cls == 0 || roomy(0));
}

void Crelay_conn_fac::ReleaseHeld() {
  for (unsigned i = 0; i < GetRealNum(); ++i) {
    if (GetStateByIndex(i) == RES_BUSY) static_cast<Crelay_conn_fsm*>(GetByIndex(i))->ReleaseHeld();
  }
}

void Crelay_conn_fac::Stall(unsigned fsmId) {
  if (m_stallCount >= m_maxFsm) return;  // cannot happen: each machine is in the ring once
  m_stalledIds[(m_stallHead + m_stallCount) % m_maxFsm] = fsmId;
  ++m_stallCount;
  m_ctx->counters.stalled.store(m_stallCount, std::memory_order_relaxed);
}

void Crelay_conn_fac::Kick() {
  if (m_kicking || m_stallCount == 0) return;
  m_kicking = true;  // a machine's Pump may deliver and come back here
  // Each waiting machine gets one turn; one that has to wait again queues
  // itself at the end.
  for (unsigned turns = m_stallCount; turns > 0 && m_stallCount > 0; --turns) {
    if (!PoolHasRoom(RelayTopicMsgSize(0, 0))) break;
    unsigned id = m_stalledIds[m_stallHead];
    m_stallHead = (m_stallHead + 1) % m_maxFsm;
    --m_stallCount;
    if (GetStateById(id) != RES_BUSY) continue;
    Crelay_conn_fsm* m = static_cast<Crelay_conn_fsm*>(GetById(id));
    if (m == nullptr) continue;
    m->Unstall();
    m->Pump();
  }
  m_ctx->counters.stalled.store(m_stallCount, std::memory_order_relaxed);
  m_kicking = false;
}

EerrNo Crelay_conn_fac::OnCreate() {
  m_timer = CreateTimer(0, 0, nullptr);
  if (m_timer != 0) StartTimer(m_timer, 1);
  return ERR_OK;
}

Eprc_result Crelay_conn_fac::_facMsgPrc(Cmsg* msg, Cfsm** fsm) {
  switch (msg->msgType) {
    case RELAY_MSG_DATA:
    case RELAY_MSG_CLOSED: {
      Srelay_data_msg* data = MsgCast<Srelay_data_msg>(GetCurrMsgBuf());
      if (data == nullptr) {
        RelayShortRecord(m_ctx, msg);
        return PRC_ERROR;
      }
      Sslot* slot = slotOf(data->server, data->nodeId);
      if (slot == nullptr) return PRC_ERROR;
      if (slot->fsmId != 0 && slot->nodeId == data->nodeId && GetStateById(slot->fsmId) == RES_BUSY) {
        *fsm = static_cast<Cfsm*>(GetById(slot->fsmId));
        return PRC_FSM_FOUND;
      }
      if (msg->msgType == RELAY_MSG_CLOSED) {
        // A connection that never sent anything has no machine.
        unsigned reason = data->reason < RELAY_CLOSE_REASONS ? data->reason : RELAY_CLOSE_PEER;
        RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_CLOSE, "connection %u (%s) closed before sending anything: %s",
                  data->nodeId & 0xFFFF, kServerName[data->server], kRelayCloseReasonText[reason]);
        return PRC_PROCESSED;
      }
      if (slot->fsmId != 0) killFsm(slot->fsmId);  // a machine left from the slot's earlier connection
      Crelay_conn_fsm* m = static_cast<Crelay_conn_fsm*>(AllocNode());
      if (m == nullptr) {
        RelayLogf(RELAY_LOG_ERROR, RELAY_LOGK_CLOSE, "no connection machine left: closing connection %u",
                  data->nodeId & 0xFFFF);
        m_ctx->servers[data->server]->Close(data->nodeId, RELAY_CLOSE_NO_BUFFER);
        return PRC_ERROR;
      }
      m->Attach(data->server, data->nodeId);
      *slot = Sslot{data->nodeId, m->GetId()};
      *fsm = m;
      return PRC_NEW_FSM;
    }
    case MSG_TIMEOUT: {
      Kick();
      RelayLogFlush();
      unsigned period = m_ctx->idleSeconds.load() / 4;
      if (period < 1) period = 1;
      if (period > 60) period = 60;
      if (++m_ticks >= period) {
        m_ticks = 0;
        idleCheck();
      }
      return PRC_PROCESSED;
    }
    case RELAY_MSG_KICK:
      Kick();
      return PRC_PROCESSED;
    case RELAY_MSG_IDLE_CHECK:
      idleCheck();
      return PRC_PROCESSED;
    default:
      return Cfactory::_facMsgPrc(msg, fsm);
  }
}

void Crelay_conn_fac::idleCheck() {
  m_ctx->counters.idleChecks.fetch_add(1, std::memory_order_relaxed);
  unsigned idle = m_ctx->idleSeconds.load();
  for (Crelay_tcp_server* server : m_ctx->servers) {
    if (server != nullptr) m_ctx->counters.idleClosed.fetch_add(server->CloseIdle(idle), std::memory_order_relaxed);
  }
  // A connection whose CLOSED message was lost (no buffer) leaves its machine
  // behind: release every machine whose connection the servers no longer know.
  for (unsigned i = 0; i < GetRealNum(); ++i) {
    if (GetStateByIndex(i) != RES_BUSY) continue;
    Crelay_conn_fsm* m = static_cast<Crelay_conn_fsm*>(GetByIndex(i));
    Crelay_tcp_server* server = m_ctx->servers[m->Server()];
    if (server == nullptr || server->hasNode(m->NodeId()) != VLK_TRUE) killFsm(m->GetId());
  }
}

// ---------------------------------------------------------------------------
// Network task
// ---------------------------------------------------------------------------

Crelay_net_task::Crelay_net_task(Cvlk_task_mgr* mgr, Srelay_ctx* ctx) : Cvlk_task(mgr, kRelayNetTaskId, "relay-net") {
  m_fac = new Crelay_conn_fac(this, ctx, ctx->maxConnections * RELAY_SERVER_COUNT);
  regFactory(m_fac);
  setTimer(1);  // idle check and retries
}
