// The character-string functions and number conversions: the inverted case names,
// quote-aware search, trimming, bounded writers, and the faults mended here.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

TEST(StrFunc, ComparisonsAndNullTexts) {
  EXPECT_EQ(0, VlkStrCmp("abcdef", "ABC"));  // VlkStrCmp ignores case...
  EXPECT_NE(0, VlkStrCmp("abc", "abcdef"));
  EXPECT_NE(0, VlkStrCaseCmp("abcdef", "ABC"));  // ...VlkStrCaseCmp does not
  EXPECT_EQ(0, VlkStrCaseCmp("abcdef", "abc"));
  EXPECT_EQ(-1, VlkStrCmp("", "a"));
  EXPECT_EQ(-1, VlkStrCaseCmp("a", nullptr));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("abc", "ABC"));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("", ""));
  EXPECT_EQ(VLK_TRUE, VlkStrHasPrefix(nullptr, nullptr, 0));
  EXPECT_EQ(VLK_FALSE, VlkStrHasPrefix(nullptr, "abc", 3));  // false, not a fault
  EXPECT_EQ(VLK_FALSE, VlkStrHasPrefix("abc", nullptr, 1));
}

TEST(StrFunc, Searches) {
  const char text[] = "Hello World";
  EXPECT_EQ(text + 6, VlkStrStr(text, "WORLD"));
  EXPECT_EQ(nullptr, VlkStrCaseStr(text, "WORLD"));
  EXPECT_EQ(nullptr, VlkStrStr(text, "worlds"));
  EXPECT_EQ(nullptr, VlkStrStr("caf\xc3\xa9", "CAF\xc3\x89"));  // only ASCII letters fold
  const std::string far = std::string(3000, 'a') + "NeEdLe";  // beyond 1498 characters
  EXPECT_EQ(far.c_str() + 3000, VlkStrStr(far.c_str(), "needle"));
  EXPECT_EQ(1, VlkStrFindChar("a,\"b,c\",d", ',', 1));
  EXPECT_EQ(6, VlkStrFindChar("a\"b,c\",d", ',', 1));
  EXPECT_EQ(3, VlkStrFindChar("a\"b,c\",d", ',', 2));  // only mode 1 is quote-aware here
  EXPECT_EQ(1, VlkStrFindChar("a\"b\"", '"', 1));      // found at the opening quote
  EXPECT_EQ(1, VlkStrFindLastChar("a,\"b,c\"", ',', 1));
  EXPECT_EQ(1, VlkStrFindLastChar("a,\"b,c\"", ',', 2));  // every non-zero mode is
  EXPECT_EQ(4, VlkStrFindLastChar("a,\"b,c\"", ',', 0));
  // The terminator is not found in any mode (it once was, in mode 0, at strlen).
  for (int mode : {0, 1, 2}) {
    EXPECT_EQ(-1, VlkStrFindLastChar("abc", '\0', mode)) << mode;
    EXPECT_EQ(-1, VlkStrFindChar("abc", '\0', mode)) << mode;
  }
  EXPECT_EQ(2, VlkStrFindNoSpace(" \tx"));
  EXPECT_EQ(0, VlkStrFindNoSpace("   "));
  EXPECT_EQ(-1, VlkStrFindOtherChar("000", '0'));
}

TEST(StrFunc, TrimmingAndCopies) {
  char a[] = "ab \t\r\n\xe9";
  EXPECT_STREQ("ab", VlkTrimBlanks(a));
  char b[] = "  ab  ";
  EXPECT_EQ(b + 2, VlkStrip(b));
  EXPECT_STREQ("ab", b + 2);
  char c[] = " \tx";
  EXPECT_EQ(c + 1, VlkSkipBlanks(c));  // a tab is not a blank here
  char d[] = "xx--";
  EXPECT_EQ(2, VlkStrTrim(d, '-'));
  char e[] = "a \t ";
  EXPECT_EQ(1, VlkStrTrimSpace(e));
  char dst[8];
  std::memset(dst, '#', sizeof(dst));
  EXPECT_EQ(3, VlkCopyStr(dst, "hello", 3));
  EXPECT_STREQ("hel", dst);
  EXPECT_EQ(0, VlkCopyStr(dst, "", 3));
  VlkCopyStr(dst, Cvlk_buf_str("abcdef", 4), 3);  // longer than n: nothing written
  EXPECT_STREQ("hel", dst);
  EXPECT_EQ(ERR_OK, VlkCopyQStr(dst, QStringLiteral("qstring"), 5));
  EXPECT_STREQ("qstri", dst);
  EXPECT_EQ(nullptr, VlkStrDup(nullptr));
  QStringList list;
  for (const char* s : {"a", "a", "A", ""}) AddUniqueString(&list, s);
  EXPECT_EQ(QStringList({"a", "A"}), list);
}

TEST(Conv, WritersStayInsideTheirBuffers) {
  char buf[10];
  std::memset(buf, '#', sizeof(buf));
  VlkIntToStr(123456789, buf, 5);  // cut, terminated at buf[4]
  EXPECT_STREQ("1234", buf);
  EXPECT_EQ('#', buf[5]);
  std::memset(buf, '#', sizeof(buf));
  VlkHexToStr(255, buf, 8);  // no room for the NUL: refused
  EXPECT_EQ('#', buf[0]);
  VlkHexToStr(255, buf, 9);
  EXPECT_STREQ("000000FF", buf);
  EXPECT_EQ(QStringLiteral("-2147483648"), VlkIntToStr(-2147483647 - 1));
}

TEST(Conv, TextToNumbers) {
  EXPECT_EQ(31, VlkStrToHex("0x1F"));
  EXPECT_EQ(16, VlkStrToHex("abcX10"));
  EXPECT_EQ(305419896, VlkStrToHex("123456789"));  // eight digits at most
  EXPECT_EQ(0, VlkStrToHex("zz"));
  EXPECT_EQ(16, VlkStrToInt("0x10"));
  EXPECT_EQ(8, VlkStrToInt("010"));
  EXPECT_EQ(0, VlkStrToInt("abc"));
  EXPECT_EQ(4294967295u, VlkStrToU32("0xFFFFFFFF"));
  EXPECT_EQ(0u, VlkStrToU32("4294967296"));
  for (const char* binary : {"0b101", "0B1", "-0b1", " +0b1"}) {  // no binary in base 0
    EXPECT_EQ(0, VlkStrToInt(binary)) << binary;
    EXPECT_EQ(0u, VlkStrToU32(binary)) << binary;
  }
}

TEST(Conv, GetValueAndUriDecode) {
  char out[128];
  EXPECT_EQ(ERR_OK, VlkGetValue("user=bob;mode=x", "user=", out));
  EXPECT_STREQ("bob", out);
  EXPECT_EQ(ERR_OK, VlkGetValue("user=bob;mode=x", "mode=", out));
  EXPECT_STREQ("x", out);
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, VlkGetValue("user=bob;mode=x", "name=", out));
  EXPECT_EQ(ERR_OK, VlkGetValue(("k=" + std::string(300, 'v')).c_str(), "k=", out));
  EXPECT_EQ(127u, std::strlen(out));
  Cvlk_tmp_str text, value;
  text.set("a=1;b=22");
  value.set("untouched");
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, VlkGetValue(text, "", value));  // failures fold into not found
  EXPECT_STREQ("untouched", value.c_str());
  EXPECT_EQ(ERR_OK, VlkGetValue(text, "b=", value));
  EXPECT_STREQ("22", value.c_str());
  char uri[] = "a%20b+%41%zz%4g%2";  // "%4g" reads one digit, still consumes three
  EXPECT_EQ(ERR_OK, VlkUriDecode(uri));
  EXPECT_STREQ("a b+A%zz\x04%2", uri);
}

// Escapes read as the C library's "%2x" reads them: blanks skipped first, a sign
// and a "0x" prefix counted in the two characters; the escape still takes three.
// Decoding once measured the rest of the text for every escape, so a long text
// of '%' took quadratic time: it must come back as it was, in one pass.
TEST(Conv, UriDecodeEscapesAsHex2AndLongText) {
  auto decode = [](std::string s) {
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    EXPECT_EQ(ERR_OK, VlkUriDecode(buf.data()));
    return std::string(buf.data());
  };
  EXPECT_EQ("\xffx", decode("%-1x"));   // strtoul's negation, low byte
  EXPECT_EQ("\x0fz", decode("%+fz"));
  EXPECT_EQ("A1", decode("% 41"));       // the blank counts among the three
  EXPECT_EQ("\x07" "7y", decode("%\t\n7y"));
  EXPECT_EQ("%-zz", decode("%-zz"));     // a lone sign is no number
  EXPECT_EQ("%+", decode("%+"));
  EXPECT_EQ("a", decode("a%0x5"));       // "0x" is read as 0, which ends the text
  EXPECT_EQ("b", decode("b%+0c"));
  EXPECT_EQ("\x0a!", decode("%0a!"));
  std::string many(1u << 20, '%');
  EXPECT_EQ(many.substr(1) + "A", decode(many + "41"));
}

}  // namespace
