// relay_server.h: the relay's sockets: a TCP server (one plain, one TLS) that
// turns received bytes into messages for the network task, and the UDP endpoint
// that answers "STATS".
#ifndef RELAY_SERVER_H
#define RELAY_SERVER_H

#include <vlk_net.h>

#include "relay_ctx.h"

// Thread-safety: procData and ioClosed run on the server thread (ioClosed also
// on whichever thread closes a connection); Send and Close from the network task.
class Crelay_tcp_server : public Cvlk_tcp_server {
 public:
  Crelay_tcp_server(Erelay_server kind, Srelay_ctx* ctx, QObject* parent);
  ~Crelay_tcp_server() override;

  EerrNo Send(unsigned nodeId, const void* data, unsigned len) { return sendTo(nodeId, data, len); }
  void Close(unsigned nodeId) { closeConnect(nodeId); }

 protected:
  void procData(unsigned nodeId, Cvlk_uaddr peer, int len, char* data) override;
  void ioClosed(unsigned nodeId) override;

 private:
  Erelay_server m_kind;
  Srelay_ctx* m_ctx;
};

// Writes the statistics text that answers "STATS" into out; returns its length.
using RelayStatsFn = unsigned (*)(void* owner, char* out, unsigned cap);

// Thread-safety: the hooks run on the UDP server thread.
class Crelay_udp_server : public Cvlk_udp_server {
 public:
  Crelay_udp_server(QObject* parent, RelayStatsFn stats, void* owner);
  ~Crelay_udp_server() override;

 protected:
  int checkData(unsigned nodeId, Cvlk_uaddr peer, int len, char* data) override;
  void procData(unsigned nodeId, Cvlk_uaddr peer, int len, char* data) override;

 private:
  RelayStatsFn m_stats;
  void* m_owner;
  char m_reply[4096];
};

#endif  // RELAY_SERVER_H
