// relay_ctx.h: what the relay's tasks, servers and state machines share: the
// servers, the live settings and the counters behind "STATS".
#ifndef RELAY_CTX_H
#define RELAY_CTX_H

#include <atomic>
#include <cstdint>

#include "relay_msgs.h"

class Crelay_cluster;
class Crelay_tcp_server;
class Cvlk_task_mgr;

// Relay-wide counters. Written from the server and task threads.
struct Srelay_counters {
  std::atomic<std::uint64_t> opened{0};      // connections that sent their first bytes
  std::atomic<std::uint64_t> closed{0};      // connection machines released
  std::atomic<std::uint64_t> lines{0};       // request lines handled
  std::atomic<std::uint64_t> refused{0};     // lines answered with ERR
  std::atomic<std::uint64_t> published{0};   // PUB requests fanned out
  std::atomic<std::uint64_t> delivered{0};   // MSG lines handed to the socket layer
  std::atomic<std::uint64_t> noBuffer{0};    // connections closed, or waits, for want of a pool buffer
  std::atomic<std::uint64_t> sendFailed{0};  // sends the socket layer refused (the connection is closed)
  std::atomic<std::uint64_t> slowConsumers{0};  // subscribers disconnected for not reading
  std::atomic<std::uint64_t> idleClosed{0};  // connections closed as idle
  std::atomic<std::uint64_t> idleChecks{0};  // idle checks run
  std::atomic<std::uint64_t> heldBack{0};    // times a connection's requests waited for room
  std::atomic<std::uint64_t> subscriptions{0};  // entries in the topic table now
  std::atomic<std::uint64_t> stalled{0};     // connections whose requests wait for room now
  std::atomic<std::uint64_t> paused{0};      // connections whose reading is paused now
  std::atomic<std::uint64_t> statsRefused{0};   // STATS requests over the rate limit
  std::atomic<std::uint64_t> shortRecords{0};   // messages too small for their type's record: dropped unread
};

// Shared by every part of one relay; lives as long as the relay.
// Thread-safety: the pointers are set before the threads start and never change;
// the rest is atomic.
struct Srelay_ctx {
  Cvlk_task_mgr* mgr = nullptr;
  Crelay_tcp_server* servers[RELAY_SERVER_COUNT] = {nullptr, nullptr};
  Crelay_cluster* cluster = nullptr;  // null unless [cluster] names a Redis
  unsigned maxConnections = 0;
  std::atomic<unsigned> idleSeconds{300};
  std::atomic<unsigned> maxSubsPerConnection{256};
  std::atomic<bool> stopping{false};  // the relay is shutting down: nobody waits for buffers
  Srelay_counters counters;
};

// A message whose buffer is too small for the record its type names: counted
// and logged (rate-limited); the caller drops it without reading its body.
void RelayShortRecord(Srelay_ctx* ctx, const Cmsg* msg);

// Why a connection was closed, as its close line says.
enum Erelay_close_reason : std::uint32_t {
  RELAY_CLOSE_PEER = 0,   // the peer closed it or the socket failed
  RELAY_CLOSE_QUIT,       // the client sent QUIT
  RELAY_CLOSE_IDLE,       // idle for idle_seconds
  RELAY_CLOSE_SLOW,       // a subscriber that stopped reading
  RELAY_CLOSE_NO_BUFFER,  // no message buffer for its bytes
  RELAY_CLOSE_STOP,       // the relay is stopping
  RELAY_CLOSE_REASONS
};
extern const char* const kRelayCloseReasonText[RELAY_CLOSE_REASONS];

#endif  // RELAY_CTX_H
