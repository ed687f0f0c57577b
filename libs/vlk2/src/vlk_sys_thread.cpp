// Threads, the recursive mutex and the coalescing binary semaphore.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <pthread.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <future>

#include "vlk_sys.h"

namespace {

// The object whose run() this thread executes, until run() deletes it.
thread_local Cvlk_thread* t_self = nullptr;

// How long the destructor waits for a run() that has been asked to stop.
constexpr auto kStopGrace = std::chrono::seconds(3);

}  // namespace

Cvlk_thread::Cvlk_thread(QObject* parent) : QObject(parent) {}

Cvlk_thread::~Cvlk_thread() {
  if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) {
    // run() deletes its own object: the thread runs on to its end without it.
    t_self = nullptr;
    m_thread.detach();
    return;
  }
  // A derived class stops its thread in its own destructor; this only reaps a
  // thread whose run() has been asked to end (or has ended) already. A run()
  // that does not end would go on using a destroyed object: that is fatal.
  m_stop.store(true, std::memory_order_release);
  const auto giveUp = std::chrono::steady_clock::now() + kStopGrace;
  while (isRunning() && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (isRunning()) {
    qFatal("Cvlk_thread \"%s\" destroyed while its run() still runs: run() did not return within %d s of the "
           "stop request (stop the thread in the derived class's destructor, and let run() test "
           "isStopRequested())",
           m_threadName, static_cast<int>(kStopGrace.count()));
  }
  join();
}

void Cvlk_thread::setThreadName(const char* name) {
  std::memset(m_threadName, 0, sizeof m_threadName);
  if (name != nullptr) std::strncpy(m_threadName, name, sizeof m_threadName - 1);
}

void Cvlk_thread::start() {
  if (m_started) return;
  m_started = true;
  if (m_threadName[0] == '\0') setThreadName(metaObject()->className());
  m_running.store(true, std::memory_order_release);
  // The new thread waits until this call has stored its handle and named it: a
  // run() that deletes its object must not do so while start() still uses it.
  std::promise<void> launched;
  try {
    m_thread = std::thread([this, ready = launched.get_future()] {
      ready.wait();
      Cvlk_thread* self = this;
      t_self = self;
      mainFunc();
      // run() may have deleted the object: then nothing of it is touched.
      if (t_self == self) m_running.store(false, std::memory_order_release);
      t_self = nullptr;
    });
    pthread_setname_np(m_thread.native_handle(), m_threadName);
  } catch (...) {
    // The platform could not create the thread: nothing runs.
    m_running.store(false, std::memory_order_release);
    return;
  }
  launched.set_value();  // from here on the object may be gone
}

void Cvlk_thread::mainFunc() {
  // An alternate signal stack lets the crash reporter report a stack overflow on
  // this thread too.
  Cwin_exception_handler::PrepareThread();
  run();
}

void Cvlk_thread::requestStop() { m_stop.store(true, std::memory_order_release); }

void Cvlk_thread::join() {
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void Cvlk_thread::stop() {
  requestStop();
  join();
}

namespace {

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int* FutexWord(std::atomic<int>* state) { return reinterpret_cast<int*>(state); }

}  // namespace

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word is the atomic itself");

bool Cvlk_semaphore::tryTake() {
  int expected = kReleased;  // the common case: released, nobody asleep
  while (!m_state.compare_exchange_weak(expected, expected - kReleased, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
    if ((expected & kReleased) == 0) return false;
  }
  return true;
}

bool Cvlk_semaphore::wait(std::int64_t deadlineNs) {
  // Count ourselves among the sleepers, unless the count can be taken at once.
  int state = m_state.load(std::memory_order_relaxed);
  for (;;) {
    if ((state & kReleased) != 0) {
      if (m_state.compare_exchange_weak(state, state - kReleased, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
        return true;
      }
      continue;
    }
    if (m_state.compare_exchange_weak(state, state + kSleeper, std::memory_order_relaxed, std::memory_order_relaxed)) {
      state += kSleeper;
      break;
    }
  }
  for (;;) {
    // Released: take the count and leave the sleepers in one step. A waiter
    // that was woken always looks here first, also at its deadline, so a wake-up
    // meant for it is never dropped while others still sleep.
    if ((state & kReleased) != 0) {
      if (m_state.compare_exchange_weak(state, state - kReleased - kSleeper, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
        return true;
      }
      continue;
    }
    timespec rel{};
    timespec* timeout = nullptr;
    if (deadlineNs >= 0) {
      const std::int64_t left = deadlineNs - SteadyNs();
      if (left <= 0) {
        // Give up: leave the sleepers unless a release came first.
        if (m_state.compare_exchange_weak(state, state - kSleeper, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
          return false;
        }
        continue;
      }
      rel.tv_sec = static_cast<time_t>(left / 1000000000);
      rel.tv_nsec = static_cast<long>(left % 1000000000);
      timeout = &rel;
    }
    // Returns at once when the word has changed since it was read; EINTR and
    // spurious wake-ups simply look again.
    syscall(SYS_futex, FutexWord(&m_state), FUTEX_WAIT_PRIVATE, state, timeout, nullptr, 0);
    state = m_state.load(std::memory_order_relaxed);
  }
}

void Cvlk_semaphore::acquire() { wait(-1); }

bool Cvlk_semaphore::acquireFor(unsigned int timeoutMs) {
  if (tryTake()) return true;
  if (timeoutMs == 0) return false;
  return wait(SteadyNs() + static_cast<std::int64_t>(timeoutMs) * 1000000);
}

void Cvlk_semaphore::release() {
  // Already released: a taker has yet to come and will see whatever the caller
  // did before this call. The read is a read-modify-write (adding 0) so that it
  // comes after every earlier change of the word and the taking exchange
  // synchronises with it: a flag set without a lock (a stop request) is not
  // missed. A plain load behind a fence would do the same on the hardware, but
  // the thread sanitizer does not model fences.
  if ((m_state.fetch_add(0, std::memory_order_acq_rel) & kReleased) != 0) return;
  const int before = m_state.fetch_or(kReleased, std::memory_order_seq_cst);
  // One release wakes one sleeper; it takes the count, and the next release
  // wakes the next.
  if ((before & kReleased) == 0 && before >= kSleeper) {
    syscall(SYS_futex, FutexWord(&m_state), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}
