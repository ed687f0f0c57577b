// Timestamps, packed dates and times of day, their texts, and the small random
// numbers. Broken-down times come from the reentrant localtime_r and gmtime_r, so
// every function is safe from any thread; a timestamp the platform cannot break
// down gives an empty text and is the same date as nothing.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "vlk_text.h"

static_assert(sizeof(std::time_t) == 8, "timestamps are 64-bit");

namespace {

bool LocalTime(std::int64_t t, std::tm& tm) {
  const std::time_t tt = static_cast<std::time_t>(t);
  return localtime_r(&tt, &tm) != nullptr;
}

bool LocalNow(std::tm& tm) { return LocalTime(VlkGetCurrTimestamp(), tm); }

unsigned Year(const std::tm& tm) { return static_cast<unsigned>(tm.tm_year + 1900); }
unsigned Month(const std::tm& tm) { return static_cast<unsigned>(tm.tm_mon + 1); }
unsigned Day(const std::tm& tm) { return static_cast<unsigned>(tm.tm_mday); }
unsigned Hour(const std::tm& tm) { return static_cast<unsigned>(tm.tm_hour); }
unsigned Minute(const std::tm& tm) { return static_cast<unsigned>(tm.tm_min); }
unsigned Second(const std::tm& tm) { return static_cast<unsigned>(tm.tm_sec); }

void SetDateTime(const std::tm& tm, Cvlk_tmp_str& out) {
  out.set("%04u-%02u-%02u %02u:%02u:%02u", Year(tm), Month(tm), Day(tm), Hour(tm), Minute(tm), Second(tm));
}

// The runtime's one draw: 15 bits, 0 to 32767, whatever RAND_MAX the platform has.
unsigned Draw() { return static_cast<unsigned>(std::rand()) & 0x7FFFu; }

}  // namespace

std::int64_t VlkGetCurrTimestamp() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t VlkDuration(std::int64_t end, std::int64_t start) {
  const auto gap = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
  return static_cast<std::int64_t>(static_cast<std::uint32_t>(gap));
}

unsigned VlkAddDuration(unsigned a, unsigned b) { return a + b; }

Ebool VlkIsTheSameDate(std::int64_t t1, std::int64_t t2) {
  std::tm a{};
  std::tm b{};
  if (!LocalTime(t1, a) || !LocalTime(t2, b)) return VLK_FALSE;
  return (a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday) ? VLK_TRUE : VLK_FALSE;
}

unsigned VlkGetCurrDate() {
  std::tm tm{};
  if (!LocalNow(tm)) return 0;
  return (Year(tm) * 100 + Month(tm)) * 100 + Day(tm);
}

unsigned VlkDateToInt(const Cvlk_tmp_str& s) {
  unsigned year = 0;
  unsigned month = 0;
  unsigned day = 0;
  std::sscanf(s.c_str(), "%u-%u-%u", &year, &month, &day);
  return year * 10000 + month * 100 + day;
}

EerrNo VlkIntToDate(unsigned d, Cvlk_tmp_str& out) {
  out.set("%04u-%02u-%02u", d / 10000, (d % 10000) / 100, d % 100);
  return ERR_OK;
}

void VlkGetCurrDateStr(Cvlk_tmp_str& out) {
  std::tm tm{};
  if (!LocalNow(tm)) return out.init();
  out.set("%04u%02u%02u", Year(tm), Month(tm), Day(tm));
}

void VlkGetCurrDateTimeStr(Cvlk_tmp_str& out) {
  std::tm tm{};
  if (!LocalNow(tm)) return out.init();
  out.set("%04u%02u%02u-%02u%02u%02u", Year(tm), Month(tm), Day(tm), Hour(tm), Minute(tm), Second(tm));
}

void VlkGetCurrDateTime(Cvlk_tmp_str& out) {
  std::tm tm{};
  if (!LocalNow(tm)) return out.init();
  SetDateTime(tm, out);
}

void VlkGetDateTimeStr(std::int64_t t, Cvlk_tmp_str& out) {
  std::tm tm{};
  if (!LocalTime(t, tm)) return out.init();
  SetDateTime(tm, out);
}

// The asctime layout without asctime's shared static buffer and without its newline.
void VlkGetUTCDateStr(std::int64_t t, Cvlk_tmp_str& out) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (gmtime_r(&tt, &tm) == nullptr || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) {
    return out.init();
  }
  out.set("%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[tm.tm_wday], kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour,
          tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}

void VlkQTimeToStr(const QDateTime& dt, Cvlk_tmp_str& out) {
  if (!dt.isValid()) return out.init();
  VlkGetUTCDateStr(dt.toSecsSinceEpoch(), out);
}

unsigned short VlkGetTime(unsigned char hour, unsigned char minute) {
  return static_cast<unsigned short>(hour * 256 + minute);
}

void VlkGetCurrTime(unsigned char& hour, unsigned char& minute, Evlk_week& week) {
  std::tm tm{};
  if (!LocalNow(tm)) return;
  hour = static_cast<unsigned char>(tm.tm_hour);
  minute = static_cast<unsigned char>(tm.tm_min);
  week = static_cast<Evlk_week>(tm.tm_wday);
}

extern "C" {

unsigned VlkRand() {
  const unsigned a = Draw();
  const unsigned b = Draw();
  return ((a + 1) << 16) + b + 1;
}

int vlk_get_rand(int lo, int hi) {
  if (lo >= hi) return lo;
  // The span is computed unsigned: lo = INT_MIN, hi = INT_MAX must not overflow.
  const std::uint32_t span = static_cast<std::uint32_t>(hi) - static_cast<std::uint32_t>(lo) + 1u;
  const std::uint32_t draw = Draw();
  const std::uint32_t offset = span == 0 ? draw : draw % span;
  return static_cast<int>(static_cast<std::uint32_t>(lo) + offset);
}

}  // extern "C"
