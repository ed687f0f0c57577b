// vlk-demo: a small tour of the library's building blocks. It prints what it did
// and exits 0 when every check held.
#include <cstdio>
#include <cstring>

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
    // Drain after every wake-up, including the last one: a stop asked for before
    // the thread got going still finds what was queued.
    for (;;) {
      m_sem.acquire();
      {
        Cvlk_mutex_locker guard(&m_lock);
        m_done += m_queued;
        m_queued = 0;
      }
      if (isStopRequested()) return;
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

  std::printf("resource pool:\n");
  {
    Cvlk_resource pool(8);
    for (int i = 0; i < 8; ++i) pool.Add(new Cvlk_res_node(&pool));  // the pool owns its nodes
    Cvlk_res_node* first = pool.AllocNode();
    Cvlk_res_node* second = pool.AllocNode();
    const unsigned int staleId = first->GetId();
    std::printf("  handed out 0x%08X and 0x%08X; %u of %u idle\n", staleId, second->GetId(), pool.GetIdleNum(),
                pool.GetRealNum());
    pool.FreeById(staleId);
    // Drain the pool so the freed slot comes round again with a new stamp.
    Cvlk_res_node* again = nullptr;
    while (Cvlk_res_node* n = pool.AllocNode()) again = n;
    std::printf("  slot %u handed out again as 0x%08X\n", again->GetIndex() + 1, again->GetId());
    Check(pool.FreeById(staleId) != ERR_OK || again->GetId() == staleId, "a stale identifier is refused");
    Check(pool.GetIdleNum() == 0 && pool.AllocNode() == nullptr, "an empty pool refuses, it never grows");
  }

  std::printf("intrusive list:\n");
  {
    Cvlk_link list;
    Cvlk_link_node a(11), b(12), c(13);
    list.AddToTail(&a);
    list.AddToTail(&b);
    list.AddToHead(&c);
    std::printf("  order:");
    for (Cvlk_link_node* n = list.GetHead(); n != nullptr; n = n->GetNext()) std::printf(" %u", n->GetId());
    std::printf("\n");
    Cvlk_link other;
    Check(other.AddToTail(&a) == ERR_INVALID_OPR, "a node in one list cannot join another");
    while (list.RemoveHead() != nullptr) {
    }
  }

  std::printf("hash table:\n");
  {
    Cvlk_hash_tbl table(1, 100, 16, sizeof(int), VLK_FALSE);
    const char* keys[] = {"alpha", "beta", "gamma"};
    for (int i = 0; i < 3; ++i) {
      int value = (i + 1) * 100;
      table.Add(static_cast<unsigned>(std::strlen(keys[i])), reinterpret_cast<const unsigned char*>(keys[i]),
                reinterpret_cast<unsigned char*>(&value), nullptr);
    }
    unsigned char* data = nullptr;
    Check(table.Search(4, reinterpret_cast<const unsigned char*>("beta"), &data) == ERR_OK &&
              *reinterpret_cast<int*>(data) == 200,
          "beta maps to 200");
    int dup = 1;
    Check(table.Add(5, reinterpret_cast<const unsigned char*>("alpha"), reinterpret_cast<unsigned char*>(&dup),
                    nullptr) == ERR_INVALID_OPR,
          "a duplicate key is refused");
  }

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
