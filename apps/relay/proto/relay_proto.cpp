// The relay's line protocol: request parsing and reply formatting.
#include "relay_proto.h"

#include <cstring>

const char* const kRelayErrUnknown = "unknown command";
const char* const kRelayErrNoTopic = "missing topic";
const char* const kRelayErrNoText = "missing text";
const char* const kRelayErrTopicLong = "topic too long";
const char* const kRelayErrBadTopic = "bad topic";
const char* const kRelayErrBadText = "bad text";
const char* const kRelayErrExtra = "unexpected argument";
const char* const kRelayErrLineLong = "line too long";
const char* const kRelayErrBusy = "server busy";
const char* const kRelayErrTooMany = "too many subscriptions";
const char* const kRelayErrConnLimit = "subscription limit of this connection reached";
const char* const kRelayErrNotSub = "not subscribed";

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool WordIs(const char* word, unsigned len, const char* name) {
  unsigned n = static_cast<unsigned>(std::strlen(name));
  if (len != n) return false;
  for (unsigned i = 0; i < n; ++i) {
    if (Upper(word[i]) != name[i]) return false;
  }
  return true;
}

bool IsTextByte(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

Erelay_cmd Bad(Srelay_request& out, const char* reason) {
  out.cmd = RELAY_CMD_BAD;
  out.reason = reason;
  return out.cmd;
}

// Checks and stores a topic; returns false (with out set to BAD) when unfit.
bool TakeTopic(Srelay_request& out, const char* topic, unsigned len) {
  if (len == 0) return Bad(out, kRelayErrNoTopic), false;
  if (len > kRelayMaxTopic) return Bad(out, kRelayErrTopicLong), false;
  if (!RelayIsValidTopic(topic, len)) return Bad(out, kRelayErrBadTopic), false;
  out.topic = topic;
  out.topicLen = len;
  return true;
}

unsigned Put(char* out, unsigned cap, unsigned at, const char* src, unsigned len) {
  if (at > cap || len > cap - at) return cap + 1;  // overflow marker, checked by the caller
  std::memcpy(out + at, src, len);
  return at + len;
}

}  // namespace

bool RelayIsValidText(const char* text, unsigned len) {
  for (unsigned i = 0; i < len; ++i) {
    if (!IsTextByte(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool RelayIsValidTopic(const char* topic, unsigned len) {
  if (topic == nullptr || len == 0 || len > kRelayMaxTopic) return false;
  for (unsigned i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(topic[i]);
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}

Erelay_cmd RelayParseLine(const char* line, unsigned len, Srelay_request& out) {
  out = Srelay_request();
  if (line == nullptr) len = 0;
  if (len > 0 && line[len - 1] == '\r') --len;
  if (len == 0) return out.cmd = RELAY_CMD_EMPTY;

  // The command word runs to the first blank.
  unsigned w = 0;
  while (w < len && line[w] != ' ') ++w;
  const char* rest = line + w;
  unsigned restLen = len - w;
  if (restLen > 0) {  // skip the one separating blank
    ++rest;
    --restLen;
  }
  bool hasArg = w < len;

  if (WordIs(line, w, "PING") || WordIs(line, w, "QUIT")) {
    if (hasArg) return Bad(out, kRelayErrExtra);
    return out.cmd = (Upper(line[0]) == 'P') ? RELAY_CMD_PING : RELAY_CMD_QUIT;
  }
  if (WordIs(line, w, "SUB") || WordIs(line, w, "UNSUB")) {
    Erelay_cmd cmd = (w == 3) ? RELAY_CMD_SUB : RELAY_CMD_UNSUB;
    for (unsigned i = 0; i < restLen; ++i) {
      if (rest[i] == ' ') {
        if (i == 0) return Bad(out, kRelayErrBadTopic);
        return Bad(out, kRelayErrExtra);
      }
    }
    if (!TakeTopic(out, rest, restLen)) return out.cmd;
    return out.cmd = cmd;
  }
  if (WordIs(line, w, "PUB")) {
    unsigned t = 0;
    while (t < restLen && rest[t] != ' ') ++t;
    if (!TakeTopic(out, rest, t)) return out.cmd;
    if (t == restLen) return Bad(out, kRelayErrNoText);
    const char* text = rest + t + 1;
    unsigned textLen = restLen - t - 1;
    if (!RelayIsValidText(text, textLen)) return Bad(out, kRelayErrBadText);
    out.text = text;
    out.textLen = textLen;
    return out.cmd = RELAY_CMD_PUB;
  }
  return Bad(out, kRelayErrUnknown);
}

unsigned RelayFormatOk(char* out, unsigned cap) {
  unsigned n = Put(out, cap, 0, "OK\n", 3);
  return n > cap ? 0 : n;
}

unsigned RelayFormatPong(char* out, unsigned cap) {
  unsigned n = Put(out, cap, 0, "PONG\n", 5);
  return n > cap ? 0 : n;
}

unsigned RelayFormatErr(char* out, unsigned cap, const char* reason) {
  if (reason == nullptr) reason = "";
  unsigned n = Put(out, cap, 0, "ERR ", 4);
  if (n <= cap) n = Put(out, cap, n, reason, static_cast<unsigned>(std::strlen(reason)));
  if (n <= cap) n = Put(out, cap, n, "\n", 1);
  return n > cap ? 0 : n;
}

unsigned RelayFormatMsg(char* out, unsigned cap, const char* topic, unsigned topicLen, const char* text,
                        unsigned textLen) {
  if (topic == nullptr) topicLen = 0;
  if (text == nullptr) textLen = 0;
  unsigned n = Put(out, cap, 0, "MSG ", 4);
  if (n <= cap) n = Put(out, cap, n, topic, topicLen);
  if (n <= cap) n = Put(out, cap, n, " ", 1);
  if (n <= cap) n = Put(out, cap, n, text, textLen);
  if (n <= cap) n = Put(out, cap, n, "\n", 1);
  return n > cap ? 0 : n;
}
