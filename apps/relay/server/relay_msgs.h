// relay_msgs.h: the relay's tasks, factories and message records. Every record
// is the framework's 48-byte header followed by the relay's body.
#ifndef RELAY_MSGS_H
#define RELAY_MSGS_H

#include <cstddef>
#include <cstdint>

#include <vlk_task.h>

#include "relay_proto.h"

// Task ids under the task manager.
constexpr unsigned kRelayNetTaskId = 1;    // connections: one state machine each
constexpr unsigned kRelayTopicTaskId = 2;  // the topic table
// Factory ids within their task.
constexpr unsigned kRelayConnFactoryId = 0x101;
constexpr unsigned kRelayTopicFactoryId = 0x201;

// The TCP servers a connection can belong to.
enum Erelay_server : std::uint32_t { RELAY_SERVER_PLAIN = 0, RELAY_SERVER_TLS = 1, RELAY_SERVER_COUNT = 2 };

// Message types of the relay (values the framework leaves to applications).
enum Erelay_msg_type : std::uint32_t {
  RELAY_MSG_DATA = 0x100,    // Srelay_data_msg: bytes received on a connection
  RELAY_MSG_CLOSED,          // Srelay_data_msg without bytes: the connection is gone
  RELAY_MSG_IDLE_CHECK,      // bare header: close silent connections now
  RELAY_MSG_SEND,            // Srelay_line_msg: a reply for the connection to send
  RELAY_MSG_DELIVER,         // Srelay_line_msg: a "MSG" line for a subscriber
  RELAY_MSG_SUB,             // Srelay_topic_msg to the topic task
  RELAY_MSG_UNSUB,           // Srelay_topic_msg
  RELAY_MSG_PUB,             // Srelay_topic_msg with text
  RELAY_MSG_DROP,            // Srelay_topic_msg without topic: forget all of a connection's subscriptions
  RELAY_MSG_PING,            // Srelay_topic_msg without topic: answer "PONG"
  RELAY_MSG_REFUSE,          // Srelay_topic_msg, the reason as text: answer "ERR <reason>"
  RELAY_MSG_QUIT,            // Srelay_topic_msg without topic: answer with RELAY_MSG_BYE
  RELAY_MSG_BYE,             // Srelay_line_msg ("OK") to a connection that asked to QUIT: send it, then close
  RELAY_MSG_KICK,            // bare header: room came back, retry the connections that wait
  RELAY_MSG_REMOTE,          // Srelay_topic_msg from the cluster bridge: another relay's publication
};
// Every request that needs an answer travels through the topic task, even those
// it answers without looking at its table: one road for every answer keeps a
// connection's answers in the order of its requests.

// Where a connection's state machine lives: answers and deliveries go there.
struct Srelay_peer {
  std::uint32_t server;
  std::uint32_t nodeId;
  std::uint32_t fsmId;
};

// Each record is the fixed part; its variable bytes follow it in the buffer
// (bytes()), so a buffer of sizeof(record) + n holds n of them.
struct Srelay_data_msg : Cmsg {
  std::uint32_t server;
  std::uint32_t nodeId;
  std::uint32_t reason;  // RELAY_MSG_CLOSED: an Erelay_close_reason
  std::uint32_t len;     // len bytes follow the record
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

struct Srelay_line_msg : Cmsg {
  std::uint32_t len;  // len bytes follow: one complete reply line
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

struct Srelay_topic_msg : Cmsg {
  Srelay_peer from;
  std::uint32_t topicLen;
  std::uint32_t textLen;
  char* bytes() { return reinterpret_cast<char*>(this + 1); }  // the topic, then the text
};

static_assert(sizeof(Srelay_data_msg) == 64 && sizeof(Srelay_line_msg) == 52 && sizeof(Srelay_topic_msg) == 68,
              "the relay's records are the header and whole words, without padding");

// Buffer sizes the records need (header included).
constexpr unsigned RelayDataMsgSize(unsigned len) { return sizeof(Srelay_data_msg) + len; }
constexpr unsigned RelayLineMsgSize(unsigned len) { return sizeof(Srelay_line_msg) + len; }
constexpr unsigned RelayTopicMsgSize(unsigned topicLen, unsigned textLen) {
  return sizeof(Srelay_topic_msg) + topicLen + textLen;
}

// The message pool's size classes. Big holds one read of the socket layer
// (4096 bytes); comm one protocol line.
constexpr unsigned kRelayTinySize = 64;
constexpr unsigned kRelaySmallSize = 256;
constexpr unsigned kRelayCommSize = RelayTopicMsgSize(kRelayMaxLine, 0) + 16;
constexpr unsigned kRelayBigSize = RelayDataMsgSize(4096);

// The network task's connection factory: where received bytes, closes and
// kicks go (fsmId 0: the factory finds the connection's machine).
inline Cmsg_addr RelayNetFactory(unsigned fsmId = 0) {
  return VlkMsgAddr(kRelayNetTaskId, kRelayConnFactoryId, fsmId);
}

#endif  // RELAY_MSGS_H
