// Cvlk_buf_str: moving and cutting the view, searches that accept only hits inside
// it, and views over unterminated bytes that must not be read past their length.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

std::string Str(const Cvlk_buf_str& v) { return std::string(v.c_str(), v.getStrLen()); }

// Bytes in a heap block of exactly their size, with no NUL behind them: an
// address-sanitizer build faults on any read past the end.
class Unterminated {
 public:
  explicit Unterminated(const char* text) : m_len(std::strlen(text)) {
    m_buf = static_cast<char*>(std::malloc(m_len));
    std::memcpy(m_buf, text, m_len);
  }
  ~Unterminated() { std::free(m_buf); }
  Unterminated(const Unterminated&) = delete;
  Unterminated& operator=(const Unterminated&) = delete;
  Cvlk_buf_str view() const { return Cvlk_buf_str(m_buf, static_cast<unsigned>(m_len)); }
  char* data() { return m_buf; }

 private:
  std::size_t m_len;
  char* m_buf;
};

TEST(BufStr, KeyValueSplitting) {
  const char text[] = "key=value";
  Cvlk_buf_str v(text, 9);
  Cvlk_buf_str head, tail;
  ASSERT_EQ(ERR_OK, v.seperate("=", head, tail));
  EXPECT_EQ("key", Str(head));
  EXPECT_EQ("=value", Str(tail));
  EXPECT_EQ(9u, v.getStrLen());  // the view itself is unchanged

  Cvlk_buf_str out;
  ASSERT_EQ(ERR_OK, v.findChar('=', out));
  EXPECT_EQ("=value", Str(out));

  Cvlk_buf_str a = v;
  ASSERT_EQ(ERR_OK, a.skipAtChar('='));
  EXPECT_EQ("value", Str(a));
  Cvlk_buf_str b = v;
  ASSERT_EQ(ERR_OK, b.cutAtCharFromHead('='));
  EXPECT_EQ("key", Str(b));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, b.skipAtChar('='));
  EXPECT_EQ("key", Str(b));
}

TEST(BufStr, CutAtCharFromTail) {
  const char text[] = "a/b/c";
  Cvlk_buf_str v(text, 5);
  ASSERT_EQ(ERR_OK, v.cutAtCharFromTail('/'));
  EXPECT_EQ("a/b", Str(v));
  Cvlk_buf_str w(text, 1);
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, w.cutAtCharFromTail('/'));
  EXPECT_EQ("a", Str(w));
  Cvlk_buf_str empty;
  EXPECT_EQ(ERR_INVALID_OBJ, empty.cutAtCharFromTail('/'));
  EXPECT_EQ(ERR_INVALID_OBJ, empty.cutAtCharFromHead('/'));
}

TEST(BufStr, SearchAcceptsOnlyHitsInsideTheView) {
  const char text[] = "abcabc";
  Cvlk_buf_str v(text, 3);
  EXPECT_EQ(VLK_TRUE, v.hasStr("bc"));
  EXPECT_EQ(VLK_FALSE, v.hasStr("ca"));  // that occurrence runs past the view
  EXPECT_EQ(VLK_FALSE, v.hasStr("abca"));
  Cvlk_buf_str out;
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.findStr("ca", out));
  EXPECT_EQ(ERR_INVALID_OBJ, v.findStr("abcd", out));
  EXPECT_EQ(ERR_INVALID_OBJ, v.findStr("", out));
  ASSERT_EQ(ERR_OK, v.findStr("bc", out));
  EXPECT_EQ("bc", Str(out));
  Cvlk_buf_str head, tail;
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.seperate("ca", head, tail));
}

TEST(BufStr, NoReadPastTheLength) {
  Unterminated bytes("GET /index HTTP/1.1");
  Cvlk_buf_str v = bytes.view();
  EXPECT_EQ(VLK_FALSE, v.hasStr("HTTP/1.10"));
  EXPECT_EQ(VLK_FALSE, v.hasStr("zz"));
  EXPECT_EQ(VLK_TRUE, v.hasStr("1.1"));
  Cvlk_buf_str out, head, tail;
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.findStr("xyz", out));
  ASSERT_EQ(ERR_OK, v.seperate(" ", head, tail));
  EXPECT_EQ("GET", Str(head));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.findChar('#', out));
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, v.skipAtChar('#'));
  EXPECT_EQ(VLK_TRUE, v.endWith("1.1", 3));
  EXPECT_EQ(VLK_FALSE, VlkIsSameStr("GET /index HTTP/1.1x", v));
  EXPECT_EQ(VLK_TRUE, VlkIsSameStr("GET /index HTTP/1.1", v));
  v.skipNonBlanks();
  v.skipBlanks();
  EXPECT_EQ('/', v.getFirstChar());
  EXPECT_EQ('1', v.getLastChar());
  Cvlk_tmp_str t;
  v.toTmpStr(t);
  EXPECT_STREQ("/index HTTP/1.1", t.c_str());
}

TEST(BufStr, NulInsideTheViewEndsTheSearchedText) {
  const char text[] = "ab\0cd";
  Cvlk_buf_str v(text, 5);
  EXPECT_EQ(VLK_FALSE, v.hasStr("cd"));
  EXPECT_EQ(VLK_TRUE, v.hasStr("ab"));
}

TEST(BufStr, SkipAndCut) {
  const char text[] = "  ab cd  ";
  Cvlk_buf_str v(text, 9);
  v.skip(10);
  EXPECT_EQ(0u, v.getStrLen());
  EXPECT_EQ(text, v.c_str());  // the start stays where it was
  EXPECT_EQ('\0', v.getFirstChar());
  EXPECT_EQ('\0', v.getLastChar());

  v.init(text, 9);
  v.skipBlanks();
  v.cutBlanks();
  EXPECT_EQ("ab cd", Str(v));
  v.cutNonBlanks();
  EXPECT_EQ("ab ", Str(v));
  v.cutChar(' ');
  EXPECT_EQ("ab", Str(v));
  v.cut(1);
  EXPECT_EQ("a", Str(v));
  v.cut(5);
  EXPECT_EQ(0u, v.getStrLen());
  v.init();
  EXPECT_EQ(nullptr, v.c_str());
  v.skipBlanks();
  v.cutBlanks();
  v.skipNonBlanks();
  v.cutNonBlanks();
  EXPECT_EQ(0u, v.getStrLen());
}

TEST(BufStr, BeginAndEndWith) {
  const char text[] = "prefix-body-suffix";
  Cvlk_buf_str v(text, 18);
  EXPECT_EQ(VLK_TRUE, v.beginWith("prefix", 6));
  EXPECT_EQ(VLK_TRUE, v.beginWith("preXX", 3));  // only the first k characters count
  EXPECT_EQ(VLK_FALSE, v.beginWith("Prefix", 6));
  EXPECT_EQ(VLK_FALSE, v.beginWith("prefix", 0));
  EXPECT_EQ(VLK_FALSE, v.beginWith("", 1));
  EXPECT_EQ(VLK_FALSE, v.beginWith(text, 19));
  EXPECT_EQ(VLK_TRUE, v.endWith("suffix", 6));
  EXPECT_EQ(VLK_FALSE, v.endWith("suffiX", 6));
}

TEST(BufStr, CopyAndAppendWriteWithoutNul) {
  char buf[16];
  std::memset(buf, '#', sizeof(buf));
  Cvlk_buf_str v(buf, 0);
  EXPECT_EQ(ERR_INVALID_PARAM, v.copyStr("", 1));
  EXPECT_EQ(ERR_INVALID_PARAM, v.copyStr("abc", 0));
  ASSERT_EQ(ERR_OK, v.copyStr("abcdef", 3));
  ASSERT_EQ(ERR_OK, v.appendStr("xyz", 2));
  EXPECT_EQ("abcxy", Str(v));
  EXPECT_EQ('#', buf[5]);
}

}  // namespace
