// The network task: connection state machines and their factory.
#include "relay_conn.h"

#include <cstring>

#include "relay_server.h"

namespace {

// One table row: the handlers in order, then the state to move to.
template <typename... H>
Cevt_entry Row(unsigned next, H... handlers) {
  Cevt_entry row{};
  row.handlerCnt = sizeof...(H);
  Cev_fsm::Fevt_handler list[] = {static_cast<Cev_fsm::Fevt_handler>(handlers)...};
  for (unsigned i = 0; i < sizeof...(H); ++i) row.handlers[i] = list[i];
  row.nextState = next;
  return row;
}

}  // namespace

// ---------------------------------------------------------------------------
// Connection machine
// ---------------------------------------------------------------------------

Cevt_entry Crelay_conn_fsm::s_table[S_COUNT][EV_COUNT];

Crelay_conn_fsm::Crelay_conn_fsm(Crelay_conn_fac* factory) : Cev_fsm(factory, 0) {
  static const bool tableReady = [] {
    using F = Crelay_conn_fsm;
    s_table[S_IDLE][EV_DATA] = Row(S_OPEN, &F::onOpen, &F::onData);
    s_table[S_IDLE][EV_CLOSED] = Row(S_IDLE, &F::onClosed, &F::_procKillFsm);
    s_table[S_OPEN][EV_DATA] = Row(S_OPEN, &F::onData);
    s_table[S_OPEN][EV_SEND] = Row(S_OPEN, &F::onSend);
    s_table[S_OPEN][EV_DELIVER] = Row(S_OPEN, &F::onSend);
    s_table[S_OPEN][EV_CLOSED] = Row(S_OPEN, &F::onClosed, &F::_procKillFsm);
    s_table[S_OPEN][EV_QUIT] = Row(S_OPEN, &F::onQuit, &F::_procKillFsm);
    return true;
  }();
  (void)tableReady;
}

Srelay_ctx* Crelay_conn_fsm::ctx() { return static_cast<Crelay_conn_fac*>(GetFactory())->Ctx(); }

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
  m_lines.Reset();
  return err;
}

EerrNo Crelay_conn_fsm::Destroy() {
  Srelay_ctx* c = ctx();
  static_cast<Crelay_conn_fac*>(GetFactory())->Detach(m_server, m_nodeId, GetId());
  if (m_open) {
    // Released while its socket is still open (a stale or refused machine).
    m_open = false;
    c->servers[m_server]->Close(m_nodeId);
  }
  if (m_subscribed) {
    toTopicTask(RELAY_MSG_DROP, nullptr, 0, nullptr, 0);
    m_subscribed = false;
  }
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
  _trace("connection %u on server %u", m_nodeId, m_server);
  return EVT_NOT_PROCESSED;
}

EevtPrc Crelay_conn_fsm::onData(Cmsg* msg, unsigned short, unsigned char) {
  if (m_quitting) return EVT_NOT_PROCESSED;
  Srelay_data_msg* data = reinterpret_cast<Srelay_data_msg*>(msg);
  m_lines.Feed(
      data->bytes, data->len, [this](const char* line, unsigned len) { return handleLine(line, len); },
      [this] { refuse(kRelayErrLineLong); });
  return EVT_NOT_PROCESSED;
}

EevtPrc Crelay_conn_fsm::onSend(Cmsg* msg, unsigned short event, unsigned char) {
  Srelay_line_msg* line = reinterpret_cast<Srelay_line_msg*>(msg);
  reply(line->bytes, line->len);
  if (event == EV_DELIVER) ctx()->counters.delivered.fetch_add(1, std::memory_order_relaxed);
  return EVT_NOT_PROCESSED;
}

EevtPrc Crelay_conn_fsm::onClosed(Cmsg*, unsigned short, unsigned char) {
  m_open = false;  // the socket layer has closed it already
  return EVT_NOT_PROCESSED;
}

EevtPrc Crelay_conn_fsm::onQuit(Cmsg* msg, unsigned short, unsigned char) {
  Srelay_line_msg* line = reinterpret_cast<Srelay_line_msg*>(msg);
  reply(line->bytes, line->len);
  close();
  return EVT_NOT_PROCESSED;
}

void Crelay_conn_fsm::close() {
  if (m_open) {
    m_open = false;
    ctx()->servers[m_server]->Close(m_nodeId);
  }
}

bool Crelay_conn_fsm::handleLine(const char* line, unsigned len) {
  Srelay_request req;
  RelayParseLine(line, len, req);
  if (req.cmd == RELAY_CMD_EMPTY) return true;
  ctx()->counters.lines.fetch_add(1, std::memory_order_relaxed);
  unsigned type = 0;
  switch (req.cmd) {
    case RELAY_CMD_PING: type = RELAY_MSG_PING; break;
    case RELAY_CMD_SUB: type = RELAY_MSG_SUB; break;
    case RELAY_CMD_UNSUB: type = RELAY_MSG_UNSUB; break;
    case RELAY_CMD_PUB: type = RELAY_MSG_PUB; break;
    case RELAY_CMD_QUIT:
      // The rest of the bytes is dropped; the connection closes once the topic
      // task's answer has come back behind every earlier answer.
      m_quitting = true;
      if (!toTopicTask(RELAY_MSG_QUIT, nullptr, 0, nullptr, 0)) close();
      return false;
    default:
      refuse(req.reason);
      return true;
  }
  if (type == RELAY_MSG_SUB) m_subscribed = true;
  if (!toTopicTask(type, req.topic, req.topicLen, req.text, req.textLen)) {
    char out[64];
    reply(out, RelayFormatErr(out, sizeof(out), kRelayErrBusy));
  }
  return true;
}

void Crelay_conn_fsm::reply(const char* data, unsigned len) {
  if (!m_open || len == 0) return;
  if (ctx()->servers[m_server]->Send(m_nodeId, data, len) != ERR_OK) {
    // The socket layer closed the connection; its CLOSED message follows.
    ctx()->counters.sendFailed.fetch_add(1, std::memory_order_relaxed);
    m_open = false;
  }
}

void Crelay_conn_fsm::refuse(const char* reason) {
  ctx()->counters.refused.fetch_add(1, std::memory_order_relaxed);
  if (!toTopicTask(RELAY_MSG_REFUSE, nullptr, 0, reason, static_cast<unsigned>(std::strlen(reason)))) {
    char out[64];
    reply(out, RelayFormatErr(out, sizeof(out), reason));
  }
}

bool Crelay_conn_fsm::toTopicTask(unsigned type, const char* topic, unsigned topicLen, const char* text,
                                  unsigned textLen) {
  Cvlk_msg_buf* buf = _getMsgBuf(RelayTopicMsgSize(topicLen, textLen));
  if (buf == nullptr) {
    ctx()->counters.noBuffer.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  Srelay_topic_msg* msg = reinterpret_cast<Srelay_topic_msg*>(buf->GetMsgPointer());
  RelayFillHeader(&msg->hdr, kRelayNetTaskId, kRelayTopicTaskId, kRelayTopicFactoryId, 0, type);
  msg->hdr.srcFactoryId = kRelayConnFactoryId;
  msg->hdr.srcFsmId = GetId();
  msg->from.server = m_server;
  msg->from.nodeId = m_nodeId;
  msg->from.fsmId = GetId();
  msg->topicLen = topicLen;
  msg->textLen = textLen;
  if (topicLen) std::memcpy(msg->bytes, topic, topicLen);
  if (textLen) std::memcpy(msg->bytes + topicLen, text, textLen);
  _sendMsg(buf);
  return true;
}

// ---------------------------------------------------------------------------
// Connection factory
// ---------------------------------------------------------------------------

Crelay_conn_fac::Crelay_conn_fac(Cvlk_task* task, Srelay_ctx* ctx, unsigned maxFsm)
    : Cfactory(task, kRelayConnFactoryId, maxFsm), m_ctx(ctx) {
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

Crelay_conn_fac::Sslot* Crelay_conn_fac::slotOf(unsigned server, unsigned nodeId) {
  unsigned index = (nodeId & 0xFFFF);
  if (server >= RELAY_SERVER_COUNT || index == 0 || index > kSlots) return nullptr;
  return &m_slots[server][index - 1];
}

void Crelay_conn_fac::Detach(unsigned server, unsigned nodeId, unsigned fsmId) {
  Sslot* slot = slotOf(server, nodeId);
  if (slot != nullptr && slot->fsmId == fsmId) *slot = Sslot{0, 0};
}

EerrNo Crelay_conn_fac::OnCreate() {
  unsigned idle = m_ctx->idleSeconds.load();
  unsigned period = idle / 4;
  if (period < 1) period = 1;
  if (period > 60) period = 60;
  m_timer = CreateTimer(0, 0, nullptr);
  if (m_timer != 0) StartTimer(m_timer, period);
  return ERR_OK;
}

Eprc_result Crelay_conn_fac::_facMsgPrc(Cmsg* msg, Cfsm** fsm) {
  switch (msg->msgType) {
    case RELAY_MSG_DATA:
    case RELAY_MSG_CLOSED: {
      Srelay_data_msg* data = reinterpret_cast<Srelay_data_msg*>(msg);
      Sslot* slot = slotOf(data->server, data->nodeId);
      if (slot == nullptr) return PRC_ERROR;
      if (slot->fsmId != 0 && slot->nodeId == data->nodeId && GetStateById(slot->fsmId) == RES_BUSY) {
        *fsm = static_cast<Cfsm*>(GetById(slot->fsmId));
        return PRC_FSM_FOUND;
      }
      if (msg->msgType == RELAY_MSG_CLOSED) return PRC_PROCESSED;  // its machine is gone already
      if (slot->fsmId != 0) killFsm(slot->fsmId);  // a machine left from the slot's earlier connection
      Crelay_conn_fsm* m = static_cast<Crelay_conn_fsm*>(AllocNode());
      if (m == nullptr) {
        _logError("no connection machine left: closing the connection");
        m_ctx->servers[data->server]->Close(data->nodeId);
        return PRC_ERROR;
      }
      m->Attach(data->server, data->nodeId);
      *slot = Sslot{data->nodeId, m->GetId()};
      *fsm = m;
      return PRC_NEW_FSM;
    }
    case MSG_TIMEOUT:
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
    if (server != nullptr) server->selfCheck(idle);
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
  setTimer(1);  // the idle check
}
