// The resource pools: stamped identifiers, hand-out order, Check boundaries,
// capacity limits and node ownership.
#include "container_test_util.h"

namespace {

// A pooled node that counts its destructions.
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

std::vector<unsigned int> Ids(const std::vector<Cvlk_res_node*>& nodes) {
  std::vector<unsigned int> ids;
  for (Cvlk_res_node* node : nodes) ids.push_back(node->GetId());
  return ids;
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
      for (unsigned int i = 0; i < cap; ++i) EXPECT_NE(pool.AllocNode(), nullptr);
      EXPECT_EQ(pool.AllocNode(), nullptr);
      EXPECT_EQ(pool.AllocIndexNode(), nullptr);
      EXPECT_EQ(deaths, 0);
    }
    EXPECT_EQ(deaths, static_cast<int>(cap) + 1);  // the pool deleted exactly its own
  }
  EXPECT_EQ(Cvlk_resource(70000).GetMaxNum(), 65535u);
}

TEST(ResourcePool, IdentifiersAndStaleRefusal) {
  Cvlk_resource pool(2);
  Fill(pool, 2);
  Cvlk_res_node* node = pool.AllocNode();
  const unsigned int first = node->GetId();
  EXPECT_GE(first, 0x10001u);
  // Another stamp, slot 0, a slot beyond the pool: no node.
  EXPECT_EQ(States(pool, {first, first ^ 0x10000u, first & 0xFFFF0000u, (first & 0xFFFF0000u) | 3u}), "Bxxx");
  EXPECT_EQ(pool.GetById(first & 0xFFFF0000u), nullptr);
  EXPECT_EQ(pool.FreeById((first & 0xFFFF0000u) | 3u), ERR_INVALID_OPR);
  EXPECT_EQ(pool.FreeById(first), ERR_OK);
  EXPECT_EQ(pool.FreeById(first), ERR_INVALID_OPR);  // double free changes nothing
  EXPECT_EQ(pool.GetIdleNum(), 2u);
  EXPECT_EQ(States(pool, {first}), "I");  // names the idle node until reuse
  // Hand it out again until the stamp differs (a repeat has odds 1 in 32768).
  do {
    while (pool.AllocNode() != node) {
    }
    if (node->GetId() == first) pool.FreeById(first);
  } while (node->GetId() == first);
  EXPECT_EQ(pool.GetById(first), nullptr);
  EXPECT_EQ(States(pool, {first, node->GetId()}), "xB");
  EXPECT_EQ(pool.FreeById(first), ERR_INVALID_OPR);
}

TEST(ResourcePool, FirstFreedFirstReusedAndLowestIndex) {
  Cvlk_resource pool(3);
  auto n = Fill(pool, 3);
  EXPECT_EQ(pool.AllocNode(), n[0]);
  EXPECT_EQ(pool.AllocNode(), n[1]);
  pool.FreeById(n[0]->GetId());
  pool.FreeById(n[1]->GetId());
  EXPECT_EQ(pool.AllocNode(), n[2]);
  EXPECT_EQ(pool.AllocNode(), n[0]);
  pool.FreeById(n[2]->GetId());
  pool.FreeById(n[0]->GetId());
  // The idle-longest rule would give n[1] first.
  for (Cvlk_res_node* want : {n[0], n[1], n[2], static_cast<Cvlk_res_node*>(nullptr)})
    EXPECT_EQ(pool.AllocIndexNode(), want);
  Cvlk_link queue;  // a node held in another list cannot be freed behind its back
  queue.AddToTail(n[1]);
  EXPECT_EQ(pool.FreeById(n[1]->GetId()), ERR_INVALID_OPR);
  queue.Remove(n[1]);
}

TEST(ResourcePool, CheckKeepsExactlyTheLimitAndReclaimsPastIt) {
  FakeNodeClock clock;
  Cvlk_resource pool(4);
  auto n = Fill(pool, 4);
  for (int i = 0; i < 3; ++i) pool.AllocNode();
  FakeNodeClock::now += 100;
  n[0]->SetAllocTime(FakeNodeClock::now - 10);
  n[1]->SetAllocTime(FakeNodeClock::now - 11);
  n[2]->SetActive();  // activity restarts the count
  const auto ids = Ids({n[0], n[1], n[2]});
  pool.Check(10);
  EXPECT_EQ(States(pool, ids), "BIB");
  FakeNodeClock::now += 1;
  pool.Check(10);
  EXPECT_EQ(States(pool, ids), "IIB");
  EXPECT_EQ(pool.AllocNode(), n[3]);  // a hand-out restarts the times
  EXPECT_EQ(n[3]->GetAllocTime(), FakeNodeClock::now);
}

TEST(ResourcePro, OnlyTrackedNodesAreFreedAndReclaimed) {
  FakeNodeClock clock;
  Cvlk_res_pro pro(9, 3);
  for (int i = 0; i < 3; ++i) pro.Add(new Cvlk_res_node(pro.GetRes()));
  Cvlk_res_node* tracked = pro.AllocNode(VLK_TRUE);
  Cvlk_res_node* untracked = pro.AllocNode(VLK_FALSE);
  Cvlk_res_node* tracked2 = pro.AllocNode(VLK_TRUE);
  EXPECT_EQ(pro.FreeById(untracked->GetId()), ERR_FAIL);
  EXPECT_EQ(pro.FreeById(tracked->GetId()), ERR_OK);
  EXPECT_EQ(pro.FreeById(tracked->GetId()), ERR_FAIL);
  untracked->SetAllocTime(FakeNodeClock::now - 11);
  tracked2->SetAllocTime(FakeNodeClock::now - 11);
  pro.Check(10);
  EXPECT_EQ(States(pro, Ids({untracked, tracked2})), "BI");
  EXPECT_EQ(pro.GetBusyHead(), nullptr);
}

}  // namespace
