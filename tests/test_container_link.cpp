// The intrusive list: linking rules, error codes, invariants after every refusal.
#include <memory>

#include "container_test_util.h"

namespace {

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() {
    for (unsigned int i = 0; i < 5; ++i) nodes.push_back(std::make_unique<Cvlk_link_node>(100 + i));
  }
  Cvlk_link_node* n(int i) { return nodes[i].get(); }

  Cvlk_link list;
  Cvlk_link other;
  std::vector<std::unique_ptr<Cvlk_link_node>> nodes;
};

TEST_F(LinkTest, ListsHaveDistinctNonZeroIdentifiers) {
  EXPECT_NE(list.GetId(), 0u);
  EXPECT_NE(list.GetId(), other.GetId());
  ExpectList(list, {});
}

TEST_F(LinkTest, AddToTailThenRemoveHeadOfOneNode) {
  EXPECT_EQ(list.AddToTail(n(0)), ERR_OK);
  ExpectList(list, {n(0)});
  EXPECT_EQ(list.RemoveHead(), n(0));
  ExpectList(list, {});
  ExpectFree(*n(0));
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_EQ(list.RemoveTail(), nullptr);
}

TEST_F(LinkTest, HeadAndTailAddsKeepOrder) {
  EXPECT_EQ(list.AddToTail(n(1)), ERR_OK);
  EXPECT_EQ(list.AddToHead(n(0)), ERR_OK);
  EXPECT_EQ(list.AddToTail(n(2)), ERR_OK);
  ExpectList(list, {n(0), n(1), n(2)});
  EXPECT_EQ(list.RemoveTail(), n(2));
  ExpectFree(*n(2));
  ExpectList(list, {n(0), n(1)});
  EXPECT_EQ(list.RemoveHead(), n(0));
  ExpectList(list, {n(1)});
}

TEST_F(LinkTest, AddingANodeAlreadyHereChangesNothing) {
  list.AddToTail(n(0));
  list.AddToTail(n(1));
  EXPECT_EQ(list.AddToHead(n(1)), ERR_OK);
  EXPECT_EQ(list.AddToTail(n(0)), ERR_OK);
  ExpectList(list, {n(0), n(1)});
}

TEST_F(LinkTest, AddingANodeOfAnotherListIsRefusedAndBothStayIntact) {
  other.AddToTail(n(0));
  list.AddToTail(n(1));
  EXPECT_EQ(list.AddToHead(n(0)), ERR_INVALID_OPR);
  EXPECT_EQ(list.AddToTail(n(0)), ERR_INVALID_OPR);
  EXPECT_EQ(list.AddToTail(nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(list.AddToHead(nullptr), ERR_INVALID_PARAM);
  ExpectList(list, {n(1)});
  ExpectList(other, {n(0)});
}

TEST_F(LinkTest, InsertAndAppendAtEveryPosition) {
  list.AddToTail(n(1));
  list.AddToTail(n(3));
  EXPECT_EQ(list.Insert(n(1), n(0)), ERR_OK);  // before the head: new head
  EXPECT_EQ(list.Append(n(3), n(4)), ERR_OK);  // after the tail: new tail
  EXPECT_EQ(list.Insert(n(3), n(2)), ERR_OK);  // in the middle
  ExpectList(list, {n(0), n(1), n(2), n(3), n(4)});
  EXPECT_EQ(list.Remove(n(2)), ERR_OK);
  EXPECT_EQ(list.Append(n(1), n(2)), ERR_OK);
  ExpectList(list, {n(0), n(1), n(2), n(3), n(4)});
}

TEST_F(LinkTest, EveryFailedInsertLeavesBothListsIntact) {
  list.AddToTail(n(0));
  list.AddToTail(n(1));
  other.AddToTail(n(2));
  for (int append = 0; append < 2; ++append) {
    auto op = [&](Cvlk_link_node* pos, Cvlk_link_node* node) {
      return append ? list.Append(pos, node) : list.Insert(pos, node);
    };
    EXPECT_EQ(op(nullptr, n(3)), ERR_INVALID_PARAM);
    EXPECT_EQ(op(n(0), nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(op(n(2), n(3)), ERR_FAIL);         // pos in another list
    EXPECT_EQ(op(n(4), n(3)), ERR_FAIL);         // pos in no list
    EXPECT_EQ(op(n(0), n(1)), ERR_FAIL);         // node already here
    EXPECT_EQ(op(n(0), n(2)), ERR_INVALID_OPR);  // node in another list
    ExpectList(list, {n(0), n(1)});
    ExpectList(other, {n(2)});
    ExpectFree(*n(3));
  }
}

TEST_F(LinkTest, ExtReportsMisplacedNodesAsInvalidOperation) {
  Cvlk_linkExt ext;
  ext.AddToTail(n(1));
  other.AddToTail(n(2));
  EXPECT_EQ(ext.Insert(n(1), n(0)), ERR_OK);
  EXPECT_EQ(ext.Append(n(1), n(3)), ERR_OK);
  ExpectList(ext, {n(0), n(1), n(3)});
  for (int append = 0; append < 2; ++append) {
    auto op = [&](Cvlk_link_node* pos, Cvlk_link_node* node) {
      return append ? ext.Append(pos, node) : ext.Insert(pos, node);
    };
    EXPECT_EQ(op(n(2), n(4)), ERR_INVALID_OPR);  // pos in another list
    EXPECT_EQ(op(n(0), n(1)), ERR_INVALID_OPR);  // node already here
    EXPECT_EQ(op(n(0), n(2)), ERR_INVALID_OPR);  // node in another list
    EXPECT_EQ(op(nullptr, n(4)), ERR_INVALID_PARAM);
    EXPECT_EQ(op(n(0), nullptr), ERR_INVALID_PARAM);
    ExpectList(ext, {n(0), n(1), n(3)});
    ExpectList(other, {n(2)});
  }
  EXPECT_EQ(ext.Append(n(3), n(4)), ERR_OK);
  ExpectList(ext, {n(0), n(1), n(3), n(4)});
}

TEST_F(LinkTest, RemoveRefusalsAndEveryPosition) {
  EXPECT_EQ(list.Remove(n(0)), ERR_INVALID_OPR);  // empty list
  for (int i = 0; i < 4; ++i) list.AddToTail(n(i));
  other.AddToTail(n(4));
  EXPECT_EQ(list.Remove(nullptr), ERR_INVALID_OPR);
  EXPECT_EQ(list.Remove(n(4)), ERR_INVALID_PARAM);
  ExpectList(other, {n(4)});
  EXPECT_EQ(list.Remove(n(2)), ERR_OK);
  ExpectList(list, {n(0), n(1), n(3)});
  EXPECT_EQ(list.Remove(n(0)), ERR_OK);
  ExpectList(list, {n(1), n(3)});
  EXPECT_EQ(list.Remove(n(3)), ERR_OK);
  ExpectList(list, {n(1)});
  EXPECT_EQ(list.Remove(n(1)), ERR_OK);
  ExpectList(list, {});
  for (int i = 0; i < 4; ++i) ExpectFree(*n(i));
}

TEST_F(LinkTest, SearchByOwnIdentifier) {
  Cvlk_link_node zero(0);
  list.AddToTail(&zero);
  list.AddToTail(n(0));
  list.AddToTail(n(1));
  EXPECT_EQ(list.Search(0), nullptr);
  EXPECT_EQ(list.Search(101), n(1));
  EXPECT_EQ(list.Search(100), n(0));
  EXPECT_EQ(list.Search(999), nullptr);
  EXPECT_EQ(other.Search(100), nullptr);
  list.Remove(&zero);
}

TEST_F(LinkTest, InitForgetsNodesButTheyStillCarryTheId) {
  list.AddToTail(n(0));
  list.AddToTail(n(1));
  list.Init();
  ExpectList(list, {});
  EXPECT_EQ(list.IsInLink(n(0)), VLK_TRUE);
  EXPECT_EQ(list.IsInLink(n(2)), VLK_FALSE);
  EXPECT_EQ(list.IsInLink(nullptr), VLK_FALSE);
}

TEST_F(LinkTest, NodeStepsRefuseIdentifierZeroAndForeignRemoval) {
  EXPECT_EQ(n(0)->Insert(0, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(n(0)->Append(0, nullptr), ERR_INVALID_PARAM);
  ExpectFree(*n(0));
  EXPECT_EQ(n(0)->Insert(77, nullptr), ERR_OK);
  EXPECT_EQ(n(0)->GetLinkId(), 77u);
  EXPECT_EQ(n(0)->Insert(78, nullptr), ERR_INVALID_OPR);
  EXPECT_EQ(n(0)->Remove(78), ERR_INVALID_PARAM);
  EXPECT_EQ(n(0)->Remove(77), ERR_OK);
  ExpectFree(*n(0));
}

TEST_F(LinkTest, CompareIsUnsigned) {
  Cvlk_link_node big(0x80000000u), small(1);
  EXPECT_EQ(big.Compare(&small), 1);
  EXPECT_EQ(small.Compare(&big), -1);
  EXPECT_EQ(small.Compare(&small), 0);
}

TEST(LinkNodeTime, DurationCountsFromTheLastActivity) {
  FakeNodeClock clock;
  Cvlk_link_node node;
  EXPECT_EQ(node.GetAllocTime(), FakeNodeClock::Now());
  FakeNodeClock::Now() += 5;
  EXPECT_EQ(node.GetAllocDuration(), 5u);
  node.SetActive();
  EXPECT_EQ(node.GetAllocDuration(), 0u);
  node.SetAllocTime(FakeNodeClock::Now() - 42);
  EXPECT_EQ(node.GetAllocTime(), FakeNodeClock::Now() - 42);
  EXPECT_EQ(node.GetAllocDuration(), 42u);
  // A clock that went back by 3 seconds gives 2^32 - 3, never a negative value.
  node.SetAllocTime(FakeNodeClock::Now() + 3);
  EXPECT_EQ(node.GetAllocDuration(), 4294967296u - 3u);
}

}  // namespace
