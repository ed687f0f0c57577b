// Cvlk_str when the heap refuses: the library's allocation entry points are
// replaced in this program (the executable's definitions take precedence over the
// library's), so growth can be refused on demand.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

bool g_refuse = false;
int g_reallocs = 0;
int g_allocs = 0;

}  // namespace

extern "C" {

void* VlkMemAlloc(std::size_t size) {
  ++g_allocs;
  return g_refuse ? nullptr : std::calloc(1, size == 0 ? 1 : size);
}

void* VlkMemReAlloc(void* block, std::size_t size) {
  ++g_reallocs;
  return g_refuse ? nullptr : std::realloc(block, size == 0 ? 1 : size);
}

}  // extern "C"

namespace {

class HeapRefusal : public ::testing::Test {
 protected:
  void TearDown() override { g_refuse = false; }
};

TEST_F(HeapRefusal, TheSeamReachesTheLibrary) {
  const int before = g_reallocs;
  Cvlk_str s(4);
  s.append("longer than four");
  ASSERT_GT(g_reallocs, before) << "the library does not call the replaced VlkMemReAlloc";
}

TEST_F(HeapRefusal, AppendKeepsTheOldTextAndReportsIt) {
  Cvlk_str s(8);
  ASSERT_EQ(ERR_OK, s.append("abc"));
  g_refuse = true;
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("defghijkl"));
  EXPECT_STREQ("abc", s.c_str());
  EXPECT_EQ(8, s.getSize());
  EXPECT_EQ(ERR_OK, s.append("de"));  // fits without growing
  EXPECT_STREQ("abcde", s.c_str());
  g_refuse = false;
  EXPECT_EQ(ERR_OK, s.append("fghijkl"));
  EXPECT_STREQ("abcdefghijkl", s.c_str());
}

TEST_F(HeapRefusal, InitFromViewAndAssignmentKeepTheOldText) {
  Cvlk_str s(4);
  s.init("abc");
  const std::string big(100, 'z');
  g_refuse = true;
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.init(Cvlk_buf_str(big.c_str(), 100)));
  EXPECT_STREQ("abc", s.c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, VlkQStringToCStr(QString::fromStdString(big), &s));
  EXPECT_EQ(4, s.getSize());
}

TEST_F(HeapRefusal, ConstructionWithoutMemoryGivesAnEmptyString) {
  g_refuse = true;
  Cvlk_str s;
  EXPECT_EQ(nullptr, s.c_str());
  EXPECT_EQ(0, s.getStrLen());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("x"));
  EXPECT_FALSE(s.equal("x"));
  g_refuse = false;
  EXPECT_EQ(ERR_OK, s.append("x"));
  EXPECT_STREQ("x", s.c_str());
  EXPECT_EQ(5, s.getSize());
}

}  // namespace
