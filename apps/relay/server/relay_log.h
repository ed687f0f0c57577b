// relay_log.h: the relay's log: time-stamped lines on stderr, a level below
// which lines are dropped, and a rate limit per kind of line, so that one
// misbehaving client cannot flood the log: past the limit, lines of a kind are
// counted and summed up as "... and N more in the last 10 s".
#ifndef RELAY_LOG_H
#define RELAY_LOG_H

#include "relay_config.h"

// Kinds of lines that are rate-limited on their own.
enum Erelay_log_kind {
  RELAY_LOGK_PLAIN = 0,  // not limited: start-up, shutdown, reloads
  RELAY_LOGK_OPEN,       // a connection opened
  RELAY_LOGK_CLOSE,      // a connection closed
  RELAY_LOGK_SLOW,       // a slow consumer disconnected
  RELAY_LOGK_BUFFERS,    // the message pool ran short
  RELAY_LOGK_LIBRARY,    // lines of the socket layer and the framework
  RELAY_LOGK_STATS,      // STATS requests over the limit
  RELAY_LOGK_COUNT
};

// The level in force (process-wide; the last relay started or reloaded sets it).
void RelayLogSetLevel(unsigned level);
unsigned RelayLogLevel();
// Lines of one kind allowed per 10 s before they are only counted.
constexpr unsigned kRelayLogBurst = 20;

// Writes "<UTC time> <LEVEL> <text>" when level is in force and the kind's
// budget allows; thread-safe; allocates nothing.
void RelayLogf(unsigned level, Erelay_log_kind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Writes the "... and N more" lines of kinds whose 10 s window has passed
// (also done by every RelayLogf call).
void RelayLogFlush();

#endif  // RELAY_LOG_H
