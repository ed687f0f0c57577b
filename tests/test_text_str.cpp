// The string classes: fixed-capacity limits (cut versus refuse), the proxy over a
// caller's buffer, the heap string's exact growth, and views that never read past
// their length.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

// --- Cvlk_tmp_str -----------------------------------------------------------

TEST(TmpStr, TextSitsAtTheStartOfTheObject) {
  Cvlk_tmp_str s;
  ASSERT_EQ(ERR_OK, s.set("%s-%d", "abc", 7));
  EXPECT_EQ(static_cast<const void*>(&s), static_cast<const void*>(s.c_str()));
  EXPECT_STREQ("abc-7", reinterpret_cast<const char*>(&s));
}

TEST(TmpStr, InitRefusesNoTextAndCutsLongText) {
  Cvlk_tmp_str s;
  s.set("old");
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(""));
  EXPECT_EQ(0, s.getStrLen());
  EXPECT_STREQ("", s.c_str());
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(nullptr));
  EXPECT_EQ(ERR_INVALID_PARAM, s.init("abc", 0));
  const std::string big = Repeat('a', 1500);
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(big.c_str(), 1500));
  EXPECT_EQ(ERR_OK, s.init(big.c_str(), 1499));
  EXPECT_EQ(1499, s.getStrLen());
  EXPECT_EQ(ERR_OK, s.init(big.c_str()));
  EXPECT_EQ(1499, s.getStrLen());
  EXPECT_EQ(ERR_OK, s.init("abcdef", 3));
  EXPECT_STREQ("abc", s.c_str());
}

TEST(TmpStr, SetFormatsAndCutsAt1499) {
  Cvlk_tmp_str s;
  const std::string big = Repeat('z', 2000);
  EXPECT_EQ(ERR_OK, s.set("%s", big.c_str()));
  EXPECT_EQ(1499, s.getStrLen());
  EXPECT_EQ(Repeat('z', 1499), s.c_str());
  EXPECT_EQ(ERR_OK, s.set("%s", ""));  // empty output: success, empty string
  EXPECT_EQ(0, s.getStrLen());
  s.set("keep %d", 1);
  const char* empty = "";
  EXPECT_EQ(ERR_INVALID_PARAM, s.set(empty));
  EXPECT_EQ(ERR_INVALID_PARAM, s.set(nullptr));
  EXPECT_STREQ("keep 1", s.c_str());
}

TEST(TmpStr, AppendStopsAt1498AndRefusalChangesNothing) {
  Cvlk_tmp_str s;
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", Repeat('a', 1499).c_str()));
  EXPECT_EQ(0, s.getStrLen());
  EXPECT_EQ(ERR_OK, s.append("%s", Repeat('a', 1498).c_str()));
  EXPECT_EQ(1498, s.getStrLen());

  s.init(Repeat('b', 1000).c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", Repeat('c', 499).c_str()));
  EXPECT_EQ(1000, s.getStrLen());
  EXPECT_EQ(Repeat('b', 1000), s.c_str());
  EXPECT_EQ(ERR_OK, s.append("%s", Repeat('c', 498).c_str()));
  EXPECT_EQ(1498, s.getStrLen());
  EXPECT_EQ('c', s.c_str()[1497]);
  EXPECT_EQ('\0', s.c_str()[1498]);

  // A string filled to 1499 by set accepts not even an empty append.
  s.set("%s", Repeat('d', 1499).c_str());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.append("%s", ""));
}

TEST(TmpStr, AppendView) {
  Cvlk_tmp_str s;
  s.set("x=");
  const char text[] = "valueTAIL";
  EXPECT_EQ(ERR_OK, s.append(Cvlk_buf_str(text, 5)));
  EXPECT_STREQ("x=value", s.c_str());
  EXPECT_EQ(7, s.getStrLen());
  EXPECT_EQ(ERR_OK, s.append(Cvlk_buf_str()));  // an empty view appends nothing
  EXPECT_STREQ("x=value", s.c_str());
}

TEST(TmpStr, CopiesAreIndependent) {
  Cvlk_tmp_str a;
  a.set("one");
  Cvlk_tmp_str b = a;
  b.append("+two");
  EXPECT_STREQ("one", a.c_str());
  EXPECT_STREQ("one+two", b.c_str());
  a = b;
  EXPECT_EQ(7, a.getStrLen());
}

TEST(TmpStr, CutRemovesTrailingRun) {
  Cvlk_tmp_str s;
  s.set("abxxx");
  s.cut('x');
  EXPECT_STREQ("ab", s.c_str());
  EXPECT_EQ(2, s.getStrLen());
  s.set("xxx");
  s.cut('x');
  EXPECT_EQ(0, s.getStrLen());
  EXPECT_STREQ("", s.c_str());
}

TEST(TmpStr, EqualityIgnoresCaseAndEmptyEqualsNothing) {
  Cvlk_tmp_str s;
  s.set("Hello");
  EXPECT_TRUE(s == "hello");
  EXPECT_TRUE(s.equal("HELLO"));
  EXPECT_FALSE(s.equal("Hell"));
  EXPECT_FALSE(s.equal("Hello!"));
  EXPECT_FALSE(s.equal(nullptr));
  Cvlk_tmp_str other;
  other.set("hELLO");
  EXPECT_TRUE(s == other);
  Cvlk_tmp_str empty;
  Cvlk_tmp_str empty2;
  EXPECT_FALSE(empty.equal(""));
  EXPECT_FALSE(empty == empty2);
}

TEST(TmpStr, PrefixAndSubstring) {
  Cvlk_tmp_str s;
  s.set("abc");
  EXPECT_TRUE(s.hasPrefix(""));
  EXPECT_TRUE(s.hasPrefix(nullptr));
  EXPECT_TRUE(s.hasPrefix("ab"));
  EXPECT_FALSE(s.hasPrefix("abcd"));
  EXPECT_FALSE(s.hasPrefix("AB"));
  EXPECT_TRUE(s.hasString("b"));
  EXPECT_FALSE(s.hasString("B"));
  EXPECT_FALSE(s.hasString(""));
  EXPECT_FALSE(s.hasString("abcd"));
  Cvlk_tmp_str empty;
  EXPECT_FALSE(empty.hasPrefix(""));
  EXPECT_FALSE(empty.hasString("a"));
}

// --- Cvlk_tmp_str_proxy -----------------------------------------------------

TEST(TmpStrProxy, SetCutsToTheBufferAndAppendRefuses) {
  char buf[10];
  std::memset(buf, 'q', sizeof(buf));
  Cvlk_tmp_str_proxy p(buf, sizeof(buf));
  EXPECT_EQ(0, buf[9]);  // zero-filled on construction
  EXPECT_EQ(10, p.getSize());
  EXPECT_EQ(ERR_OK, p.set("abcdefghijkl"));
  EXPECT_STREQ("abcdefghi", p.c_str());
  EXPECT_EQ(9, p.getStrLen());
  EXPECT_EQ(ERR_OUT_OF_MEMORY, p.append("%c", 'x'));
  EXPECT_STREQ("abcdefghi", p.c_str());
  EXPECT_EQ(ERR_INVALID_PARAM, p.set(""));
  EXPECT_STREQ("abcdefghi", p.c_str());

  p.init();
  EXPECT_EQ(ERR_OUT_OF_MEMORY, p.append("%s", "0123456789"));
  EXPECT_EQ(0, p.getStrLen());
  EXPECT_EQ(ERR_OK, p.append("%s", "012345678"));
  EXPECT_EQ(9, p.getStrLen());
  EXPECT_TRUE(p.hasString("345"));
  EXPECT_FALSE(p.hasString("0123456789"));
}

TEST(TmpStrProxy, CopiesShareTheCallersBuffer) {
  char buf[16];
  Cvlk_tmp_str_proxy a(buf, sizeof(buf));
  Cvlk_tmp_str_proxy b = a;
  b.append("%d", 42);
  EXPECT_STREQ("42", a.c_str());
  EXPECT_EQ(buf, a.c_str());
}

TEST(TmpStrProxy, WithoutBufferDoesNothing) {
  Cvlk_tmp_str_proxy p(nullptr, 10);
  EXPECT_EQ(0, p.getSize());
  p.init();
  EXPECT_EQ(ERR_INVALID_OBJ, p.set("abc"));
  EXPECT_EQ(ERR_OUT_OF_MEMORY, p.append("%s", "a"));
  EXPECT_FALSE(p.hasString("a"));
}

// --- Cvlk_str ---------------------------------------------------------------

TEST(HeapStr, GrowsToExactlyTheNeedPlusFour) {
  Cvlk_str none(0);
  EXPECT_EQ(nullptr, none.c_str());
  EXPECT_EQ(0, none.getStrLen());
  EXPECT_EQ(ERR_OK, none.append("abc"));
  EXPECT_EQ(7, none.getSize());
  EXPECT_STREQ("abc", none.c_str());

  Cvlk_str s;
  EXPECT_EQ(128, s.getSize());
  ASSERT_EQ(ERR_OK, s.init(Repeat('a', 100).c_str()));
  EXPECT_EQ(128, s.getSize());
  ASSERT_EQ(ERR_OK, s.append(Repeat('b', 40).c_str()));
  EXPECT_EQ(144, s.getSize());
  EXPECT_EQ(140, s.getStrLen());
  EXPECT_EQ(Repeat('a', 100) + Repeat('b', 40), s.c_str());

  // Exactly filling the buffer (127 characters and the NUL) needs no growth.
  Cvlk_str t;
  t.append(Repeat('c', 127).c_str());
  EXPECT_EQ(128, t.getSize());
  t.append("d");
  EXPECT_EQ(132, t.getSize());
}

TEST(HeapStr, InitFromViewGrowsWhenSizeIsNotAboveLength) {
  Cvlk_str s(4);
  const char text[] = "abcdXYZ";
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(Cvlk_buf_str(text, 0)));
  EXPECT_EQ(ERR_OK, s.init(Cvlk_buf_str(text, 3)));
  EXPECT_EQ(4, s.getSize());
  EXPECT_STREQ("abc", s.c_str());
  EXPECT_EQ(ERR_OK, s.init(Cvlk_buf_str(text, 4)));
  EXPECT_EQ(8, s.getSize());
  EXPECT_STREQ("abcd", s.c_str());
}

TEST(HeapStr, InitReplacesAndRefusesNoText) {
  Cvlk_str s;
  s.init("first text");
  EXPECT_EQ(ERR_INVALID_PARAM, s.init(""));
  EXPECT_STREQ("first text", s.c_str());
  EXPECT_EQ(ERR_OK, s.init("2nd"));
  EXPECT_STREQ("2nd", s.c_str());
  EXPECT_EQ(ERR_OK, s.append(nullptr));
  EXPECT_STREQ("2nd", s.c_str());
}

TEST(HeapStr, CopiesOwnTheirBuffers) {
  Cvlk_str a;
  a.init(Repeat('x', 300).c_str());
  Cvlk_str b(a);
  EXPECT_NE(a.c_str(), b.c_str());
  EXPECT_EQ(300, b.getStrLen());
  EXPECT_EQ(304, b.getSize());
  Cvlk_str c(0);
  c = a;
  a.init("gone");
  EXPECT_EQ(Repeat('x', 300), c.c_str());
  Cvlk_str& alias = c;
  c = alias;  // self-assignment keeps the text
  EXPECT_EQ(300, c.getStrLen());
}

TEST(HeapStr, AppendingItselfOrItsOwnTail) {
  Cvlk_str s(8);
  s.init("abcdef");
  EXPECT_EQ(ERR_OK, s.append(s));
  EXPECT_STREQ("abcdefabcdef", s.c_str());
  EXPECT_EQ(ERR_OK, s.append(s.c_str() + 9));  // the buffer moves while growing
  EXPECT_STREQ("abcdefabcdefdef", s.c_str());
}

TEST(HeapStr, EqualMeansBeginsWithIgnoringCase) {
  Cvlk_str s;
  s.init("abcdef");
  EXPECT_TRUE(s.equal("ABC"));
  EXPECT_FALSE(s.equal("abcdefg"));
  EXPECT_FALSE(s.equal(""));
  Cvlk_str other;
  other.init("ABCDEF");
  EXPECT_TRUE(s.equal(other));
  Cvlk_str empty;
  EXPECT_FALSE(empty.equal("a"));
}

TEST(HeapStr, GrowthBeyondTheSizeFieldIsRefusedAndKeepsTheText) {
  Cvlk_str s;
  s.init("keep");
  // A view longer than a signed 32-bit size can describe: refused before any copy.
  EXPECT_EQ(ERR_OUT_OF_MEMORY, s.init(Cvlk_buf_str("x", 0x80000000u)));
  EXPECT_STREQ("keep", s.c_str());
  EXPECT_EQ(128, s.getSize());
}

// --- QString conversions ----------------------------------------------------

TEST(QStringConversions, IntoEachStringClass) {
  Cvlk_tmp_str t;
  EXPECT_EQ(ERR_INVALID_PARAM, VlkQStringToTmpStr(QStringLiteral("a"), nullptr));
  EXPECT_EQ(ERR_OK, VlkQStringToTmpStr(QStringLiteral("hello"), &t));
  EXPECT_STREQ("hello", t.c_str());
  EXPECT_EQ(ERR_OK, VlkQStringToTmpStr(QString(), &t));
  EXPECT_EQ(0, t.getStrLen());
  EXPECT_EQ(ERR_OK, VlkQStringToTmpStr(QString(2000, QLatin1Char('w')), &t));
  EXPECT_EQ(1499, t.getStrLen());

  char buf[6];
  Cvlk_tmp_str_proxy p(buf, sizeof(buf));
  EXPECT_EQ(ERR_OK, VlkQStringToTmpStrPxy(QStringLiteral("abc"), &p));
  EXPECT_STREQ("abc", p.c_str());
  EXPECT_EQ(ERR_OK, VlkQStringToTmpStrPxy(QStringLiteral("abcdef"), &p));  // too long: left empty
  EXPECT_EQ(0, p.getStrLen());

  Cvlk_str c;
  c.init("old");
  EXPECT_EQ(ERR_OK, VlkQStringToCStr(QString(), &c));
  EXPECT_STREQ("old", c.c_str());
  EXPECT_EQ(ERR_OK, VlkQStringToCStr(QStringLiteral("new"), &c));
  EXPECT_STREQ("new", c.c_str());
  EXPECT_EQ(ERR_INVALID_PARAM, VlkQStringToCStr(QStringLiteral("x"), nullptr));
}

}  // namespace
