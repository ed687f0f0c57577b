// relay_server.h: the relay's sockets: a TCP server (one plain, one TLS) that
// turns received bytes into messages for the network task, and the UDP endpoint
// that answers "STATS".
#ifndef RELAY_SERVER_H
#define RELAY_SERVER_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include <vlk_net.h>

#include "relay_ctx.h"

// Reading: a connection is paused after every read that holds a complete
// request line, and the network task resumes it once every request of it has
// been answered. So a connection has at most one read in progress, the bytes
// a client pipelines wait in TCP (whose window pushes back on it), and a peer
// that half-closes gets every answer before the relay reads its end.
// Output: a connection whose queue passes the high-water mark has its own
// requests wait until it drains; one whose queue would pass the limit is closed
// by the socket layer as a slow consumer.
// Thread-safety: procData, procDrained and ioClosed run on the server thread
// (ioClosed also on whichever thread closes a connection, procHighWater on the
// sending thread); Send, Close, Resume and the idle check from the network
// task; PeerText and OutputHigh from any thread.
class Crelay_tcp_server : public Cvlk_tcp_server {
 public:
  Crelay_tcp_server(Erelay_server kind, Srelay_ctx* ctx, QObject* parent);
  ~Crelay_tcp_server() override;

  // Sends one whole line; on failure the socket layer has closed the connection.
  EerrNo Send(unsigned nodeId, const void* data, unsigned len);
  // Closes the connection; its close line gives reason.
  void Close(unsigned nodeId, Erelay_close_reason reason);
  // Closes every connection that has neither received nor been sent anything
  // for idleSeconds (a connection that has done neither yet counts from when the
  // check first saw it); the number closed.
  unsigned CloseIdle(unsigned idleSeconds, Erelay_close_reason reason = RELAY_CLOSE_IDLE);
  void CloseAll(Erelay_close_reason reason) { CloseIdle(0, reason); }
  // "address:port" of a connection into out (cap bytes); "?" when it is gone.
  void PeerText(unsigned nodeId, char* out, unsigned cap);
  // Reads the connection again (its requests are all answered).
  void Resume(unsigned nodeId);
  // The connection's output queue is above its high-water mark.
  bool OutputHigh(unsigned nodeId);

 protected:
  void procData(unsigned nodeId, Cvlk_uaddr peer, int len, char* data) override;
  void procHighWater(unsigned nodeId, std::size_t queued) override;
  void procDrained(unsigned nodeId) override;
  void ioClosed(unsigned nodeId) override;

 private:
  // Per pool slot (the low 16 bits of a node id, 1-based).
  struct Sslot {
    std::atomic<std::uint32_t> nodeId{0};     // the connection the times below belong to
    std::atomic<std::int64_t> lastOut{0};     // seconds since 1970 of the last send to it
    std::atomic<std::int64_t> firstSeen{0};   // when the idle check first met it
    std::atomic<std::uint32_t> reason{RELAY_CLOSE_PEER};  // set by Close before closing
    std::atomic<std::uint32_t> highNode{0};   // the connection whose queue is above high water
    std::uint32_t pausedNode = 0;             // the connection paused (guarded by m_pauseLock)
  };
  Sslot* slot(unsigned nodeId);

  void pause(unsigned nodeId);
  // Tells the network task that room came back (a queue drained).
  void kick();

  Erelay_server m_kind;
  Srelay_ctx* m_ctx;
  std::mutex m_pauseLock;  // guards Sslot::pausedNode and the pause/resume calls
  Sslot m_slots[MAX_NODES];
};

// Writes the statistics text that answers "STATS" into out; returns its length.
using RelayStatsFn = unsigned (*)(void* owner, char* out, unsigned cap);

// Answers "STATS" datagrams, at most perSecond of them in any second (all askers
// together); the rest are counted and dropped.
// Thread-safety: the hooks run on the UDP server thread; SetRate from any thread.
class Crelay_udp_server : public Cvlk_udp_server {
 public:
  Crelay_udp_server(QObject* parent, RelayStatsFn stats, void* owner, Srelay_ctx* ctx);
  ~Crelay_udp_server() override;
  void SetRate(unsigned perSecond) { m_perSecond.store(perSecond); }

 protected:
  int checkData(unsigned nodeId, Cvlk_uaddr peer, int len, char* data) override;
  void procData(unsigned nodeId, Cvlk_uaddr peer, int len, char* data) override;

 private:
  RelayStatsFn m_stats;
  void* m_owner;
  Srelay_ctx* m_ctx;
  std::atomic<unsigned> m_perSecond{20};
  std::int64_t m_second = 0;   // server thread only: the second being counted
  unsigned m_answered = 0;     // server thread only: answers in that second
  char m_reply[4096];
};

#endif  // RELAY_SERVER_H
