// The multi-list pool: placement, transfers, deletion and reclaim by identifier.
#include <vector>

#include "container_test_util.h"

namespace {

class PoolExtTest : public ::testing::Test {
 protected:
  PoolExtTest() : pool(5, kCap, 3, nullptr) {
    for (unsigned int i = 0; i < kCap; ++i) pool.Add(new Cvlk_res_node(&pool));
  }
  unsigned int Alloc() { return pool.AllocNode()->GetId(); }

  // Identifiers of list idx, walked forward; checks the backward links and counts too.
  std::vector<unsigned int> Ids(unsigned int idx) {
    std::vector<unsigned int> ids;
    const Cvlk_link_node* prev = nullptr;
    for (unsigned int id = pool.GetHead(idx); id != 0;) {
      const Cvlk_res_node* node = pool.GetById(id);
      EXPECT_NE(node, nullptr);
      if (node == nullptr) break;
      EXPECT_EQ(node->GetPrev(), prev);
      EXPECT_EQ(pool.IsInLink(idx, id), VLK_TRUE);
      ids.push_back(id);
      prev = node;
      id = node->GetNext() != nullptr ? node->GetNext()->GetId() : 0;
    }
    EXPECT_EQ(ids.size(), pool.GetNumByLinkIdx(idx));
    EXPECT_EQ(pool.GetTail(idx), ids.empty() ? 0u : ids.back());
    return ids;
  }
  using Ids_t = std::vector<unsigned int>;

  static constexpr unsigned int kCap = 6;
  Cvlk_resourceExt pool;
};

TEST(PoolExt, ListCountLimits) {
  Cvlk_resourceExt tooMany(1, 4, 2049);
  EXPECT_EQ(tooMany.GetErr(), ERR_INVALID_PARAM);
  Cvlk_resourceExt most(1, 4, 2048);
  EXPECT_EQ(most.GetErr(), ERR_OK);
  EXPECT_EQ(most.GetLinkNum(), 2048u);
  Cvlk_resourceExt none(1, 4, 0);
  EXPECT_EQ(none.GetErr(), ERR_OK);
  none.Add(new Cvlk_res_node(&none));
  const unsigned int id = none.AllocNode()->GetId();
  EXPECT_EQ(none.Remove(id), ERR_INVALID_OPR);
  EXPECT_EQ(none.Delete(id), ERR_INVALID_OPR);
  EXPECT_EQ(none.AddToTail(0, id), ERR_INVALID_PARAM);
}

TEST_F(PoolExtTest, PlacementAndMembership) {
  EXPECT_EQ(pool.GetHead(0), 0u);
  const unsigned int a = Alloc(), b = Alloc(), c = Alloc();
  EXPECT_EQ(pool.AddToTail(0, a), ERR_OK);
  EXPECT_EQ(pool.IsInLink(0, a), VLK_TRUE);
  EXPECT_EQ(pool.IsInLink(1, a), VLK_FALSE);
  EXPECT_EQ(pool.AddToHead(0, b), ERR_OK);
  EXPECT_EQ(pool.Append(0, a, c), ERR_OK);
  EXPECT_EQ(Ids(0), (Ids_t{b, a, c}));
  EXPECT_EQ(pool.AddToTail(1, a), ERR_INVALID_OPR);  // still in list 0
  EXPECT_EQ(pool.Remove(a), ERR_OK);
  EXPECT_EQ(pool.Insert(0, b, a), ERR_OK);
  EXPECT_EQ(Ids(0), (Ids_t{a, b, c}));
  EXPECT_EQ(pool.GetStateById(a), RES_BUSY);
}

TEST_F(PoolExtTest, RefusedPlacementsChangeNothing) {
  const unsigned int a = Alloc(), b = Alloc(), c = Alloc();
  const unsigned int idle = pool.GetByIndex(kCap - 1)->GetId();
  pool.AddToTail(0, a);
  pool.AddToTail(1, b);
  EXPECT_EQ(pool.AddToTail(0, 0), ERR_INVALID_PARAM);
  EXPECT_EQ(pool.AddToHead(0, a ^ 0x10000u), ERR_INVALID_PARAM);  // wrong stamp
  EXPECT_EQ(pool.AddToTail(0, idle), ERR_INVALID_OPR);            // idle nodes sit in the idle list
  EXPECT_EQ(pool.Insert(0, a, 0), ERR_INVALID_OPR);
  EXPECT_EQ(pool.Insert(0, 0, c), ERR_INVALID_OPR);
  EXPECT_EQ(pool.Insert(0, b, c), ERR_INVALID_OPR);  // pos in list 1
  EXPECT_EQ(pool.Append(0, a, b), ERR_INVALID_OPR);  // node in list 1
  EXPECT_EQ(pool.Append(0, a, a), ERR_INVALID_OPR);  // node already here
  EXPECT_EQ(Ids(0), Ids_t{a});
  EXPECT_EQ(Ids(1), Ids_t{b});
  EXPECT_EQ(pool.GetIdleNum(), kCap - 3);
}

TEST_F(PoolExtTest, ListIndexAtOrBeyondTheCountIsRefused) {
  const unsigned int a = Alloc(), b = Alloc();
  pool.AddToTail(0, a);
  pool.AddToTail(0, b);
  for (unsigned int bad : {3u, 4u, 0xFFFFFFFFu}) {
    EXPECT_EQ(pool.AddToTail(bad, a), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.AddToHead(bad, a), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.Insert(bad, a, b), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.Append(bad, a, b), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.DeleteHead(bad), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.DeleteTail(bad), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.TransferToHead(0, a, bad), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.TransferToTail(bad, a, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.TransferBefore(0, a, bad, b), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.TransferAfter(bad, a, 0, b), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.GetHead(bad), 0u);
    EXPECT_EQ(pool.GetTail(bad), 0u);
    EXPECT_EQ(pool.GetNumByLinkIdx(bad), 0u);
    EXPECT_EQ(pool.IsInLink(bad, a), VLK_FALSE);
  }
  EXPECT_EQ(Ids(0), (Ids_t{a, b}));
}

TEST_F(PoolExtTest, Transfers) {
  const unsigned int a = Alloc(), b = Alloc(), c = Alloc(), d = Alloc();
  pool.AddToTail(0, a);
  pool.AddToTail(0, b);
  pool.AddToTail(1, c);
  pool.AddToTail(1, d);
  EXPECT_EQ(pool.TransferToHead(0, c, 1), ERR_INVALID_OPR);  // c is in list 1, not 0
  EXPECT_EQ(Ids(1), (Ids_t{c, d}));
  EXPECT_EQ(pool.TransferBefore(0, a, 1, c), ERR_OK);
  EXPECT_EQ(pool.GetHead(1), a);
  EXPECT_EQ(pool.TransferAfter(0, b, 1, d), ERR_OK);
  EXPECT_EQ(Ids(1), (Ids_t{a, c, d, b}));
  EXPECT_EQ(Ids(0), Ids_t{});
  EXPECT_EQ(pool.TransferToTail(1, a, 1), ERR_OK);  // within one list
  EXPECT_EQ(Ids(1), (Ids_t{c, d, b, a}));
  EXPECT_EQ(pool.TransferToHead(1, b, 2), ERR_OK);
  EXPECT_EQ(pool.TransferToTail(1, c, 2), ERR_OK);
  EXPECT_EQ(Ids(2), (Ids_t{b, c}));
  EXPECT_EQ(Ids(1), (Ids_t{d, a}));
}

// Regression: a transfer to a position outside the target list used to take the
// node out of its list and leave it in none.
TEST_F(PoolExtTest, RefusedTransferLeavesTheNodeWhereItWas) {
  const unsigned int a = Alloc(), b = Alloc(), c = Alloc();
  pool.AddToTail(0, a);
  pool.AddToTail(1, b);
  pool.AddToTail(2, c);
  EXPECT_EQ(pool.TransferBefore(0, a, 1, c), ERR_INVALID_OPR);  // c is in list 2
  EXPECT_EQ(pool.TransferAfter(0, a, 1, 0), ERR_INVALID_OPR);
  EXPECT_EQ(pool.TransferBefore(0, a, 0, a), ERR_INVALID_OPR);  // next to itself
  EXPECT_EQ(pool.TransferToTail(0, 0, 1), ERR_INVALID_OPR);
  EXPECT_EQ(Ids(0), Ids_t{a});
  EXPECT_EQ(Ids(1), Ids_t{b});
  EXPECT_EQ(Ids(2), Ids_t{c});
}

TEST_F(PoolExtTest, DeleteGivesNodesBackToThePool) {
  const unsigned int a = Alloc(), b = Alloc(), c = Alloc(), d = Alloc();
  for (unsigned int id : {a, b, c, d}) pool.AddToTail(0, id);
  const unsigned int idle = pool.GetIdleNum();
  EXPECT_EQ(pool.Delete(b), ERR_OK);
  EXPECT_EQ(pool.GetIdleNum(), idle + 1);
  EXPECT_EQ(pool.GetStateById(b), RES_IDLE);
  EXPECT_EQ(pool.Delete(b), ERR_INVALID_OPR);
  EXPECT_EQ(pool.Delete(0), ERR_INVALID_PARAM);
  EXPECT_EQ(pool.DeleteHead(0), ERR_OK);
  EXPECT_EQ(pool.DeleteTail(0), ERR_OK);
  EXPECT_EQ(Ids(0), Ids_t{c});
  EXPECT_EQ(pool.GetStateById(a), RES_IDLE);
  EXPECT_EQ(pool.GetStateById(d), RES_IDLE);
  EXPECT_EQ(pool.DeleteHead(1), ERR_INVALID_OPR);
  EXPECT_EQ(pool.DeleteTail(1), ERR_INVALID_OPR);
  // A node still in a list cannot be freed behind the list's back.
  EXPECT_EQ(pool.FreeById(c), ERR_INVALID_OPR);
  EXPECT_EQ(pool.Remove(c), ERR_OK);
  EXPECT_EQ(pool.Remove(c), ERR_INVALID_OPR);
  EXPECT_EQ(pool.FreeById(c), ERR_OK);
}

TEST_F(PoolExtTest, StaleIdentifierIsRefusedAfterReuse) {
  Cvlk_res_node* node = pool.AllocNode();
  const unsigned int old = node->GetId();
  pool.AddToTail(0, old);
  pool.Delete(old);
  while (pool.AllocNode() != node) {
  }
  for (int i = 0; i < 100 && node->GetId() == old; ++i) {
    pool.FreeById(node->GetId());
    while (pool.AllocNode() != node) {
    }
  }
  ASSERT_NE(node->GetId(), old);
  EXPECT_EQ(pool.AddToTail(0, old), ERR_INVALID_PARAM);
  EXPECT_EQ(pool.Delete(old), ERR_INVALID_PARAM);
  EXPECT_EQ(pool.TransferToHead(0, old, 1), ERR_INVALID_OPR);
  EXPECT_EQ(pool.IsInLink(0, old), VLK_FALSE);
}

TEST(PoolExtCheck, ExpiredNodesLeaveTheirListsAndReturn) {
  FakeNodeClock clock;
  Cvlk_resourceExt pool(5, 4, 2);
  for (int i = 0; i < 4; ++i) pool.Add(new Cvlk_res_node(&pool));
  Cvlk_res_node* listed = pool.AllocNode();
  Cvlk_res_node* loose = pool.AllocNode();
  Cvlk_res_node* fresh = pool.AllocNode();
  pool.AddToTail(1, listed->GetId());
  pool.AddToTail(1, fresh->GetId());
  const std::int64_t now = FakeNodeClock::Now();
  listed->SetAllocTime(now - 31);
  loose->SetAllocTime(now - 31);
  fresh->SetAllocTime(now - 30);
  pool.Check(30);
  EXPECT_EQ(pool.GetStateById(listed->GetId()), RES_IDLE);
  EXPECT_EQ(pool.GetStateById(loose->GetId()), RES_IDLE);
  EXPECT_EQ(pool.GetStateById(fresh->GetId()), RES_BUSY);
  EXPECT_EQ(pool.GetNumByLinkIdx(1), 1u);
  EXPECT_EQ(pool.GetHead(1), fresh->GetId());
}

}  // namespace
