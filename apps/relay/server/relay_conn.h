// relay_conn.h: the network task. Every TCP connection is one event-table state
// machine in the connection factory; it assembles request lines from the bytes
// the servers pass on, hands every request to the topic task and writes what
// comes back to its socket.
//
// Flow control: a connection has at most kRelayWindow requests at the topic task
// unanswered, and sends one only while the message pool keeps a reserve for the
// answers and deliveries of those already sent. A request that finds no room
// waits (its line is parked, the rest of the bytes kept in the machine's hold
// queue) and goes on when room comes back. Nothing is refused for want of room:
// a client that pipelines simply goes slower.
#ifndef RELAY_CONN_H
#define RELAY_CONN_H

#include <vlk_task.h>

#include "relay_ctx.h"
#include "relay_line.h"

class Crelay_conn_fac;

// Requests one connection may have at the topic task unanswered.
constexpr unsigned kRelayWindow = 32;

// One connection. States: IDLE (allocated for the first bytes) and OPEN.
// Events: DATA (bytes), SEND (an answer from the topic task), DELIVER (a MSG
// line), CLOSED (the socket is gone), QUIT (the topic task's answer to QUIT).
// Thread-safety: network task thread only.
class Crelay_conn_fsm : public Cev_fsm {
 public:
  enum { S_IDLE = 0, S_OPEN = 1, S_COUNT = 2 };
  enum { EV_NONE = 0, EV_DATA, EV_SEND, EV_DELIVER, EV_CLOSED, EV_QUIT, EV_COUNT };

  explicit Crelay_conn_fsm(Crelay_conn_fac* factory);

  // Ties the machine to its connection; the factory calls it before Create.
  void Attach(unsigned server, unsigned nodeId);
  unsigned Server() const { return m_server; }
  unsigned NodeId() const { return m_nodeId; }
  // Goes on with held-back requests as far as room allows.
  void Pump();
  // Gives the held-back bytes back to the pool. REQUIRES: the task has stopped.
  void ReleaseHeld();
  // Taken off the factory's waiting list: waiting again queues it again.
  void Unstall() { m_stalled = false; }

  EerrNo Create() override;
  EerrNo Destroy() override;
  const char* GetName() override { return "Crelay_conn"; }

 protected:
  unsigned _getCurrState(unsigned char p1, unsigned char p2) override;
  void _setCurrState(unsigned char p1, unsigned char p2, unsigned state) override;
  void _parseMsg(Cmsg* msg) override;
  const Cevt_entry* _getEvtEntry(unsigned state, unsigned short event, unsigned char p1) override;

 private:
  EevtPrc onOpen(Cmsg* msg, unsigned short event, unsigned char p2);
  EevtPrc onData(Cmsg* msg, unsigned short event, unsigned char p2);
  EevtPrc onSend(Cmsg* msg, unsigned short event, unsigned char p2);
  EevtPrc onClosed(Cmsg* msg, unsigned short event, unsigned char p2);
  EevtPrc onQuit(Cmsg* msg, unsigned short event, unsigned char p2);

  // Handles one request line; false when it has to wait for room (or after
  // QUIT, when the rest of the bytes is dropped).
  bool handleLine(const char* line, unsigned len);
  // Feeds bytes from offset on; the bytes consumed.
  unsigned feed(const char* bytes, unsigned len);
  // Sends refusals owed for oversize lines; false when one still has to wait.
  bool payOwed();
  bool hasRoom(unsigned requestSize);
  // Lets the server read the connection again when every request is answered.
  void maybeResume();
  void stall();
  void reply(const char* data, unsigned len);
  // Sends a request to the topic task. REQUIRES: hasRoom for its size.
  void toTopicTask(unsigned type, const char* topic, unsigned topicLen, const char* text, unsigned textLen);
  void close(Erelay_close_reason reason);
  void logClose(unsigned reason);
  Srelay_ctx* ctx();
  Crelay_conn_fac* fac();

  static const Cevt_entry s_table[S_COUNT][EV_COUNT];

  unsigned m_curr = S_IDLE;
  unsigned m_server = 0;
  unsigned m_nodeId = 0;
  bool m_open = false;        // the socket is still ours to close
  bool m_subscribed = false;  // the topic task may hold subscriptions of ours
  bool m_quitting = false;    // QUIT seen: further requests are ignored
  bool m_stalled = false;     // waiting in the factory's list for room
  bool m_logged = false;      // its open line was written
  unsigned m_closeReason = RELAY_CLOSE_PEER;  // why we closed it, when we did
  unsigned m_inflight = 0;    // requests at the topic task not yet answered
  unsigned m_owed = 0;        // "line too long" refusals not yet sent
  Cvlk_msg_buf* m_cur = nullptr;  // the held data buffer being read, taken from the hold queue
  unsigned m_offset = 0;      // bytes of the first held buffer (m_cur, else the hold queue's head) consumed
  char m_peer[64] = {0};      // "address:port", for the close line
  Crelay_line_buf m_lines;
};

// The pool of connection machines, and the map from (server, node id) to the
// machine of that connection. A one-second timer runs the idle check (every
// idle/4 seconds) and retries connections waiting for room.
// Thread-safety: network task thread only.
class Crelay_conn_fac : public Cfactory {
 public:
  Crelay_conn_fac(Cvlk_task* task, Srelay_ctx* ctx, unsigned maxFsm);
  ~Crelay_conn_fac() override;
  Srelay_ctx* Ctx() { return m_ctx; }
  // Forgets the machine of a connection (called when the machine is released).
  void Detach(unsigned server, unsigned nodeId, unsigned fsmId);
  // Queues a machine that waits for room; Kick retries the queue.
  void Stall(unsigned fsmId);
  void Kick();
  // Whether the pool keeps its reserve for a request of this size (and its answer).
  bool PoolHasRoom(unsigned requestSize);
  // Every machine's ReleaseHeld. REQUIRES: the task has stopped.
  void ReleaseHeld();
  const char* GetName() override { return "Crelay_conn_fac"; }
  EerrNo OnCreate() override;
  // Machines are released with their connections, never by age.
  EerrNo midnightChecking() override { return ERR_OK; }

 protected:
  Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm) override;

 private:
  struct Sslot {
    unsigned nodeId;
    unsigned fsmId;
  };
  static constexpr unsigned kSlots = 1024;  // the socket layer's node capacity
  Sslot* slotOf(unsigned server, unsigned nodeId);
  void idleCheck();

  Srelay_ctx* m_ctx;
  unsigned m_timer = 0;
  unsigned m_ticks = 0;
  unsigned m_maxFsm;
  unsigned* m_stalledIds;  // ring of machines waiting for room (capacity m_maxFsm)
  unsigned m_stallHead = 0;
  unsigned m_stallCount = 0;
  bool m_kicking = false;
  Sslot m_slots[RELAY_SERVER_COUNT][kSlots];
};

// The network task: the connection factory and one timer.
class Crelay_net_task : public Cvlk_task {
 public:
  Crelay_net_task(Cvlk_task_mgr* mgr, Srelay_ctx* ctx);
  Crelay_conn_fac* Factory() { return m_fac; }

 private:
  Crelay_conn_fac* m_fac;
};

#endif  // RELAY_CONN_H
