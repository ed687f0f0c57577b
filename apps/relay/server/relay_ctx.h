// relay_ctx.h: what the relay's tasks, servers and state machines share: the
// servers, the live settings and the counters behind "STATS".
#ifndef RELAY_CTX_H
#define RELAY_CTX_H

#include <atomic>
#include <cstdint>

#include "relay_msgs.h"

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
  std::atomic<std::uint64_t> noBuffer{0};    // messages lost for want of a pool buffer
  std::atomic<std::uint64_t> sendFailed{0};  // sends the socket layer refused
  std::atomic<std::uint64_t> idleChecks{0};  // idle checks run
  std::atomic<std::uint64_t> subscriptions{0};  // entries in the topic table now
};

// Shared by every part of one relay; lives as long as the relay.
// Thread-safety: the pointers are set before the threads start and never change;
// the rest is atomic.
struct Srelay_ctx {
  Cvlk_task_mgr* mgr = nullptr;
  Crelay_tcp_server* servers[RELAY_SERVER_COUNT] = {nullptr, nullptr};
  unsigned maxConnections = 0;
  std::atomic<unsigned> idleSeconds{300};
  Srelay_counters counters;
};

#endif  // RELAY_CTX_H
