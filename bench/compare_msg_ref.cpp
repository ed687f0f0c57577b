// The two reference points of the messaging comparison, written for it:
//   lockfree  the floor: no system call, no allocation, both ends spin. One
//             producer: a bounded single-producer single-consumer ring; fan-in:
//             one bounded multi-producer queue (Vyukov's sequence-numbered
//             slots) that every producer shares, as a runtime's task queue is
//   mutex-cv  a std::deque under a std::mutex with a std::condition_variable,
//             notified on every push (the naive unbounded queue)
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "compare_msg.h"

namespace msgbench {
namespace {

inline void CpuRelax(unsigned int& spins) {
  // Two cores are shared with the peer thread: give the core away now and then.
  if (++spins % 256 == 0) {
    std::this_thread::yield();
  } else {
    __builtin_ia32_pause();
  }
}

template <class B = Body>
class SpscRing {
 public:
  static constexpr std::size_t kSlots = 4096;

  void Push(const B& b) {
    const std::uint64_t tail = m_tail.load(std::memory_order_relaxed);
    unsigned int spins = 0;
    while (tail - m_headCache >= kSlots) {
      m_headCache = m_head.load(std::memory_order_acquire);
      if (tail - m_headCache >= kSlots) CpuRelax(spins);
    }
    m_slots[tail % kSlots] = b;
    m_tail.store(tail + 1, std::memory_order_release);
  }
  bool TryPop(B& b) {
    const std::uint64_t head = m_head.load(std::memory_order_relaxed);
    if (head == m_tailCache) {
      m_tailCache = m_tail.load(std::memory_order_acquire);
      if (head == m_tailCache) return false;
    }
    b = m_slots[head % kSlots];
    m_head.store(head + 1, std::memory_order_release);
    return true;
  }
  void Pop(B& b) {
    unsigned int spins = 0;
    while (!TryPop(b)) CpuRelax(spins);
  }

 private:
  alignas(64) std::atomic<std::uint64_t> m_tail{0};
  std::uint64_t m_headCache = 0;  // producer's copy
  alignas(64) std::atomic<std::uint64_t> m_head{0};
  std::uint64_t m_tailCache = 0;  // consumer's copy
  alignas(64) B m_slots[kSlots];
};

// Bounded multi-producer queue with one consumer: every slot carries a
// sequence number that tells producers and the consumer whose turn it is.
template <class B = Body>
class MpscRing {
 public:
  static constexpr std::size_t kSlots = 8192;

  MpscRing() {
    for (std::size_t i = 0; i < kSlots; ++i) m_slots[i].turn.store(i, std::memory_order_relaxed);
  }
  void Push(const B& b) {
    unsigned int spins = 0;
    std::uint64_t pos = m_tail.load(std::memory_order_relaxed);
    for (;;) {
      Slot& s = m_slots[pos % kSlots];
      const std::uint64_t turn = s.turn.load(std::memory_order_acquire);
      if (turn == pos) {
        if (m_tail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
          s.body = b;
          s.turn.store(pos + 1, std::memory_order_release);
          return;
        }
      } else if (turn < pos) {  // full
        CpuRelax(spins);
        pos = m_tail.load(std::memory_order_relaxed);
      } else {
        pos = m_tail.load(std::memory_order_relaxed);
      }
    }
  }
  bool TryPop(B& b) {
    Slot& s = m_slots[m_head % kSlots];
    if (s.turn.load(std::memory_order_acquire) != m_head + 1) return false;
    b = s.body;
    s.turn.store(m_head + kSlots, std::memory_order_release);
    ++m_head;
    return true;
  }
  void Pop(B& b) {
    unsigned int spins = 0;
    while (!TryPop(b)) CpuRelax(spins);
  }

 private:
  struct Slot {
    std::atomic<std::uint64_t> turn;
    B body;
  };
  alignas(64) std::atomic<std::uint64_t> m_tail{0};
  alignas(64) std::uint64_t m_head = 0;  // the consumer's
  alignas(64) Slot m_slots[kSlots];
};

template <class B = Body>
class LockedQueue {
 public:
  void Push(const B& b) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_items.push_back(b);
    }
    m_cond.notify_one();
  }
  void Pop(B& b) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_cond.wait(guard, [this] { return !m_items.empty(); });
    b = m_items.front();
    m_items.pop_front();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  std::deque<B> m_items;
};

// Thread A times the trips, thread B echoes.
template <class Q>
vlkbench::Outcome Ping(const vlkbench::RunContext& ctx) {
  auto toB = std::make_unique<Q>();
  auto toA = std::make_unique<Q>();
  const std::uint64_t rounds = PingRounds(ctx);
  PingRecorder rec(rounds);
  std::thread b([&] {
    Body msg;
    for (std::uint64_t i = 0; i < rounds; ++i) {
      toB->Pop(msg);
      toA->Push(msg);
    }
  });
  std::thread a([&] {
    Body msg;
    rec.Begin();
    toB->Push(msg);
    for (;;) {
      toA->Pop(msg);
      if (!rec.Reply(msg.seq)) break;
      FillBody(msg, 0, rec.Next());
      toB->Push(msg);
    }
  });
  a.join();
  b.join();
  return rec.Result(rec.Done().Wait(0));
}

// One queue and one consumer thread per consumer.
template <class Q, class B = Body>
vlkbench::Outcome FloodVia(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers,
                           std::uint64_t messages = 0) {
  FloodChecks checks(ctx, producers, consumers, messages);
  std::vector<std::unique_ptr<Q>> queues;
  std::vector<std::thread> sinks;
  for (unsigned int c = 0; c < consumers; ++c) queues.push_back(std::make_unique<Q>());
  for (unsigned int c = 0; c < consumers; ++c) {
    sinks.emplace_back([&, c] {
      B b;
      for (std::uint64_t got = 0; got < checks[c].Total(); ++got) {
        queues[c]->Pop(b);
        checks[c].Take(b);
      }
    });
  }
  vlkbench::Outcome out = DriveFlood(checks, [&](unsigned int p, unsigned int c, std::uint64_t seq) {
    B b;
    FillBody(b, p, seq);
    queues[c]->Push(b);
  });
  for (std::thread& t : sinks) t.join();
  return out;
}

vlkbench::Outcome FloodLockfree(const vlkbench::RunContext& ctx, unsigned int producers, unsigned int consumers) {
  return producers == 1 ? FloodVia<SpscRing<>>(ctx, producers, consumers)
                        : FloodVia<MpscRing<>>(ctx, producers, consumers);
}

void Register() {
  RegisterMsgCases("lockfree", Ping<SpscRing<>>, FloodLockfree);
  RegisterMsgCases("mutex-cv", Ping<LockedQueue<>>,
                   [](const vlkbench::RunContext& ctx, unsigned int p, unsigned int c) {
                     return FloodVia<LockedQueue<>>(ctx, p, c);
                   });
  RegisterSizedFloods("lockfree", [](const vlkbench::RunContext& ctx, auto tag) {
    using B = typename decltype(tag)::type;
    return FloodVia<SpscRing<B>, B>(ctx, 1, 1, SizedFloodMessages(ctx));
  });
  RegisterSizedFloods("mutex-cv", [](const vlkbench::RunContext& ctx, auto tag) {
    using B = typename decltype(tag)::type;
    return FloodVia<LockedQueue<B>, B>(ctx, 1, 1, SizedFloodMessages(ctx));
  });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace msgbench
