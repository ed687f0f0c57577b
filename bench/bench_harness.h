// The comparison harness shared by the bench programs that scripts/bench drives.
//
// A program registers its cases (scenario, case, contestant) and hands main()
// to BenchMain.  One process runs one case for one contestant, so peak memory
// and heap allocations are the contestant's own:
//   prog --list                                   one "scenario<TAB>case<TAB>contestant" line per case
//   prog --run SCENARIO CASE CONTESTANT [--smoke] runs it and prints one "RESULT {json}" line
// VLK_BENCH_PIN=same|cross places the threads (bench_pin.c).
// --smoke shrinks the workload to a fraction of a second so CI keeps the
// programs building and their checks honest.  The exit status is 0 only when
// the run's own check passed (nothing lost, every pool back to full).
#ifndef VLK_BENCH_HARNESS_H_
#define VLK_BENCH_HARNESS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vlkbench {

struct Metric {
  std::string name;  // column header, with its unit: "median (ns)", "msgs/s"
  double value = 0;
  bool lowerIsBetter = true;
};

struct Outcome {
  std::vector<Metric> metrics;  // the first one is the one the ratio column uses
  bool ok = false;
  std::string check;  // what was verified, or what went wrong
  // The work the whole process did (messages, round trips), for the CPU time
  // per unit that scripts/bench takes from wait4; 0 leaves that column out.
  double units = 0;
  std::string unit;  // "msg", "round trip"
};

struct RunContext {
  bool smoke = false;
  // Picks the full or the smoke size of a workload.
  std::uint64_t Size(std::uint64_t full, std::uint64_t smoke) const { return this->smoke ? smoke : full; }
};

using CaseFn = std::function<Outcome(const RunContext&)>;

// Registers one case; call from a static initialiser or from main before BenchMain.
void Register(const std::string& scenario, const std::string& caseName, const std::string& contestant, CaseFn fn);

int BenchMain(int argc, char** argv);  // what the harness's main() runs

// Heap allocations (malloc, calloc, realloc, aligned forms, operator new) made
// by this process so far; counted by the interposer linked into every program.
std::uint64_t HeapAllocations();

// Peak resident size of this process, in KiB.
long PeakRssKiB();

// Resident size of this process now, in KiB.
double ResidentKiB();

// CPU seconds (user + system) used by this process so far.
double ProcessCpuSeconds();

std::int64_t NowNs();

// Sorts `samples` in place and returns the value at quantile q (0..1).
double Percentile(std::vector<std::int64_t>& samples, double q);

}  // namespace vlkbench

#endif  // VLK_BENCH_HARNESS_H_
