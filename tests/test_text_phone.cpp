// Cphone_number: the 32-character capacity, prefixes, cuts and the attribute bytes.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

Cphone_number Number(const char* digits) {
  Cphone_number n;
  n.Init();
  n.SetNbr(digits);
  return n;
}

bool IsZeroed(const Cphone_number& n) {
  const Cphone_number zero{};
  return std::memcmp(&n, &zero, sizeof(n)) == 0;
}

TEST(Phone, CapacityIs32) {
  Cphone_number n = Number(std::string(40, '7').c_str());
  EXPECT_EQ(32, n.length);
  EXPECT_EQ(std::string(32, '7'), n.digits);
  EXPECT_EQ(ERR_INVALID_OPR, n.Append('1'));
  EXPECT_EQ(ERR_INVALID_OPR, n.AddPrefix("0"));
  Cphone_number k = Number("123");
  EXPECT_EQ(ERR_INVALID_OPR, k.Append(30, std::string(30, '0').c_str()));
  EXPECT_EQ(ERR_OK, k.Append(29, std::string(29, '0').c_str()));
  EXPECT_EQ(32, k.length);
  EXPECT_EQ(VLK_TRUE, k.IsAllDigits09());
  EXPECT_EQ(VLK_FALSE, Number("12*3").IsAllDigits09());
  EXPECT_EQ(VLK_FALSE, Number("").IsAllDigits09());
}

TEST(Phone, Prefixes) {
  Cphone_number n = Number("0123");
  EXPECT_EQ(VLK_TRUE, n.HasPrefix("0"));
  EXPECT_EQ(VLK_FALSE, n.HasPrefix("01234"));
  EXPECT_EQ(VLK_FALSE, n.HasPrefix(1, nullptr));
  Cphone_number z = Number("0");
  z.Append(2, "\0" "9");  // digits '0', NUL, '9'
  EXPECT_EQ(VLK_FALSE, z.HasPrefix(3, "0\0" "9"));  // p ends before n: no match, nothing read behind it
  EXPECT_EQ(ERR_INVALID_OPR, n.RemovePrefix("9"));
  EXPECT_EQ(ERR_INVALID_OBJ, n.RemovePrefix("012345"));
  EXPECT_EQ(ERR_INVALID_OPR, n.RemovePrefix(0, "0"));
  EXPECT_EQ(ERR_OK, n.RemovePrefix("01"));
  EXPECT_STREQ("23", n.digits);
  EXPECT_EQ(2, n.length);
  Cphone_number m = Number("123");
  m.attr1 = 7;
  m.attr2 = 9;
  EXPECT_EQ(ERR_OK, m.AddPrefix("00"));
  EXPECT_STREQ("00123", m.digits);
  EXPECT_EQ(0, m.attr1 + m.attr2);  // the record is rebuilt
  Cphone_number e = Number("");
  EXPECT_EQ(ERR_OK, e.AddPrefix("00"));
  EXPECT_STREQ("00", e.digits);
}

TEST(Phone, Cuts) {
  Cphone_number n = Number("12##");
  n.CutSharp();
  EXPECT_STREQ("12", n.digits);
  n.CutChar('2');
  EXPECT_STREQ("1", n.digits);
  EXPECT_EQ(ERR_OK, n.CutChar('9'));
  EXPECT_STREQ("1", n.digits);
  Cphone_number t = Number("12345");
  t.attr2 = 4;
  t.CutTail(2);
  EXPECT_STREQ("123", t.digits);
  EXPECT_EQ(4, t.attr2);
  t = Number("12345");
  t.attr1 = 1;
  t.CutTail(5);
  EXPECT_TRUE(IsZeroed(t));
}

}  // namespace
