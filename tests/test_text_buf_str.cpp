// Cvlk_buf_str: splitting, hits that must end inside the view, and views over
// unterminated bytes that must not be read past their length.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

std::string Str(const Cvlk_buf_str& v) { return std::string(v.c_str(), v.getStrLen()); }

TEST(BufStr, KeyValueSplitting) {
  const Cvlk_buf_str v("key=value", 9);
  Cvlk_buf_str head, tail, out;
  ASSERT_EQ(ERR_OK, v.seperate("=", head, tail));
  EXPECT_EQ("key", Str(head));
  EXPECT_EQ("=value", Str(tail));  // the separator stays on the tail
  ASSERT_EQ(ERR_OK, v.findChar('=', out));
  EXPECT_EQ("=value", Str(out));
  Cvlk_buf_str a = v, b = v;
  ASSERT_EQ(ERR_OK, a.skipAtChar('='));
  EXPECT_EQ("value", Str(a));
  ASSERT_EQ(ERR_OK, b.cutAtCharFromHead('='));
  EXPECT_EQ("key", Str(b));
  Cvlk_buf_str path("a/b/c", 5);
  ASSERT_EQ(ERR_OK, path.cutAtCharFromTail('/'));
  EXPECT_EQ("a/b", Str(path));
  path.init("a/b/c", 1);
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, path.cutAtCharFromTail('/'));
  EXPECT_EQ("a", Str(path));
  EXPECT_EQ(ERR_INVALID_OBJ, Cvlk_buf_str().cutAtCharFromHead('/'));
}

TEST(BufStr, HitsMustEndInsideTheView) {
  const Cvlk_buf_str v("abcabc", 3);
  Cvlk_buf_str out;
  EXPECT_EQ(VLK_TRUE, v.hasStr("bc"));
  EXPECT_EQ(VLK_FALSE, v.hasStr("ca"));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.findStr("ca", out));
  EXPECT_EQ(ERR_INVALID_OBJ, v.findStr("abcd", out));
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str("ab\0cd", 5).hasStr("cd"));  // a NUL ends the text
}

TEST(BufStr, NoReadPastTheLength) {
  // Bytes in a heap block of exactly their size: ASan faults on any read beyond.
  const char text[] = "GET /index HTTP/1.1";
  const unsigned n = sizeof(text) - 1;
  char* bytes = static_cast<char*>(std::malloc(n));
  std::memcpy(bytes, text, n);
  Cvlk_buf_str v(bytes, n);
  Cvlk_buf_str out, head, tail;
  EXPECT_EQ(VLK_FALSE, v.hasStr("1.10"));
  EXPECT_EQ(VLK_TRUE, v.hasStr("1.1"));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.findStr("xyz", out));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.skipAtChar('#'));
  ASSERT_EQ(ERR_OK, v.seperate(" ", head, tail));
  EXPECT_EQ("GET", Str(head));
  EXPECT_EQ(VLK_TRUE, v.endWith("1.1", 3));
  EXPECT_EQ(VLK_TRUE, VlkIsSameStr(text, v));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("GET /index HTTP/1.1x", v));
  Cvlk_tmp_str t;
  v.toTmpStr(t);
  EXPECT_STREQ(text, t.c_str());
  std::free(bytes);
}

TEST(BufStr, MovingCuttingAndWriting) {
  const char text[] = "  ab cd  ";
  Cvlk_buf_str v(text, 9);
  v.skip(10);
  EXPECT_EQ(0u, v.getStrLen());
  EXPECT_EQ(text, v.c_str());  // the start stays where it was
  EXPECT_EQ('\0', v.getLastChar());
  v.init(text, 9);
  v.skipBlanks();
  v.cutBlanks();
  EXPECT_EQ("ab cd", Str(v));
  v.cutNonBlanks();
  EXPECT_EQ("ab ", Str(v));
  EXPECT_EQ(VLK_FALSE, v.beginWith("ab ", 4));
  EXPECT_EQ(VLK_TRUE, v.beginWith("abX", 2));
  // An argument shorter than k never matches, and nothing behind its end is read,
  // even where those bytes would match the view.
  const char zeroed[] = "ab\0d";
  const Cvlk_buf_str withNul(zeroed, 4);
  EXPECT_EQ(VLK_FALSE, withNul.beginWith(zeroed, 4));
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str(zeroed, 3).endWith(zeroed, 3));
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str("abcdefgh", 8).beginWith("ab", 6));
  char buf[8];
  std::memset(buf, '#', sizeof(buf));
  Cvlk_buf_str w(buf, 0);
  EXPECT_EQ(ERR_INVALID_PARAM, w.copyStr("abc", 0));
  w.copyStr("abcdef", 3);
  w.appendStr("xyz", 2);
  EXPECT_EQ("abcxy", Str(w));
  EXPECT_EQ('#', buf[5]);  // no NUL written
}

}  // namespace
