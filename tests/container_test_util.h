// Shared helpers of the container tests: a settable node clock and a list check.
#ifndef CONTAINER_TEST_UTIL_H
#define CONTAINER_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_container.h"

// Installs a node clock that only the test moves, for the holder's lifetime.
struct FakeNodeClock {
  FakeNodeClock() {
    now = 1000000;
    VlkSetNodeClock([] { return now; });
  }
  ~FakeNodeClock() { VlkSetNodeClock(nullptr); }
  static inline std::int64_t now = 0;
};

// Checks every list invariant and that the list holds exactly `want`, in order.
inline void ExpectList(const Cvlk_link& list, const std::vector<Cvlk_link_node*>& want) {
  ASSERT_EQ(list.GetNum(), want.size());
  EXPECT_EQ(list.GetHead(), want.empty() ? nullptr : want.front());
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
template <typename Pool>
std::string States(const Pool& pool, const std::vector<unsigned int>& ids) {
  std::string out;
  for (unsigned int id : ids) {
    const Evlk_res_state state = pool.GetStateById(id);
    out += state == RES_BUSY ? 'B' : state == RES_IDLE ? 'I' : 'x';
  }
  return out;
}

#endif  // CONTAINER_TEST_UTIL_H
