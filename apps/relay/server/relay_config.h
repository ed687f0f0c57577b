// relay_config.h: the relay's settings, their built-in defaults and how they
// are read from the [relay] section of an INI file.
#ifndef RELAY_CONFIG_H
#define RELAY_CONFIG_H

#include <string>

#include "relay_cluster.h"

// The relay's version, as "--version" and "STATS" give it.
#ifndef VLK_RELAY_VERSION
#define VLK_RELAY_VERSION "0.1.0"
#endif

// Levels of the relay's log, most severe first; a line is written when its level
// is at or above the configured one.
enum Erelay_log_level { RELAY_LOG_ERROR = 0, RELAY_LOG_WARN, RELAY_LOG_INFO, RELAY_LOG_DEBUG, RELAY_LOG_LEVELS };
extern const char* const kRelayLogLevelNames[RELAY_LOG_LEVELS];  // "error", "warn", "info", "debug"

// Everything the relay can be told. A port of 0 means "any free port"; the
// ports in use are then read back from the running relay.
struct Srelay_config {
  unsigned tcpPort = 7400;         // plain line protocol
  unsigned tlsPort = 7401;         // the same over TLS
  unsigned udpPort = 7402;         // "STATS" datagrams
  unsigned maxConnections = 256;   // per TCP port (the library caps it at 1024)
  unsigned idleSeconds = 300;      // a connection that neither sends nor receives this long is closed
  std::string certFile;            // PEM; empty: a self-signed pair is made
  std::string keyFile;             // PEM; goes with certFile
  std::string certDir;             // where the self-signed pair lives; empty: a default
  unsigned maxSubscriptions = 8192;  // (topic, connection) pairs in the topic table
  unsigned maxSubscriptionsPerConnection = 256;  // one connection's share of the table
  // Message pool: buffers per size class. Tiny carries control messages, small
  // short requests and replies, comm protocol lines, big raw received bytes.
  unsigned poolTiny = 1024;
  unsigned poolSmall = 4096;
  unsigned poolComm = 8192;
  unsigned poolBig = 1024;
  std::string bindAddress = "*";   // where TCP and TLS listen; "*": every interface, IPv4 and IPv6
  std::string statsAddress = "127.0.0.1";  // where "STATS" is answered; "*": every interface
  unsigned statsPerSecond = 20;    // "STATS" answers per second at most (all askers together)
  unsigned maxQueuedKib = 1024;    // a connection's unsent output past this: closed as a slow consumer
  unsigned outputBudgetMib = 64;   // unsent output of all connections of one port together
  unsigned logLevel = RELAY_LOG_INFO;
  bool trace = false;              // the framework's trace switch
  Srelay_cluster_config cluster;   // [cluster]: topics shared with other relays through Redis
};

// Reads the [relay] and [cluster] sections of the INI file into cfg; keys that are missing keep
// cfg's values. The file's format: "[section]" lines, "key=value" lines, comment
// lines starting with ';' or '#', and a ';' after a value starting a comment.
// False, with err naming the file, the line and the key, when the file cannot
// be read, holds a section or key the relay does not know, or a value that is
// not a number or out of range.
bool RelayLoadConfig(const char* path, Srelay_config& cfg, std::string& err);

// The numeric keys of the [relay] section, the fields they set and their ranges.
struct Srelay_config_range {
  const char* key;
  unsigned Srelay_config::*field;
  unsigned min;
  unsigned max;
};
extern const Srelay_config_range kRelayConfigRanges[];
extern const unsigned kRelayConfigRangeCount;

// Checks ranges and combinations; false with err set when a value is unusable.
bool RelayCheckConfig(const Srelay_config& cfg, std::string& err);

// An IPv4 or IPv6 address literal, or "*" (every interface).
bool RelayIsListenAddress(const std::string& text);

// Parses a log level name ("error", "warn", "info", "debug"); false when unknown.
bool RelayParseLogLevel(const std::string& name, unsigned& level);

#endif  // RELAY_CONFIG_H
