// The messaging comparison's shared drivers and checks (see compare_msg.h).
#include "compare_msg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace msgbench {

// Sizes that keep the slowest contestant's run near a few seconds on two
// cores: 200k timed round trips and 1M messages per flood (900k timed).
const char* const kPingCase = "200k round trips";
const char* const kFlood1 = "1→1, 1M msgs";
const char* const kFlood4 = "4→1, 1M msgs";

std::uint64_t PingRounds(const vlkbench::RunContext& ctx) { return ctx.Size(220000, 2200); }
std::uint64_t FloodMessages(const vlkbench::RunContext& ctx) { return ctx.Size(1000000, 8000); }

void Latch::Set() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set = true;
  }
  m_cond.notify_all();
}

bool Latch::Wait(unsigned int timeoutMs) {
  std::unique_lock<std::mutex> guard(m_lock);
  return m_cond.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return m_set; });
}

PingRecorder::PingRecorder(std::uint64_t rounds) : m_rtt(rounds, 0), m_rounds(rounds), m_warm(rounds / 11) {}

void PingRecorder::Begin() {
  m_next = 0;
  m_sentAt = vlkbench::NowNs();
}

bool PingRecorder::Reply(std::uint64_t seq) {
  const std::int64_t now = vlkbench::NowNs();
  if (m_next >= m_rounds) {
    ++m_bad;
    return false;
  }
  if (seq != m_next) ++m_bad;
  m_rtt[m_next] = now - m_sentAt;
  if (++m_next == m_rounds) {
    m_done.Set();
    return false;
  }
  m_sentAt = vlkbench::NowNs();
  return true;
}

vlkbench::Outcome PingRecorder::Result(bool finished, const std::string& extraCheck, bool extraOk) {
  vlkbench::Outcome out;
  const std::uint64_t got = m_next;
  out.ok = finished && got == m_rounds && m_bad == 0 && extraOk;
  char text[160];
  std::snprintf(text, sizeof text, "%llu/%llu round trips back in order, %llu out of order",
                static_cast<unsigned long long>(got), static_cast<unsigned long long>(m_rounds),
                static_cast<unsigned long long>(m_bad));
  out.check = text;
  if (!extraCheck.empty()) out.check += "; " + extraCheck;
  if (!finished) out.check += "; timed out";
  m_rtt.resize(got);
  m_rtt.erase(m_rtt.begin(), m_rtt.begin() + static_cast<std::ptrdiff_t>(std::min(m_warm, got)));
  out.units = static_cast<double>(got);
  out.unit = "round trip";
  out.metrics.push_back({"median (ns)", vlkbench::Percentile(m_rtt, 0.5), true});
  out.metrics.push_back({"p99 (ns)", vlkbench::Percentile(m_rtt, 0.99), true});
  out.metrics.push_back({"p99.9 (ns)", vlkbench::Percentile(m_rtt, 0.999), true});
  return out;
}

FloodCheck::FloodCheck(unsigned int producers, std::uint64_t perProducer)
    : m_next(producers, 0),
      m_perProducer(perProducer),
      m_total(perProducer * producers),
      m_warmPer(perProducer / 10),
      m_warmTotal(m_warmPer * producers) {}

bool FloodCheck::Ok() const {
  if (m_bad != 0 || m_received != m_total) return false;
  for (std::uint64_t n : m_next) {
    if (n != m_perProducer) return false;
  }
  return true;
}

std::string FloodCheck::Report() const {
  char text[160];
  std::snprintf(text, sizeof text, "%llu/%llu received, %llu duplicate, out of order or damaged",
                static_cast<unsigned long long>(m_received), static_cast<unsigned long long>(m_total),
                static_cast<unsigned long long>(m_bad));
  return text;
}

FloodChecks::FloodChecks(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                         std::uint64_t messages)
    : m_producers(producers) {
  if (messages == 0) messages = FloodMessages(ctx);
  for (unsigned int c = 0; c < consumers; ++c)
    m_checks.push_back(std::make_unique<FloodCheck>(producers, messages / (producers * consumers)));
}

std::uint64_t SizedFloodMessages(const vlkbench::RunContext& ctx) { return FloodMessages(ctx) / 4; }

void RegisterSizedFlood(const std::string& contestant, std::size_t bodyBytes, SizedFloodFn flood) {
  vlkbench::Register("flood", "1→1, " + std::to_string(bodyBytes / 1024) + " KiB msgs, 250k", contestant,
                     std::move(flood));
}

vlkbench::Outcome DriveFlood(FloodChecks& checks, const SendFn& send,
                             const std::function<bool(std::string&)>& extraCheck) {
  std::atomic<bool> go{false};
  std::vector<std::thread> producers;
  const unsigned int consumers = checks.Consumers();
  const std::uint64_t per = checks[0].PerProducer();
  const std::uint64_t warm = checks[0].WarmPerProducer();
  for (unsigned int p = 0; p < checks.Producers(); ++p) {
    producers.emplace_back([&, p] {
      for (std::uint64_t seq = 0; seq < warm; ++seq)
        for (unsigned int c = 0; c < consumers; ++c) send(p, c, seq);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (std::uint64_t seq = warm; seq < per; ++seq)
        for (unsigned int c = 0; c < consumers; ++c) send(p, c, seq);
    });
  }
  bool warmed = true;
  for (unsigned int c = 0; c < consumers; ++c) warmed = warmed && checks[c].Warm().Wait(60000);
  const std::uint64_t allocs0 = vlkbench::HeapAllocations();
  const std::int64_t t0 = vlkbench::NowNs();
  go.store(true, std::memory_order_release);
  bool finished = warmed;
  for (unsigned int c = 0; c < consumers; ++c) finished = finished && checks[c].Done().Wait(60000);
  const std::int64_t t1 = vlkbench::NowNs();
  const std::uint64_t allocs = vlkbench::HeapAllocations() - allocs0;
  for (std::thread& t : producers) t.join();

  vlkbench::Outcome out;
  std::string extra;
  const bool extraOk = extraCheck ? extraCheck(extra) : true;
  bool ok = true;
  std::uint64_t total = 0;
  for (unsigned int c = 0; c < consumers; ++c) {
    ok = ok && checks[c].Ok();
    total += checks[c].Total();
    out.check += (c ? "; consumer " : "consumer ") + std::to_string(c) + ": " + checks[c].Report();
  }
  out.ok = finished && ok && extraOk;
  if (!extra.empty()) out.check += "; " + extra;
  if (!finished) out.check += "; timed out";
  const double n = static_cast<double>(total - warm * checks.Producers() * consumers);
  out.units = static_cast<double>(total);
  out.unit = "msg";
  out.metrics.push_back({"msgs/s", n / (static_cast<double>(t1 - t0) / 1e9), false});
  out.metrics.push_back({"peak RSS (KiB)", static_cast<double>(vlkbench::PeakRssKiB()), true});
  out.metrics.push_back({"allocs/msg", static_cast<double>(allocs) / n, true});
  return out;
}

void RegisterRequestCase(const std::string& contestant, PingFn ping) {
  vlkbench::Register("reqresp", "200k requests, 5 s timer each", contestant, std::move(ping));
}

void RegisterIdleCase(const std::string& contestant, IdleFn make) {
  vlkbench::Register("memory", "10k idle machines", contestant, [make](const vlkbench::RunContext& ctx) {
    const unsigned int n = static_cast<unsigned int>(ctx.Size(10000, 1000));
    std::shared_ptr<void> warm = make(16);  // the contestant's one-time set-up is not per machine
    const double rss0 = vlkbench::ResidentKiB();
    const std::uint64_t allocs0 = vlkbench::HeapAllocations();
    const std::int64_t t0 = vlkbench::NowNs();
    std::shared_ptr<void> machines = make(n);
    const std::int64_t t1 = vlkbench::NowNs();
    const std::uint64_t allocs = vlkbench::HeapAllocations() - allocs0;
    const double rss = vlkbench::ResidentKiB() - rss0;
    vlkbench::Outcome out;
    out.ok = machines != nullptr && warm != nullptr;
    out.check = std::to_string(n) + (out.ok ? " idle machines made" : " idle machines could not be made");
    out.metrics.push_back({"KiB/machine", rss / n, true});
    out.metrics.push_back({"allocs/machine", static_cast<double>(allocs) / n, true});
    out.metrics.push_back({"us to create", static_cast<double>(t1 - t0) / 1e3 / n, true});
    return out;
  });
}

void RegisterMsgCases(const std::string& contestant, PingFn ping, FloodFn flood) {
  vlkbench::Register("pingpong", kPingCase, contestant, std::move(ping));
  struct Shape {
    const char* name;
    unsigned int producers, consumers;
  };
  for (const Shape& s : {Shape{kFlood1, 1, 1}, Shape{kFlood4, 4, 1}, Shape{"1→4 fan-out, 1M msgs", 1, 4},
                         Shape{"4→4, 1M msgs", 4, 4}}) {
    vlkbench::Register("flood", s.name, contestant,
                       [flood, s](const vlkbench::RunContext& ctx) { return flood(ctx, s.producers, s.consumers); });
  }
}

}  // namespace msgbench
