// The relay's settings from the [relay] section of an INI file. The reader is
// strict: a key or section it does not know, or a value it cannot use, is an
// error that names the file, the line and the key, so that a misspelt setting
// never passes unnoticed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "relay_config.h"

namespace {

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  std::size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// The value part of "key=value": trimmed, a ';' outside double quotes starts a
// comment, one pair of enclosing double quotes is removed.
std::string ValueOf(const std::string& raw) {
  bool quoted = false;
  std::size_t end = raw.size();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '"') quoted = !quoted;
    if (raw[i] == ';' && !quoted) {
      end = i;
      break;
    }
  }
  std::string v = Trim(raw.substr(0, end));
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

bool ParseUnsigned(const std::string& text, unsigned long long& out) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  out = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

bool RelayLoadConfig(const char* path, Srelay_config& cfg, std::string& err) {
  std::ifstream in(path != nullptr ? path : "");
  if (path == nullptr || path[0] == '\0' || !in) {
    err = std::string("cannot read ") + (path && path[0] ? path : "(none)") + ": " + std::strerror(errno);
    return false;
  }
  std::string file = path;
  std::string line;
  std::string section;
  unsigned lineNo = 0;
  auto fail = [&](const std::string& what) {
    err = file + ":" + std::to_string(lineNo) + ": " + what;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      std::size_t close = t.find(']');
      if (close == std::string::npos) return fail("section header without ']'");
      section = Trim(t.substr(1, close - 1));
      std::string rest = Trim(t.substr(close + 1));
      if (!rest.empty() && rest[0] != ';') return fail("unexpected text after [" + section + "]");
      if (section != "relay" && section != "cluster") {
        return fail("unknown section [" + section + "] (the relay reads [relay] and [cluster])");
      }
      continue;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return fail("expected key=value, found \"" + t + "\"");
    std::string key = Trim(t.substr(0, eq));
    std::string value = ValueOf(t.substr(eq + 1));
    if (section == "cluster") {
      std::string why;
      if (!RelayClusterSet(cfg.cluster, key, value, why)) return fail(why);
      continue;
    }
    if (section != "relay") return fail(key + ": key outside the [relay] section");
    const Srelay_config_range* range = nullptr;
    for (unsigned i = 0; i < kRelayConfigRangeCount; ++i) {
      if (key == kRelayConfigRanges[i].key) range = &kRelayConfigRanges[i];
    }
    if (range != nullptr) {
      unsigned long long v = 0;
      if (!ParseUnsigned(value, v)) {
        return fail(key + ": \"" + value + "\" is not a whole number (comments after a value start with ';')");
      }
      if (v < range->min || v > range->max) {
        return fail(key + ": " + value + " is outside " + std::to_string(range->min) + ".." +
                    std::to_string(range->max));
      }
      cfg.*(range->field) = static_cast<unsigned>(v);
    } else if (key == "trace") {
      if (value != "0" && value != "1") return fail(key + ": \"" + value + "\" is neither 0 nor 1");
      cfg.trace = value == "1";
    } else if (key == "log_level") {
      if (!RelayParseLogLevel(value, cfg.logLevel)) {
        return fail(key + ": \"" + value + "\" is not one of error, warn, info, debug");
      }
    } else if (key == "cert_file") {
      cfg.certFile = value;
    } else if (key == "key_file") {
      cfg.keyFile = value;
    } else if (key == "cert_dir") {
      cfg.certDir = value;
    } else if (key == "stats_address" || key == "bind_address") {
      if (!RelayIsListenAddress(value)) {
        return fail(key + ": \"" + value + "\" is not an IP address (or * for every interface)");
      }
      (key == "bind_address" ? cfg.bindAddress : cfg.statsAddress) = value;
    } else {
      return fail(key + ": unknown key");
    }
  }
  if (!RelayCheckConfig(cfg, err)) {
    err = file + ": " + err;
    return false;
  }
  return true;
}
