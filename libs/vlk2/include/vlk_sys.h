// vlk_sys.h: system services: threads, the recursive mutex and the coalescing
// semaphore, files, directories and INI files, host utilities, the crash reporter.
#ifndef VLK_SYS_H
#define VLK_SYS_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "vlk_base.h"
#include "vlk_text.h"

// ---------------------------------------------------------------------------
// Threads and synchronisation
// ---------------------------------------------------------------------------

// A Qt object that owns one thread running the virtual run(). Tasks, the message
// pool, the I/O servers and the TCP client set derive from it.
// Thread-safety: start, requestStop and join may be called from any thread other
// than the object's own; start is called once.
// Shutdown: a run loop tests isStopRequested() after every wake-up. A derived class
// whose run() sleeps overrides requestStop() to wake it (and calls the base), and
// calls stop() in its own destructor, before its members go; the base destructor
// only joins a thread whose run() has already been asked to end.
class VLK_EXPORT Cvlk_thread : public QObject {
  Q_OBJECT
 public:
  explicit Cvlk_thread(QObject* parent = nullptr);
  ~Cvlk_thread() override;

  Cvlk_thread(const Cvlk_thread&) = delete;
  Cvlk_thread& operator=(const Cvlk_thread&) = delete;

  // Starts the thread: it calls mainFunc(), which calls run(). A second call, or a
  // platform that cannot create the thread, starts nothing.
  void start();
  // Calls run(); the body of the thread.
  void mainFunc();

  // Asks run() to return. Overrides wake whatever run() waits on.
  virtual void requestStop();
  bool isStopRequested() const { return m_stop.load(std::memory_order_acquire); }
  // Waits until run() has returned. Does nothing when the thread was never
  // started or is already joined. REQUIRES: not called from the thread itself.
  void join();
  // requestStop() then join().
  void stop();
  bool isStarted() const { return m_started; }
  // True from start() until run() has returned.
  bool isRunning() const { return m_running.load(std::memory_order_acquire); }

 protected:
  virtual void run() = 0;

 private:
  std::thread m_thread;
  bool m_started = false;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_running{false};
};

// A recursive lock: the holder may Take it again; each Take needs its own Give.
// Thread-safety: any thread; Give only from the holder.
class VLK_EXPORT VLK_CAPABILITY("mutex") Cvlk_mutex {
 public:
  Cvlk_mutex() = default;
  virtual ~Cvlk_mutex() = default;

  Cvlk_mutex(const Cvlk_mutex&) = delete;
  Cvlk_mutex& operator=(const Cvlk_mutex&) = delete;

  void Take() VLK_ACQUIRE() { m_lock.lock(); }
  void Give() VLK_RELEASE() { m_lock.unlock(); }

 private:
  std::recursive_mutex m_lock;
};

// Scoped holder of a Cvlk_mutex: takes it on construction, gives it back on scope exit.
class VLK_SCOPED_CAPABILITY Cvlk_mutex_locker {
 public:
  explicit Cvlk_mutex_locker(Cvlk_mutex* mutex) VLK_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex->Take(); }
  ~Cvlk_mutex_locker() VLK_RELEASE() { m_mutex->Give(); }

  Cvlk_mutex_locker(const Cvlk_mutex_locker&) = delete;
  Cvlk_mutex_locker& operator=(const Cvlk_mutex_locker&) = delete;

 private:
  Cvlk_mutex* m_mutex;
};

// A binary semaphore with count 1 at creation: releases do not accumulate, so one
// acquire consumes every release made since the last one. A consumer therefore
// drains its whole queue after each acquire.
// Thread-safety: release from any thread; acquire from the one consuming thread.
class VLK_EXPORT Cvlk_semaphore {
 public:
  Cvlk_semaphore() = default;
  virtual ~Cvlk_semaphore() = default;

  Cvlk_semaphore(const Cvlk_semaphore&) = delete;
  Cvlk_semaphore& operator=(const Cvlk_semaphore&) = delete;

  // Waits without limit until the count is 1, then sets it to 0.
  void acquire();
  // As acquire, but gives up after timeoutMs milliseconds; true when acquired.
  bool acquireFor(unsigned int timeoutMs);
  // Sets the count to 1 (no change when it is already 1).
  void release();

 private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  bool m_count = true;  // guarded by m_lock
};

#endif  // VLK_SYS_H
