// The relay's settings from the [relay] section of an INI file.
#include <unistd.h>

#include <vlk_sys.h>

#include "relay_config.h"

namespace {
const char* const kGroup = "relay";
}  // namespace

bool RelayLoadConfig(const char* path, Srelay_config& cfg, std::string& err) {
  if (path == nullptr || path[0] == '\0' || access(path, R_OK) != 0) {
    err = std::string("cannot read ") + (path ? path : "(none)");
    return false;
  }
  Cvlk_ini_file ini(path);
  for (unsigned i = 0; i < kRelayConfigRangeCount; ++i) {
    const Srelay_config_range& r = kRelayConfigRanges[i];
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
