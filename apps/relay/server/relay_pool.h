// relay_pool.h: a snapshot of the message pool's size classes and statistics.
#ifndef RELAY_POOL_H
#define RELAY_POOL_H

#include <vlk_task.h>

constexpr unsigned kRelayPoolClasses = EMSG_CLASS_NUM;
constexpr unsigned kRelayPoolStats = EMSG_STAT_NUM;
extern const char* const kRelayPoolClassNames[kRelayPoolClasses];  // tiny, small, comm, big
extern const char* const kRelayPoolStatNames[kRelayPoolStats];     // EMSG_STAT_..., in index order

struct Srelay_pool_snapshot {
  unsigned size[kRelayPoolClasses] = {};
  unsigned real[kRelayPoolClasses] = {};
  unsigned idle[kRelayPoolClasses] = {};
  unsigned stat[kRelayPoolStats] = {};
};

// Reads the pool of mgr; false (snapshot zero) without a manager.
bool RelayReadPool(Cvlk_task_mgr* mgr, Srelay_pool_snapshot& out);

#endif  // RELAY_POOL_H
