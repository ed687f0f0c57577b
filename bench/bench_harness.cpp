#include "bench_harness.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>

// Counted by the interposer in bench_alloc.c.
extern "C" unsigned long long vlk_bench_alloc_count(void);

namespace vlkbench {
namespace {

struct Case {
  std::string scenario, name, contestant;
  CaseFn fn;
};

std::vector<Case>& Registry() {
  static std::vector<Case> cases;
  return cases;
}

// JSON string body: quotes, backslashes and control characters escaped.
std::string Json(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", c);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

int Usage(const char* prog) {
  std::fprintf(stderr, "usage: %s --list | --run SCENARIO CASE CONTESTANT [--smoke]\n", prog);
  return 2;
}

}  // namespace

void Register(const std::string& scenario, const std::string& caseName, const std::string& contestant, CaseFn fn) {
  Registry().push_back(Case{scenario, caseName, contestant, std::move(fn)});
}

std::uint64_t HeapAllocations() { return vlk_bench_alloc_count(); }

long PeakRssKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

double ResidentKiB() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

double ProcessCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Percentile(std::vector<std::int64_t>& samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t i = std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()));
  return static_cast<double>(samples[i]);
}

int BenchMain(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    for (const Case& c : Registry()) std::printf("%s\t%s\t%s\n", c.scenario.c_str(), c.name.c_str(), c.contestant.c_str());
    return 0;
  }
  if (argc < 5 || std::strcmp(argv[1], "--run") != 0) return Usage(argv[0]);
  RunContext ctx;
  for (int i = 5; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      ctx.smoke = true;
    } else {
      return Usage(argv[0]);
    }
  }
  for (const Case& c : Registry()) {
    if (c.scenario != argv[2] || c.name != argv[3] || c.contestant != argv[4]) continue;
    const Outcome out = c.fn(ctx);
    std::string line = "RESULT {\"scenario\":\"" + Json(c.scenario) + "\",\"case\":\"" + Json(c.name) +
                       "\",\"contestant\":\"" + Json(c.contestant) + "\",\"ok\":" + (out.ok ? "true" : "false") +
                       ",\"check\":\"" + Json(out.check) + "\",\"unit\":\"" + Json(out.unit) + "\",\"units\":";
    char units[64];
    std::snprintf(units, sizeof units, "%.17g", out.units);
    line += std::string(units) + ",\"metrics\":[";
    for (std::size_t m = 0; m < out.metrics.size(); ++m) {
      char num[64];
      std::snprintf(num, sizeof num, "%.17g", out.metrics[m].value);
      line += (m ? ",[\"" : "[\"") + Json(out.metrics[m].name) + "\"," + num + "," +
              (out.metrics[m].lowerIsBetter ? "\"lower\"]" : "\"higher\"]");
    }
    line += "]}";
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return out.ok ? 0 : 1;
  }
  std::fprintf(stderr, "%s: no case %s / %s / %s\n", argv[0], argv[2], argv[3], argv[4]);
  return 2;
}

}  // namespace vlkbench

int main(int argc, char** argv) { return vlkbench::BenchMain(argc, argv); }
