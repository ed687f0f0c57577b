// Byte-string queues, counters and bit sets.
#include <climits>
#include <cstring>
#include <memory>

#include "container_test_util.h"

namespace {

TEST(BufLink, QueuesZeroTerminatedCopiesInOrder) {
  Cvlk_buf_link queue;
  char text[] = "abc";
  EXPECT_EQ(queue.saveToBuf(text, 3), ERR_OK);
  text[0] = 'X';  // the queue holds its own copy
  EXPECT_EQ(queue.saveToBuf(nullptr, 0), ERR_OK);
  EXPECT_EQ(queue.saveToBuf(nullptr, 5), ERR_INVALID_PARAM);
  EXPECT_EQ(queue.saveToBuf(text, UINT_MAX), ERR_INVALID_PARAM);  // len + 1 would wrap
  std::unique_ptr<Cvlk_buf_node> first(queue.getBuf()), second(queue.getBuf());
  EXPECT_EQ(queue.getBuf(), nullptr);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->getBufSize(), 4u);
  EXPECT_EQ(std::memcmp(first->getBuf(), "abc\0", 4), 0);
  EXPECT_EQ(second->getBufSize(), 1u);
  EXPECT_EQ(second->getBuf()[0], 0);
  EXPECT_EQ(first->saveToBuf("hi", 2), ERR_OK);  // replaces, the leak checker sees no loss
  EXPECT_STREQ(reinterpret_cast<const char*>(first->getBuf()), "hi");
}

// Regression: nodes still queued when the queue died were leaked.
TEST(BufLink, DestructionDeletesQueuedNodes) {
  static int deaths = 0;
  struct CountedBufNode : Cvlk_buf_node {
    ~CountedBufNode() override { ++deaths; }
  };
  {
    Cvlk_buf_link queue;
    queue.AddToTail(new CountedBufNode);
    queue.AddToTail(new CountedBufNode);
  }
  EXPECT_EQ(deaths, 2);
}

TEST(Counter, IndexLimits) {
  Cvlk_counter counter(10, 33);
  counter.Inc(9);
  counter.Inc(10);
  counter.Dec(0);  // wraps
  EXPECT_EQ(counter.Get(9), 1u);
  EXPECT_EQ(counter.Get(10), 0u);
  EXPECT_EQ(counter.Get(0), UINT_MAX);
  counter.ClearAll();
  EXPECT_EQ(counter.Get(0), 0u);
  // Regression: count 0 made the index limit 2^32-1, so every index was "valid".
  Cvlk_counter none(0);
  none.Inc(0);
  EXPECT_EQ(none.Get(0), 0u);
}

TEST(ResourceCounter, HighWaterMark) {
  Cvlk_resource_counter rc;
  for (int step : {1, 1, -1}) step > 0 ? rc.inc() : rc.dec();
  EXPECT_EQ(rc.getMaxCnt(), 2u);
  rc.reset();
  EXPECT_EQ(rc.getMaxCnt(), 1u);
  for (int i = 0; i < 2; ++i) rc.dec();  // never below 0
  EXPECT_EQ(rc.getCurrCnt(), 0u);
}

TEST(BitSet, LayoutLimitsAndConversions) {
  Cvlk_bit_set bits;
  EXPECT_EQ(bits.Set(0), ERR_OK);
  EXPECT_EQ(bits.ConvertToU32(), 1u);
  EXPECT_EQ(bits.Set(7), ERR_OK);
  EXPECT_EQ(bits.Set(63), ERR_OK);
  EXPECT_EQ(bits.Set(64), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(bits.Check(64), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(bits.Check(1), ERR_FAIL);
  unsigned char raw[8];
  std::memcpy(raw, &bits, sizeof raw);
  EXPECT_EQ(raw[0], 0x81);  // flag 0 is the byte's most significant bit, flag 7 its least
  EXPECT_EQ(raw[7], 0x01);
  bits.ConvertFromU32(0x80000001u);
  EXPECT_EQ(bits.Check(31), ERR_OK);
  EXPECT_EQ(bits.Check(63), ERR_FAIL);
  EXPECT_EQ(bits.ConvertToU32(), 0x80000001u);
  Cvlk_bit32 word;
  word.set(33);
  EXPECT_EQ(word.value(), 2u);
}

}  // namespace
