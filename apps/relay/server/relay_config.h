// relay_config.h: the relay's settings, their built-in defaults and how they
// are read from the [relay] section of an INI file.
#ifndef RELAY_CONFIG_H
#define RELAY_CONFIG_H

#include <string>

// Everything the relay can be told. A port of 0 means "any free port"; the
// ports in use are then read back from the running relay.
struct Srelay_config {
  unsigned tcpPort = 7400;         // plain line protocol
  unsigned tlsPort = 7401;         // the same over TLS
  unsigned udpPort = 7402;         // "STATS" datagrams
  unsigned maxConnections = 256;   // per TCP port (the library caps it at 1024)
  unsigned idleSeconds = 300;      // a connection silent this long is closed
  std::string certFile;            // PEM; empty: a self-signed pair is made
  std::string keyFile;             // PEM; goes with certFile
  std::string certDir;             // where the self-signed pair lives; empty: a default
  unsigned maxSubscriptions = 8192;  // (topic, connection) pairs in the topic table
  // Message pool: buffers per size class. Tiny carries control messages, small
  // short requests and replies, comm protocol lines, big raw received bytes.
  unsigned poolTiny = 1024;
  unsigned poolSmall = 4096;
  unsigned poolComm = 8192;
  unsigned poolBig = 1024;
  bool trace = false;              // the framework's trace switch
};

// Reads the [relay] section of the INI file into cfg; keys that are missing keep
// cfg's values. False, with err set, when the file cannot be read or a value is
// out of range.
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

// Checks ranges; false with err set when a value is unusable.
bool RelayCheckConfig(const Srelay_config& cfg, std::string& err);

#endif  // RELAY_CONFIG_H
