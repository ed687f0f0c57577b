// The [cluster] settings: parsing one key and checking the whole.
#include <string>

#include "relay_cluster.h"

const char* const kRelayClusterKeys[] = {"redis",           "password",         "database",         "channel_prefix",
                                         "connect_timeout_ms", "reconnect_min_ms", "reconnect_max_ms", nullptr};

namespace {

bool ParseUnsigned(const std::string& text, unsigned min, unsigned max, unsigned& out) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v < min || v > max) return false;
  out = static_cast<unsigned>(v);
  return true;
}

}  // namespace

bool RelayClusterSet(Srelay_cluster_config& cfg, const std::string& key, const std::string& value, std::string& err) {
  auto bad = [&](const std::string& why) {
    err = "[cluster] " + key + "=" + value + ": " + why;
    return false;
  };
  if (key == "redis") {
    if (value.empty()) {  // no cluster
      cfg.host.clear();
      return true;
    }
    // host:port, or [v6 address]:port
    std::string host;
    std::string port;
    if (!value.empty() && value[0] == '[') {
      std::size_t close = value.find(']');
      if (close == std::string::npos || close + 1 >= value.size() || value[close + 1] != ':') {
        return bad("wants host:port ([address]:port for IPv6)");
      }
      host = value.substr(1, close - 1);
      port = value.substr(close + 2);
    } else {
      std::size_t colon = value.rfind(':');
      if (colon == std::string::npos || value.find(':') != colon) return bad("wants host:port");
      host = value.substr(0, colon);
      port = value.substr(colon + 1);
    }
    if (host.empty()) return bad("the host is missing");
    for (char c : host) {
      if (c <= ' ' || c >= 0x7F) return bad("the host holds a blank or a control character");
    }
    unsigned p = 0;
    if (!ParseUnsigned(port, 1, 65535, p)) return bad("the port must be a number from 1 to 65535");
    cfg.host = host;
    cfg.port = p;
    return true;
  }
  if (key == "password") {
    for (char c : value) {
      if (c == '\n' || c == '\r' || c == '\0') return bad("a password holds no line end");
    }
    cfg.password = value;
    return true;
  }
  if (key == "channel_prefix") {
    if (value.size() > 64) return bad("at most 64 characters");
    for (char c : value) {
      if (c <= ' ' || c >= 0x7F) return bad("printable characters without blanks only");
    }
    cfg.channelPrefix = value;
    return true;
  }
  struct {
    const char* name;
    unsigned Srelay_cluster_config::*field;
    unsigned min;
    unsigned max;
  } const numbers[] = {
      {"database", &Srelay_cluster_config::database, 0, 65535},
      {"connect_timeout_ms", &Srelay_cluster_config::connectTimeoutMs, 100, 60000},
      {"reconnect_min_ms", &Srelay_cluster_config::reconnectMinMs, 10, 60000},
      {"reconnect_max_ms", &Srelay_cluster_config::reconnectMaxMs, 10, 600000},
  };
  for (const auto& n : numbers) {
    if (key != n.name) continue;
    unsigned v = 0;
    if (!ParseUnsigned(value, n.min, n.max, v)) {
      return bad("wants a whole number from " + std::to_string(n.min) + " to " + std::to_string(n.max));
    }
    cfg.*(n.field) = v;
    return true;
  }
  err = "[cluster] unknown key " + key;
  return false;
}

bool RelayClusterCheck(const Srelay_cluster_config& cfg, std::string& err) {
  if (!cfg.Enabled()) return true;
  if (cfg.reconnectMinMs > cfg.reconnectMaxMs) {
    err = "[cluster] reconnect_min_ms=" + std::to_string(cfg.reconnectMinMs) + " is above reconnect_max_ms=" +
          std::to_string(cfg.reconnectMaxMs);
    return false;
  }
  if (cfg.port == 0 || cfg.port > 65535) {
    err = "[cluster] redis port " + std::to_string(cfg.port) + " is outside 1..65535";
    return false;
  }
  return true;
}
