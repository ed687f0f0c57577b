// Threads, the recursive mutex and the coalescing binary semaphore.
#include <chrono>

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

void Cvlk_semaphore::acquire() {
  std::unique_lock<std::mutex> lock(m_lock);
  m_cond.wait(lock, [this] { return m_count; });
  m_count = false;
}

bool Cvlk_semaphore::acquireFor(unsigned int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_count; })) return false;
  m_count = false;
  return true;
}

void Cvlk_semaphore::release() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_count) return;
    m_count = true;
  }
  m_cond.notify_one();
}
