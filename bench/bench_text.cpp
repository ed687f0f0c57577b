// Throughput of the text codecs on one 1 MiB buffer, beside the references the
// library is measured against: zlib's crc32 (and a bit-by-bit CRC-32 for scale),
// OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock and its MD5. Ends with a table of
// ratios (ours / reference; above 1 means ours is faster).
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include "vlk_text.h"

namespace {

constexpr int kSize = 1 << 20;

// Printable, NUL-free bytes: the same buffer serves the binary codecs and MD5's text.
const std::vector<unsigned char>& Input() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> v(kSize + 1);
    unsigned x = 12345;
    for (int i = 0; i < kSize; ++i) {
      x = x * 1103515245u + 12345u;
      v[static_cast<std::size_t>(i)] = static_cast<unsigned char>(33 + (x >> 16) % 90);
    }
    v[kSize] = 0;
    return v;
  }();
  return data;
}

const std::string& Encoded() {
  static const std::string text = [] {
    std::string out(VlkCalBase64EncLen(kSize), '\0');
    const int n = VlkBase64Encode(&out[0], Input().data(), kSize, static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
  }();
  return text;
}

unsigned BitwiseCrc32(const unsigned char* p, std::size_t n) {
  unsigned crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void BM_VlkCrc32(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(VlkCRC32Calc(Input().data(), kSize));
  state.SetBytesProcessed(state.iterations() * kSize);
}
void BM_ZlibCrc32(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0L, Input().data(), kSize));
  state.SetBytesProcessed(state.iterations() * kSize);
}
void BM_BitwiseCrc32(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(BitwiseCrc32(Input().data(), kSize));
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_VlkBase64Encode(benchmark::State& state) {
  std::vector<char> out(VlkCalBase64EncLen(kSize));
  for (auto _ : state) {
    benchmark::DoNotOptimize(VlkBase64Encode(out.data(), Input().data(), kSize, static_cast<int>(out.size())));
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}
void BM_EvpEncodeBlock(benchmark::State& state) {
  std::vector<unsigned char> out(VlkCalBase64EncLen(kSize));
  for (auto _ : state) benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), Input().data(), kSize));
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_VlkBase64Decode(benchmark::State& state) {
  std::vector<unsigned char> out(kSize + 4);
  for (auto _ : state) benchmark::DoNotOptimize(VlkBase64Decode(out.data(), Encoded().c_str(), kSize));
  state.SetBytesProcessed(state.iterations() * kSize);
}
void BM_EvpDecodeBlock(benchmark::State& state) {
  std::vector<unsigned char> out(kSize + 4);
  const auto* in = reinterpret_cast<const unsigned char*>(Encoded().data());
  const int n = static_cast<int>(Encoded().size());
  for (auto _ : state) benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), in, n));
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_VlkMd5(benchmark::State& state) {
  char out[36];
  const char* text = reinterpret_cast<const char*>(Input().data());
  for (auto _ : state) {
    VlkGetMD5Hash(out, text);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}
void BM_EvpMd5(benchmark::State& state) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_Digest(Input().data(), kSize, md, &len, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(md);
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}

BENCHMARK(BM_VlkCrc32);
BENCHMARK(BM_ZlibCrc32);
BENCHMARK(BM_BitwiseCrc32);
BENCHMARK(BM_VlkBase64Encode);
BENCHMARK(BM_EvpEncodeBlock);
BENCHMARK(BM_VlkBase64Decode);
BENCHMARK(BM_EvpDecodeBlock);
BENCHMARK(BM_VlkMd5);
BENCHMARK(BM_EvpMd5);

// Keeps each run's throughput for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions, the median stands for the benchmark.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates[run.run_name.str()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

void PrintRatio(const RatioReporter& r, const char* label, const char* ours, const char* ref) {
  const auto a = r.rates.find(ours);
  const auto b = r.rates.find(ref);
  if (a == r.rates.end() || b == r.rates.end() || b->second <= 0) return;
  std::printf("%-34s %9.1f MiB/s vs %9.1f MiB/s  ratio %.2f\n", label, a->second / (1 << 20),
              b->second / (1 << 20), a->second / b->second);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nThroughput on a 1 MiB buffer, ours / reference:\n");
  PrintRatio(reporter, "CRC-32 vs zlib crc32", "BM_VlkCrc32", "BM_ZlibCrc32");
  PrintRatio(reporter, "CRC-32 vs bit-by-bit", "BM_VlkCrc32", "BM_BitwiseCrc32");
  PrintRatio(reporter, "Base64 encode vs EVP_EncodeBlock", "BM_VlkBase64Encode", "BM_EvpEncodeBlock");
  PrintRatio(reporter, "Base64 decode vs EVP_DecodeBlock", "BM_VlkBase64Decode", "BM_EvpDecodeBlock");
  PrintRatio(reporter, "MD5 vs EVP_Digest(md5)", "BM_VlkMd5", "BM_EvpMd5");
  benchmark::Shutdown();
  return 0;
}
