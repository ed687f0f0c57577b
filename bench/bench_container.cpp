// Pool hand-out against the heap, and hash-table lookups against std::unordered_map.
// Prints the ratios after the runs.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "vlk_container.h"

namespace {

constexpr unsigned int kPoolSize = 1024;
constexpr unsigned int kEntries = 10000;
constexpr unsigned int kKeyLen = 16;

// The same object handed out by the pool and made on the heap.
class BenchNode : public Cvlk_res_node {
 public:
  explicit BenchNode(Cvlk_resource* owner) : Cvlk_res_node(owner) {}
  int payload[8] = {};
};

void BM_PoolAllocFree(benchmark::State& state) {
  Cvlk_resource pool(kPoolSize);
  for (unsigned int i = 0; i < kPoolSize; ++i) pool.Add(new BenchNode(&pool));
  for (auto _ : state) {
    Cvlk_res_node* node = pool.AllocNode();
    benchmark::DoNotOptimize(node);
    pool.FreeById(node->GetId());
  }
}
BENCHMARK(BM_PoolAllocFree);

void BM_HeapNewDelete(benchmark::State& state) {
  for (auto _ : state) {
    auto* node = new BenchNode(nullptr);
    benchmark::DoNotOptimize(node);
    delete node;
  }
}
BENCHMARK(BM_HeapNewDelete);

std::string KeyOf(unsigned int i) {
  char buf[kKeyLen + 1];
  std::snprintf(buf, sizeof buf, "key-%08u", i * 2654435761u % 100000000u);
  return buf;
}

const std::vector<std::string>& Keys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    for (unsigned int i = 0; i < kEntries; ++i) k.push_back(KeyOf(i));
    return k;
  }();
  return keys;
}

void BM_HashTblLookup(benchmark::State& state) {
  Cvlk_hash_tbl table(1, kEntries, kKeyLen, sizeof(unsigned int), VLK_FALSE);
  const auto& keys = Keys();
  for (unsigned int i = 0; i < kEntries; ++i) {
    table.Add(static_cast<unsigned int>(keys[i].size()), reinterpret_cast<const unsigned char*>(keys[i].data()),
              reinterpret_cast<const unsigned char*>(&i), nullptr);
  }
  unsigned int i = 0;
  for (auto _ : state) {
    const std::string& key = keys[i++ % kEntries];  // every key is present
    unsigned char* data = nullptr;
    table.Search(static_cast<unsigned int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()), &data);
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(BM_HashTblLookup);

void BM_UnorderedMapLookup(benchmark::State& state) {
  std::unordered_map<std::string, unsigned int> map;
  const auto& keys = Keys();
  for (unsigned int i = 0; i < kEntries; ++i) map.emplace(keys[i], i);
  unsigned int i = 0;
  for (auto _ : state) {
    auto it = map.find(keys[i++ % kEntries]);
    benchmark::DoNotOptimize(it);
  }
}
BENCHMARK(BM_UnorderedMapLookup);

// Collects each run's CPU time per iteration (the machine may be shared, so wall
// time is noisier) so that the ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions, the median stands for the benchmark.
      if (!run.aggregate_name.empty() && run.aggregate_name != "median") continue;
      m_ns[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    Ratio("AllocNode/FreeById vs new/delete", "BM_PoolAllocFree", "BM_HeapNewDelete");
    Ratio("Cvlk_hash_tbl::Search vs unordered_map::find", "BM_HashTblLookup", "BM_UnorderedMapLookup");
  }

 private:
  void Ratio(const char* what, const char* ours, const char* theirs) const {
    auto a = m_ns.find(ours), b = m_ns.find(theirs);
    if (a == m_ns.end() || b == m_ns.end() || b->second <= 0) return;
    std::printf("ratio %-46s %.2f (%.1f ns vs %.1f ns CPU)\n", what, a->second / b->second, a->second, b->second);
  }
  std::map<std::string, double> m_ns;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
