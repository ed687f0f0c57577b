// The timer comparison's peers:
//   ace-heap   ACE_Timer_Heap (nodes preallocated), the timer queue of ACE's
//              reactors by default, driven by expire() at simulated times
//   ace-wheel  ACE_Timer_Wheel (256 spokes, one-second resolution, nodes
//              preallocated); its cancel searches a spoke's list
//   multimap   a std::multimap from expiry second to timer under a std::mutex,
//              the queue many applications write themselves (nodes are moved
//              with extract/insert on re-arm, so ticks do not allocate)
#include <map>
#include <mutex>
#include <vector>

#include "compare_timer.h"

#if VLK_BENCH_HAVE_ACE
#include <ace/Event_Handler.h>
#include <ace/Init_ACE.h>
#include <ace/Synch.h>
#include <ace/Timer_Heap.h>
#include <ace/Timer_Wheel.h>
#endif

namespace timerbench {
namespace {

#if VLK_BENCH_HAVE_ACE
class CountingHandler : public ACE_Event_Handler {
 public:
  int handle_timeout(const ACE_Time_Value&, const void*) override {
    ++fired;
    return 0;
  }
  std::uint64_t fired = 0;
};

// Q is ACE_Timer_Wheel or ACE_Timer_Heap.
template <class Q>
class AceQueue : public TimerQueue {
 public:
  template <class... Args>
  AceQueue(unsigned int capacity, Args... args) : m_init(), m_wheel(args...), m_ids(capacity, -1), m_now(1000000) {}
  void Start(unsigned int i, unsigned int seconds) override {
    if (m_ids[i] != -1) m_wheel.cancel(m_ids[i]);
    const ACE_Time_Value period(seconds);
    m_ids[i] = m_wheel.schedule(&m_handler, nullptr, m_now + period, period);
    if (m_ids[i] == -1) ++m_failed;
  }
  void Stop(unsigned int i) override {
    if (m_ids[i] == -1) return;
    m_wheel.cancel(m_ids[i]);
    m_ids[i] = -1;
  }
  void Tick() override {
    m_now += ACE_Time_Value(1);
    m_wheel.expire(m_now);
  }
  std::uint64_t Drain() override {
    const std::uint64_t n = m_handler.fired;
    m_handler.fired = 0;
    return n;
  }
  bool Check(std::string& text) override {
    text = m_failed == 0 ? "" : "schedule failed";
    return m_failed == 0;
  }

 private:
  struct Init {
    Init() { ACE::init(); }
  } m_init;
  CountingHandler m_handler;
  Q m_wheel;
  std::vector<long> m_ids;
  ACE_Time_Value m_now;
  unsigned int m_failed = 0;
};
#endif

class MapQueue : public TimerQueue {
 public:
  using Map = std::multimap<std::uint64_t, unsigned int>;

  explicit MapQueue(unsigned int capacity) : m_where(capacity), m_armed(capacity, false), m_period(capacity, 0) {}
  void Start(unsigned int i, unsigned int seconds) override {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_armed[i]) m_queue.erase(m_where[i]);
    m_period[i] = seconds;
    m_where[i] = m_queue.emplace(m_now + seconds, i);
    m_armed[i] = true;
  }
  void Stop(unsigned int i) override {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_armed[i]) return;
    m_queue.erase(m_where[i]);
    m_armed[i] = false;
  }
  void Tick() override {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_now;
    while (!m_queue.empty() && m_queue.begin()->first <= m_now) {
      Map::node_type node = m_queue.extract(m_queue.begin());
      const unsigned int i = node.mapped();
      ++m_fired;  // the expiry's handler
      node.key() = m_now + m_period[i];
      m_where[i] = m_queue.insert(std::move(node));
    }
  }
  std::uint64_t Drain() override {
    std::lock_guard<std::mutex> guard(m_lock);
    const std::uint64_t n = m_fired;
    m_fired = 0;
    return n;
  }

 private:
  std::mutex m_lock;
  Map m_queue;
  std::vector<Map::iterator> m_where;
  std::vector<bool> m_armed;
  std::vector<unsigned int> m_period;
  std::uint64_t m_now = 0;
  std::uint64_t m_fired = 0;
};

void Register() {
#if VLK_BENCH_HAVE_ACE
  RegisterTimerCases("ace-heap", [](unsigned int capacity) -> std::unique_ptr<TimerQueue> {
    return std::make_unique<AceQueue<ACE_Timer_Heap>>(capacity, capacity, true);
  });
  RegisterTimerCases("ace-wheel", [](unsigned int capacity) -> std::unique_ptr<TimerQueue> {
    return std::make_unique<AceQueue<ACE_Timer_Wheel>>(capacity, 256, 1000, capacity);
  });
#endif
  RegisterTimerCases("multimap",
                     [](unsigned int capacity) -> std::unique_ptr<TimerQueue> { return std::make_unique<MapQueue>(capacity); });
}

const AutoRegister kRegister(Register);

}  // namespace
}  // namespace timerbench
