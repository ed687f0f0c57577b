// The relay's settings: range checks shared by every way of setting them.
#include "relay_config.h"

#include <arpa/inet.h>

#include <utility>

const char* const kRelayLogLevelNames[RELAY_LOG_LEVELS] = {"error", "warn", "info", "debug"};

const Srelay_config_range kRelayConfigRanges[] = {
    {"tcp_port", &Srelay_config::tcpPort, 0, 65535},
    {"tls_port", &Srelay_config::tlsPort, 0, 65535},
    {"udp_port", &Srelay_config::udpPort, 0, 65535},
    {"max_connections", &Srelay_config::maxConnections, 1, 1024},
    {"idle_seconds", &Srelay_config::idleSeconds, 1, 86400 * 30},
    {"max_subscriptions", &Srelay_config::maxSubscriptions, 1, 65535},
    {"max_subscriptions_per_connection", &Srelay_config::maxSubscriptionsPerConnection, 1, 65535},
    {"pool_tiny", &Srelay_config::poolTiny, 16, 65535},
    {"pool_small", &Srelay_config::poolSmall, 16, 65535},
    {"pool_comm", &Srelay_config::poolComm, 16, 65535},
    {"pool_big", &Srelay_config::poolBig, 16, 65535},
    {"stats_per_second", &Srelay_config::statsPerSecond, 1, 100000},
    {"max_queued_kib", &Srelay_config::maxQueuedKib, 16, 1048576},
    {"output_budget_mib", &Srelay_config::outputBudgetMib, 1, 65536},
};
const unsigned kRelayConfigRangeCount = sizeof(kRelayConfigRanges) / sizeof(kRelayConfigRanges[0]);

bool RelayParseLogLevel(const std::string& name, unsigned& level) {
  for (unsigned i = 0; i < RELAY_LOG_LEVELS; ++i) {
    if (name == kRelayLogLevelNames[i]) {
      level = i;
      return true;
    }
  }
  return false;
}

bool RelayIsListenAddress(const std::string& text) {
  unsigned char addr[16];
  return text == "*" || inet_pton(AF_INET, text.c_str(), addr) == 1 || inet_pton(AF_INET6, text.c_str(), addr) == 1;
}

bool RelayCheckConfig(const Srelay_config& cfg, std::string& err) {
  for (unsigned i = 0; i < kRelayConfigRangeCount; ++i) {
    const Srelay_config_range& r = kRelayConfigRanges[i];
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
  for (const auto& a : {std::make_pair("bind_address", &cfg.bindAddress), std::make_pair("stats_address", &cfg.statsAddress)}) {
    if (!RelayIsListenAddress(*a.second)) {
      err = std::string(a.first) + ": \"" + *a.second + "\" is not an IP address (or * for every interface)";
      return false;
    }
  }
  if (cfg.logLevel >= RELAY_LOG_LEVELS) {
    err = "log_level is out of range";
    return false;
  }
  return RelayClusterCheck(cfg.cluster, err);
}
