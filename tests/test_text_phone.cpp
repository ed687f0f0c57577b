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

std::string Digits(const Cphone_number& n) { return std::string(n.digits, n.length); }

bool IsZeroed(const Cphone_number& n) {
  static const Cphone_number kZero{};
  return std::memcmp(&n, &kZero, sizeof(n)) == 0;
}

TEST(Phone, CapacityIs32) {
  const std::string forty(40, '7');
  Cphone_number n = Number(forty.c_str());
  EXPECT_EQ(32, n.length);
  EXPECT_EQ(std::string(32, '7'), Digits(n));
  EXPECT_EQ('\0', n.digits[32]);
  EXPECT_EQ(ERR_INVALID_OPR, n.Append('1'));
  EXPECT_EQ(ERR_INVALID_OPR, n.Append(1, "1"));
  EXPECT_EQ(ERR_INVALID_OPR, n.AddPrefix("0"));
  EXPECT_EQ(32, n.length);

  Cphone_number m = Number(std::string(31, '1').c_str());
  EXPECT_EQ(ERR_OK, m.Append('2'));
  EXPECT_EQ(32, m.length);
  Cphone_number k = Number("123");
  EXPECT_EQ(ERR_INVALID_OPR, k.Append(30, "0123456789012345678901234567890"));
  EXPECT_EQ(ERR_OK, k.Append(29, "01234567890123456789012345678"));
  EXPECT_EQ(32, k.length);
  EXPECT_EQ(ERR_OK, k.Append(0, nullptr));
}

TEST(Phone, SetNbrAndDigitTest) {
  Cphone_number n = Number("12*3");
  EXPECT_EQ(VLK_FALSE, n.IsAllDigits09());
  EXPECT_EQ(ERR_OK, n.SetNbr(nullptr));
  EXPECT_EQ(0, n.length);
  EXPECT_EQ(VLK_FALSE, n.IsAllDigits09());
  n.SetNbr("0123456789");
  EXPECT_EQ(VLK_TRUE, n.IsAllDigits09());
}

TEST(Phone, Prefixes) {
  Cphone_number n = Number("0123");
  EXPECT_EQ(VLK_TRUE, n.HasPrefix("0"));
  EXPECT_EQ(VLK_FALSE, n.HasPrefix("01234"));
  EXPECT_EQ(VLK_FALSE, n.HasPrefix(""));
  EXPECT_EQ(VLK_TRUE, n.HasPrefix(2, "01xx"));
  EXPECT_EQ(VLK_FALSE, n.HasPrefix(0, "0"));
  EXPECT_EQ(VLK_FALSE, n.HasPrefix(5, "01234"));
  EXPECT_EQ(VLK_FALSE, n.HasPrefix(1, nullptr));

  EXPECT_EQ(ERR_INVALID_OPR, n.RemovePrefix("9"));
  EXPECT_EQ(ERR_INVALID_OBJ, n.RemovePrefix("012345"));
  EXPECT_EQ(ERR_INVALID_OPR, n.RemovePrefix(""));
  EXPECT_EQ(ERR_INVALID_OPR, n.RemovePrefix(0, "0"));
  EXPECT_EQ(ERR_INVALID_OPR, n.RemovePrefix(5, "01234"));
  EXPECT_EQ("0123", Digits(n));
  EXPECT_EQ(ERR_OK, n.RemovePrefix("01"));
  EXPECT_EQ("23", Digits(n));
  EXPECT_STREQ("23", n.digits);
}

TEST(Phone, AddPrefixClearsTheAttributeBytes) {
  Cphone_number n = Number("123");
  n.attr1 = 7;
  n.attr2 = 9;
  EXPECT_EQ(ERR_OK, n.AddPrefix("00"));
  EXPECT_STREQ("00123", n.digits);
  EXPECT_EQ(5, n.length);
  EXPECT_EQ(0, n.attr1);
  EXPECT_EQ(0, n.attr2);
  Cphone_number empty = Number("");
  EXPECT_EQ(ERR_OK, empty.AddPrefix("00"));
  EXPECT_STREQ("00", empty.digits);
  Cphone_number keep = Number("5");
  keep.attr1 = 3;
  EXPECT_EQ(ERR_OK, keep.AddPrefix(0, "9"));
  EXPECT_EQ(3, keep.attr1);
  EXPECT_EQ(ERR_OK, keep.Append('6'));
  EXPECT_EQ(3, keep.attr1);  // only AddPrefix rebuilds the record
}

TEST(Phone, Cuts) {
  Cphone_number n = Number("12##");
  EXPECT_EQ(ERR_OK, n.CutSharp());
  EXPECT_STREQ("12", n.digits);
  EXPECT_EQ(ERR_OK, n.CutChar('2'));
  EXPECT_STREQ("1", n.digits);
  EXPECT_EQ(ERR_OK, n.CutChar('9'));
  EXPECT_STREQ("1", n.digits);
  Cphone_number twice = Number("1##");
  twice.CutChar('#');
  EXPECT_STREQ("1#", twice.digits);  // CutChar removes one character only

  Cphone_number t = Number("12345");
  t.attr2 = 4;
  EXPECT_EQ(ERR_OK, t.CutTail(2));
  EXPECT_STREQ("123", t.digits);
  EXPECT_EQ(4, t.attr2);
  Cphone_number u = Number("12345");
  u.attr1 = 1;
  u.CutTail(5);
  EXPECT_TRUE(IsZeroed(u));
  Cphone_number v = Number("12345");
  v.CutTail(9);
  EXPECT_TRUE(IsZeroed(v));
}

TEST(Phone, AppendWritesNoNul) {
  Cphone_number n;
  n.Init();
  std::memset(n.digits, 'x', sizeof(n.digits));
  n.Append(2, "12");
  EXPECT_EQ("12", Digits(n));
  EXPECT_EQ('x', n.digits[2]);  // the length is authoritative
}

}  // namespace
