// relay_topic.h: the topic task. It owns the table of subscriptions, a hash
// table from topic to the connections subscribed to it, and fans every
// publication out as one message per subscriber to the network task.
#ifndef RELAY_TOPIC_H
#define RELAY_TOPIC_H

#include <memory>

#include <vlk_container.h>
#include <vlk_task.h>

#include "relay_ctx.h"

// Handles SUB, UNSUB, PUB and DROP messages itself (it has no machines).
// A connection holds at most the configured share of the table.
// Thread-safety: topic task thread only; the table is touched nowhere else.
class Crelay_topic_fac : public Cfactory {
 public:
  Crelay_topic_fac(Cvlk_task* task, Srelay_ctx* ctx, Cvlk_hash_tbl* table, unsigned maxConnMachines);
  const char* GetName() override { return "Crelay_topic_fac"; }

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override;

 private:
  void subscribe(Srelay_topic_msg* msg);
  void unsubscribe(Srelay_topic_msg* msg);
  void publish(Srelay_topic_msg* msg);
  // Hands a publication to every local subscriber of its topic; false when one
  // of them could not be served.
  bool fanOut(Srelay_topic_msg* msg);
  // Tells the cluster when a topic's last local subscriber is gone.
  void lastGone(const char* topic, unsigned topicLen);
  void drop(const Srelay_peer& peer);
  // The table entry of this peer under this topic, or 0.
  unsigned findEntry(Srelay_topic_msg* msg);
  // Subscriptions a connection's machine holds, by the machine's slot; null
  // for an id outside the connection factory's range.
  unsigned* countOf(unsigned fsmId);
  // Sends one line to a connection's machine. When the pool is empty it waits
  // for buffers to come back (the network task never waits for this one, so
  // they do); false only when the relay stops meanwhile.
  bool sendLine(const Srelay_peer& to, unsigned type, const char* line, unsigned len);
  void answer(const Srelay_peer& to, const char* reason);  // "OK" when reason is null

  Srelay_ctx* m_ctx;
  Cvlk_hash_tbl* m_table;
  unsigned m_machines;
  std::unique_ptr<unsigned[]> m_counts;  // [machine slot - 1]
  char m_line[kRelayMaxReply];  // the MSG line being fanned out
};

class Crelay_topic_task : public Cvlk_task {
 public:
  Crelay_topic_task(Cvlk_task_mgr* mgr, Srelay_ctx* ctx, unsigned maxSubscriptions);
  // ERR_OK when the table and the factory were set up.
  EerrNo GetSetupErr() const { return m_err; }
  Cvlk_hash_tbl* Table() { return m_table; }

 private:
  Cvlk_hash_tbl* m_table;
  Crelay_topic_fac* m_fac;
  EerrNo m_err = ERR_OK;
};

#endif  // RELAY_TOPIC_H
