// Shared pieces of the messaging comparison (compare_msg): the message body every
// contestant carries, the workload sizes, the per-run checks and the drivers
// that turn a contestant's send/receive into one Outcome.
//   pingpong  two threads/tasks/actors bounce one 64-byte message; metrics are
//             round-trip percentiles measured on the side that starts each trip,
//             after a tenth as many round trips of warm-up
//   reqresp   the ping-pong once more, the requester arming a timeout timer
//             with every request and cancelling it when the answer comes
//   memory    10 000 idle state machines (actors, objects): memory, heap
//             allocations and time to create, per machine
//   flood     producers send N messages to consumers as fast as they can (1→1,
//             4→1 fan-in, 1→4 fan-out: every message to each of four consumers,
//             4→4 many-to-many);
//             msgs/s and heap allocations per message over the timed part (after
//             a warm-up tenth of every producer's messages), peak RSS
// Every contestant writes the whole body (FillBody) and its consumer reads it
// whole (FloodCheck::Take checks the filler), so all of them move the same bytes.
// Each contestant file registers its own cases through RegisterMsgCases, so a
// peer whose package is missing simply has no file in the build.
#ifndef VLK_BENCH_COMPARE_MSG_H_
#define VLK_BENCH_COMPARE_MSG_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_harness.h"

namespace msgbench {

// A body of N bytes: sequence number and producer index, the send time,
// filler. The 64-byte one is what every case but the sized floods carries.
template <std::size_t N>
struct BasicBody {
  std::uint64_t seq = 0;
  std::uint32_t producer = 0;
  std::uint32_t spare = 0;
  std::int64_t sentAt = 0;
  unsigned char fill[N - 24] = {};
};
using Body = BasicBody<64>;
using Body1k = BasicBody<1024>;
using Body4k = BasicBody<4096>;
static_assert(sizeof(Body) == 64 && sizeof(Body4k) == 4096, "bodies are as large as their names say");

// Writes all N bytes: sequence, producer and a filler that depends on both.
template <std::size_t N>
inline void FillBody(BasicBody<N>& b, std::uint32_t producer, std::uint64_t seq) {
  b.seq = seq;
  b.producer = producer;
  b.spare = 0;
  b.sentAt = 0;
  for (unsigned int i = 0; i < sizeof b.fill; ++i) b.fill[i] = static_cast<unsigned char>(seq + producer + i);
}
template <std::size_t N>
inline bool BodyIntact(const BasicBody<N>& b) {
  unsigned int bad = 0;
  for (unsigned int i = 0; i < sizeof b.fill; ++i) bad |= b.fill[i] ^ static_cast<unsigned char>(b.seq + b.producer + i);
  return bad == 0;
}

extern const char* const kPingCase;  // the one ping-pong case name
extern const char* const kFlood1;    // one producer
extern const char* const kFlood4;    // four producers

// Round trips of a ping-pong run, warm-up included: the first eleventh is not timed.
std::uint64_t PingRounds(const vlkbench::RunContext& ctx);
std::uint64_t FloodMessages(const vlkbench::RunContext& ctx);

// A one-shot event: the consumer sets it, the driver waits for it. Used only
// at the start and the end of a run, never per message.
class Latch {
 public:
  void Set();
  // False when `timeoutMs` passed first.
  bool Wait(unsigned int timeoutMs);

 private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  bool m_set = false;
};

// The starting side of a ping-pong: call Begin() just before sending round 0,
// Reply(seq) when an answer arrives; Reply says whether to send round `Next()`
// (its send time is taken inside Reply). Single-threaded: only the side that
// receives the answers calls Reply.
class PingRecorder {
 public:
  explicit PingRecorder(std::uint64_t rounds);
  void Begin();
  bool Reply(std::uint64_t seq);
  std::uint64_t Next() const { return m_next; }
  Latch& Done() { return m_done; }
  // Percentiles of the round trips, checks that every round came back in order.
  vlkbench::Outcome Result(bool finished, const std::string& extraCheck = std::string(), bool extraOk = true);

 private:
  std::vector<std::int64_t> m_rtt;
  std::uint64_t m_rounds;
  std::uint64_t m_warm;
  std::uint64_t m_next = 0;
  std::uint64_t m_bad = 0;
  std::int64_t m_sentAt = 0;
  Latch m_done;
};

// The consumer side of a flood: every producer's messages arrive exactly once
// and in its order. Single consumer thread; sets Done() at the last message.
class FloodCheck {
 public:
  FloodCheck(unsigned int producers, std::uint64_t perProducer);
  template <std::size_t N>
  void Take(const BasicBody<N>& b) {
    if (b.producer >= m_next.size() || m_next[b.producer] != b.seq || !BodyIntact(b)) {
      ++m_bad;
    } else {
      ++m_next[b.producer];
    }
    if (++m_received == m_warmTotal) m_warm.Set();
    if (m_received == m_total) m_done.Set();
  }
  std::uint64_t Total() const { return m_total; }
  std::uint64_t PerProducer() const { return m_perProducer; }
  unsigned int Producers() const { return static_cast<unsigned int>(m_next.size()); }
  // Messages of each producer sent before the timed part.
  std::uint64_t WarmPerProducer() const { return m_warmPer; }
  Latch& Warm() { return m_warm; }
  Latch& Done() { return m_done; }
  bool Ok() const;
  std::string Report() const;

 private:
  std::vector<std::uint64_t> m_next;
  std::uint64_t m_perProducer;
  std::uint64_t m_total;
  std::uint64_t m_warmPer;
  std::uint64_t m_warmTotal;
  Latch m_warm;
  std::uint64_t m_received = 0;
  std::uint64_t m_bad = 0;
  Latch m_done;
};

// The checks of a flood with `producers` sending to each of `consumers`: one
// FloodCheck per consumer, the run's messages split evenly over the pairs.
class FloodChecks {
 public:
  // `messages`: the run's messages, 0 for the usual FloodMessages(ctx).
  FloodChecks(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
              std::uint64_t messages = 0);
  FloodCheck& operator[](unsigned int consumer) { return *m_checks[consumer]; }
  unsigned int Producers() const { return m_producers; }
  unsigned int Consumers() const { return static_cast<unsigned int>(m_checks.size()); }

 private:
  unsigned int m_producers;
  std::vector<std::unique_ptr<FloodCheck>> m_checks;
};

// Runs a flood: starts `checks.Producers()` threads that each call
// send(p, c, seq) for seq 0..PerProducer-1 and, for each seq, every consumer c
// in turn; once every consumer has every producer's warm-up messages, releases
// the rest and measures from there to the last consumer's last message,
// counting heap allocations over that window. The consumers must be running
// already. `extraCheck` (may be empty) runs after the flood and adds its own
// verdict (a pool back to full, ...).
using SendFn = std::function<void(unsigned int producer, unsigned int consumer, std::uint64_t seq)>;
vlkbench::Outcome DriveFlood(FloodChecks& checks, const SendFn& send,
                             const std::function<bool(std::string&)>& extraCheck = nullptr);

using PingFn = std::function<vlkbench::Outcome(const vlkbench::RunContext&)>;
using FloodFn =
    std::function<vlkbench::Outcome(const vlkbench::RunContext&, unsigned int producers, unsigned int consumers)>;
constexpr unsigned int kMaxConsumers = 4;

// Registers pingpong and the floods (1→1, 4→1, 1→4, 4→4) for one contestant.
void RegisterMsgCases(const std::string& contestant, PingFn ping, FloodFn flood);

// Registers the request/response case: a ping-pong in which the requester arms
// a timer of kTimeoutSeconds with every request and cancels it at the answer.
constexpr unsigned int kTimeoutSeconds = 5;
void RegisterRequestCase(const std::string& contestant, PingFn ping);

// Registers the idle-machine case: make(n) creates n idle state machines
// (actors, objects) ready for a message and returns what keeps them alive;
// measured are the resident memory, heap allocations and time per machine.
using IdleFn = std::function<std::shared_ptr<void>(unsigned int n)>;
void RegisterIdleCase(const std::string& contestant, IdleFn make);

// Registers the sized floods (1→1 with 1 KiB and 4 KiB bodies, a quarter of
// the usual messages) for one contestant: flood(ctx, BodyTag<B>()) runs one
// with body B.
template <class B>
struct BodyTag {
  using type = B;
};
using SizedFloodFn = std::function<vlkbench::Outcome(const vlkbench::RunContext&)>;
void RegisterSizedFlood(const std::string& contestant, std::size_t bodyBytes, SizedFloodFn flood);
template <class F>
void RegisterSizedFloods(const std::string& contestant, F flood) {
  RegisterSizedFlood(contestant, sizeof(Body1k),
                     [flood](const vlkbench::RunContext& ctx) { return flood(ctx, BodyTag<Body1k>()); });
  RegisterSizedFlood(contestant, sizeof(Body4k),
                     [flood](const vlkbench::RunContext& ctx) { return flood(ctx, BodyTag<Body4k>()); });
}
std::uint64_t SizedFloodMessages(const vlkbench::RunContext& ctx);

// Registers from a static initialiser.
struct AutoRegister {
  explicit AutoRegister(void (*fn)()) { fn(); }
};

}  // namespace msgbench

#endif  // VLK_BENCH_COMPARE_MSG_H_
