// A snapshot of the message pool for "STATS" and the final report.
#include "relay_pool.h"

const char* const kRelayPoolClassNames[kRelayPoolClasses] = {"tiny", "small", "comm", "big"};

const char* const kRelayPoolStatNames[kRelayPoolStats] = {
    "EMSG_STAT_E_NO_MSG_NODE",     "EMSG_STAT_E_NO_TINY_MSG_NODE", "EMSG_STAT_E_NO_SMALL_MSG_NODE",
    "EMSG_STAT_E_NO_COMM_MSG_NODE", "EMSG_STAT_E_NO_BIG_MSG_NODE",  "EMSG_STAT_E_NO_MSG_BUF",
    "EMSG_STAT_N_ALLOC_MSG",       "EMSG_STAT_N_ALLOC_TINY_MSG",   "EMSG_STAT_N_ALLOC_SMALL_MSG",
    "EMSG_STAT_N_ALLOC_COMM_MSG",  "EMSG_STAT_N_ALLOC_BIG_MSG",    "EMSG_STAT_N_FREE_MSG",
};

bool RelayReadPool(Cvlk_task_mgr* mgr, Srelay_pool_snapshot& out) {
  out = Srelay_pool_snapshot();
  if (mgr == nullptr) return false;
  for (unsigned c = 0; c < kRelayPoolClasses; ++c) {
    out.size[c] = mgr->GetMsgBufSize(c);
    out.real[c] = mgr->GetMsgRealNum(c);
    out.idle[c] = mgr->GetMsgIdleNum(c);
  }
  for (unsigned s = 0; s < kRelayPoolStats; ++s) out.stat[s] = mgr->GetMsgStat(s);
  return true;
}
