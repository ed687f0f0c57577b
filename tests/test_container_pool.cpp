// The resource pool: stamped identifiers, hand-out order, Check boundaries,
// capacity limits and node ownership.
#include <vector>

#include "container_test_util.h"

namespace {

// A pooled node that counts its destructions.
class CountedNode : public Cvlk_res_node {
 public:
  explicit CountedNode(Cvlk_resource* owner, int* deaths) : Cvlk_res_node(owner), m_deaths(deaths) {}
  ~CountedNode() override { ++*m_deaths; }

 private:
  int* m_deaths;
};

std::vector<Cvlk_res_node*> Fill(Cvlk_resource& pool, unsigned int count) {
  std::vector<Cvlk_res_node*> nodes;
  for (unsigned int i = 0; i < count; ++i) {
    auto* node = new Cvlk_res_node(&pool);
    EXPECT_EQ(pool.Add(node), ERR_OK);
    nodes.push_back(node);
  }
  return nodes;
}

// Frees and hands the node out again until its stamp differs from `id`'s.
unsigned int RehandUntilNewStamp(Cvlk_resource& pool, Cvlk_res_node* node, unsigned int id) {
  for (int tries = 0; tries < 100 && node->GetId() == id; ++tries) {
    EXPECT_EQ(pool.FreeById(node->GetId()), ERR_OK);
    EXPECT_EQ(pool.AllocNode(), node);
  }
  return node->GetId();
}

TEST(ResourcePool, CapacityZeroOneAndAboveTheLimit) {
  int deaths = 0;
  {
    Cvlk_resource empty(7, 0, nullptr);
    EXPECT_EQ(empty.GetErr(), ERR_OK);
    CountedNode stray(&empty, &deaths);
    EXPECT_EQ(empty.Add(&stray), ERR_OUT_OF_MEMORY);
    EXPECT_EQ(stray.GetId(), 1u);  // not added: keeps its old identifier
    EXPECT_EQ(empty.AllocNode(), nullptr);
    EXPECT_EQ(empty.AllocIndexNode(), nullptr);
    stray.setParent(nullptr);
  }
  EXPECT_EQ(deaths, 1);  // only the stack node itself

  Cvlk_resource one(1);
  EXPECT_NE(one.GetId(), 1u);  // generated identifier
  Fill(one, 1);
  auto* extra = new Cvlk_res_node(nullptr);
  EXPECT_EQ(one.Add(extra), ERR_OUT_OF_MEMORY);
  delete extra;
  EXPECT_NE(one.AllocNode(), nullptr);
  EXPECT_EQ(one.AllocNode(), nullptr);

  Cvlk_resource huge(70000);
  EXPECT_EQ(huge.GetMaxNum(), 65535u);
}

TEST(ResourcePool, ExhaustionAtCapacityAndCapacityPlusOne) {
  constexpr unsigned int kCap = 8;
  Cvlk_resource pool(kCap);
  Fill(pool, kCap);
  auto* extra = new Cvlk_res_node(nullptr);
  EXPECT_EQ(pool.Add(extra), ERR_OUT_OF_MEMORY);
  delete extra;
  EXPECT_EQ(pool.GetRealNum(), kCap);
  for (unsigned int i = 0; i < kCap; ++i) EXPECT_NE(pool.AllocNode(), nullptr);
  EXPECT_EQ(pool.AllocNode(), nullptr);
  EXPECT_EQ(pool.AllocIndexNode(), nullptr);
  EXPECT_EQ(pool.GetBusyNum(), kCap);
  EXPECT_EQ(pool.GetIdleNum(), 0u);
}

TEST(ResourcePool, IdentifiersEncodeSlotAndNonZeroStamp) {
  Cvlk_resource pool(3);
  auto nodes = Fill(pool, 3);
  for (unsigned int i = 0; i < 3; ++i) {
    const unsigned int id = nodes[i]->GetId();
    EXPECT_EQ(id & 0xFFFFu, i + 1);
    EXPECT_GE(id, 0x10001u);
    EXPECT_LE(id >> 16, 32768u);
    EXPECT_EQ(nodes[i]->GetIndex(), i);
    EXPECT_EQ(Cvlk_resource::GetIndexById(id), i);
    EXPECT_EQ(pool.GetById(id), nodes[i]);
    EXPECT_EQ(pool.GetByIndex(i), nodes[i]);
    EXPECT_EQ(pool.GetStateById(id), RES_IDLE);
    EXPECT_EQ(nodes[i]->GetRes(), &pool);
    EXPECT_EQ(nodes[i]->parent(), &pool);
  }
  EXPECT_EQ(pool.GetByIndex(3), nullptr);
  EXPECT_EQ(pool.GetStateByIndex(3), RES_INVALID);
  EXPECT_EQ(pool.GetById(0), nullptr);
  EXPECT_EQ(pool.GetById(nodes[0]->GetId() & 0xFFFF0000u), nullptr);  // slot 0
  EXPECT_EQ(pool.GetById((nodes[0]->GetId() & 0xFFFF0000u) | 4u), nullptr);  // slot beyond
  EXPECT_EQ(pool.GetStateById(nodes[0]->GetId() ^ 0x10000u), RES_INVALID);  // wrong stamp
}

TEST(ResourcePool, StaleIdentifierRefusedAfterTheNodeIsHandedOutAgain) {
  Cvlk_resource pool(1);
  Fill(pool, 1);
  Cvlk_res_node* node = pool.AllocNode();
  const unsigned int first = node->GetId();
  EXPECT_EQ(pool.GetStateById(first), RES_BUSY);
  EXPECT_EQ(pool.FreeById(first), ERR_OK);
  EXPECT_EQ(pool.FreeById(first), ERR_INVALID_OPR);  // double free is harmless
  EXPECT_EQ(pool.GetIdleNum(), 1u);
  EXPECT_EQ(pool.GetStateById(first), RES_IDLE);  // still names the idle node
  EXPECT_EQ(pool.AllocNode(), node);
  const unsigned int second = RehandUntilNewStamp(pool, node, first);
  ASSERT_NE(second, first);
  EXPECT_EQ(second & 0xFFFFu, first & 0xFFFFu);
  EXPECT_EQ(pool.GetById(first), nullptr);
  EXPECT_EQ(pool.GetStateById(first), RES_INVALID);
  EXPECT_EQ(pool.FreeById(first), ERR_INVALID_OPR);
  EXPECT_EQ(pool.GetStateById(second), RES_BUSY);
  EXPECT_EQ(pool.FreeById(0), ERR_INVALID_OPR);
  EXPECT_EQ(pool.FreeById(0x10002u), ERR_INVALID_OPR);  // slot beyond the real count
}

TEST(ResourcePool, FirstFreedIsFirstReused) {
  Cvlk_resource pool(3);
  auto n = Fill(pool, 3);
  EXPECT_EQ(pool.AllocNode(), n[0]);
  EXPECT_EQ(pool.AllocNode(), n[1]);
  EXPECT_EQ(pool.FreeById(n[0]->GetId()), ERR_OK);
  EXPECT_EQ(pool.FreeById(n[1]->GetId()), ERR_OK);
  EXPECT_EQ(pool.AllocNode(), n[2]);
  EXPECT_EQ(pool.AllocNode(), n[0]);
  EXPECT_EQ(pool.AllocNode(), n[1]);
}

TEST(ResourcePool, IndexHandOutTakesTheLowestIdleSlot) {
  Cvlk_resource pool(3);
  auto n = Fill(pool, 3);
  for (int i = 0; i < 3; ++i) pool.AllocNode();
  pool.FreeById(n[2]->GetId());
  pool.FreeById(n[0]->GetId());
  EXPECT_EQ(pool.AllocIndexNode(), n[0]);
  EXPECT_EQ(pool.AllocIndexNode(), n[2]);
  EXPECT_EQ(pool.AllocIndexNode(), nullptr);
  pool.FreeById(n[2]->GetId());
  pool.FreeById(n[0]->GetId());
  EXPECT_EQ(pool.AllocNode(), n[2]);  // whereas the idle-longest rule gives the first freed
}

TEST(ResourcePool, HandOutRefreshesTheTimes) {
  FakeNodeClock clock;
  Cvlk_resource pool(1);
  auto n = Fill(pool, 1);
  FakeNodeClock::Now() += 100;
  EXPECT_EQ(pool.AllocNode(), n[0]);
  EXPECT_EQ(n[0]->GetAllocTime(), FakeNodeClock::Now());
  EXPECT_EQ(n[0]->GetAllocDuration(), 0u);
}

TEST(ResourcePool, CheckKeepsExactlyTheLimitAndReclaimsPastIt) {
  FakeNodeClock clock;
  Cvlk_resource pool(4);
  auto n = Fill(pool, 4);
  for (int i = 0; i < 3; ++i) pool.AllocNode();
  const std::int64_t now = FakeNodeClock::Now();
  n[0]->SetAllocTime(now - 10);
  n[1]->SetAllocTime(now - 11);
  n[2]->SetAllocTime(now - 11);
  n[2]->SetActive();  // activity restarts the count
  n[3]->SetAllocTime(now - 1000);  // idle: never touched
  pool.Check(10);
  EXPECT_EQ(pool.GetStateById(n[0]->GetId()), RES_BUSY);
  EXPECT_EQ(pool.GetStateById(n[1]->GetId()), RES_IDLE);
  EXPECT_EQ(pool.GetStateById(n[2]->GetId()), RES_BUSY);
  EXPECT_EQ(pool.GetIdleNum(), 2u);
  FakeNodeClock::Now() += 1;
  pool.Check(10);
  EXPECT_EQ(pool.GetStateById(n[0]->GetId()), RES_IDLE);
  EXPECT_EQ(pool.GetStateById(n[2]->GetId()), RES_BUSY);
}

TEST(ResourcePool, DestructionDeletesEveryAddedNode) {
  int deaths = 0;
  {
    Cvlk_resource pool(5);
    for (int i = 0; i < 5; ++i) pool.Add(new CountedNode(&pool, &deaths));
    pool.AllocNode();
    pool.AllocNode();
  }
  EXPECT_EQ(deaths, 5);
}

TEST(ResourcePool, NodeHeldInAnotherListCannotBeFreed) {
  Cvlk_resource pool(1);
  Fill(pool, 1);
  Cvlk_link queue;
  Cvlk_res_node* node = pool.AllocNode();
  queue.AddToTail(node);
  EXPECT_EQ(pool.FreeById(node->GetId()), ERR_INVALID_OPR);
  EXPECT_EQ(pool.GetStateById(node->GetId()), RES_BUSY);
  queue.Remove(node);
  EXPECT_EQ(pool.FreeById(node->GetId()), ERR_OK);
  pool.Print();
}

TEST(ResourcePro, TrackedAndUntrackedHandOuts) {
  Cvlk_res_pro pro(9, 3);
  EXPECT_EQ(pro.GetErr(), ERR_OK);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pro.Add(new Cvlk_res_node(pro.GetRes())), ERR_OK);
  Cvlk_res_node* tracked = pro.AllocNode(VLK_TRUE);
  Cvlk_res_node* untracked = pro.AllocNode(VLK_FALSE);
  Cvlk_res_node* tracked2 = pro.AllocNode(VLK_TRUE);
  EXPECT_EQ(pro.AllocNode(VLK_TRUE), nullptr);
  EXPECT_EQ(pro.GetBusyNum(), 2u);
  EXPECT_EQ(pro.GetBusyHead(), tracked);
  EXPECT_EQ(pro.GetBusyTail(), tracked2);
  EXPECT_EQ(pro.FreeById(untracked->GetId()), ERR_FAIL);
  EXPECT_EQ(pro.GetStateById(untracked->GetId()), RES_BUSY);
  EXPECT_EQ(pro.FreeById(tracked->GetId()), ERR_OK);
  EXPECT_EQ(pro.GetStateById(tracked->GetId()), RES_IDLE);
  EXPECT_EQ(pro.GetBusyNum(), 1u);
  EXPECT_EQ(pro.FreeById(tracked->GetId()), ERR_FAIL);
  EXPECT_EQ(pro.AddToTail(nullptr), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(pro.Insert(nullptr, untracked), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(pro.Insert(tracked2, untracked), ERR_OK);
  EXPECT_EQ(pro.GetBusyHead(), untracked);
  EXPECT_EQ(pro.RemoveBusyHead(), untracked);
  EXPECT_EQ(pro.GetStateById(untracked->GetId()), RES_BUSY);
  pro.Print();
}

TEST(ResourcePro, CheckReclaimsOnlyTrackedNodes) {
  FakeNodeClock clock;
  Cvlk_res_pro pro(9, 2);
  for (int i = 0; i < 2; ++i) pro.Add(new Cvlk_res_node(pro.GetRes()));
  Cvlk_res_node* tracked = pro.AllocNode(VLK_TRUE);
  Cvlk_res_node* untracked = pro.AllocNode(VLK_FALSE);
  tracked->SetAllocTime(FakeNodeClock::Now() - 11);
  untracked->SetAllocTime(FakeNodeClock::Now() - 11);
  pro.Check(10);
  EXPECT_EQ(pro.GetStateById(tracked->GetId()), RES_IDLE);
  EXPECT_EQ(pro.GetBusyNum(), 0u);
  EXPECT_EQ(pro.GetStateById(untracked->GetId()), RES_BUSY);
}

}  // namespace
