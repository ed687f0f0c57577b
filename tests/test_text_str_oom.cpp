// Cvlk_str when the heap refuses. This program replaces the library's heap entry
// points (the executable's definitions take precedence) to refuse on demand.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {
bool g_refuse = false;
int g_reallocs = 0;
}  // namespace

extern "C" {
void* VlkMemAlloc(std::size_t size) { return g_refuse ? nullptr : std::calloc(1, size == 0 ? 1 : size); }
void* VlkMemReAlloc(void* block, std::size_t size) {
  ++g_reallocs;
  return g_refuse ? nullptr : std::realloc(block, size == 0 ? 1 : size);
}
}  // extern "C"

namespace {

TEST(HeapRefusal, TheOldTextStaysAndTheFailureIsReported) {
  Cvlk_str s(8);
  ASSERT_EQ(ERR_OK, s.append("abc"));
  const int before = g_reallocs;
  g_refuse = true;
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("defghijkl"));
  ASSERT_GT(g_reallocs, before) << "the library does not call the replaced VlkMemReAlloc";
  EXPECT_STREQ("abc", s.c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.init(Cvlk_buf_str("0123456789", 10)));
  EXPECT_STREQ("abc", s.c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, VlkQStringToCStr(QString(100, QLatin1Char('z')), &s));
  EXPECT_STREQ("", s.c_str());  // VlkQStringToCStr empties before it appends
  s.init();
  EXPECT_EQ(ERR_OK, s.append("1234567"));  // fits without growing
  Cvlk_str none;  // construction without memory: an empty string
  EXPECT_EQ(nullptr, none.c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, none.append("x"));
  g_refuse = false;
  EXPECT_EQ(ERR_OK, s.append("89"));
  EXPECT_STREQ("123456789", s.c_str());
  EXPECT_EQ(13, s.getSize());
}

}  // namespace
