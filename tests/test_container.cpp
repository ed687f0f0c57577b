// The containers: the intrusive list (linking rules, exact error codes,
// invariants after each refusal), the byte-string queue and the counters, the
// resource pools (stamped identifiers, hand-out order, expiry, capacity, node
// ownership), the multi-list pool and the hash table.
#include <climits>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_container.h"

namespace {

// Installs a node clock that only the test moves, for the holder's lifetime.
struct FakeNodeClock {
  FakeNodeClock() { VlkSetNodeClock([] { return now; }); }
  ~FakeNodeClock() { VlkSetNodeClock(nullptr); }
  static inline std::int64_t now = 1000000;
};

// Checks every list invariant and that the list holds exactly `want`, in order.
void ExpectList(const Cvlk_link& list, const std::vector<Cvlk_link_node*>& want) {
  ASSERT_EQ(list.GetNum(), want.size());
  EXPECT_EQ(list.GetTail(), want.empty() ? nullptr : want.back());
  const Cvlk_link_node* prev = nullptr;
  const Cvlk_link_node* node = list.GetHead();
  for (Cvlk_link_node* w : want) {
    ASSERT_EQ(node, w);
    EXPECT_EQ(node->GetPrev(), prev);
    EXPECT_EQ(node->GetLinkId(), list.GetId());
    prev = node;
    node = node->GetNext();
  }
  EXPECT_EQ(node, nullptr);
}

// One letter per identifier: B busy, I idle, x invalid (stale or no node).
std::string States(const Cvlk_resource& pool, const std::vector<unsigned int>& ids) {
  std::string out;
  for (unsigned int id : ids) out += "xIB"[pool.GetStateById(id) == RES_BUSY ? 2 : pool.GetStateById(id) == RES_IDLE];
  return out;
}

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() {
    for (unsigned int i = 0; i < 5; ++i) nodes.push_back(std::make_unique<Cvlk_link_node>(100 + i));
  }
  Cvlk_link_node* n(int i) { return nodes[i].get(); }
  bool Free(int i) { return !n(i)->GetLinkId() && !n(i)->GetNext() && !n(i)->GetPrev(); }
  Cvlk_link list, other;
  std::vector<std::unique_ptr<Cvlk_link_node>> nodes;
};

TEST_F(LinkTest, AddAndRemoveAtBothEndsAndInTheMiddle) {
  for (int i : {1, 2, 3}) EXPECT_EQ(list.AddToTail(n(i)), ERR_OK);
  EXPECT_EQ(list.AddToHead(n(0)), ERR_OK);
  EXPECT_EQ(list.AddToHead(n(2)), ERR_OK);  // already here: unchanged
  other.AddToTail(n(4));
  EXPECT_EQ(list.AddToTail(n(4)), ERR_INVALID_OPR);  // in another list
  EXPECT_EQ(list.Remove(n(4)), ERR_INVALID_PARAM);
  ExpectList(other, {n(4)});
  EXPECT_EQ(list.Remove(n(1)), ERR_OK);  // both neighbours are relinked
  ExpectList(list, {n(0), n(2), n(3)});
  EXPECT_EQ(list.RemoveTail(), n(3));
  EXPECT_EQ(list.RemoveHead(), n(0));
  ExpectList(list, {n(2)});
  EXPECT_EQ(list.RemoveHead(), n(2));
  EXPECT_TRUE(Free(0) && Free(1) && Free(2) && Free(3));
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_EQ(list.Remove(n(0)), ERR_INVALID_OPR);  // empty list
}

// Position inserts: every refusal leaves both lists intact. The extended list
// answers ERR_INVALID_OPR where the plain one answers ERR_FAIL.
TEST_F(LinkTest, PositionInsertsAndEveryRefusal) {
  Cvlk_linkExt ext;
  ext.AddToTail(n(1));
  EXPECT_EQ(ext.Insert(n(1), n(0)), ERR_OK);  // before the head: new head
  EXPECT_EQ(ext.Append(n(1), n(2)), ERR_OK);  // after the tail: new tail
  other.AddToTail(n(3));
  for (auto op : {&Cvlk_linkExt::Insert, &Cvlk_linkExt::Append}) {
    EXPECT_EQ((ext.*op)(nullptr, n(4)), ERR_INVALID_PARAM);
    EXPECT_EQ((ext.*op)(n(3), n(4)), ERR_INVALID_OPR);  // pos in another list
    EXPECT_EQ((ext.*op)(n(4), n(4)), ERR_INVALID_OPR);  // pos in no list
    EXPECT_EQ((ext.*op)(n(0), n(1)), ERR_INVALID_OPR);  // node already here
    EXPECT_EQ((ext.*op)(n(0), n(3)), ERR_INVALID_OPR);  // node in another list
    ExpectList(ext, {n(0), n(1), n(2)});
    ExpectList(other, {n(3)});
    EXPECT_TRUE(Free(4));
  }
  EXPECT_EQ(list.Insert(n(3), n(4)), ERR_FAIL);
  EXPECT_EQ(ext.Append(n(0), n(4)), ERR_OK);  // in the middle
  ExpectList(ext, {n(0), n(4), n(1), n(2)});
  while (ext.RemoveHead() != nullptr) {
  }
}

TEST_F(LinkTest, SearchAndIdentifierZero) {
  Cvlk_link_node zero(0);
  list.AddToTail(&zero);
  list.AddToTail(n(0));
  EXPECT_EQ(list.Search(0), nullptr);  // even though a node bears 0
  EXPECT_EQ(list.Search(100), n(0));
  // Regression: linking under identifier 0 left a linked node that looked free.
  EXPECT_EQ(n(1)->Insert(0, n(2)), ERR_INVALID_PARAM);
  EXPECT_TRUE(Free(1) && Free(2));
}

// Copies queued zero-terminated; nodes still queued when the queue dies are
// deleted with it (they were leaked).
TEST(BufLink, QueuesTerminatedCopiesAndDeletesWhatIsLeft) {
  static int deaths = 0;
  struct CountedBufNode : Cvlk_buf_node {
    ~CountedBufNode() override { ++deaths; }
  };
  Cvlk_buf_link queue;
  char text[] = "abc";
  EXPECT_EQ(queue.saveToBuf(text, 3), ERR_OK);
  text[0] = 'X';  // the queue holds its own copy
  EXPECT_EQ(queue.saveToBuf(text, UINT_MAX), ERR_INVALID_PARAM);  // len + 1 would wrap
  std::unique_ptr<Cvlk_buf_node> first(queue.getBuf());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first->getBuf()), first->getBufSize()), std::string("abc", 4));
  {
    Cvlk_buf_link doomed;
    doomed.AddToTail(new CountedBufNode);
    doomed.AddToTail(new CountedBufNode);
  }
  EXPECT_EQ(deaths, 2);
}

TEST(Counter, IndexLimitsAndNoStepLostAcrossThreads) {
  Cvlk_counter counter(3, 33);
  counter.Inc(3);  // beyond the count: ignored
  EXPECT_EQ(counter.Get(3), 0u);
  // Regression: count 0 made the index limit 2^32-1, so every index was "valid".
  Cvlk_counter none(0);
  none.Inc(0);
  EXPECT_EQ(none.Get(0), 0u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&counter] {
      for (int i = 0; i < 20000; ++i) counter.Inc(0), counter.Inc(1), counter.Dec(1), counter.Dec(2);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter.Get(0), 80000u);
  EXPECT_EQ(counter.Get(1), 0u);
  EXPECT_EQ(counter.Get(2), 0u - 80000u);  // wraps
}

struct CountedNode : Cvlk_res_node {
  CountedNode(Cvlk_resource* owner, int* deaths) : Cvlk_res_node(owner), deaths(deaths) {}
  ~CountedNode() override { ++*deaths; }
  int* deaths;
};

std::vector<Cvlk_res_node*> Fill(Cvlk_resource& pool, unsigned int count) {
  std::vector<Cvlk_res_node*> nodes;
  for (unsigned int i = 0; i < count; ++i) {
    nodes.push_back(new Cvlk_res_node(&pool));
    EXPECT_EQ(pool.Add(nodes.back()), ERR_OK);
  }
  return nodes;
}

TEST(ResourcePool, CapacityZeroOneFullAndOneMore) {
  for (unsigned int cap : {0u, 1u, 8u}) {
    int deaths = 0;
    {
      Cvlk_resource pool(cap);
      for (unsigned int i = 0; i < cap; ++i) EXPECT_EQ(pool.Add(new CountedNode(&pool, &deaths)), ERR_OK);
      CountedNode extra(nullptr, &deaths);
      EXPECT_EQ(pool.Add(&extra), ERR_OUT_OF_MEMORY);
      EXPECT_EQ(extra.GetId(), 1u);  // not added, not renamed, still the caller's
    }
    EXPECT_EQ(deaths, static_cast<int>(cap) + 1);  // the pool deleted exactly its own
  }
  EXPECT_EQ(Cvlk_resource(70000).GetMaxNum(), 65535u);
}

// First freed, first reused (AllocIndexNode takes the lowest index instead);
// stale stamps and double frees are refused; a node held in another list
// cannot be freed behind its back.
TEST(ResourcePool, StaleIdentifiersDoubleFreeAndHandOutOrder) {
  Cvlk_resource pool(3);
  auto n = Fill(pool, 3);
  Cvlk_res_node* node = pool.AllocNode();
  const unsigned int first = node->GetId();
  EXPECT_GE(first, 0x10001u);
  // Another stamp, slot 0, a slot beyond the pool: no node.
  EXPECT_EQ(States(pool, {first, first ^ 0x10000u, first & 0xFFFF0000u, (first & 0xFFFF0000u) | 4u}), "Bxxx");
  EXPECT_EQ(pool.FreeById(first), ERR_OK);
  EXPECT_EQ(pool.FreeById(first), ERR_INVALID_OPR);  // double free changes nothing
  EXPECT_EQ(pool.GetIdleNum(), 3u);
  EXPECT_EQ(States(pool, {first}), "I");  // names the idle node until reuse
  EXPECT_EQ(pool.AllocNode(), n[1]);
  EXPECT_EQ(pool.AllocNode(), n[2]);
  EXPECT_EQ(pool.AllocNode(), n[0]);
  if (node->GetId() != first) {  // a repeated stamp has odds 1 in 32768
    EXPECT_EQ(States(pool, {first, node->GetId()}), "xB");
  }
  pool.FreeById(n[2]->GetId());
  pool.FreeById(n[0]->GetId());
  for (Cvlk_res_node* want : {n[0], n[2], static_cast<Cvlk_res_node*>(nullptr)}) EXPECT_EQ(pool.AllocIndexNode(), want);
  Cvlk_link queue;
  queue.AddToTail(n[1]);
  EXPECT_EQ(pool.FreeById(n[1]->GetId()), ERR_INVALID_OPR);
  queue.Remove(n[1]);
}

// Check keeps a node busy for exactly the limit and reclaims it one second
// later; the tracking pool frees and reclaims only the nodes it tracks.
TEST(ResourcePool, CheckKeepsExactlyTheLimitAndReclaimsPastIt) {
  FakeNodeClock clock;
  Cvlk_resource pool(4);
  auto n = Fill(pool, 4);
  for (int i = 0; i < 3; ++i) pool.AllocNode();
  n[0]->SetAllocTime(FakeNodeClock::now - 10);
  n[1]->SetAllocTime(FakeNodeClock::now - 11);
  n[2]->SetAllocTime(FakeNodeClock::now - 20);
  n[2]->SetActive();  // activity restarts the count
  const std::vector<unsigned int> ids = {n[0]->GetId(), n[1]->GetId(), n[2]->GetId()};
  pool.Check(10);
  EXPECT_EQ(States(pool, ids), "BIB");
  FakeNodeClock::now += 1;
  pool.Check(10);
  EXPECT_EQ(States(pool, ids), "IIB");
  Cvlk_res_pro pro(9, 2);
  for (int i = 0; i < 2; ++i) pro.Add(new Cvlk_res_node(pro.GetRes()));
  Cvlk_res_node* n2[] = {pro.AllocNode(VLK_TRUE), pro.AllocNode(VLK_FALSE)};  // tracked, untracked
  for (Cvlk_res_node* node : n2) node->SetAllocTime(FakeNodeClock::now - 11);
  pro.Check(10);
  EXPECT_EQ(States(*pro.GetRes(), {n2[0]->GetId(), n2[1]->GetId()}), "IB");
  EXPECT_EQ(pro.FreeById(n2[1]->GetId()), ERR_FAIL);
}

class PoolExtTest : public ::testing::Test {
 protected:
  PoolExtTest() : pool(5, 6, 3) {
    for (int i = 0; i < 6; ++i) pool.Add(new Cvlk_res_node(&pool));
    for (unsigned int& id : ids) id = pool.AllocNode()->GetId();
  }
  // Walks list idx from its head node and checks order, membership, count and tail.
  void Expect(unsigned int idx, std::vector<unsigned int> want) {
    std::vector<unsigned int> got;
    for (Cvlk_link_node* node = pool.GetById(pool.GetHead(idx)); node; node = node->GetNext()) {
      got.push_back(node->GetId());
      EXPECT_EQ(pool.IsInLink(idx, node->GetId()), VLK_TRUE);
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(pool.GetNumByLinkIdx(idx), want.size());
    EXPECT_EQ(pool.GetTail(idx), want.empty() ? 0u : want.back());
  }
  Cvlk_resourceExt pool;
  unsigned int ids[4];
};

TEST_F(PoolExtTest, PlacementTransfersAndEveryRefusal) {
  EXPECT_EQ(Cvlk_resourceExt(1, 4, 2049).GetErr(), ERR_INVALID_PARAM);
  EXPECT_EQ(Cvlk_resourceExt(1, 4, 2048).GetErr(), ERR_OK);
  const unsigned int a = ids[0], b = ids[1], c = ids[2], d = ids[3];
  EXPECT_EQ(pool.AddToTail(0, a), ERR_OK);
  EXPECT_EQ(pool.AddToHead(0, b), ERR_OK);
  pool.AddToTail(1, c), pool.AddToTail(2, d);
  EXPECT_EQ(pool.AddToTail(1, a), ERR_INVALID_OPR);  // in list 0
  EXPECT_EQ(pool.AddToTail(1, pool.GetByIndex(5)->GetId()), ERR_INVALID_OPR);  // idle
  EXPECT_EQ(pool.AddToHead(1, a ^ 0x10000u), ERR_INVALID_PARAM);  // stale stamp
  EXPECT_EQ(pool.Insert(1, a, d), ERR_INVALID_OPR);  // pos in list 0
  EXPECT_EQ(pool.AddToTail(3, d), ERR_INVALID_PARAM);  // list index at or beyond the count
  EXPECT_EQ(pool.TransferToTail(0, a, 0xFFFFFFFFu), ERR_INVALID_PARAM);
  EXPECT_EQ(pool.TransferToHead(0, c, 1), ERR_INVALID_OPR);  // c is not in list 0
  // Regression: a target position outside the target list dropped the node out of every list.
  EXPECT_EQ(pool.TransferBefore(0, a, 1, d), ERR_INVALID_OPR);
  EXPECT_EQ(pool.TransferAfter(0, a, 0, a), ERR_INVALID_OPR);  // next to itself
  Expect(0, {b, a});
  EXPECT_EQ(pool.TransferBefore(0, a, 1, c), ERR_OK);
  EXPECT_EQ(pool.TransferAfter(0, b, 1, c), ERR_OK);
  EXPECT_EQ(pool.TransferToHead(2, d, 1), ERR_OK);
  Expect(0, {});
  Expect(1, {d, a, c, b});
  EXPECT_EQ(pool.Remove(a), ERR_OK);
  EXPECT_EQ(pool.Remove(a), ERR_INVALID_OPR);  // in no list, still handed out
  EXPECT_EQ(States(pool, {a}), "B");
}

// Deleted and expired nodes leave their lists as they go idle; a deleted
// identifier, once its node is reused, names nothing.
TEST_F(PoolExtTest, DeleteExpiryAndStaleIdentifiers) {
  FakeNodeClock clock;
  for (unsigned int id : ids) pool.AddToTail(0, id);
  EXPECT_EQ(pool.FreeById(ids[1]), ERR_INVALID_OPR);  // still in a list
  EXPECT_EQ(pool.Delete(ids[1]), ERR_OK);
  EXPECT_EQ(pool.Delete(ids[1]), ERR_INVALID_OPR);
  EXPECT_EQ(pool.DeleteHead(0), ERR_OK);
  EXPECT_EQ(pool.DeleteTail(0), ERR_OK);
  EXPECT_EQ(pool.DeleteHead(1), ERR_INVALID_OPR);
  const unsigned int held = pool.AllocNode()->GetId(), loose = pool.AllocNode()->GetId();
  pool.AddToTail(1, held);
  pool.GetById(ids[2])->SetAllocTime(FakeNodeClock::now - 30);
  pool.GetById(held)->SetAllocTime(FakeNodeClock::now - 31);
  pool.GetById(loose)->SetAllocTime(FakeNodeClock::now - 31);
  pool.Check(30);
  EXPECT_EQ(States(pool, {ids[0], ids[1], ids[2], ids[3], held, loose}), "IIBIII");
  Expect(0, {ids[2]});
  Expect(1, {});
  for (int i = 0; i < 100 && pool.GetStateById(ids[1]) != RES_INVALID; ++i) {
    while (Cvlk_res_node* node = pool.AllocNode()) pool.AddToTail(2, node->GetId());
    if (pool.GetStateById(ids[1]) != RES_INVALID) pool.DeleteHead(2);
  }
  EXPECT_EQ(pool.Delete(ids[1]), ERR_INVALID_PARAM);
}

const unsigned char* K(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// With `forced` set every key lands in that bucket. The hash has the historic
// signature (a non-const key), which the table must call too.
struct ProbeTable : Cvlk_hash_tbl {
  ProbeTable(unsigned int maxNum, Ebool permitSame, unsigned int forced = 0)
      : Cvlk_hash_tbl(3, maxNum, 8, sizeof(int), permitSame), forced(forced) {}
  using Cvlk_hash_tbl::_convert;
  unsigned int _convert(unsigned int keyLen, unsigned char* key) override {
    return ++calls, forced != 0 ? forced : Cvlk_hash_tbl::_convert(keyLen, key);
  }
  EerrNo Put(const std::string& key, int value, unsigned int* id = nullptr) {
    return Add(static_cast<unsigned int>(key.size()), K(key), reinterpret_cast<const unsigned char*>(&value), id);
  }
  int Get(const std::string& key) {
    unsigned char* data = nullptr;
    int v = -1;
    if (Search(static_cast<unsigned int>(key.size()), K(key), &data) == ERR_OK) std::memcpy(&v, data, sizeof v);
    return v;
  }
  unsigned int forced;
  int calls = 0;
};

TEST(HashTable, CapacityBucketsAndKeyLimits) {
  for (unsigned int cap : {0u, 1u, 4u}) {
    ProbeTable t(cap, VLK_TRUE);
    for (unsigned int i = 0; i < cap; ++i) EXPECT_EQ(t.Put("k", 1), ERR_OK);
    EXPECT_EQ(t.Put("k", 1), ERR_OUT_OF_MEMORY);
  }
  // Regression: buckets were sized from the requested capacity, so a huge request
  // meant billions of bucket lists.
  Cvlk_hash_tbl huge(3, 0xFFFFFFFFu, 1, 1, VLK_FALSE);
  EXPECT_EQ(huge.GetErr(), ERR_OK);
  EXPECT_EQ(huge.GetBucketNum(), 32768u);
  ProbeTable t(4, VLK_TRUE);  // keys of at most 8 bytes, the empty one included
  EXPECT_EQ(t.Put("123456789", 1), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Search(9, K("123456789"), nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Add(1, nullptr, K("data"), nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Add(1, K("k"), nullptr, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(t.Put("12345678", 8), ERR_OK);
  EXPECT_EQ(t.Put("", 0), ERR_OK);
  EXPECT_EQ(t.Get("12345678"), 8);
  EXPECT_EQ(t.GetIdleNum(), 2u);
}

TEST(HashTable, DuplicateKeysRefusedOrFoundOldestFirst) {
  ProbeTable refuse(10, VLK_FALSE);
  EXPECT_EQ(refuse.Put("key", 1), ERR_OK);
  EXPECT_EQ(refuse.Put("key", 2), ERR_INVALID_OPR);
  for (unsigned int forced : {0u, 2u}) {  // spread, then every key in one bucket
    ProbeTable t(12, VLK_TRUE, forced);
    unsigned int first = 0, id = 0;
    unsigned char* data = nullptr;
    t.Put("key", 1, &first), t.Put("other", 9), t.Put("key", 2), t.Put("key", 3);
    std::vector<int> seen;
    for (EerrNo r = t.FindFirst(3, K("key"), &data, &id); r == ERR_OK; r = t.FindNext(id, &data, &id))
      seen.push_back(*reinterpret_cast<int*>(data));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(t.Remove(3, K("key")), ERR_OK);  // removes the oldest
    EXPECT_EQ(t.Get("key"), 2);
    EXPECT_EQ(t.FindNext(first, &data, &id), ERR_OBJ_NOT_FOUND);  // removed entry
    EXPECT_NE(t.RemoveNode(first), ERR_OK);  // idle now: in no bucket
    EXPECT_GT(t.calls, 0);
  }
  // The const-key form is called too, before the other.
  struct ConstProbe : Cvlk_hash_tbl {
    ConstProbe() : Cvlk_hash_tbl(3, 4, 8, sizeof(int), VLK_TRUE) {}
    using Cvlk_hash_tbl::_convert;
    unsigned int _convert(unsigned int, const unsigned char*) override { return ++calls, 1; }
    int calls = 0;
  } c;
  EXPECT_EQ(c.Add(3, K("key"), K("data"), nullptr), ERR_OK);
  EXPECT_EQ(c.calls, 1);
}

// Removed entries go back to the pool: a table filled, thinned and refilled is
// iterated exactly once per entry. A lookup marks its entry active, iteration does not.
TEST(HashTable, RemovalFreesTheEntryAndIterationVisitsEachOnce) {
  FakeNodeClock clock;
  for (unsigned int forced : {0u, 1u}) {
    ProbeTable t(40, VLK_TRUE, forced);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(t.Put("k" + std::to_string(i % 25), i), ERR_OK);
    for (int i = 0; i < 40; i += 3) t.Remove(2 + (i % 25 > 9), K("k" + std::to_string(i % 25)));
    EXPECT_EQ(t.GetBusyNum(), 26u);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(t.Put("r", i), ERR_OK);
    EXPECT_EQ(t.Put("r", 99), ERR_OUT_OF_MEMORY);
    std::set<unsigned int> ids;
    unsigned char* data = nullptr;
    unsigned int id = 0, first = 0;
    t.FindFirst(1, K("r"), &data, &first);
    t.GetById(first)->SetAllocTime(FakeNodeClock::now - 50);
    for (EerrNo r = t.GetFirst(&data, &id); r == ERR_OK && ids.size() <= 40; r = t.GetNext(id, &data, &id))
      EXPECT_TRUE(ids.insert(id).second) << "visited twice";
    EXPECT_EQ(ids.size(), 40u);
    EXPECT_EQ(t.GetById(first)->GetAllocDuration(), 50u);
    EXPECT_EQ(t.Get("r"), 0);
    EXPECT_EQ(t.GetById(first)->GetAllocDuration(), 0u);
  }
}

}  // namespace
