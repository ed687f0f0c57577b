// Messages per second and latency (median, 99th percentile) of the task
// framework, against Qt's own cross-thread delivery (QCoreApplication::postEvent
// to an object living in another QThread) measured in the same run:
//   flood      one producer sends N messages to a task through the routing thread (SendMsg)
//   direct     the same with SendMsgToTask (no routing thread)
//   pingpong   two tasks bounce one message N times (latency = round trip)
//   self       a task sends N messages to itself, one after the other
// Both sides keep at most kWindow messages in flight during a flood.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <benchmark/benchmark.h>

#include "vlk_task.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned int kFloodN = 100000;
constexpr unsigned int kPingN = 20000;
constexpr unsigned int kWindow = 2048;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Result {
  double seconds = 0;
  double msgsPerSec = 0;
  double medianUs = 0;
  double p99Us = 0;
};

// The latest figures per workload and side, for the ratio table.
std::map<std::string, Result> g_vlk, g_qt;

// One run's bookkeeping: latencies by sequence number, a done signal.
struct Run {
  std::vector<std::int64_t> lat;
  std::atomic<unsigned int> received{0};
  std::mutex lock;
  std::condition_variable cond;
  bool done = false;
  std::int64_t start = 0, end = 0;

  explicit Run(unsigned int n) : lat(n, 0) {}
  void Finish() {
    end = NowNs();
    std::lock_guard<std::mutex> guard(lock);
    done = true;
    cond.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> guard(lock);
    cond.wait(guard, [this] { return done; });
  }
  Result Summarise(unsigned int messages) {
    Result r;
    r.seconds = static_cast<double>(end - start) / 1e9;
    r.msgsPerSec = messages / r.seconds;
    std::sort(lat.begin(), lat.end());
    r.medianUs = lat[lat.size() / 2] / 1e3;
    r.p99Us = lat[lat.size() * 99 / 100] / 1e3;
    return r;
  }
};

// ---------------------------------------------------------------------------
// The framework side
// ---------------------------------------------------------------------------

struct Body {
  Cmsg hdr;
  std::int64_t sentAt;
};

class BenchTask : public Cvlk_task {
 public:
  BenchTask(Cvlk_task_mgr* mgr, unsigned int id) : Cvlk_task(mgr, id, "bench") {}
  std::function<void(BenchTask*, Body*)> onMsg;

 protected:
  Eprc_result _fsm_not_found(Cmsg* msg) override {
    onMsg(this, reinterpret_cast<Body*>(msg));
    return PRC_PROCESSED;
  }
  EerrNo OnCreate() override { return ERR_OK; }
};

class BenchMgr : public Cvlk_task_mgr {
 public:
  BenchMgr() : t1(this, 1), t2(this, 2) {
    regTask(&t1);
    regTask(&t2);
    initMessagePool(64, kWindow * 2, 256, 16, 1024, 16, 4096, 4);
    Run();
  }
  ~BenchMgr() override { Stop(); }

  // Spins while the pool is empty: the flood's back-pressure.
  Body* Take(unsigned int dst, unsigned int seq, Cvlk_msg_buf** out) {
    Cvlk_msg_buf* buf;
    while ((buf = GetMsgBuf(sizeof(Body))) == nullptr) std::this_thread::yield();
    Body* b = reinterpret_cast<Body*>(buf->GetMsgPointer());
    b->hdr.Init();
    b->hdr.dstTaskId = dst;
    b->hdr.appWord1 = seq;
    b->sentAt = NowNs();
    *out = buf;
    return b;
  }

  BenchTask t1, t2;
};

BenchMgr* g_mgr = nullptr;

Result VlkFlood(bool routed) {
  Run run(kFloodN);
  g_mgr->t1.onMsg = [&](BenchTask*, Body* b) {
    run.lat[b->hdr.appWord1] = NowNs() - b->sentAt;
    if (run.received.fetch_add(1, std::memory_order_release) + 1 == kFloodN) run.Finish();
  };
  run.start = NowNs();
  for (unsigned int i = 0; i < kFloodN; ++i) {
    while (i - run.received.load(std::memory_order_acquire) >= kWindow) std::this_thread::yield();
    Cvlk_msg_buf* buf;
    g_mgr->Take(1, i, &buf);
    if (routed) {
      g_mgr->SendMsg(buf);
    } else {
      g_mgr->SendMsgToTask(buf);
    }
  }
  run.Wait();
  return run.Summarise(kFloodN);
}

Result VlkPingPong() {
  Run run(kPingN);
  g_mgr->t2.onMsg = [&](BenchTask* self, Body* b) {
    Cvlk_msg_buf* buf;
    Body* r = g_mgr->Take(1, b->hdr.appWord1, &buf);
    r->sentAt = b->sentAt;
    self->SendMsg(buf);
  };
  g_mgr->t1.onMsg = [&](BenchTask* self, Body* b) {
    const unsigned int seq = b->hdr.appWord1;
    run.lat[seq] = NowNs() - b->sentAt;
    if (seq + 1 == kPingN) {
      run.Finish();
      return;
    }
    Cvlk_msg_buf* buf;
    g_mgr->Take(2, seq + 1, &buf);
    self->SendMsg(buf);
  };
  run.start = NowNs();
  Cvlk_msg_buf* buf;
  g_mgr->Take(2, 0, &buf);
  g_mgr->SendMsg(buf);
  run.Wait();
  return run.Summarise(2 * kPingN);
}

Result VlkSelf() {
  Run run(kFloodN);
  g_mgr->t1.onMsg = [&](BenchTask* self, Body* b) {
    const unsigned int seq = b->hdr.appWord1;
    run.lat[seq] = NowNs() - b->sentAt;
    if (seq + 1 == kFloodN) {
      run.Finish();
      return;
    }
    Cvlk_msg_buf* buf;
    g_mgr->Take(1, seq + 1, &buf);
    self->SendMsg(buf);
  };
  run.start = NowNs();
  Cvlk_msg_buf* buf;
  g_mgr->Take(1, 0, &buf);
  g_mgr->SendMsgToTask(buf);
  run.Wait();
  return run.Summarise(kFloodN);
}

// ---------------------------------------------------------------------------
// The Qt side: a QObject living in a QThread receives posted events
// ---------------------------------------------------------------------------

class BenchEvent : public QEvent {
 public:
  static QEvent::Type Kind() {
    static const QEvent::Type kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kind;
  }
  BenchEvent(unsigned int s, std::int64_t t) : QEvent(Kind()), seq(s), sentAt(t) {}
  unsigned int seq;
  std::int64_t sentAt;
};

class Receiver : public QObject {
 public:
  std::function<void(Receiver*, BenchEvent*)> onEvent;
  bool event(QEvent* e) override {
    if (e->type() != BenchEvent::Kind()) return QObject::event(e);
    onEvent(this, static_cast<BenchEvent*>(e));
    return true;
  }
};

struct QtSide {
  QThread th1, th2;
  Receiver r1, r2;
  QtSide() {
    r1.moveToThread(&th1);
    r2.moveToThread(&th2);
    th1.start();
    th2.start();
  }
  ~QtSide() {
    th1.quit();
    th2.quit();
    th1.wait();
    th2.wait();
  }
};

QtSide* g_qt_side = nullptr;

Result QtFlood() {
  Run run(kFloodN);
  g_qt_side->r1.onEvent = [&](Receiver*, BenchEvent* e) {
    run.lat[e->seq] = NowNs() - e->sentAt;
    if (run.received.fetch_add(1, std::memory_order_release) + 1 == kFloodN) run.Finish();
  };
  run.start = NowNs();
  for (unsigned int i = 0; i < kFloodN; ++i) {
    while (i - run.received.load(std::memory_order_acquire) >= kWindow) std::this_thread::yield();
    QCoreApplication::postEvent(&g_qt_side->r1, new BenchEvent(i, NowNs()));
  }
  run.Wait();
  return run.Summarise(kFloodN);
}

Result QtPingPong() {
  Run run(kPingN);
  g_qt_side->r2.onEvent = [&](Receiver*, BenchEvent* e) {
    QCoreApplication::postEvent(&g_qt_side->r1, new BenchEvent(e->seq, e->sentAt));
  };
  g_qt_side->r1.onEvent = [&](Receiver*, BenchEvent* e) {
    run.lat[e->seq] = NowNs() - e->sentAt;
    if (e->seq + 1 == kPingN) {
      run.Finish();
      return;
    }
    QCoreApplication::postEvent(&g_qt_side->r2, new BenchEvent(e->seq + 1, NowNs()));
  };
  run.start = NowNs();
  QCoreApplication::postEvent(&g_qt_side->r2, new BenchEvent(0, NowNs()));
  run.Wait();
  return run.Summarise(2 * kPingN);
}

Result QtSelf() {
  Run run(kFloodN);
  g_qt_side->r1.onEvent = [&](Receiver* self, BenchEvent* e) {
    run.lat[e->seq] = NowNs() - e->sentAt;
    if (e->seq + 1 == kFloodN) {
      run.Finish();
      return;
    }
    QCoreApplication::postEvent(self, new BenchEvent(e->seq + 1, NowNs()));
  };
  run.start = NowNs();
  QCoreApplication::postEvent(&g_qt_side->r1, new BenchEvent(0, NowNs()));
  run.Wait();
  return run.Summarise(kFloodN);
}

void Measure(benchmark::State& state, const std::function<Result()>& work, Result* keep) {
  Result r;
  for (auto _ : state) {
    r = work();
    state.SetIterationTime(r.seconds);
  }
  state.counters["msgs_per_s"] = r.msgsPerSec;
  state.counters["median_us"] = r.medianUs;
  state.counters["p99_us"] = r.p99Us;
  *keep = r;
}

void Register(const char* name, std::function<Result()> vlk, std::function<Result()> qt) {
  const std::string n(name);
  benchmark::RegisterBenchmark(("vlk/" + n).c_str(), [vlk, n](benchmark::State& s) { Measure(s, vlk, &g_vlk[n]); })
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("qt/" + n).c_str(), [qt, n](benchmark::State& s) { Measure(s, qt, &g_qt[n]); })
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  BenchMgr mgr;
  QtSide qt;
  g_mgr = &mgr;
  g_qt_side = &qt;
  Register("flood", [] { return VlkFlood(true); }, QtFlood);
  Register("direct", [] { return VlkFlood(false); }, QtFlood);
  Register("pingpong", VlkPingPong, QtPingPong);
  Register("self", VlkSelf, QtSelf);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\n%-9s %14s %14s %8s | %11s %11s %7s | %11s %11s %7s\n", "workload", "vlk msgs/s", "qt msgs/s",
              "ratio", "vlk med us", "qt med us", "ratio", "vlk p99 us", "qt p99 us", "ratio");
  for (const char* n : {"flood", "direct", "pingpong", "self"}) {
    if (g_vlk.count(n) == 0 || g_qt.count(n) == 0) continue;
    const Result& v = g_vlk[n];
    const Result& q = g_qt[n];
    std::printf("%-9s %14.0f %14.0f %8.2f | %11.2f %11.2f %7.2f | %11.2f %11.2f %7.2f\n", n, v.msgsPerSec,
                q.msgsPerSec, v.msgsPerSec / q.msgsPerSec, v.medianUs, q.medianUs, v.medianUs / q.medianUs, v.p99Us,
                q.p99Us, v.p99Us / q.p99Us);
  }
  std::printf("(throughput ratio > 1 and latency ratio < 1 favour the framework)\n");
  g_mgr = nullptr;
  g_qt_side = nullptr;
  return 0;
}
