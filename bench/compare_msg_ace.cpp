// ACE in the messaging comparison: ACE_Task<ACE_MT_SYNCH> objects whose svc()
// threads take ACE_Message_Blocks from their ACE_Message_Queue (putq/getq).
// One new message block per message; the queue keeps ACE's default water
// marks (16 KiB), so producers block on a full queue: ACE's own back-pressure.
#include <ace/Init_ACE.h>
#include <ace/Message_Block.h>
#include <ace/Task_T.h>

#include <cstring>
#include <functional>
#include <thread>

#include "compare_msg.h"

namespace msgbench {
namespace {

class BodyTask : public ACE_Task<ACE_MT_SYNCH> {
 public:
  std::function<void(const Body&)> handler;
  std::uint64_t expect = 0;  // messages svc() takes before it returns

  int svc() override {
    for (std::uint64_t i = 0; i < expect; ++i) {
      ACE_Message_Block* mb = nullptr;
      if (getq(mb) < 0) return -1;
      Body b;
      std::memcpy(&b, mb->rd_ptr(), sizeof b);
      mb->release();
      handler(b);
    }
    return 0;
  }
  void Put(const Body& b) {
    auto* mb = new ACE_Message_Block(sizeof(Body));
    std::memcpy(mb->wr_ptr(), &b, sizeof b);
    mb->wr_ptr(sizeof b);
    putq(mb);
  }
};

struct AceInit {
  AceInit() { ACE::init(); }
  ~AceInit() { ACE::fini(); }
};

vlkbench::Outcome Ping(const vlkbench::RunContext& ctx) {
  AceInit ace;
  BodyTask a, b;
  const std::uint64_t rounds = PingRounds(ctx);
  PingRecorder rec(rounds);
  a.expect = rounds;
  b.expect = rounds;
  b.handler = [&](const Body& in) { a.Put(in); };
  a.handler = [&](const Body& in) {
    if (!rec.Reply(in.seq)) return;
    Body out;
    out.seq = rec.Next();
    b.Put(out);
  };
  a.activate();
  b.activate();
  rec.Begin();
  b.Put(Body{});
  const bool finished = rec.Done().Wait(60000);
  a.wait();
  b.wait();
  return rec.Result(finished);
}

vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers) {
  AceInit ace;
  BodyTask consumer;
  FloodCheck check(producers, FloodMessages(ctx) / producers);
  consumer.expect = check.Total();
  consumer.handler = [&](const Body& in) { check.Take(in.producer, in.seq); };
  consumer.activate();
  vlkbench::Outcome out = DriveFlood(check, [&](unsigned int p, std::uint64_t seq) {
    Body b;
    b.producer = p;
    b.seq = seq;
    consumer.Put(b);
  });
  consumer.wait();
  return out;
}

void Register() { RegisterMsgCases("ace", Ping, Flood); }

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
