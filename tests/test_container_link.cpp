// The intrusive list: linking rules, exact error codes, invariants after refusals.
#include <memory>

#include "container_test_util.h"

namespace {

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

TEST_F(LinkTest, AddAndRemoveAtBothEnds) {
  EXPECT_EQ(list.AddToTail(n(1)), ERR_OK);  // empty list: head and tail
  ExpectList(list, {n(1)});
  EXPECT_EQ(list.AddToHead(n(0)), ERR_OK);
  EXPECT_EQ(list.AddToTail(n(2)), ERR_OK);
  EXPECT_EQ(list.AddToHead(n(2)), ERR_OK);  // already here: unchanged
  ExpectList(list, {n(0), n(1), n(2)});
  other.AddToTail(n(3));
  EXPECT_EQ(list.AddToTail(n(3)), ERR_INVALID_OPR);  // in another list
  EXPECT_EQ(list.AddToHead(nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(list.Remove(n(3)), ERR_INVALID_PARAM);
  EXPECT_EQ(list.Remove(nullptr), ERR_INVALID_OPR);
  ExpectList(other, {n(3)});
  EXPECT_EQ(list.Remove(n(1)), ERR_OK);
  EXPECT_TRUE(Free(1));
  EXPECT_EQ(list.RemoveTail(), n(2));
  EXPECT_EQ(list.RemoveHead(), n(0));
  EXPECT_TRUE(Free(0) && Free(2));
  ExpectList(list, {});
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_EQ(list.Remove(n(0)), ERR_INVALID_OPR);  // empty list
}

// Position inserts on both list kinds: the same refusals, different codes, and
// both lists intact after each.
TEST_F(LinkTest, PositionInsertsAndEveryRefusal) {
  Cvlk_linkExt ext;
  for (Cvlk_link* l : {&list, static_cast<Cvlk_link*>(&ext)}) {
    const bool isExt = l == &ext;
    auto op = [&](bool append, Cvlk_link_node* pos, Cvlk_link_node* node) {
      if (isExt) return append ? ext.Append(pos, node) : ext.Insert(pos, node);
      return append ? list.Append(pos, node) : list.Insert(pos, node);
    };
    l->AddToTail(n(1));
    EXPECT_EQ(op(false, n(1), n(0)), ERR_OK);  // before the head: new head
    EXPECT_EQ(op(true, n(1), n(2)), ERR_OK);   // after the tail: new tail
    other.AddToTail(n(3));
    const EerrNo misplaced = isExt ? ERR_INVALID_OPR : ERR_FAIL;
    for (bool append : {false, true}) {
      EXPECT_EQ(op(append, nullptr, n(4)), ERR_INVALID_PARAM);
      EXPECT_EQ(op(append, n(0), nullptr), ERR_INVALID_PARAM);
      EXPECT_EQ(op(append, n(3), n(4)), misplaced);  // pos in another list
      EXPECT_EQ(op(append, n(4), n(4)), misplaced);  // pos in no list
      EXPECT_EQ(op(append, n(0), n(1)), misplaced);  // node already here
      EXPECT_EQ(op(append, n(0), n(3)), ERR_INVALID_OPR);  // node in another list
      ExpectList(*l, {n(0), n(1), n(2)});
      ExpectList(other, {n(3)});
      EXPECT_TRUE(Free(4));
    }
    EXPECT_EQ(op(true, n(0), n(4)), ERR_OK);  // in the middle
    ExpectList(*l, {n(0), n(4), n(1), n(2)});
    while (l->RemoveHead() != nullptr) {
    }
    other.Remove(n(3));
  }
}

TEST_F(LinkTest, SearchInitAndIdentifierZero) {
  Cvlk_link_node zero(0);
  list.AddToTail(&zero);
  list.AddToTail(n(0));
  EXPECT_EQ(list.Search(0), nullptr);  // even though a node bears 0
  EXPECT_EQ(list.Search(100), n(0));
  EXPECT_EQ(list.Search(101), nullptr);
  list.Init();  // forgets the nodes, which still carry its identifier
  ExpectList(list, {});
  EXPECT_EQ(list.IsInLink(n(0)), VLK_TRUE);
  // Regression: linking under identifier 0 left a linked node that looked free.
  EXPECT_EQ(n(1)->Insert(0, n(2)), ERR_INVALID_PARAM);
  EXPECT_TRUE(Free(1) && Free(2));
}

TEST(LinkNodeTime, DurationCountsFromTheLastActivity) {
  FakeNodeClock clock;
  Cvlk_link_node node;
  FakeNodeClock::now += 5;
  EXPECT_EQ(node.GetAllocDuration(), 5u);
  node.SetActive();
  EXPECT_EQ(node.GetAllocDuration(), 0u);
  node.SetAllocTime(FakeNodeClock::now + 3);  // clock went back: unsigned, never negative
  EXPECT_EQ(node.GetAllocDuration(), 4294967296u - 3u);
}

}  // namespace
