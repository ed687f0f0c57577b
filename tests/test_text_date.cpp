// Dates and times. Each test fixes the time zone itself and works on fixed
// timestamps; the "now" functions are only checked against each other.
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

constexpr std::int64_t kJan5th2024 = 1704412800;  // 2024-01-05 00:00:00 UTC, a Friday

void UseZone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

std::string Text(void (*fn)(std::int64_t, Cvlk_tmp_str&), std::int64_t t) {
  Cvlk_tmp_str s;
  s.set("stale");
  fn(t, s);
  return s.c_str();
}

TEST(Date, PackingAndDurations) {
  Cvlk_tmp_str s;
  VlkIntToDate(20240105, s);
  EXPECT_STREQ("2024-01-05", s.c_str());
  VlkIntToDate(20231399, s);
  EXPECT_STREQ("2023-13-99", s.c_str());
  s.set("2024-1");
  EXPECT_EQ(20240100u, VlkDateToInt(s));
  EXPECT_EQ(60, VlkDuration(100, 40));
  EXPECT_EQ(4294967236, VlkDuration(40, 100));
  EXPECT_EQ(3373, VlkGetTime(13, 45));
}

TEST(Date, TextsInUtcAndInLocalZones) {
  UseZone("XST-9");  // the UTC text ignores the zone
  EXPECT_EQ("Thu Jan  1 00:00:00 1970", Text(VlkGetUTCDateStr, 0));
  EXPECT_EQ("Fri Jan  5 13:45:07 2024", Text(VlkGetUTCDateStr, kJan5th2024 + 13 * 3600 + 45 * 60 + 7));
  EXPECT_EQ("Wed Dec 31 23:59:59 1969", Text(VlkGetUTCDateStr, -1));
  Cvlk_tmp_str s;
  VlkQTimeToStr(QDateTime::fromSecsSinceEpoch(kJan5th2024, Qt::UTC), s);
  EXPECT_STREQ("Fri Jan  5 00:00:00 2024", s.c_str());
  EXPECT_EQ("2024-01-05 09:00:00", Text(VlkGetDateTimeStr, kJan5th2024));
  UseZone("EST5");
  EXPECT_EQ("2024-01-04 19:00:00", Text(VlkGetDateTimeStr, kJan5th2024));
  UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ("2024-07-01 14:00:00", Text(VlkGetDateTimeStr, 1719835200));  // summer time
}

TEST(Date, SameDateFollowsLocalMidnight) {
  UseZone("EST5");
  const std::int64_t midnight = kJan5th2024 + 5 * 3600;
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(midnight - 1, midnight));
  EXPECT_EQ(VLK_TRUE, VlkIsTheSameDate(midnight, midnight + 23 * 3600));
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(midnight, midnight + 31 * 86400));
}

TEST(Date, TimestampsThatCannotBeBrokenDownGiveNoText) {
  const std::int64_t far = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ("", Text(VlkGetDateTimeStr, far));
  EXPECT_EQ("", Text(VlkGetUTCDateStr, far));
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(far, far));
}

TEST(Date, CurrentTextsAgreeWithEachOther) {
  for (int attempt = 0; attempt < 5; ++attempt) {  // retry when a day boundary fell in between
    const unsigned today = VlkGetCurrDate();
    Cvlk_tmp_str date, stamp, full;
    VlkGetCurrDateStr(date);
    VlkGetCurrDateTimeStr(stamp);
    VlkGetCurrDateTime(full);
    if (VlkGetCurrDate() != today) continue;
    EXPECT_EQ(std::to_string(today), date.c_str());
    EXPECT_EQ(std::string(date.c_str()) + "-", std::string(stamp.c_str(), 9));
    EXPECT_EQ(15, stamp.getStrLen());
    Cvlk_tmp_str day;  // "yyyy-mm-dd hh:mm:ss" begins with the date
    day.init(full.c_str(), 10);
    EXPECT_EQ(today, VlkDateToInt(day));
    return;
  }
  FAIL() << "the date changed on every attempt";
}

TEST(Date, UtcTextIsSafeFromManyThreads) {
  // A shared result buffer, as asctime has, would mix the threads' texts.
  const std::int64_t stamps[3] = {0, kJan5th2024, 951782400};
  const std::string texts[3] = {"Thu Jan  1 00:00:00 1970", "Fri Jan  5 00:00:00 2024", "Tue Feb 29 00:00:00 2000"};
  int wrong[3] = {0, 0, 0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 2000; ++k) wrong[i] += Text(VlkGetUTCDateStr, stamps[i]) != texts[i];
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, wrong[0] + wrong[1] + wrong[2]);
}

TEST(Random, Ranges) {
  EXPECT_EQ(7, vlk_get_rand(7, 3));
  bool seen[7] = {};
  for (int i = 0; i < 2000; ++i) {
    const int v = vlk_get_rand(1, 6);
    ASSERT_TRUE(v >= 1 && v <= 6) << v;
    seen[v] = true;
    ASSERT_GE(VlkRand(), 65537u);
    // The widest span must not overflow; one 15-bit draw reaches its lowest 32768 values.
    ASSERT_LE(vlk_get_rand(std::numeric_limits<int>::min(), std::numeric_limits<int>::max()),
              std::numeric_limits<int>::min() + 32767);
  }
  EXPECT_TRUE(seen[1] && seen[2] && seen[3] && seen[4] && seen[5] && seen[6]);
}

}  // namespace
