// The multi-list pool: placement, transfers and deletion by identifier.
#include "container_test_util.h"

namespace {

class PoolExtTest : public ::testing::Test {
 protected:
  PoolExtTest() : pool(5, 6, 3) {
    for (int i = 0; i < 6; ++i) pool.Add(new Cvlk_res_node(&pool));
    for (unsigned int& id : ids) id = pool.AllocNode()->GetId();
  }
  // Walks list idx from its head node (the lists themselves are private) and
  // checks order, membership, count and tail against `want`.
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

TEST(PoolExt, ListCountLimits) {
  EXPECT_EQ(Cvlk_resourceExt(1, 4, 2049).GetErr(), ERR_INVALID_PARAM);
  EXPECT_EQ(Cvlk_resourceExt(1, 4, 2048).GetErr(), ERR_OK);
  Cvlk_resourceExt none(1, 4, 0);
  none.Add(new Cvlk_res_node(&none));
  const unsigned int id = none.AllocNode()->GetId();
  EXPECT_EQ(none.Remove(id), ERR_INVALID_OPR);
  EXPECT_EQ(none.Delete(id), ERR_INVALID_OPR);
}

TEST_F(PoolExtTest, PlacementAndEveryRefusal) {
  const unsigned int a = ids[0], b = ids[1], c = ids[2];
  const unsigned int idle = pool.GetByIndex(5)->GetId();
  EXPECT_EQ(pool.AddToTail(0, a), ERR_OK);
  EXPECT_EQ(pool.AddToHead(0, b), ERR_OK);
  EXPECT_EQ(pool.Append(0, a, c), ERR_OK);
  Expect(0, {b, a, c});
  pool.AddToTail(1, ids[3]);
  EXPECT_EQ(pool.AddToTail(1, a), ERR_INVALID_OPR);  // in list 0
  EXPECT_EQ(pool.AddToTail(1, idle), ERR_INVALID_OPR);
  EXPECT_EQ(pool.AddToHead(1, a ^ 0x10000u), ERR_INVALID_PARAM);  // stale stamp
  EXPECT_EQ(pool.Insert(1, 0, a), ERR_INVALID_OPR);
  EXPECT_EQ(pool.Insert(1, a, ids[3]), ERR_INVALID_OPR);  // pos in list 0
  EXPECT_EQ(pool.Append(0, a, b), ERR_INVALID_OPR);       // node already there
  for (unsigned int bad : {3u, 0xFFFFFFFFu}) {  // list index at or beyond the count
    EXPECT_EQ(pool.AddToTail(bad, ids[3]), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.Insert(bad, a, ids[3]), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.DeleteHead(bad), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.TransferToTail(0, a, bad), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.TransferAfter(bad, a, 0, b), ERR_INVALID_PARAM);
    EXPECT_EQ(pool.GetHead(bad), 0u);
    EXPECT_EQ(pool.IsInLink(bad, a), VLK_FALSE);
  }
  Expect(0, {b, a, c});
  Expect(1, {ids[3]});
  EXPECT_EQ(pool.Remove(a), ERR_OK);
  EXPECT_EQ(pool.Remove(a), ERR_INVALID_OPR);  // in no list, still handed out
  EXPECT_EQ(States(pool, {a}), "B");
}

TEST_F(PoolExtTest, TransfersMoveOrRefuseWithoutLoss) {
  const unsigned int a = ids[0], b = ids[1], c = ids[2], d = ids[3];
  pool.AddToTail(0, a);
  pool.AddToTail(0, b);
  pool.AddToTail(1, c);
  pool.AddToTail(2, d);
  EXPECT_EQ(pool.TransferToHead(0, c, 1), ERR_INVALID_OPR);  // c is not in list 0
  // Regression: a target position outside the target list used to drop the node
  // out of every list.
  EXPECT_EQ(pool.TransferBefore(0, a, 1, d), ERR_INVALID_OPR);
  EXPECT_EQ(pool.TransferAfter(0, a, 0, a), ERR_INVALID_OPR);  // next to itself
  Expect(0, {a, b});
  Expect(1, {c});
  EXPECT_EQ(pool.TransferBefore(0, a, 1, c), ERR_OK);
  EXPECT_EQ(pool.TransferAfter(0, b, 1, c), ERR_OK);
  EXPECT_EQ(pool.TransferToTail(1, a, 1), ERR_OK);
  EXPECT_EQ(pool.TransferToHead(2, d, 1), ERR_OK);
  Expect(0, {});
  Expect(1, {d, c, b, a});
}

TEST_F(PoolExtTest, DeleteAndStaleIdentifiers) {
  for (unsigned int id : ids) pool.AddToTail(0, id);
  EXPECT_EQ(pool.FreeById(ids[1]), ERR_INVALID_OPR);  // still in a list
  EXPECT_EQ(pool.Delete(ids[1]), ERR_OK);
  EXPECT_EQ(pool.Delete(ids[1]), ERR_INVALID_OPR);
  EXPECT_EQ(pool.DeleteHead(0), ERR_OK);
  EXPECT_EQ(pool.DeleteTail(0), ERR_OK);
  Expect(0, {ids[2]});
  EXPECT_EQ(States(pool, {ids[0], ids[1], ids[2], ids[3]}), "IIBI");
  EXPECT_EQ(pool.DeleteHead(1), ERR_INVALID_OPR);
  // Reuse every idle node until the deleted ones carry new stamps.
  for (int i = 0; i < 100 && pool.GetStateById(ids[1]) != RES_INVALID; ++i) {
    while (Cvlk_res_node* node = pool.AllocNode()) pool.AddToTail(2, node->GetId());
    if (pool.GetStateById(ids[1]) != RES_INVALID) pool.DeleteHead(2);
  }
  EXPECT_EQ(pool.AddToTail(1, ids[1]), ERR_INVALID_PARAM);
  EXPECT_EQ(pool.Delete(ids[1]), ERR_INVALID_PARAM);
  EXPECT_EQ(pool.TransferToHead(2, ids[1], 1), ERR_INVALID_OPR);
}

TEST_F(PoolExtTest, CheckTakesExpiredNodesOutOfTheirLists) {
  FakeNodeClock clock;
  pool.AddToTail(1, ids[0]);
  pool.AddToTail(1, ids[1]);
  for (unsigned int id : ids) pool.GetById(id)->SetAllocTime(FakeNodeClock::now - 30);
  pool.GetById(ids[0])->SetAllocTime(FakeNodeClock::now - 31);
  pool.GetById(ids[2])->SetAllocTime(FakeNodeClock::now - 31);  // in no list
  pool.Check(30);
  EXPECT_EQ(States(pool, {ids[0], ids[1], ids[2], ids[3]}), "IBIB");
  Expect(1, {ids[1]});
}

}  // namespace
