// The string classes: where the fixed-capacity ones cut and where they refuse,
// the proxy over a caller's buffer, and the heap string's exact growth.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

std::string Rep(char c, std::size_t n) { return std::string(n, c); }

TEST(TmpStr, InitAndSetCutAt1499AndRefuseNoText) {
  Cvlk_tmp_str s;
  ASSERT_EQ(ERR_OK, s.set("%s-%d", "abc", 7));
  EXPECT_STREQ("abc-7", reinterpret_cast<const char*>(&s));  // the object is its text
  EXPECT_EQ(ERR_OK, s.set("%s", Rep('z', 2000).c_str()));
  EXPECT_EQ(Rep('z', 1499), s.c_str());
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(Rep('a', 1500).c_str(), 1500));
  EXPECT_EQ(0, s.getStrLen());
  EXPECT_EQ(ERR_OK, s.init(Rep('a', 1500).c_str()));
  EXPECT_EQ(1499, s.getStrLen());
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(""));  // refused, and emptied
  EXPECT_STREQ("", s.c_str());
  s.set("keep");
  const char* noFormat = "";  // refusing a missing format is the point here
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  EXPECT_EQ(ERR_INVALID_PARAM, s.set(noFormat));
  EXPECT_EQ(ERR_INVALID_PARAM, s.set(nullptr));
#pragma GCC diagnostic pop
  EXPECT_STREQ("keep", s.c_str());
  EXPECT_EQ(ERR_OK, s.set("%s", ""));  // empty output is a success
  EXPECT_EQ(0, s.getStrLen());
}

TEST(TmpStr, AppendStopsAt1498AndARefusalChangesNothing) {
  Cvlk_tmp_str s;
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", Rep('a', 1499).c_str()));
  EXPECT_EQ(ERR_OK, s.append("%s", Rep('a', 1498).c_str()));
  EXPECT_EQ(1498, s.getStrLen());
  s.init(Rep('b', 1000).c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", Rep('c', 499).c_str()));
  EXPECT_EQ(Rep('b', 1000), s.c_str());
  EXPECT_EQ(ERR_OK, s.append("%s", Rep('c', 498).c_str()));
  EXPECT_EQ(Rep('b', 1000) + Rep('c', 498), s.c_str());
  s.set("%s", Rep('d', 1499).c_str());  // full from set: not even "" fits
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", ""));
  const char text[] = "valueTAIL";
  s.set("x=");
  EXPECT_EQ(ERR_OK, s.append(Cvlk_buf_str(text, 5)));
  EXPECT_STREQ("x=value", s.c_str());
}

TEST(TmpStr, CutEqualityAndSearches) {
  Cvlk_tmp_str s;
  s.set("abxxx");
  s.cut('x');
  EXPECT_STREQ("ab", s.c_str());
  EXPECT_EQ(2, s.getStrLen());
  s.set("xxx");
  s.cut('x');
  EXPECT_EQ(0, s.getStrLen());
  EXPECT_FALSE(s.equal(""));  // an empty string equals nothing
  EXPECT_FALSE(s == s);
  EXPECT_FALSE(s.hasPrefix(""));
  s.set("Hello");
  EXPECT_TRUE(s == "hello");
  EXPECT_FALSE(s.equal("Hell"));
  EXPECT_TRUE(s.hasPrefix(""));
  EXPECT_FALSE(s.hasPrefix("he"));
  EXPECT_TRUE(s.hasString("ll"));
  EXPECT_FALSE(s.hasString("LL"));
  EXPECT_FALSE(s.hasString("Hello!"));
}

TEST(TmpStrProxy, CapacityIsTheCallersBuffer) {
  char buf[10];
  std::memset(buf, 'q', sizeof(buf));
  Cvlk_tmp_str_proxy p(buf, sizeof(buf));
  EXPECT_EQ(0, buf[9]);
  EXPECT_EQ(ERR_OK, p.set("abcdefghijkl"));
  EXPECT_STREQ("abcdefghi", buf);
  EXPECT_EQ(ERR_OUT_OF_MEMORY, p.append("%c", 'x'));
  EXPECT_EQ(9, p.getStrLen());
  p.init();
  EXPECT_EQ(ERR_OUT_OF_MEMORY, p.append("%s", "0123456789"));
  EXPECT_EQ(ERR_OK, p.append("%s", "012345678"));
  Cvlk_tmp_str_proxy copy = p;  // copies write into the same buffer
  copy.init();
  EXPECT_STREQ("", p.c_str());
  Cvlk_tmp_str_proxy none(nullptr, 10);
  EXPECT_EQ(ERR_INVALID_OBJ, none.set("abc"));
  EXPECT_EQ(ERR_OUT_OF_MEMORY, none.append("%s", "a"));
}

TEST(HeapStr, GrowsToExactlyTheNeedPlusFour) {
  Cvlk_str none(0);
  EXPECT_EQ(nullptr, none.c_str());
  EXPECT_EQ(ERR_OK, none.append("abc"));
  EXPECT_EQ(7, none.getSize());
  Cvlk_str s;
  s.init(Rep('a', 100).c_str());
  EXPECT_EQ(ERR_OK, s.append(Rep('b', 40).c_str()));
  EXPECT_EQ(144, s.getSize());
  EXPECT_EQ(Rep('a', 100) + Rep('b', 40), s.c_str());
  Cvlk_str full;
  full.append(Rep('c', 127).c_str());  // 127 and the NUL: no growth yet
  EXPECT_EQ(128, full.getSize());
  Cvlk_str v(4);
  EXPECT_EQ(ERR_OK, v.init(Cvlk_buf_str("abcdXYZ", 3)));
  EXPECT_EQ(4, v.getSize());
  EXPECT_EQ(ERR_OK, v.init(Cvlk_buf_str("abcdXYZ", 4)));
  EXPECT_EQ(8, v.getSize());
  EXPECT_STREQ("abcd", v.c_str());
  // A length no signed 32-bit size can hold is refused before anything is read.
  EXPECT_EQ(ERR_OUT_OF_MEMORY, v.init(Cvlk_buf_str("x", 0x80000000u)));
  EXPECT_STREQ("abcd", v.c_str());
}

TEST(HeapStr, CopiesOwnTheirBuffersAndSelfAppendSurvivesGrowth) {
  Cvlk_str a;
  a.init(Rep('x', 300).c_str());
  Cvlk_str b(a);
  Cvlk_str c(0);
  c = a;
  a.init("gone");
  EXPECT_EQ(Rep('x', 300), b.c_str());
  EXPECT_EQ(Rep('x', 300), c.c_str());
  Cvlk_str s(8);
  s.init("abcdef");
  EXPECT_EQ(ERR_OK, s.append(s));
  EXPECT_EQ(ERR_OK, s.append(s.c_str() + 9));  // the source moves with the buffer
  EXPECT_STREQ("abcdefabcdefdef", s.c_str());
  EXPECT_TRUE(s.equal("ABC"));  // equality: begins with, ignoring case
  EXPECT_FALSE(s.equal(Rep('a', 20).c_str()));
  EXPECT_FALSE(s.equal(""));
}

TEST(QStringConversions, CutRefuseOrKeep) {
  Cvlk_tmp_str t;
  EXPECT_EQ(ERR_OK, VlkQStringToTmpStr(QString(2000, QLatin1Char('w')), &t));
  EXPECT_EQ(1499, t.getStrLen());
  char buf[6];
  Cvlk_tmp_str_proxy p(buf, sizeof(buf));
  EXPECT_EQ(ERR_OK, VlkQStringToTmpStrPxy(QStringLiteral("abcdef"), &p));  // did not fit
  EXPECT_EQ(0, p.getStrLen());
  Cvlk_str c;
  c.init("old");
  EXPECT_EQ(ERR_OK, VlkQStringToCStr(QString(), &c));
  EXPECT_STREQ("old", c.c_str());
  EXPECT_EQ(ERR_INVALID_PARAM, VlkQStringToTmpStr(QStringLiteral("a"), nullptr));
}

}  // namespace
