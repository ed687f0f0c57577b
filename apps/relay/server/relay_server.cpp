// The relay's TCP and UDP servers.
#include "relay_server.h"

#include <cstring>

Crelay_tcp_server::Crelay_tcp_server(Erelay_server kind, Srelay_ctx* ctx, QObject* parent)
    : Cvlk_tcp_server(ctx->maxConnections, parent), m_kind(kind), m_ctx(ctx) {}

Crelay_tcp_server::~Crelay_tcp_server() { stop(); }

void Crelay_tcp_server::procData(unsigned nodeId, Cvlk_uaddr, int len, char* data) {
  if (len <= 0) return;  // a TLS read without application data yet
  Cvlk_msg_buf* buf = m_ctx->mgr->GetMsgBuf(RelayDataMsgSize(static_cast<unsigned>(len)));
  if (buf == nullptr) {
    // The bytes cannot be kept, and a stream with a hole in it is worthless:
    // close the connection rather than pass on a corrupted one.
    m_ctx->counters.noBuffer.fetch_add(1, std::memory_order_relaxed);
    closeConnect(nodeId);
    return;
  }
  Srelay_data_msg* msg = reinterpret_cast<Srelay_data_msg*>(buf->GetMsgPointer());
  RelayFillHeader(&msg->hdr, 0, kRelayNetTaskId, kRelayConnFactoryId, 0, RELAY_MSG_DATA);
  msg->server = m_kind;
  msg->nodeId = nodeId;
  msg->len = static_cast<unsigned>(len);
  std::memcpy(msg->bytes, data, static_cast<unsigned>(len));
  m_ctx->mgr->SendMsg(buf);
}

void Crelay_tcp_server::ioClosed(unsigned nodeId) {
  Cvlk_msg_buf* buf = m_ctx->mgr->GetMsgBuf(RelayDataMsgSize(0));
  if (buf == nullptr) {
    // The idle check's sweep releases the machine later.
    m_ctx->counters.noBuffer.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Srelay_data_msg* msg = reinterpret_cast<Srelay_data_msg*>(buf->GetMsgPointer());
  RelayFillHeader(&msg->hdr, 0, kRelayNetTaskId, kRelayConnFactoryId, 0, RELAY_MSG_CLOSED);
  msg->server = m_kind;
  msg->nodeId = nodeId;
  msg->len = 0;
  m_ctx->mgr->SendMsg(buf);
}

Crelay_udp_server::Crelay_udp_server(QObject* parent, RelayStatsFn stats, void* owner)
    : Cvlk_udp_server(parent, 4), m_stats(stats), m_owner(owner) {}

Crelay_udp_server::~Crelay_udp_server() { stop(); }

int Crelay_udp_server::checkData(unsigned, Cvlk_uaddr, int len, char* data) {
  // Only "STATS", with or without a line end, is answered.
  while (len > 0 && (data[len - 1] == '\n' || data[len - 1] == '\r')) --len;
  return (len == 5 && std::memcmp(data, "STATS", 5) == 0) ? 0 : 1;
}

void Crelay_udp_server::procData(unsigned nodeId, Cvlk_uaddr peer, int, char*) {
  unsigned len = m_stats(m_owner, m_reply, sizeof(m_reply));
  if (len > 0) SendTo(nodeId, &peer, m_reply, len);
}
