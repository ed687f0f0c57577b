// Dates, times and the small random numbers. Each test fixes the time zone
// itself and works on fixed timestamps.
#include <climits>
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

TEST(Date, TextsAndSameDateInUtcAndInLocalZones) {
  UseZone("XST-9");  // the UTC text ignores the zone
  const struct { std::int64_t t; const char* utc; } utc[] = {
      {0, "Thu Jan  1 00:00:00 1970"}, {-1, "Wed Dec 31 23:59:59 1969"},
      {kJan5th2024 + 13 * 3600 + 45 * 60 + 7, "Fri Jan  5 13:45:07 2024"},
      {951782400, "Tue Feb 29 00:00:00 2000"}, {4107542400, "Mon Mar  1 00:00:00 2100"},  // 2100 is no leap year
      {std::numeric_limits<std::int64_t>::max(), ""}};  // cannot be broken down: no text
  for (const auto& c : utc) EXPECT_EQ(c.utc, Text(VlkGetUTCDateStr, c.t)) << c.t;
  EXPECT_EQ("", Text(VlkGetDateTimeStr, std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ("2024-01-05 09:00:00", Text(VlkGetDateTimeStr, kJan5th2024));
  UseZone("EST5");
  EXPECT_EQ("2024-01-04 19:00:00", Text(VlkGetDateTimeStr, kJan5th2024));
  const std::int64_t midnight = kJan5th2024 + 5 * 3600;  // the same date follows local midnight
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(midnight - 1, midnight));
  EXPECT_EQ(VLK_TRUE, VlkIsTheSameDate(midnight, midnight + 23 * 3600));
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(midnight, midnight + 31 * 86400));  // same day of another month
  EXPECT_EQ(VLK_FALSE, VlkIsTheSameDate(std::numeric_limits<std::int64_t>::max(), 0));
  UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ("2024-07-01 14:00:00", Text(VlkGetDateTimeStr, 1719835200));  // summer time
  Cvlk_tmp_str s;
  s.set("2024-1");
  EXPECT_EQ(20240100u, VlkDateToInt(s));
  EXPECT_EQ(4294967236, VlkDuration(40, 100));  // 32 bits, never negative
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

// The widest span must not overflow; one 15-bit draw reaches its lowest 32768 values.
TEST(Random, RangesAndTheWidestSpan) {
  EXPECT_EQ(7, vlk_get_rand(7, 3));
  int seen = 0;
  for (int i = 0; i < 2000; ++i) {
    seen |= 1 << vlk_get_rand(1, 6);
    ASSERT_LE(vlk_get_rand(INT_MIN, INT_MAX), INT_MIN + 32767);
  }
  EXPECT_EQ(seen, 0x7E);  // each of 1 to 6, nothing else
}

}  // namespace
