// Shared pieces of the timer comparison (compare_timer): the interface each
// contestant's timer queue is driven through and the registration helper.
//   timers / "100k timers, 300 s"   100 000 timers with periods of 1..300 s armed
//       over the wheel, half of them stopped at random, then 300 one-second
//       ticks of simulated time: ns/tick (consuming the expiries included),
//       ns/start (creating the timer at its first start included), ns/stop
//   timers / "tick, 1k armed elsewhere" and "tick, 100k armed elsewhere"
//       the cost of a tick that finds nothing due while 1 000 or 100 000 timers
//       wait in other slots: a wheel's tick does not depend on that number
// Every contestant's expiries are counted and compared with the number the
// plan predicts.
#ifndef VLK_BENCH_COMPARE_TIMER_H_
#define VLK_BENCH_COMPARE_TIMER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bench_harness.h"

namespace timerbench {

// One contestant's timer queue with `capacity` timers, identified 0..capacity-1.
// Time is simulated: it starts at 0 and Tick() advances it by one second.
class TimerQueue {
 public:
  virtual ~TimerQueue() = default;
  // (Re)arms timer i as periodic with `seconds`; it first expires at now + seconds.
  virtual void Start(unsigned int i, unsigned int seconds) = 0;
  virtual void Stop(unsigned int i) = 0;
  // One second later; runs (or posts) every expiry that is due.
  virtual void Tick() = 0;
  // Takes the expiries that reached their handler since the last call (for vlk2
  // the expiry messages waiting in the task's queue) and counts them; timed
  // with the tick, since an application pays for consuming them too.
  virtual std::uint64_t Drain() = 0;
  // A final check of the contestant's own (pool back to full, ...); text says what.
  virtual bool Check(std::string& text) {
    text.clear();
    return true;
  }
};

using QueueFactory = std::function<std::unique_ptr<TimerQueue>(unsigned int capacity)>;

// Registers the three timer cases for one contestant.
void RegisterTimerCases(const std::string& contestant, QueueFactory make);

struct AutoRegister {
  explicit AutoRegister(void (*fn)()) { fn(); }
};

}  // namespace timerbench

#endif  // VLK_BENCH_COMPARE_TIMER_H_
