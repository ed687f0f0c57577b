// The string classes: where the fixed-capacity ones and the proxy over a
// caller's buffer cut and where they refuse, the heap string's exact growth,
// views that must not be read past their length, and the telephone-number record.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

std::string Rep(char c, std::size_t n) { return std::string(n, c); }

TEST(TmpStr, SetCutsAt1499AppendStopsAt1498AndRefusalsChangeNothing) {
  Cvlk_tmp_str s;
  ASSERT_EQ(ERR_OK, s.set("%s-%d", "abc", 7));
  EXPECT_STREQ("abc-7", reinterpret_cast<const char*>(&s));  // the object is its text
  EXPECT_EQ(ERR_OK, s.set("%s", Rep('z', 2000).c_str()));
  EXPECT_EQ(Rep('z', 1499), s.c_str());
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(Rep('a', 1500).c_str(), 1500));
  EXPECT_EQ(0, s.getStrLen());
  s.set("keep");
  const char* noFormat = "";  // refusing a missing format is the point here
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  EXPECT_EQ(ERR_INVALID_PARAM, s.set(noFormat));
  EXPECT_EQ(ERR_INVALID_PARAM, s.set(nullptr));
#pragma GCC diagnostic pop
  EXPECT_STREQ("keep", s.c_str());
  s.init(Rep('b', 1000).c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", Rep('c', 499).c_str()));
  EXPECT_EQ(Rep('b', 1000), s.c_str());
  EXPECT_EQ(ERR_OK, s.append("%s", Rep('c', 498).c_str()));
  EXPECT_EQ(Rep('b', 1000) + Rep('c', 498), s.c_str());
  s.set("%s", Rep('d', 1499).c_str());  // full from set: not even "" fits
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", ""));
  s.set("x=");
  EXPECT_EQ(ERR_OK, s.append(Cvlk_buf_str("valueTAIL", 5)));
  EXPECT_STREQ("x=value", s.c_str());
  char buf[10];  // the proxy's capacity is the caller's buffer
  Cvlk_tmp_str_proxy p(buf, sizeof(buf));
  EXPECT_EQ(ERR_OK, p.set("abcdefghijkl"));
  EXPECT_STREQ("abcdefghi", buf);
  EXPECT_EQ(ERR_OUT_OF_MEMORY, p.append("%c", 'x'));
}

TEST(HeapStr, GrowsToExactlyTheNeedPlusFourAndOwnsItsBuffer) {
  Cvlk_str full;
  full.append(Rep('c', 127).c_str());  // 127 and the NUL: no growth yet
  EXPECT_EQ(128, full.getSize());
  full.append("d");
  EXPECT_EQ(132, full.getSize());
  Cvlk_str v(4);
  EXPECT_EQ(ERR_OK, v.init(Cvlk_buf_str("abcdXYZ", 4)));
  EXPECT_EQ(8, v.getSize());
  // A length no signed 32-bit size can hold is refused before anything is read.
  EXPECT_EQ(ERR_OUT_OF_MEMORY, v.init(Cvlk_buf_str("x", 0x80000000u)));
  EXPECT_STREQ("abcd", v.c_str());
  Cvlk_str a, c(0);
  a.init(Rep('x', 300).c_str());
  c = a;
  a.init("gone");
  EXPECT_EQ(Rep('x', 300), c.c_str());  // copies own their buffers
  Cvlk_str s(8);
  s.init("abcdef");
  EXPECT_EQ(ERR_OK, s.append(s));
  EXPECT_EQ(ERR_OK, s.append(s.c_str() + 9));  // the source moves with the buffer
  EXPECT_STREQ("abcdefabcdefdef", s.c_str());
}

// Bytes in a heap block of exactly their size: ASan faults on any read beyond.
// An argument shorter than the count never matches, and is not read past its
// NUL, even where the bytes behind it would match the view.
TEST(BufStr, NothingIsReadPastTheViewOrTheArgument) {
  const char text[] = "GET /index HTTP/1.1";
  const unsigned n = sizeof(text) - 1;
  char* bytes = static_cast<char*>(std::malloc(n));
  std::memcpy(bytes, text, n);
  Cvlk_buf_str v(bytes, n);
  EXPECT_EQ(VLK_FALSE, v.hasStr("1.10"));
  EXPECT_EQ(VLK_TRUE, v.hasStr("1.1"));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.skipAtChar('#'));
  EXPECT_EQ(VLK_TRUE, v.endWith("1.1", 3));
  EXPECT_EQ(VLK_TRUE, v.beginWith("GET", 3));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("GET /index HTTP/1.1x", v));
  std::free(bytes);
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str("abcabc", 3).hasStr("ca"));  // a hit must end inside
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str("ab\0cd", 5).hasStr("cd"));  // a NUL ends the text
  const char zeroed[] = "ab\0d";
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str(zeroed, 4).beginWith(zeroed, 4));
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str(zeroed, 3).endWith(zeroed, 3));
  EXPECT_EQ(VLK_FALSE, Cvlk_buf_str("ab ", 3).beginWith("ab ", 4));
  EXPECT_EQ(VLK_TRUE, Cvlk_buf_str("ab ", 3).beginWith("abX", 2));
}

Cphone_number Number(const char* digits) {
  Cphone_number n;
  n.Init();
  n.SetNbr(digits);
  return n;
}

TEST(Phone, CapacityPrefixesAndCuts) {
  Cphone_number n = Number(Rep('7', 40).c_str());
  EXPECT_EQ(32, n.length);
  EXPECT_EQ(Rep('7', 32), n.digits);
  EXPECT_EQ(ERR_INVALID_OPR, n.Append('1'));
  EXPECT_EQ(ERR_INVALID_OPR, n.AddPrefix("0"));
  Cphone_number k = Number("123");
  EXPECT_EQ(ERR_INVALID_OPR, k.Append(30, Rep('0', 30).c_str()));
  EXPECT_EQ(ERR_OK, k.Append(29, Rep('0', 29).c_str()));
  EXPECT_EQ(32, k.length);
  Cphone_number p = Number("0123");
  Cphone_number z = Number("0");
  z.Append(2, "\0" "9");  // digits '0', NUL, '9'
  EXPECT_EQ(VLK_FALSE, z.HasPrefix(3, "0\0" "9"));  // p ends before n: no match, nothing read behind it
  EXPECT_EQ(ERR_INVALID_OPR, p.RemovePrefix("9"));
  EXPECT_EQ(ERR_INVALID_OBJ, p.RemovePrefix("012345"));
  EXPECT_EQ(ERR_OK, p.RemovePrefix("01"));
  EXPECT_STREQ("23", p.digits);
  p.attr1 = 7;
  EXPECT_EQ(ERR_OK, p.AddPrefix("00"));
  EXPECT_STREQ("0023", p.digits);
  EXPECT_EQ(0, p.attr1);  // the record is rebuilt
  Cphone_number t = Number("12345");
  t.CutTail(2);
  EXPECT_STREQ("123", t.digits);
  t.CutTail(3);
  const Cphone_number zero{};
  EXPECT_EQ(0, std::memcmp(&t, &zero, sizeof t));
}

}  // namespace
