// ACE in the messaging comparison: ACE_Task<ACE_MT_SYNCH> objects whose svc()
// threads take ACE_Message_Blocks from their ACE_Message_Queue (putq/getq).
// Set up as an ACE user tuning for throughput would: the queue's water marks
// hold as many 64-byte bodies as vlk2's pool has buffers (producers block on a
// full queue: ACE's own back-pressure, the same bound), and the message block,
// its data block and its buffer come from one ACE_Cached_Allocator instead of
// three heap allocations per message. The "ace-malloc" row keeps the water
// marks but takes ACE's default allocation (a message block, a data block and
// its buffer from the heap per message), to show what the cached allocator,
// whose pools are guarded by one mutex each, costs or gains under fan-in.
#include <ace/Init_ACE.h>
#include <ace/Malloc_T.h>
#include <ace/Message_Block.h>
#include <ace/Synch_Traits.h>
#include <ace/Task_T.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "compare_msg.h"

namespace msgbench {
namespace {

constexpr std::size_t kBound = 8192;  // messages in a full queue: vlk2's pool size

// Cached chunks of `N` bytes.
template <std::size_t N>
struct alignas(16) Chunk {
  char bytes[N];
};
template <std::size_t N>
using ChunkAllocator = ACE_Cached_Allocator<Chunk<N>, ACE_SYNCH_MUTEX>;
static_assert(sizeof(ACE_Message_Block) <= 128 && sizeof(ACE_Data_Block) <= 128, "ACE's blocks fit 128 bytes");

// Chunks for a full queue, the one being taken and one per producer in flight:
// two 128-byte ones per message (message block, data block), one for the body.
// A base of its own, so that it outlives the task's queue.
template <class B>
struct ChunkHolder {
  ChunkHolder() : m_blocks(2 * (kBound + 16)), m_buffers(kBound + 16) {}
  ChunkAllocator<128> m_blocks;
  ChunkAllocator<sizeof(B)> m_buffers;
};

template <class B = Body, bool kCached = true>
class BodyTask : private ChunkHolder<B>, public ACE_Task<ACE_MT_SYNCH> {
 public:
  BodyTask() {
    msg_queue()->high_water_mark(kBound * sizeof(B));
    msg_queue()->low_water_mark(kBound * sizeof(B));
  }

  std::function<void(const B&)> handler;
  std::uint64_t expect = 0;  // messages svc() takes before it returns

  int svc() override {
    for (std::uint64_t i = 0; i < expect; ++i) {
      ACE_Message_Block* mb = nullptr;
      if (getq(mb) < 0) return -1;
      B b;
      std::memcpy(&b, mb->rd_ptr(), sizeof b);
      mb->release();
      handler(b);
    }
    return 0;
  }
  void Put(const B& b) {
    if (!kCached) {
      auto* mb = new ACE_Message_Block(sizeof(B));
      std::memcpy(mb->wr_ptr(), &b, sizeof b);
      mb->wr_ptr(sizeof b);
      putq(mb);
      return;
    }
    void* place = this->m_blocks.malloc(sizeof(ACE_Message_Block));
    if (place == nullptr) std::abort();  // cannot happen within the water marks
    auto* mb = new (place) ACE_Message_Block(sizeof(B), ACE_Message_Block::MB_DATA, nullptr, nullptr,
                                             &this->m_buffers, nullptr, ACE_DEFAULT_MESSAGE_BLOCK_PRIORITY,
                                             ACE_Time_Value::zero, ACE_Time_Value::max_time, &this->m_blocks,
                                             &this->m_blocks);
    std::memcpy(mb->wr_ptr(), &b, sizeof b);
    mb->wr_ptr(sizeof b);
    putq(mb);
  }
};

struct AceInit {
  AceInit() { ACE::init(); }
  ~AceInit() { ACE::fini(); }
};

template <bool kCached>
vlkbench::Outcome Ping(const vlkbench::RunContext& ctx) {
  AceInit ace;
  BodyTask<Body, kCached> a, b;
  const std::uint64_t rounds = PingRounds(ctx);
  PingRecorder rec(rounds);
  a.expect = rounds;
  b.expect = rounds;
  b.handler = [&](const Body& in) { a.Put(in); };
  a.handler = [&](const Body& in) {
    if (!rec.Reply(in.seq)) return;
    Body out;
    FillBody(out, 0, rec.Next());
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

template <class B = Body, bool kCached = true>
vlkbench::Outcome Flood(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                        std::uint64_t messages = 0) {
  AceInit ace;
  FloodChecks checks(ctx, producers, consumers, messages);
  std::vector<std::unique_ptr<BodyTask<B, kCached>>> sinks;
  for (unsigned int c = 0; c < consumers; ++c) {
    sinks.push_back(std::make_unique<BodyTask<B, kCached>>());
    FloodCheck* check = &checks[c];
    sinks[c]->expect = check->Total();
    sinks[c]->handler = [check](const B& in) { check->Take(in); };
    sinks[c]->activate();
  }
  vlkbench::Outcome out = DriveFlood(checks, [&](unsigned int p, unsigned int c, std::uint64_t seq) {
    B b;
    FillBody(b, p, seq);
    sinks[c]->Put(b);
  });
  for (auto& sink : sinks) sink->wait();
  return out;
}

void Register() {
  RegisterMsgCases("ace", Ping<true>, [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) {
    return Flood<Body, true>(ctx, p, c);
  });
  RegisterMsgCases("ace-malloc", Ping<false>, [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) {
    return Flood<Body, false>(ctx, p, c);
  });
  RegisterSizedFloods("ace", [](const vlkbench::RunContext& ctx, auto tag) {
    return Flood<typename decltype(tag)::type>(ctx, 1, 1, SizedFloodMessages(ctx));
  });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
