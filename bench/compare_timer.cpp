// The timer comparison's drivers and the vlk2 contestant: the Cvlk_timer_pool of
// a task that is not started, so its Tick() is driven here and the expiry
// messages it posts wait in the task's queue until Drain() counts them.
#include "compare_timer.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "vlk_task.h"

namespace timerbench {
namespace {

constexpr unsigned int kSeconds = 300;

vlkbench::Outcome Finish(TimerQueue& q, std::uint64_t fired, std::uint64_t expected) {
  vlkbench::Outcome out;
  std::string own;
  const bool ownOk = q.Check(own);
  out.ok = fired == expected && ownOk;
  char text[128];
  std::snprintf(text, sizeof text, "%llu/%llu expiries", static_cast<unsigned long long>(fired),
                static_cast<unsigned long long>(expected));
  out.check = text;
  if (!own.empty()) out.check += "; " + own;
  return out;
}

vlkbench::Outcome Wheel(const vlkbench::RunContext& ctx, const QueueFactory& make) {
  const unsigned int n = static_cast<unsigned int>(ctx.Size(100000, 5000));
  std::mt19937 rng(20261206);
  std::vector<unsigned int> period(n);
  for (unsigned int& p : period) p = 1 + rng() % kSeconds;
  std::vector<unsigned int> order(n);
  for (unsigned int i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(n / 2);  // the half that is stopped again
  std::vector<bool> stopped(n, false);
  for (unsigned int i : order) stopped[i] = true;
  std::uint64_t expected = 0;
  for (unsigned int i = 0; i < n; ++i) {
    if (!stopped[i]) expected += kSeconds / period[i];
  }

  std::unique_ptr<TimerQueue> q = make(n);
  const std::int64_t s0 = vlkbench::NowNs();
  for (unsigned int i = 0; i < n; ++i) q->Start(i, period[i]);
  const std::int64_t s1 = vlkbench::NowNs();
  for (unsigned int i : order) q->Stop(i);
  const std::int64_t s2 = vlkbench::NowNs();
  std::int64_t tickNs = 0;
  std::uint64_t fired = 0;
  for (unsigned int t = 0; t < kSeconds; ++t) {
    const std::int64_t t0 = vlkbench::NowNs();
    q->Tick();
    fired += q->Drain();
    tickNs += vlkbench::NowNs() - t0;
  }
  vlkbench::Outcome out = Finish(*q, fired, expected);
  out.metrics.push_back({"ns/tick", static_cast<double>(tickNs) / kSeconds, true});
  out.metrics.push_back({"ns/start", static_cast<double>(s1 - s0) / n, true});
  out.metrics.push_back({"ns/stop", static_cast<double>(s2 - s1) / order.size(), true});
  return out;
}

// Ticks that find nothing due while `armed` timers wait 200..255 s ahead; they
// are re-armed between rounds of 100 ticks.
vlkbench::Outcome IdleTicks(const vlkbench::RunContext& ctx, const QueueFactory& make, unsigned int armed) {
  const unsigned int rounds = static_cast<unsigned int>(ctx.Size(20, 3));
  constexpr unsigned int kTicks = 100;
  std::mt19937 rng(20261206);
  std::vector<unsigned int> period(armed);
  for (unsigned int& p : period) p = 200 + rng() % 56;
  std::unique_ptr<TimerQueue> q = make(armed);
  std::int64_t tickNs = 0;
  std::uint64_t fired = 0;
  for (unsigned int r = 0; r < rounds; ++r) {
    for (unsigned int i = 0; i < armed; ++i) q->Start(i, period[i]);
    const std::int64_t t0 = vlkbench::NowNs();
    for (unsigned int t = 0; t < kTicks; ++t) {
      q->Tick();
      fired += q->Drain();
    }
    tickNs += vlkbench::NowNs() - t0;
  }
  vlkbench::Outcome out = Finish(*q, fired, 0);
  out.metrics.push_back({"ns/tick", static_cast<double>(tickNs) / (rounds * kTicks), true});
  return out;
}

// ---------------------------------------------------------------------------
// vlk2
// ---------------------------------------------------------------------------

constexpr unsigned int kExpiryBufs = 16384;
// A task's timer pool holds at most 65535 timers (16-bit node index): the
// timers are spread over the pools of two tasks in every case, and one tick of
// the application ticks both.
constexpr unsigned int kMaxPools = 2;

class IdleTask : public Cvlk_task {
 public:
  IdleTask(Cvlk_task_mgr* mgr, unsigned int id) : Cvlk_task(mgr, id, "timers") {}
};

class TimerMgr : public Cvlk_task_mgr {
 public:
  explicit TimerMgr(unsigned int tasks) {
    for (unsigned int i = 0; i < tasks && i < kMaxPools; ++i) {
      task[i] = new IdleTask(this, i + 1);  // a Qt child of the manager
      regTask(task[i]);
    }
    initMessagePool(sizeof(Csys_timout_msg), kExpiryBufs, 256, 4, 1024, 4, 4096, 4);
  }
  ~TimerMgr() override { Stop(); }
  IdleTask* task[kMaxPools] = {};
};

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "compare_timer";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

class VlkQueue : public TimerQueue {
 public:
  explicit VlkQueue(unsigned int capacity)
      : m_pools(kMaxPools), m_mgr(m_pools), m_ids(capacity) {
    const unsigned int perPool = (capacity + m_pools - 1) / m_pools;
    for (unsigned int p = 0; p < m_pools; ++p) m_pool[p] = new Cvlk_timer_pool(perPool, m_mgr.task[p]);
  }
  // A timer is created at its first start, so the start cost includes it (the
  // peers' schedule and insert make their node there too).
  void Start(unsigned int i, unsigned int seconds) override {
    if (m_ids[i] == 0) m_ids[i] = Pool(i)->CreateTimer(1, 0, 0, nullptr);
    Pool(i)->StartTimer(m_ids[i], seconds);
  }
  void Stop(unsigned int i) override { Pool(i)->StopTimer(m_ids[i]); }
  void Tick() override {
    for (unsigned int p = 0; p < m_pools; ++p) m_pool[p]->Tick();
  }
  std::uint64_t Drain() override {
    std::uint64_t n = 0;
    for (unsigned int p = 0; p < m_pools; ++p) {
      while (Cvlk_msg_buf* buf = m_mgr.task[p]->GetPumpMsgBuf()) {
        if (buf->GetMsgPointer()->msgType == MSG_TIMEOUT) ++n;
        m_mgr.FreeMsgBuf(buf);
      }
    }
    return n;
  }
  bool Check(std::string& text) override {
    bool ok = true;
    for (unsigned int p = 0; p < m_pools; ++p) ok = ok && m_pool[p]->GetErr() == ERR_OK;
    for (unsigned int id : m_ids) ok = ok && id != 0;
    const unsigned int idle = m_mgr.GetMsgIdleNum(EMSG_CLASS_TINY);
    const unsigned int real = m_mgr.GetMsgRealNum(EMSG_CLASS_TINY);
    char line[128];
    std::snprintf(line, sizeof line, "%u timer pool(s), pool %u/%u idle, %u requests refused", m_pools, idle, real,
                  m_mgr.GetNoMsgBufCount());
    text = line;
    return ok && idle == real && m_mgr.GetNoMsgBufCount() == 0;
  }

 private:
  Cvlk_timer_pool* Pool(unsigned int i) const { return m_pool[i % m_pools]; }

  unsigned int m_pools;
  TimerMgr m_mgr;
  Cvlk_timer_pool* m_pool[kMaxPools] = {};  // Qt children of the tasks
  std::vector<unsigned int> m_ids;
};

}  // namespace

void RegisterTimerCases(const std::string& contestant, QueueFactory make) {
  vlkbench::Register("timers", "100k timers, 300 s", contestant,
                     [make](const vlkbench::RunContext& ctx) { return Wheel(ctx, make); });
  vlkbench::Register("timers", "tick, 1k armed elsewhere", contestant,
                     [make](const vlkbench::RunContext& ctx) { return IdleTicks(ctx, make, 1000); });
  vlkbench::Register("timers", "tick, 100k armed elsewhere", contestant,
                     [make](const vlkbench::RunContext& ctx) { return IdleTicks(ctx, make, 100000); });
}

namespace {

void Register() {
  RegisterTimerCases("vlk2", [](unsigned int capacity) -> std::unique_ptr<TimerQueue> {
    App();
    return std::make_unique<VlkQueue>(capacity);
  });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace timerbench
