// Byte-string queues, fixed blocks, counters and bit sets.
#include <climits>
#include <cstring>
#include <memory>

#include "container_test_util.h"

namespace {

TEST(Buf, BlockIsZeroFilledAndLengthStartsAtZero) {
  Cvlk_buf buf(16);
  EXPECT_EQ(buf.getSize(), 16u);
  EXPECT_EQ(buf.getLength(), 0u);
  ASSERT_NE(buf.getData(), nullptr);
  for (unsigned int i = 0; i < 16; ++i) EXPECT_EQ(buf.getData()[i], 0);
  buf.setLength(40);
  EXPECT_EQ(buf.getLength(), 16u);
}

TEST(BufLink, SavedBytesAreCopiedAndZeroTerminated) {
  Cvlk_buf_link queue;
  char text[] = "abc";
  EXPECT_EQ(queue.saveToBuf(text, 3), ERR_OK);
  text[0] = 'X';  // the queue holds its own copy
  EXPECT_EQ(queue.saveToBuf(nullptr, 0), ERR_OK);
  EXPECT_EQ(queue.GetNum(), 2u);
  std::unique_ptr<Cvlk_buf_node> first(queue.getBuf());
  std::unique_ptr<Cvlk_buf_node> second(queue.getBuf());
  EXPECT_EQ(queue.getBuf(), nullptr);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->getBufSize(), 4u);
  EXPECT_EQ(std::memcmp(first->getBuf(), "abc\0", 4), 0);
  ExpectFree(*first);
  EXPECT_EQ(second->getBufSize(), 1u);
  EXPECT_EQ(second->getBuf()[0], 0);
}

TEST(BufLink, UnsafeLengthsAreRefusedAndNothingIsQueued) {
  Cvlk_buf_link queue;
  char byte = 'a';
  EXPECT_EQ(queue.saveToBuf(nullptr, 5), ERR_INVALID_PARAM);
  EXPECT_EQ(queue.saveToBuf(&byte, UINT_MAX), ERR_INVALID_PARAM);  // len + 1 would wrap
  EXPECT_EQ(queue.GetNum(), 0u);
}

TEST(BufNode, SecondSaveReplacesTheFirst) {
  Cvlk_buf_node node;
  EXPECT_EQ(node.getBuf(), nullptr);
  EXPECT_EQ(node.getBufSize(), 0u);
  EXPECT_EQ(node.saveToBuf("hello", 5), ERR_OK);
  EXPECT_EQ(node.saveToBuf("hi", 2), ERR_OK);  // the first block is freed (leak checker)
  EXPECT_EQ(node.getBufSize(), 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(node.getBuf()), "hi");
}

// Regression: nodes still queued when the queue dies used to be leaked.
TEST(BufLink, DestructionDeletesQueuedNodes) {
  static int deaths = 0;
  struct CountedBufNode : Cvlk_buf_node {
    ~CountedBufNode() override { ++deaths; }
  };
  {
    Cvlk_buf_link queue;
    queue.AddToTail(new CountedBufNode);
    queue.AddToTail(new CountedBufNode);
    queue.saveToBuf("x", 1);
  }
  EXPECT_EQ(deaths, 2);
}

TEST(Counter, IndicesAtAndBeyondTheCount) {
  Cvlk_counter counter(10, 33);
  EXPECT_EQ(counter.GetId(), 33u);
  EXPECT_EQ(counter.GetErr(), ERR_OK);
  counter.Inc(9);
  counter.Inc(9);
  counter.Inc(10);
  counter.Dec(10);
  EXPECT_EQ(counter.Get(9), 2u);
  EXPECT_EQ(counter.Get(10), 0u);
  counter.Dec(0);  // wraps
  EXPECT_EQ(counter.Get(0), UINT_MAX);
  counter.Clear(0);
  EXPECT_EQ(counter.Get(0), 0u);
  counter.ClearAll();
  EXPECT_EQ(counter.Get(9), 0u);
}

// Regression: a counter of count 0 took every index as valid (max index 2^32-1).
TEST(Counter, CountZeroHasNoValidIndex) {
  Cvlk_counter counter(0);
  counter.Inc(0);
  counter.Inc(UINT_MAX);
  EXPECT_EQ(counter.Get(0), 0u);
  EXPECT_EQ(counter.Get(UINT_MAX), 0u);
  counter.ClearAll();
}

TEST(ResourceCounter, HighWaterMark) {
  Cvlk_resource_counter rc;
  rc.inc();
  rc.inc();
  rc.dec();
  EXPECT_EQ(rc.getCurrCnt(), 1u);
  EXPECT_EQ(rc.getMaxCnt(), 2u);
  rc.reset();
  EXPECT_EQ(rc.getMaxCnt(), 1u);
  rc.dec();
  rc.dec();
  EXPECT_EQ(rc.getCurrCnt(), 0u);
  Cvlk_resource_counter copy;
  copy = rc;
  EXPECT_EQ(copy.getMaxCnt(), 1u);
}

TEST(BitSet, FlagLayoutAndLimits) {
  Cvlk_bit_set bits;
  EXPECT_EQ(bits.HasSet(), VLK_FALSE);
  EXPECT_EQ(bits.Set(0), ERR_OK);
  EXPECT_EQ(bits.ConvertToU32(), 1u);
  EXPECT_EQ(bits.Check(0), ERR_OK);
  EXPECT_EQ(bits.Check(1), ERR_FAIL);
  EXPECT_EQ(bits.Set(7), ERR_OK);
  unsigned char raw[8];
  static_assert(sizeof(bits) == 8, "64 flags in 8 bytes");
  std::memcpy(raw, &bits, 8);
  EXPECT_EQ(raw[0], 0x81);  // flag 0 is the most significant bit, flag 7 the least
  EXPECT_EQ(bits.Set(63), ERR_OK);
  EXPECT_EQ(bits.Set(64), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(bits.Check(64), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(bits.Clear(64), ERR_OUT_OF_MEMORY);
  std::memcpy(raw, &bits, 8);
  EXPECT_EQ(raw[7], 0x01);
  EXPECT_EQ(bits.Clear(0), ERR_OK);
  EXPECT_EQ(bits.Check(0), ERR_FAIL);
  Cvlk_bit_set copy;
  copy = bits;
  EXPECT_EQ(copy.Check(63), ERR_OK);
  bits.Init();
  EXPECT_EQ(bits.HasSet(), VLK_FALSE);
}

TEST(BitSet, ConvertFromU32ClearsTheHighFlags) {
  Cvlk_bit_set bits;
  bits.Set(40);
  bits.ConvertFromU32(0x80000001u);
  EXPECT_EQ(bits.Check(0), ERR_OK);
  EXPECT_EQ(bits.Check(31), ERR_OK);
  for (unsigned int i = 32; i < 64; ++i) EXPECT_EQ(bits.Check(i), ERR_FAIL) << i;
  EXPECT_EQ(bits.ConvertToU32(), 0x80000001u);
}

TEST(Bit32, BitsWrapModulo32) {
  Cvlk_bit32 bits;
  bits.set(33);
  EXPECT_EQ(bits.value(), 2u);
  EXPECT_EQ(bits.check(1), VLK_TRUE);
  EXPECT_EQ(bits.check(0), VLK_FALSE);
  bits.set(31);
  Cvlk_bit32 copy = bits;
  copy.clear(1);
  EXPECT_EQ(copy.value(), 0x80000000u);
  copy.init();
  EXPECT_EQ(copy.value(), 0u);
}

}  // namespace
