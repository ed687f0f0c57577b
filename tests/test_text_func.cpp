// The character-string functions and the number conversions: the "no text" rule,
// the inverted case naming, quote-aware search, trimming and bounded copies.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

TEST(StrFunc, LengthTests) {
  EXPECT_EQ(1, VlkStrLenZero(nullptr));
  EXPECT_EQ(1, VlkStrLenZero(""));
  EXPECT_EQ(0, VlkStrLenZero("a"));
  EXPECT_EQ(1, VlkQStrLenZero(QString()));
  EXPECT_EQ(0, VlkStrNLen(nullptr, 5));
  EXPECT_EQ(3, VlkStrNLen("abc", 5));
  EXPECT_EQ(2, VlkStrNLen("abc", 2));
  EXPECT_EQ(VLK_TRUE, VlkIsDigit09('7'));
  EXPECT_EQ(VLK_FALSE, VlkIsDigit09('a'));
}

TEST(StrFunc, ComparisonsAreNamedTheOtherWayRound) {
  EXPECT_EQ(0, VlkStrCmp("abcdef", "ABC"));
  EXPECT_NE(0, VlkStrCmp("abc", "abcdef"));
  EXPECT_NE(0, VlkStrCaseCmp("abcdef", "ABC"));
  EXPECT_EQ(0, VlkStrCaseCmp("abcdef", "abc"));
  EXPECT_EQ(-1, VlkStrCmp("", "a"));
  EXPECT_EQ(-1, VlkStrCmp("a", nullptr));
  EXPECT_EQ(-1, VlkStrCaseCmp(nullptr, "a"));
  EXPECT_EQ(0, VlkStrCmp("ABx", "aby", 2));
  EXPECT_NE(0, VlkStrCmp("ABx", "aby", 3));
  EXPECT_EQ(VLK_TRUE, VlkIsSameStr("abc", "abc"));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("abc", "ABC"));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("", ""));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("abc", "abcd"));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("abc", Cvlk_buf_str()));
}

TEST(StrFunc, HasPrefixWithNullTextIsFalseNotAFault) {
  EXPECT_EQ(VLK_TRUE, VlkStrHasPrefix("abc", "abd", 2));
  EXPECT_EQ(VLK_FALSE, VlkStrHasPrefix("abc", "abd", 3));
  EXPECT_EQ(VLK_TRUE, VlkStrHasPrefix(nullptr, nullptr, 0));
  EXPECT_EQ(VLK_FALSE, VlkStrHasPrefix(nullptr, "abc", 3));
  EXPECT_EQ(VLK_FALSE, VlkStrHasPrefix("abc", nullptr, 1));
}

TEST(StrFunc, Searches) {
  const char text[] = "Hello World";
  EXPECT_EQ(text + 6, VlkStrStr(text, "WORLD"));
  EXPECT_EQ(nullptr, VlkStrCaseStr(text, "WORLD"));
  EXPECT_EQ(text + 6, VlkStrCaseStr(text, "World"));
  EXPECT_EQ(nullptr, VlkStrStr(text, "worlds"));
  EXPECT_EQ(nullptr, VlkStrStr(text, ""));
  EXPECT_EQ(nullptr, VlkStrCaseStr("ab", "abc"));
  EXPECT_EQ(VLK_TRUE, VlkHasStr(text, "lo W"));
  EXPECT_EQ(VLK_FALSE, VlkHasStr(text, nullptr));
  EXPECT_EQ(text + 2, VlkStrChr(text, 'l'));
  EXPECT_EQ(text + 9, VlkStrRChr(text, 'l'));
  EXPECT_EQ(nullptr, VlkStrChr("", 'l'));
  EXPECT_EQ(nullptr, VlkStrRChr(nullptr, 'l'));
}

TEST(StrFunc, CaseInsensitiveSearchBeyond1498Characters) {
  std::string haystack(3000, 'a');
  haystack += "NeEdLe";
  const char* hit = VlkStrStr(haystack.c_str(), "needle");
  ASSERT_NE(nullptr, hit);
  EXPECT_EQ(3000, hit - haystack.c_str());
  // Only ASCII letters fold: other bytes must match exactly.
  EXPECT_EQ(nullptr, VlkStrStr("caf\xc3\xa9", "CAF\xc3\x89"));
}

TEST(StrFunc, QuoteAwareCharacterSearch) {
  EXPECT_EQ(1, VlkStrFindChar("a,\"b,c\",d", ',', 1));
  EXPECT_EQ(6, VlkStrFindChar("a\"b,c\",d", ',', 1));
  EXPECT_EQ(3, VlkStrFindChar("a\"b,c\",d", ',', 0));
  EXPECT_EQ(3, VlkStrFindChar("a\"b,c\",d", ',', 2));  // only mode 1 is quote-aware here
  EXPECT_EQ(1, VlkStrFindChar("a\"b\"", '"', 1));      // the opening quote itself
  EXPECT_EQ(-1, VlkStrFindChar("\"a,b\"", ',', 1));
  EXPECT_EQ(1, VlkStrFindLastChar("a,\"b,c\"", ',', 1));
  EXPECT_EQ(4, VlkStrFindLastChar("a,\"b,c\"", ',', 0));
  EXPECT_EQ(1, VlkStrFindLastChar("a,\"b,c\"", ',', 2));  // every non-zero mode is quote-aware
  EXPECT_EQ(-1, VlkStrFindLastChar("", ',', 0));
  EXPECT_EQ(-1, VlkStrFindChar(nullptr, ',', 1));
}

TEST(StrFunc, SpaceAndOtherCharSearches) {
  EXPECT_EQ(2, VlkStrFindSpace("ab\tc"));
  EXPECT_EQ(-1, VlkStrFindSpace("abc"));
  EXPECT_EQ(2, VlkStrFindNoSpace(" \tx"));
  EXPECT_EQ(0, VlkStrFindNoSpace("   "));
  EXPECT_EQ(0, VlkStrFindNoSpace("x"));
  EXPECT_EQ(0, VlkStrFindNoSpace(nullptr));
  EXPECT_EQ(3, VlkStrFindOtherChar("000123", '0'));
  EXPECT_EQ(-1, VlkStrFindOtherChar("000", '0'));
}

TEST(StrFunc, SkippingAndTrimming) {
  char a[] = "ab \t\r\n";
  EXPECT_STREQ("ab", VlkTrimBlanks(a));
  char b[] = "ab\xe9";
  EXPECT_STREQ("ab", VlkTrimBlanks(b));
  char c[] = "  ab  ";
  char* kept = VlkStrip(c);
  EXPECT_EQ(c + 2, kept);
  EXPECT_STREQ("ab", kept);
  char d[] = " \tx";
  EXPECT_EQ(d + 1, VlkSkipBlanks(d));  // tabs are not blanks here
  char e[] = "word rest";
  EXPECT_EQ(e + 4, VlkSkipNonBlanks(e));
  EXPECT_EQ(nullptr, VlkSkipBlanks(nullptr));
  EXPECT_EQ(nullptr, VlkTrimBlanks(nullptr));
  char f[] = "xx--";
  EXPECT_EQ(2, VlkStrTrim(f, '-'));
  EXPECT_STREQ("xx", f);
  char g[] = "---";
  EXPECT_EQ(0, VlkStrTrim(g, '-'));
  char h[] = "a b \t ";
  EXPECT_EQ(3, VlkStrTrimSpace(h));
  EXPECT_EQ(0, VlkStrTrimSpace(nullptr));
}

TEST(StrFunc, BoundedCopies) {
  char dst[8];
  std::memset(dst, '#', sizeof(dst));
  EXPECT_EQ(3, VlkCopyStr(dst, "hello", 3));
  EXPECT_STREQ("hel", dst);
  EXPECT_EQ('#', dst[4]);
  EXPECT_EQ(0, VlkCopyStr(dst, "", 3));
  EXPECT_EQ(0, VlkCopyStr(nullptr, "abc", 3));
  EXPECT_EQ(0, VlkCopyStr(dst, "abc", 0));
  EXPECT_STREQ("hel", dst);

  const char text[] = "abcdef";
  VlkCopyStr(dst, Cvlk_buf_str(text, 4), 3);  // longer than n: nothing written
  EXPECT_STREQ("hel", dst);
  VlkCopyStr(dst, Cvlk_buf_str(text, 4), 4);
  EXPECT_STREQ("abcd", dst);

  char* copy = VlkStrDup("dup");
  ASSERT_NE(nullptr, copy);
  EXPECT_STREQ("dup", copy);
  std::free(copy);
  EXPECT_EQ(nullptr, VlkStrDup(nullptr));

  EXPECT_EQ(ERR_INVALID_PARAM, VlkCopyQStr(nullptr, QStringLiteral("x"), 3));
  EXPECT_EQ(ERR_OK, VlkCopyQStr(dst, QStringLiteral("qstring"), 5));
  EXPECT_STREQ("qstri", dst);
}

TEST(StrFunc, AddUniqueString) {
  QStringList list;
  AddUniqueString(&list, "a");
  AddUniqueString(&list, "a");
  EXPECT_EQ(1, list.size());
  AddUniqueString(&list, "A");
  EXPECT_EQ(2, list.size());
  AddUniqueString(&list, "");
  AddUniqueString(nullptr, "b");
  EXPECT_EQ(2, list.size());
}

// --- Number conversions, key-value lookup, percent-decoding ------------------

TEST(Conv, IntToStrStaysTerminatedInsideTheBuffer) {
  char buf[8];
  std::memset(buf, '#', sizeof(buf));
  VlkIntToStr(-123, buf, sizeof(buf));
  EXPECT_STREQ("-123", buf);
  std::memset(buf, '#', sizeof(buf));
  VlkIntToStr(123456789, buf, 5);  // does not fit: cut, still terminated at buf[4]
  EXPECT_STREQ("1234", buf);
  EXPECT_EQ('#', buf[5]);
  std::memset(buf, '#', sizeof(buf));
  VlkIntToStr(5, buf, 2);  // too small a buffer: untouched
  EXPECT_EQ('#', buf[0]);

  Cvlk_tmp_str t;
  VlkIntToStr(-7, t);
  EXPECT_STREQ("-7", t.c_str());
  Cvlk_str s;
  VlkIntToStr(2024, &s);
  EXPECT_STREQ("2024", s.c_str());
  VlkIntToStr(1, static_cast<Cvlk_str*>(nullptr));
  EXPECT_EQ(QStringLiteral("-2147483648"), VlkIntToStr(-2147483647 - 1));
}

TEST(Conv, HexToStrRefusesABufferWithoutRoomForTheNul) {
  char buf[10];
  std::memset(buf, '#', sizeof(buf));
  VlkHexToStr(255, buf, 9);
  EXPECT_STREQ("000000FF", buf);
  std::memset(buf, '#', sizeof(buf));
  VlkHexToStr(255, buf, 8);
  EXPECT_EQ('#', buf[0]);
  EXPECT_EQ('#', buf[8]);
  VlkHexToStr(-1, buf, 10);
  EXPECT_STREQ("FFFFFFFF", buf);
}

TEST(Conv, TextToNumbers) {
  EXPECT_EQ(31, VlkStrToHex("0x1F"));
  EXPECT_EQ(255, VlkStrToHex("ff"));
  EXPECT_EQ(16, VlkStrToHex("abcX10"));
  EXPECT_EQ(305419896, VlkStrToHex("123456789"));
  EXPECT_EQ(0, VlkStrToHex("zz"));
  EXPECT_EQ(0, VlkStrToHex(nullptr));
  EXPECT_EQ(16, VlkStrToInt("0x10"));
  EXPECT_EQ(8, VlkStrToInt("010"));
  EXPECT_EQ(0, VlkStrToInt("abc"));
  EXPECT_EQ(-42, VlkStrToInt(QStringLiteral("-42")));
  EXPECT_EQ(0, VlkStrToInt(nullptr));
  EXPECT_EQ(8080u, VlkStrToU32("8080"));
  EXPECT_EQ(4294967295u, VlkStrToU32("0xFFFFFFFF"));
  EXPECT_EQ(0u, VlkStrToU32("-1"));
  EXPECT_EQ(0u, VlkStrToU32("4294967296"));
  EXPECT_EQ(0u, VlkStrToU32(static_cast<const char*>(nullptr)));
}

TEST(Conv, GetValue) {
  char out[128];
  EXPECT_EQ(ERR_OK, VlkGetValue("user=bob;mode=x", "user=", out));
  EXPECT_STREQ("bob", out);
  EXPECT_EQ(ERR_OK, VlkGetValue("user=bob;mode=x", "mode=", out));
  EXPECT_STREQ("x", out);
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, VlkGetValue("user=bob;mode=x", "name=", out));
  EXPECT_EQ(ERR_INVALID_PARAM, VlkGetValue("", "a", out));
  EXPECT_EQ(ERR_INVALID_PARAM, VlkGetValue("a", "a", nullptr));
  const std::string longValue = "k=" + std::string(300, 'v');
  EXPECT_EQ(ERR_OK, VlkGetValue(longValue.c_str(), "k=", out));
  EXPECT_EQ(127u, std::strlen(out));

  Cvlk_tmp_str text;
  text.set("a=1;b=22");
  Cvlk_tmp_str value;
  value.set("untouched");
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, VlkGetValue(text, "c=", value));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, VlkGetValue(text, "", value));  // every failure folds into not found
  EXPECT_STREQ("untouched", value.c_str());
  EXPECT_EQ(ERR_OK, VlkGetValue(text, "b=", value));
  EXPECT_STREQ("22", value.c_str());
  EXPECT_EQ(ERR_OK, VlkGetValue(text, "1;", value));
  EXPECT_STREQ("b=22", value.c_str());
  EXPECT_EQ(ERR_OK, VlkGetValue(text, "b=22", value));  // key at the end: empty value
  EXPECT_EQ(0, value.getStrLen());
}

TEST(Conv, UriDecode) {
  char a[] = "a%20b%2";
  EXPECT_EQ(ERR_OK, VlkUriDecode(a));
  EXPECT_STREQ("a b%2", a);
  char b[] = "a+b";
  VlkUriDecode(b);
  EXPECT_STREQ("a+b", b);
  char c[] = "%41%zz%4";
  VlkUriDecode(c);
  EXPECT_STREQ("A%zz%4", c);
  char d[] = "%4g-";  // one digit read, still three characters consumed
  VlkUriDecode(d);
  EXPECT_STREQ("\x04-", d);
  EXPECT_EQ(ERR_INVALID_PARAM, VlkUriDecode(nullptr));
}

}  // namespace
