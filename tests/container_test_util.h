// Shared helpers of the container tests: a settable node clock and list checks.
#ifndef CONTAINER_TEST_UTIL_H
#define CONTAINER_TEST_UTIL_H

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_container.h"

// A node clock the test moves by hand; installed for the fixture's lifetime.
class FakeNodeClock {
 public:
  FakeNodeClock() {
    Now() = 1000000;
    VlkSetNodeClock(&FakeNodeClock::Read);
  }
  ~FakeNodeClock() { VlkSetNodeClock(nullptr); }
  static std::int64_t& Now() {
    static std::int64_t now = 0;
    return now;
  }

 private:
  static std::int64_t Read() { return Now(); }
};

// Asserts every list invariant and that the list holds exactly `expected`, in order.
inline void ExpectList(const Cvlk_link& list, const std::vector<Cvlk_link_node*>& expected) {
  ASSERT_EQ(list.GetNum(), expected.size());
  if (expected.empty()) {
    EXPECT_EQ(list.GetHead(), nullptr);
    EXPECT_EQ(list.GetTail(), nullptr);
    return;
  }
  EXPECT_EQ(list.GetHead(), expected.front());
  EXPECT_EQ(list.GetTail(), expected.back());
  EXPECT_EQ(list.GetHead()->GetPrev(), nullptr);
  EXPECT_EQ(list.GetTail()->GetNext(), nullptr);
  const Cvlk_link_node* prev = nullptr;
  const Cvlk_link_node* node = list.GetHead();
  for (Cvlk_link_node* want : expected) {
    ASSERT_EQ(node, want);
    EXPECT_EQ(node->GetPrev(), prev);
    EXPECT_EQ(node->GetLinkId(), list.GetId());
    prev = node;
    node = node->GetNext();
  }
  EXPECT_EQ(node, nullptr);
}

inline void ExpectFree(const Cvlk_link_node& node) {
  EXPECT_EQ(node.GetLinkId(), 0u);
  EXPECT_EQ(node.GetNext(), nullptr);
  EXPECT_EQ(node.GetPrev(), nullptr);
}

#endif  // CONTAINER_TEST_UTIL_H
