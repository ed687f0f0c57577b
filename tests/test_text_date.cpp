// Dates and times. Every test fixes the time zone itself and uses fixed
// timestamps; the "now" functions are only checked for their layout and against
// each other.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

constexpr std::int64_t kJan5th2024Utc = 1704412800;  // 2024-01-05 00:00:00 UTC, a Friday

class DateTest : public ::testing::Test {
 protected:
  void SetUp() override { UseZone("UTC"); }
  void TearDown() override { UseZone("UTC"); }
  static void UseZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
};

TEST_F(DateTest, PackedDates) {
  Cvlk_tmp_str s;
  EXPECT_EQ(ERR_OK, VlkIntToDate(20240105, s));
  EXPECT_STREQ("2024-01-05", s.c_str());
  VlkIntToDate(20231399, s);
  EXPECT_STREQ("2023-13-99", s.c_str());
  s.set("2024-01-05");
  EXPECT_EQ(20240105u, VlkDateToInt(s));
  s.set("2024-1");
  EXPECT_EQ(20240100u, VlkDateToInt(s));
  s.init();
  EXPECT_EQ(0u, VlkDateToInt(s));
}

TEST_F(DateTest, DurationsWrapAsUnsigned32Bit) {
  EXPECT_EQ(60, VlkDuration(100, 40));
  EXPECT_EQ(4294967236, VlkDuration(40, 100));
  EXPECT_EQ(0, VlkDuration(kJan5th2024Utc, kJan5th2024Utc));
  EXPECT_EQ(3u, VlkAddDuration(0xFFFFFFFFu, 4));
  EXPECT_EQ(3373, VlkGetTime(13, 45));
}

TEST_F(DateTest, UtcTextInTheAsctimeLayout) {
  Cvlk_tmp_str s;
  VlkGetUTCDateStr(0, s);
  EXPECT_STREQ("Thu Jan  1 00:00:00 1970", s.c_str());
  VlkGetUTCDateStr(kJan5th2024Utc + 13 * 3600 + 45 * 60 + 7, s);
  EXPECT_STREQ("Fri Jan  5 13:45:07 2024", s.c_str());
  VlkGetUTCDateStr(1735603200 + 86399, s);  // 2024-12-31 23:59:59
  EXPECT_STREQ("Tue Dec 31 23:59:59 2024", s.c_str());
  // The zone changes local texts, never the UTC one.
  UseZone("XST-9");
  VlkGetUTCDateStr(0, s);
  EXPECT_STREQ("Thu Jan  1 00:00:00 1970", s.c_str());
  VlkQTimeToStr(QDateTime::fromSecsSinceEpoch(kJan5th2024Utc, Qt::UTC), s);
  EXPECT_STREQ("Fri Jan  5 00:00:00 2024", s.c_str());
  s.set("old");
  VlkQTimeToStr(QDateTime(), s);
  EXPECT_EQ(0, s.getStrLen());
}

TEST_F(DateTest, LocalTextFollowsTheZone) {
  Cvlk_tmp_str s;
  VlkGetDateTimeStr(kJan5th2024Utc, s);
  EXPECT_STREQ("2024-01-05 00:00:00", s.c_str());
  UseZone("EST5");
  VlkGetDateTimeStr(kJan5th2024Utc, s);
  EXPECT_STREQ("2024-01-04 19:00:00", s.c_str());
  UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
  VlkGetDateTimeStr(1719835200, s);  // 2024-07-01 12:00:00 UTC, summer time
  EXPECT_STREQ("2024-07-01 14:00:00", s.c_str());
}

TEST_F(DateTest, SameDateFollowsLocalMidnight) {
  UseZone("EST5");
  const std::int64_t midnight = kJan5th2024Utc + 5 * 3600;  // 2024-01-05 00:00 local
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(midnight - 1, midnight));
  EXPECT_EQ(VLK_TRUE, VlkIsTheSameDate(midnight, midnight + 23 * 3600));
  EXPECT_EQ(VLK_TRUE, VlkIsTheSameDate(midnight + 86399, midnight));
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(midnight, midnight + 86400));
  // Same day of month, another month or year.
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(midnight, midnight + 31 * 86400));
}

TEST_F(DateTest, TimestampsThatCannotBeBrokenDownGiveNoText) {
  const std::int64_t far = std::numeric_limits<std::int64_t>::max();
  Cvlk_tmp_str s;
  s.set("stale");
  VlkGetDateTimeStr(far, s);
  EXPECT_EQ(0, s.getStrLen());
  s.set("stale");
  VlkGetUTCDateStr(far, s);
  EXPECT_EQ(0, s.getStrLen());
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(far, far));
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(0, far));
  // Before the epoch the platform still breaks the time down.
  VlkGetUTCDateStr(-1, s);
  EXPECT_STREQ("Wed Dec 31 23:59:59 1969", s.c_str());
}

TEST_F(DateTest, CurrentDateTextsAgreeWithEachOther) {
  // Read twice around the texts and retry when a day boundary fell in between.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const unsigned before = VlkGetCurrDate();
    Cvlk_tmp_str date, stamp, full;
    VlkGetCurrDateStr(date);
    VlkGetCurrDateTimeStr(stamp);
    VlkGetCurrDateTime(full);
    if (VlkGetCurrDate() != before) continue;
    ASSERT_EQ(8, date.getStrLen());
    EXPECT_EQ(std::to_string(before), date.c_str());
    ASSERT_EQ(15, stamp.getStrLen());
    EXPECT_EQ(std::string(date.c_str()), std::string(stamp.c_str(), 8));
    EXPECT_EQ('-', stamp.c_str()[8]);
    ASSERT_EQ(19, full.getStrLen());
    Cvlk_tmp_str datePart;
    datePart.init(full.c_str(), 10);
    EXPECT_EQ(before, VlkDateToInt(datePart));
    unsigned char hour = 99, minute = 99;
    Evlk_week week = static_cast<Evlk_week>(-1);
    VlkGetCurrTime(hour, minute, week);
    EXPECT_LT(hour, 24);
    EXPECT_LT(minute, 60);
    EXPECT_GE(week, VLK_SUNDAY);
    EXPECT_LE(week, VLK_SATURDAY);
    return;
  }
  FAIL() << "the date changed on every attempt";
}

TEST_F(DateTest, UtcTextIsSafeFromManyThreads) {
  // Each thread renders its own timestamp; a shared result buffer would mix them.
  const std::int64_t stamps[4] = {0, kJan5th2024Utc, 1719835200, 951782400};
  const char* const texts[4] = {"Thu Jan  1 00:00:00 1970", "Fri Jan  5 00:00:00 2024",
                                "Mon Jul  1 12:00:00 2024", "Tue Feb 29 00:00:00 2000"};
  std::vector<std::thread> threads;
  int wrong[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 2000; ++k) {
        Cvlk_tmp_str s;
        VlkGetUTCDateStr(stamps[i], s);
        if (std::string(s.c_str()) != texts[i]) ++wrong[i];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(0, wrong[i]) << texts[i];
}

TEST(Random, Ranges) {
  EXPECT_EQ(5, vlk_get_rand(5, 5));
  EXPECT_EQ(7, vlk_get_rand(7, 3));
  bool seen[7] = {};
  for (int i = 0; i < 2000; ++i) {
    const int v = vlk_get_rand(1, 6);
    ASSERT_GE(v, 1);
    ASSERT_LE(v, 6);
    seen[v] = true;
  }
  for (int v = 1; v <= 6; ++v) EXPECT_TRUE(seen[v]) << v;
  for (int i = 0; i < 1000; ++i) {
    const unsigned r = VlkRand();
    ASSERT_GE(r, 65537u);
    ASSERT_LE(r, (32768u << 16) + 32768u);
    const int wide = vlk_get_rand(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    ASSERT_LE(wide, std::numeric_limits<int>::min() + 32767);  // one 15-bit draw
  }
}

}  // namespace
