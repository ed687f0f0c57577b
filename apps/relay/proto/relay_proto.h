// relay_proto.h: the relay's line protocol: parsing one request line and
// formatting the replies. Plain functions over caller-owned bytes: nothing here
// allocates, keeps state or looks past the given length, so every function can
// be fed arbitrary input.
//
// Requests (one per line, ended by '\n', a '\r' before it is dropped):
//   SUB <topic> | UNSUB <topic> | PUB <topic> <text> | PING | QUIT
// Replies: "OK", "ERR <reason>", "PONG", and "MSG <topic> <text>" to subscribers.
#ifndef RELAY_PROTO_H
#define RELAY_PROTO_H

#include <cstddef>

// Longest line a client may send, without its line end.
constexpr unsigned kRelayMaxLine = 1024;
// Longest topic name.
constexpr unsigned kRelayMaxTopic = 64;
// Longest line the relay sends: "MSG " + topic + " " + text + "\n" always fits,
// since the request it came from held "PUB " + topic + " " + text.
constexpr unsigned kRelayMaxReply = kRelayMaxLine + 8;

enum Erelay_cmd {
  RELAY_CMD_EMPTY = 0,  // an empty line: ignored, no reply
  RELAY_CMD_SUB,
  RELAY_CMD_UNSUB,
  RELAY_CMD_PUB,
  RELAY_CMD_PING,
  RELAY_CMD_QUIT,
  RELAY_CMD_BAD,  // refused; Srelay_request::reason says why
};

// One parsed request. The pointers point into the parsed line and are valid as
// long as the caller keeps that line.
struct Srelay_request {
  Erelay_cmd cmd = RELAY_CMD_EMPTY;
  const char* topic = nullptr;
  unsigned topicLen = 0;
  const char* text = nullptr;
  unsigned textLen = 0;
  const char* reason = nullptr;  // static text, set for RELAY_CMD_BAD
};

// Reasons sent after "ERR ".
extern const char* const kRelayErrUnknown;
extern const char* const kRelayErrNoTopic;
extern const char* const kRelayErrNoText;
extern const char* const kRelayErrTopicLong;
extern const char* const kRelayErrBadTopic;
extern const char* const kRelayErrBadText;
extern const char* const kRelayErrExtra;
extern const char* const kRelayErrLineLong;
extern const char* const kRelayErrBusy;
extern const char* const kRelayErrTooMany;
extern const char* const kRelayErrConnLimit;
extern const char* const kRelayErrNotSub;

// Parses one line (without its '\n'; one trailing '\r' is dropped here). Command
// words are case-insensitive; arguments are separated by single blanks; the text
// of PUB is the rest of the line after the blank that ends the topic and may hold
// blanks itself. Topics are 1..kRelayMaxTopic printable ASCII characters without
// blanks; texts may hold any byte but control characters other than tab.
// Returns out.cmd.
Erelay_cmd RelayParseLine(const char* line, unsigned len, Srelay_request& out);

// Each formatter writes one complete reply line ending in '\n' into out (no
// terminating zero) and returns its length, or 0 when it does not fit in cap.
unsigned RelayFormatOk(char* out, unsigned cap);
unsigned RelayFormatPong(char* out, unsigned cap);
unsigned RelayFormatErr(char* out, unsigned cap, const char* reason);
unsigned RelayFormatMsg(char* out, unsigned cap, const char* topic, unsigned topicLen, const char* text,
                        unsigned textLen);

// True when the topic is acceptable to RelayParseLine.
bool RelayIsValidTopic(const char* topic, unsigned len);
// True when every byte of the text is acceptable in a PUB text.
bool RelayIsValidText(const char* text, unsigned len);

#endif  // RELAY_PROTO_H
