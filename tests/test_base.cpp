// Result codes, the base object, the identifier generator and the heap functions.
#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "vlk_base.h"

// Runs first in this binary (tests run in declaration order): the counter is fresh.
TEST(GlobalObjId, FreshLibraryStartsAt0x10002AndWrapsTo0x10001) {
  EXPECT_EQ(VlkGetGlobalObjID(), 0x10002u);
  EXPECT_EQ(VlkGetGlobalObjID(), 0x10003u);
  VlkSetGlobalObjIDCounter(UINT_MAX);
  EXPECT_EQ(VlkGetGlobalObjID(), 0x10001u);
  EXPECT_EQ(VlkGetGlobalObjID(), 0x10002u);
}

TEST(GlobalObjId, SetRandIdGivesConsecutiveIdentifiers) {
  Cvlk_obj a;
  auto* b = new Cvlk_obj(7, &a);  // owned by a: the leak checker sees it go
  a.SetRandId();
  b->SetRandId();
  EXPECT_EQ(b->GetId(), a.GetId() + 1);
  EXPECT_GT(a.GetId(), 0x10000u);
}

TEST(ErrNoToStr, KnownNamesAndUnknownValuesInUnsignedDecimal) {
  EXPECT_STREQ(VlkErrNoToStr(ERR_OK), "ERR_OK");
  EXPECT_STREQ(VlkErrNoToStr(ERR_OUT_OF_MEMORY), "ERR_OUT_OF_MEMORY");
  EXPECT_STREQ(VlkErrNoToStr(static_cast<EerrNo>(16)), "ERR_INVALID_ADDRESS");
  EXPECT_STREQ(VlkErrNoToStr(static_cast<EerrNo>(17)), "Unknown(17)");
  EXPECT_STREQ(VlkErrNoToStr(static_cast<EerrNo>(UINT_MAX)), "Unknown(4294967295)");
}

TEST(Memory, AllocZeroesReallocKeepsPrefixFreeIgnoresNull) {
  auto* p = static_cast<unsigned char*>(VlkMemAlloc(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0) << i;
  VlkMemFree(p);
  VlkMemFree(nullptr);

  auto* q = static_cast<unsigned char*>(VlkMemAlloc(4));
  const unsigned char init[4] = {1, 2, 3, 4};
  VlkMemCopy(q, init, 4);
  q = static_cast<unsigned char*>(VlkMemReAlloc(q, 8));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(std::memcmp(q, init, 4), 0);
  VlkMemReset(q, 4);
  EXPECT_EQ(q[0] | q[1] | q[2] | q[3], 0);
  VlkMemFree(q);

  VlkDebug("%s %d %p", "dropped", 1, static_cast<void*>(nullptr));
}
