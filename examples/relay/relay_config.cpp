// The relay's settings from an INI file.
#include "relay_config.h"

#include <unistd.h>

#include <vlk_sys.h>

namespace {

const char* const kGroup = "relay";

struct Srange {
  const char* key;
  unsigned Srelay_config::*field;
  unsigned min;
  unsigned max;
};

const Srange kRanges[] = {
    {"tcp_port", &Srelay_config::tcpPort, 0, 65535},
    {"tls_port", &Srelay_config::tlsPort, 0, 65535},
    {"udp_port", &Srelay_config::udpPort, 0, 65535},
    {"max_connections", &Srelay_config::maxConnections, 1, 1024},
    {"idle_seconds", &Srelay_config::idleSeconds, 1, 86400 * 30},
    {"max_subscriptions", &Srelay_config::maxSubscriptions, 1, 65535},
    {"pool_tiny", &Srelay_config::poolTiny, 16, 65535},
    {"pool_small", &Srelay_config::poolSmall, 16, 65535},
    {"pool_comm", &Srelay_config::poolComm, 16, 65535},
    {"pool_big", &Srelay_config::poolBig, 16, 65535},
};

}  // namespace

bool RelayCheckConfig(const Srelay_config& cfg, std::string& err) {
  for (const Srange& r : kRanges) {
    unsigned v = cfg.*(r.field);
    if (v < r.min || v > r.max) {
      err = std::string(r.key) + "=" + std::to_string(v) + " is outside " + std::to_string(r.min) + ".." +
            std::to_string(r.max);
      return false;
    }
  }
  if (cfg.certFile.empty() != cfg.keyFile.empty()) {
    err = "cert_file and key_file go together";
    return false;
  }
  return true;
}

bool RelayLoadConfig(const char* path, Srelay_config& cfg, std::string& err) {
  if (path == nullptr || path[0] == '\0' || access(path, R_OK) != 0) {
    err = std::string("cannot read ") + (path ? path : "(none)");
    return false;
  }
  Cvlk_ini_file ini(path);
  for (const Srange& r : kRanges) {
    int v = ini.ReadInt(kGroup, r.key, static_cast<int>(cfg.*(r.field)));
    if (v < 0) {
      err = std::string(r.key) + " must not be negative";
      return false;
    }
    cfg.*(r.field) = static_cast<unsigned>(v);
  }
  cfg.trace = ini.ReadInt(kGroup, "trace", cfg.trace ? 1 : 0) != 0;
  char text[256];
  struct {
    const char* key;
    std::string* field;
  } strings[] = {{"cert_file", &cfg.certFile}, {"key_file", &cfg.keyFile}, {"cert_dir", &cfg.certDir}};
  for (auto& s : strings) {
    text[0] = '\0';
    ini.ReadStr(kGroup, s.key, text, s.field->c_str());
    *s.field = text;
  }
  return RelayCheckConfig(cfg, err);
}
