// The relay's rate-limited log.
#include "relay_log.h"

#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "relay_ctx.h"

namespace {

const char* const kLevelText[RELAY_LOG_LEVELS] = {"ERROR", "WARN", "INFO", "DEBUG"};
const char* const kKindText[RELAY_LOGK_COUNT] = {"", "connections opened", "connections closed",
                                                 "slow consumers", "buffer shortages", "library messages",
                                                 "STATS requests refused"};
constexpr long long kWindowMs = 10000;

std::atomic<unsigned> g_level{RELAY_LOG_INFO};

// Per kind: the current window and what it let through and held back.
// Guarded by g_lock.
struct Swindow {
  long long startMs = 0;
  unsigned written = 0;
  unsigned long long held = 0;
  unsigned level = RELAY_LOG_DEBUG;  // the most severe of the lines held back
};
std::mutex g_lock;
Swindow g_windows[RELAY_LOGK_COUNT];

long long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void WriteLine(unsigned level, const char* text) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  gmtime_r(&ts.tv_sec, &t);
  std::fprintf(stderr, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %s %s\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
               t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000, kLevelText[level], text);
}

// REQUIRES: g_lock held.
void FlushLocked(long long now) {
  for (unsigned k = 1; k < RELAY_LOGK_COUNT; ++k) {
    Swindow& w = g_windows[k];
    if (w.startMs == 0 || now - w.startMs < kWindowMs) continue;
    if (w.held > 0) {
      char line[160];
      std::snprintf(line, sizeof(line), "... and %llu more %s in the last 10 s", w.held, kKindText[k]);
      WriteLine(w.level, line);
    }
    w = Swindow();
  }
}

}  // namespace

void RelayLogSetLevel(unsigned level) { g_level.store(level < RELAY_LOG_LEVELS ? level : static_cast<unsigned>(RELAY_LOG_DEBUG)); }

unsigned RelayLogLevel() { return g_level.load(); }

void RelayLogf(unsigned level, Erelay_log_kind kind, const char* format, ...) {
  // The rare lines of the operator's own doings (start, stop, reload) are
  // written at every level.
  if (level > g_level.load(std::memory_order_relaxed) && kind != RELAY_LOGK_PLAIN) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(g_lock);
  long long now = NowMs();
  FlushLocked(now);
  if (kind != RELAY_LOGK_PLAIN) {
    Swindow& w = g_windows[kind];
    if (w.startMs == 0) w.startMs = now;
    if (w.written >= kRelayLogBurst) {
      ++w.held;
      if (level < w.level) w.level = level;
      return;
    }
    ++w.written;
  }
  WriteLine(level, text);
}

void RelayLogFlush() {
  std::lock_guard<std::mutex> guard(g_lock);
  FlushLocked(NowMs());
}

void RelayShortRecord(Srelay_ctx* ctx, const Cmsg* msg) {
  ctx->counters.shortRecords.fetch_add(1, std::memory_order_relaxed);
  RelayLogf(RELAY_LOG_ERROR, RELAY_LOGK_LIBRARY, "message of type 0x%X too small for its record: dropped",
            static_cast<unsigned>(msg->msgType));
}
