// Result codes and the identifier generator.
#include <climits>

#include <gtest/gtest.h>

#include "vlk_base.h"

// Runs first in this binary (tests run in declaration order): the counter is fresh.
TEST(GlobalObjId, FreshLibraryStartsAt0x10002AndWrapsTo0x10001) {
  EXPECT_EQ(VlkGetGlobalObjID(), 0x10002u);
  VlkSetGlobalObjIDCounter(UINT_MAX);
  EXPECT_EQ(VlkGetGlobalObjID(), 0x10001u);
  Cvlk_obj a;
  auto* b = new Cvlk_obj(7, &a);  // owned by a: the leak checker sees it go
  a.SetRandId();
  b->SetRandId();
  EXPECT_EQ(b->GetId(), a.GetId() + 1);
}

TEST(ErrNoToStr, KnownNamesAndUnknownValuesInUnsignedDecimal) {
  EXPECT_STREQ(VlkErrNoToStr(ERR_OUT_OF_MEMORY), "ERR_OUT_OF_MEMORY");
  EXPECT_STREQ(VlkErrNoToStr(static_cast<EerrNo>(16)), "ERR_INVALID_ADDRESS");
  EXPECT_STREQ(VlkErrNoToStr(static_cast<EerrNo>(17)), "Unknown(17)");
  EXPECT_STREQ(VlkErrNoToStr(static_cast<EerrNo>(UINT_MAX)), "Unknown(4294967295)");
}
