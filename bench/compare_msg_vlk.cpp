// vlk2 in the messaging comparison: tasks of one Cvlk_task_mgr exchanging pool
// buffers. "vlk2" sends through the routing thread (SendMsg), "vlk2-direct"
// appends to the destination task's queue on the sender's thread (SendMsgToTask).
// Flood producers are plain threads that wait (yield) while the pool is empty:
// the pool bounds the memory in flight.
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "compare_msg.h"
#include "vlk_task.h"

namespace msgbench {
namespace {

constexpr unsigned int kMsgSize = sizeof(Cmsg) + sizeof(Body);  // header + 64-byte body
constexpr unsigned int kPoolBufs = 8192;                         // buffers of the class that fits

struct Wire {
  Cmsg hdr;
  Body body;
};

class BenchTask : public Cvlk_task {
 public:
  BenchTask(Cvlk_task_mgr* mgr, unsigned int id) : Cvlk_task(mgr, id, "bench") {}
  std::function<void(Wire*)> onMsg;

 protected:
  Eprc_result _fsm_not_found(Cmsg* msg) override {
    onMsg(reinterpret_cast<Wire*>(msg));
    return PRC_PROCESSED;
  }
};

class BenchMgr : public Cvlk_task_mgr {
 public:
  BenchMgr() : t1(this, 1), t2(this, 2) {
    regTask(&t1);
    regTask(&t2);
    // Only the 128-byte class is used; the others stay tiny.
    initMessagePool(32, 4, kMsgSize, kPoolBufs, 1024, 4, 4096, 4);
  }
  ~BenchMgr() override { Stop(); }

  // A buffer for dst, waiting while the pool is empty.
  Cvlk_msg_buf* Take(unsigned int dst, Wire** wire) {
    Cvlk_msg_buf* buf;
    while ((buf = GetMsgBuf(kMsgSize)) == nullptr) std::this_thread::yield();
    Wire* w = reinterpret_cast<Wire*>(buf->GetMsgPointer());
    w->hdr.Init();
    w->hdr.dstTaskId = dst;
    *wire = w;
    return buf;
  }
  EerrNo Send(Cvlk_msg_buf* buf, bool direct) { return direct ? SendMsgToTask(buf) : SendMsg(buf); }

  // Every buffer back in its class once the last message was processed.
  bool PoolFull(std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    unsigned int idle = 0, real = 0;
    do {
      idle = GetMsgIdleNum(EMSG_CLASS_SMALL);
      real = GetMsgRealNum(EMSG_CLASS_SMALL);
      if (idle == real) break;
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < deadline);
    char line[128];
    std::snprintf(line, sizeof line, "pool %u/%u idle, %u requests found it empty", idle, real, GetNoMsgBufCount());
    text = line;
    return idle == real;
  }

  BenchTask t1, t2;
};

// Qt timers of the task timer pools want an application object on this thread.
QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "compare_msg";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

vlkbench::Outcome Ping(const vlkbench::RunContext& ctx, bool direct) {
  App();
  BenchMgr mgr;
  PingRecorder rec(PingRounds(ctx));
  // Task 2 answers every message with a fresh buffer; task 1 times the trips.
  mgr.t2.onMsg = [&](Wire* in) {
    Wire* out;
    Cvlk_msg_buf* buf = mgr.Take(1, &out);
    out->body = in->body;
    mgr.Send(buf, direct);
  };
  mgr.t1.onMsg = [&](Wire* in) {
    if (!rec.Reply(in->body.seq)) return;
    Wire* out;
    Cvlk_msg_buf* buf = mgr.Take(2, &out);
    out->body.seq = rec.Next();
    mgr.Send(buf, direct);
  };
  mgr.Run();
  Wire* first;
  Cvlk_msg_buf* buf = mgr.Take(2, &first);
  first->body.seq = 0;
  rec.Begin();
  mgr.Send(buf, direct);
  const bool finished = rec.Done().Wait(60000);
  std::string pool;
  const bool full = mgr.PoolFull(pool);
  return rec.Result(finished, pool, full);
}

vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers, bool direct) {
  App();
  BenchMgr mgr;
  FloodCheck check(producers, FloodMessages(ctx) / producers);
  mgr.t1.onMsg = [&](Wire* in) { check.Take(in->body.producer, in->body.seq); };
  mgr.Run();
  return DriveFlood(
      check,
      [&](unsigned int p, std::uint64_t seq) {
        Wire* w;
        Cvlk_msg_buf* buf = mgr.Take(1, &w);
        w->body.producer = p;
        w->body.seq = seq;
        mgr.Send(buf, direct);
      },
      [&](std::string& text) { return mgr.PoolFull(text); });
}

void Register() {
  RegisterMsgCases(
      "vlk2", [](const vlkbench::RunContext& ctx) { return Ping(ctx, false); },
      [](const vlkbench::RunContext& ctx, unsigned int p) { return Flood(ctx, p, false); });
  RegisterMsgCases(
      "vlk2-direct", [](const vlkbench::RunContext& ctx) { return Ping(ctx, true); },
      [](const vlkbench::RunContext& ctx, unsigned int p) { return Flood(ctx, p, true); });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
