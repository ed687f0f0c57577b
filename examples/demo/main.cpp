// vlk-demo: a small tour of the library's building blocks. It prints what it did
// and exits 0 when every check held.
#include <cstdio>

#include <atomic>

#include <vlk2.h>

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("  [%s] %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++g_failures;
}

// A worker in the library's queue pattern: it sleeps on a coalescing semaphore
// and drains everything queued on each wake-up.
class Worker : public Cvlk_thread {
 public:
  ~Worker() override { stop(); }
  void requestStop() override {
    Cvlk_thread::requestStop();
    m_sem.release();
  }
  void Post() {
    {
      Cvlk_mutex_locker guard(&m_lock);
      ++m_queued;
    }
    m_sem.release();
  }
  int Done() {
    Cvlk_mutex_locker guard(&m_lock);
    return m_done;
  }

 protected:
  void run() override {
    while (!isStopRequested()) {
      m_sem.acquire();
      Cvlk_mutex_locker guard(&m_lock);
      m_done += m_queued;
      m_queued = 0;
    }
  }

 private:
  Cvlk_mutex m_lock;
  Cvlk_semaphore m_sem;
  int m_queued = 0;
  int m_done = 0;
};

}  // namespace

int main() {
  std::printf("vlk2 demo\n");
  std::printf("identifiers:\n");
  Cvlk_obj a, b;
  a.SetRandId();
  b.SetRandId();
  std::printf("  two objects got 0x%X and 0x%X\n", a.GetId(), b.GetId());
  Check(b.GetId() == a.GetId() + 1, "generated identifiers run upward");
  std::printf("  %s / %s\n", VlkErrNoToStr(ERR_OUT_OF_MEMORY), VlkErrNoToStr(static_cast<EerrNo>(99)));

  std::printf("threads:\n");
  constexpr int kPosts = 100000;
  {
    Worker worker;
    worker.start();
    for (int i = 0; i < kPosts; ++i) worker.Post();
    worker.stop();
    std::printf("  worker drained %d of %d posts\n", worker.Done(), kPosts);
    Check(worker.Done() == kPosts, "nothing queued was lost; the worker stopped and joined");
  }

  std::printf("%s\n", g_failures == 0 ? "all checks passed" : "SOME CHECKS FAILED");
  return g_failures == 0 ? 0 : 1;
}
