// The crash reporter's formatter and time stamp: plain code over caller buffers,
// safe inside a signal handler.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vlk_sys_crash_impl.h"

namespace vlk_crash {

namespace {

struct Sink {
  char* buf;
  std::size_t size;
  std::size_t len;
  void put(char c) {
    if (len + 1 < size) buf[len++] = c;
  }
  void pad(int n, char c) {
    while (n-- > 0) put(c);
  }
};

// Digits of v in the given base, least significant first; the count.
int Digits(unsigned long long v, unsigned base, bool upper, char* out) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  int n = 0;
  do {
    out[n++] = digits[v % base];
    v /= base;
  } while (v != 0);
  return n;
}

void PutNumber(Sink& s, unsigned long long v, bool negative, unsigned base, bool upper, int width, bool zero,
               bool left) {
  char tmp[24];
  int n = Digits(v, base, upper, tmp);
  int total = n + (negative ? 1 : 0);
  if (!left && !zero) s.pad(width - total, ' ');
  if (negative) s.put('-');
  if (!left && zero) s.pad(width - total, '0');
  while (n > 0) s.put(tmp[--n]);
  if (left) s.pad(width - total, ' ');
}

}  // namespace

int FormatV(char* buf, std::size_t size, const char* format, va_list args) {
  if (buf == nullptr || size == 0) return 0;
  Sink s{buf, size, 0};
  for (const char* p = format ? format : ""; *p != '\0'; ++p) {
    if (*p != '%') {
      s.put(*p);
      continue;
    }
    const char* start = p++;
    bool zero = false, left = false;
    for (; *p == '0' || *p == '-'; ++p) (*p == '0' ? zero : left) = true;
    int width = 0;
    for (; *p >= '0' && *p <= '9'; ++p) width = width * 10 + (*p - '0');
    int longs = 0;
    bool sizeT = false;
    for (; *p == 'l'; ++p) ++longs;
    if (*p == 'z') sizeT = true, ++p;
    switch (*p) {
      case 'd': {
        long long v = sizeT ? static_cast<long long>(va_arg(args, long))
                            : longs >= 2 ? va_arg(args, long long)
                            : longs == 1 ? va_arg(args, long)
                                         : va_arg(args, int);
        unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        PutNumber(s, mag, v < 0, 10, false, width, zero, left);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = sizeT ? va_arg(args, std::size_t)
                               : longs >= 2 ? va_arg(args, unsigned long long)
                               : longs == 1 ? va_arg(args, unsigned long)
                                            : va_arg(args, unsigned int);
        PutNumber(s, v, false, *p == 'u' ? 10 : 16, *p == 'X', width, zero, left);
        break;
      }
      case 'p':
        s.put('0');
        s.put('x');
        PutNumber(s, reinterpret_cast<std::uintptr_t>(va_arg(args, void*)), false, 16, false, width - 2, zero, left);
        break;
      case 's': {
        const char* str = va_arg(args, const char*);
        if (str == nullptr) str = "(null)";
        int n = static_cast<int>(strnlen(str, size));
        if (!left) s.pad(width - n, ' ');
        for (int i = 0; i < n; ++i) s.put(str[i]);
        if (left) s.pad(width - n, ' ');
        break;
      }
      case 'c':
        s.put(static_cast<char>(va_arg(args, int)));
        break;
      case '%':
        s.put('%');
        break;
      default:  // not understood: copy the directive as it stands
        for (const char* q = start; q <= p && *q != '\0'; ++q) s.put(*q);
        if (*p == '\0') --p;
        break;
    }
  }
  buf[s.len] = '\0';
  return static_cast<int>(s.len);
}

int Format(char* buf, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FormatV(buf, size, format, args);
  va_end(args);
  return n;
}

int WriteFormatV(int fd, const char* format, va_list args) {
  char buf[4096];
  std::memset(buf, 0, sizeof buf);
  int n = FormatV(buf, sizeof buf, format, args);
  int done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, buf + done, static_cast<std::size_t>(n - done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<int>(w);
  }
  return done;
}

void FormatStamp(std::int64_t utcSeconds, long utcOffset, char out[16]) {
  std::int64_t t = utcSeconds + utcOffset;
  std::int64_t days = t / 86400;
  std::int64_t secs = t % 86400;
  if (secs < 0) secs += 86400, --days;
  // Civil date of a day count since 1970-01-01 (eras of 400 years).
  std::int64_t z = days + 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  Format(out, 16, "%04lld%02u%02u-%02u%02u%02u", year, month, day, static_cast<unsigned>(secs / 3600),
         static_cast<unsigned>(secs / 60 % 60), static_cast<unsigned>(secs % 60));
}

namespace {

long OffsetOf(std::int64_t utc) {
  const time_t t = static_cast<time_t>(utc);
  struct tm local {};
  return localtime_r(&t, &local) != nullptr ? local.tm_gmtoff : 0;
}

}  // namespace

void CaptureUtcOffsets(std::int64_t now, UtcOffsets& table) {
  table.count = 1;
  table.from[0] = now;
  table.offset[0] = OffsetOf(now);
  // A day at a time (no zone changes its offset twice within a day), then the
  // second of each change by halving.
  constexpr std::int64_t kDay = 86400;
  const std::int64_t end = now + UtcOffsets::kYears * 366 * kDay;
  long current = table.offset[0];
  for (std::int64_t t = now + kDay; t <= end && table.count < UtcOffsets::kMax; t += kDay) {
    if (OffsetOf(t) == current) continue;
    std::int64_t lo = t - kDay, hi = t;  // the offset changes in (lo, hi]
    while (hi - lo > 1) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      (OffsetOf(mid) == current ? lo : hi) = mid;
    }
    current = OffsetOf(hi);
    table.from[table.count] = hi;
    table.offset[table.count++] = current;
  }
}

long UtcOffsetAt(const UtcOffsets& table, std::int64_t utcSeconds) {
  long offset = table.count > 0 ? table.offset[0] : 0;
  for (int i = 1; i < table.count && table.from[i] <= utcSeconds; ++i) offset = table.offset[i];
  return offset;
}

}  // namespace vlk_crash
