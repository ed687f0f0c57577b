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
std::uint64_t FloodMessages(const vlkbench::RunContext& ctx) { return ctx.Size(1000000, 20000); }

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
  std::snprintf(text, sizeof text, "%llu/%llu received, %llu duplicate or out of order",
                static_cast<unsigned long long>(m_received), static_cast<unsigned long long>(m_total),
                static_cast<unsigned long long>(m_bad));
  return text;
}

vlkbench::Outcome DriveFlood(FloodCheck& check, const std::function<void(unsigned int, std::uint64_t)>& send,
                             const std::function<bool(std::string&)>& extraCheck) {
  std::atomic<bool> go{false};
  std::vector<std::thread> producers;
  const std::uint64_t per = check.PerProducer();
  const std::uint64_t warm = check.WarmPerProducer();
  for (unsigned int p = 0; p < check.Producers(); ++p) {
    producers.emplace_back([&, p] {
      for (std::uint64_t seq = 0; seq < warm; ++seq) send(p, seq);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (std::uint64_t seq = warm; seq < per; ++seq) send(p, seq);
    });
  }
  const bool warmed = check.Warm().Wait(60000);
  const std::uint64_t allocs0 = vlkbench::HeapAllocations();
  const std::int64_t t0 = vlkbench::NowNs();
  go.store(true, std::memory_order_release);
  const bool finished = warmed && check.Done().Wait(60000);
  const std::int64_t t1 = vlkbench::NowNs();
  const std::uint64_t allocs = vlkbench::HeapAllocations() - allocs0;
  for (std::thread& t : producers) t.join();

  vlkbench::Outcome out;
  std::string extra;
  const bool extraOk = extraCheck ? extraCheck(extra) : true;
  out.ok = finished && check.Ok() && extraOk;
  out.check = check.Report();
  if (!extra.empty()) out.check += "; " + extra;
  if (!finished) out.check += "; timed out";
  const double n = static_cast<double>(check.Total() - warm * check.Producers());
  out.units = static_cast<double>(check.Total());
  out.unit = "msg";
  out.metrics.push_back({"msgs/s", n / (static_cast<double>(t1 - t0) / 1e9), false});
  out.metrics.push_back({"peak RSS (KiB)", static_cast<double>(vlkbench::PeakRssKiB()), true});
  out.metrics.push_back({"allocs/msg", static_cast<double>(allocs) / n, true});
  return out;
}

void RegisterMsgCases(const std::string& contestant, PingFn ping, FloodFn flood) {
  vlkbench::Register("pingpong", kPingCase, contestant, std::move(ping));
  vlkbench::Register("flood", kFlood1, contestant,
                     [flood](const vlkbench::RunContext& ctx) { return flood(ctx, 1); });
  vlkbench::Register("flood", kFlood4, contestant,
                     [flood](const vlkbench::RunContext& ctx) { return flood(ctx, 4); });
}

}  // namespace msgbench
