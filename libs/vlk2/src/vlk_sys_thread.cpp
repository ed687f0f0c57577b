// Threads, the recursive mutex and the coalescing binary semaphore.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "vlk_sys.h"

Cvlk_thread::Cvlk_thread(QObject* parent) : QObject(parent) {}

Cvlk_thread::~Cvlk_thread() {
  // A derived class stops its thread in its own destructor; this only reaps a
  // thread whose run() has been asked to end (or has ended) already.
  m_stop.store(true, std::memory_order_release);
  join();
}

void Cvlk_thread::start() {
  if (m_started) return;
  m_started = true;
  m_running.store(true, std::memory_order_release);
  try {
    m_thread = std::thread([this] { mainFunc(); });
  } catch (...) {
    // The platform could not create the thread: nothing runs.
    m_running.store(false, std::memory_order_release);
  }
}

void Cvlk_thread::mainFunc() {
  // An alternate signal stack lets the crash reporter report a stack overflow on
  // this thread too.
  Cwin_exception_handler::PrepareThread();
  run();
  m_running.store(false, std::memory_order_release);
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
  int expected = kReleased;
  return m_state.compare_exchange_strong(expected, kTaken, std::memory_order_seq_cst, std::memory_order_relaxed);
}

bool Cvlk_semaphore::wait(std::int64_t deadlineNs) {
  for (;;) {
    int state = m_state.load(std::memory_order_relaxed);
    if (state == kReleased) {
      if (tryTake()) return true;
      continue;
    }
    // Announce the sleep; a release that sees kSleeping wakes the futex.
    if (state == kTaken &&
        !m_state.compare_exchange_strong(state, kSleeping, std::memory_order_relaxed, std::memory_order_relaxed)) {
      continue;
    }
    timespec rel{};
    timespec* timeout = nullptr;
    if (deadlineNs >= 0) {
      const std::int64_t left = deadlineNs - SteadyNs();
      if (left <= 0) {
        // Give up: withdraw the announcement unless a release came first.
        int sleeping = kSleeping;
        if (m_state.compare_exchange_strong(sleeping, kTaken, std::memory_order_relaxed, std::memory_order_relaxed)) {
          return false;
        }
        continue;
      }
      rel.tv_sec = static_cast<time_t>(left / 1000000000);
      rel.tv_nsec = static_cast<long>(left % 1000000000);
      timeout = &rel;
    }
    // Returns at once when the word is no longer kSleeping; EINTR and spurious
    // wake-ups simply loop.
    syscall(SYS_futex, FutexWord(&m_state), FUTEX_WAIT_PRIVATE, kSleeping, timeout, nullptr, 0);
  }
}

void Cvlk_semaphore::acquire() { wait(-1); }

bool Cvlk_semaphore::acquireFor(unsigned int timeoutMs) {
  if (tryTake()) return true;
  if (timeoutMs == 0) return false;
  return wait(SteadyNs() + static_cast<std::int64_t>(timeoutMs) * 1000000);
}

void Cvlk_semaphore::release() {
  // Already released: the consumer has yet to take it and will see whatever the
  // caller did before this call. The read is a read-modify-write (adding 0) so
  // that it comes after every earlier change of the word and the consumer's
  // taking exchange synchronises with it: a flag set without a lock (a stop
  // request) is not missed. A plain load behind a fence would do the same on
  // the hardware, but the thread sanitizer does not model fences.
  if (m_state.fetch_add(0, std::memory_order_acq_rel) == kReleased) return;
  if (m_state.exchange(kReleased, std::memory_order_seq_cst) == kSleeping) {
    syscall(SYS_futex, FutexWord(&m_state), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}
