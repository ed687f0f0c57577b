// internal: not installed. The async-signal-safe pieces of the crash reporter:
// formatting, the time stamp, probing reads, module lookup and the frame walk.
// Everything here runs inside a fatal-signal handler: no heap, no stdio, no
// locks of our own, no errno left changed for the interrupted code to see
// (callers save and restore it).
#ifndef VLK_SYS_CRASH_IMPL_H
#define VLK_SYS_CRASH_IMPL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace vlk_crash {

// Formats into buf (size bytes, always terminated when size > 0); the number of
// characters stored. Understands the flags '0' and '-', a width, the lengths
// l, ll and z, and the conversions d, u, x, X, s, c, p and %. Anything else is
// copied as it stands.
int FormatV(char* buf, std::size_t size, const char* format, va_list args);
int Format(char* buf, std::size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Formats at most 4095 characters into a zero-filled stack buffer and writes
// exactly those characters to fd; the number of characters written.
int WriteFormatV(int fd, const char* format, va_list args);

// "yyyymmdd-hhmmss" of the given UTC seconds shifted by utcOffset seconds into
// out (16 bytes). Proleptic Gregorian calendar; no time-zone database is read.
void FormatStamp(std::int64_t utcSeconds, long utcOffset, char out[16]);

// The local time's offset from UTC, as the time-zone rules give it, for the
// years ahead: the offset in force at a capture and every change of it (summer
// time and back) in the kYears after, found with the C library once, so that
// the handler can name its report in local time without the time-zone code.
struct UtcOffsets {
  static constexpr int kYears = 20;
  static constexpr int kMax = 4 * kYears + 1;
  std::int64_t from[kMax];  // offset[i] holds from UTC second from[i] on (from[0]: always)
  long offset[kMax];
  int count;
};

// Fills table from the C library's local time (localtime_r, the TZ variable and
// the time-zone files): not for a signal handler. Changes later than kYears
// after now are not recorded: the last offset then stays.
void CaptureUtcOffsets(std::int64_t now, UtcOffsets& table);
// The offset in force at utcSeconds.
long UtcOffsetAt(const UtcOffsets& table, std::int64_t utcSeconds);

// Copies n bytes from addr into out when they can be read; false, without
// faulting, when they cannot.
bool ProbeRead(const void* addr, void* out, std::size_t n);

// Module path (at most moduleSize - 1 characters), 1-based index of the loaded
// segment holding address, and the offset into it. moduleSize > 0. False, with
// an empty module and zeros, when no loaded segment holds the address.
bool LogicalAddress(std::uintptr_t address, char* module, std::size_t moduleSize, unsigned long& segment,
                    unsigned long& offset);

// Frames written by one walk at most: a deep recursion (a stack overflow) would
// otherwise fill the report and delay the process's end by many synchronous
// writes.
constexpr int kMaxFrames = 256;

// Writes one line per frame to fd, starting at code address pc and frame
// pointer fp, following the saved frame pointer at fp and the return address
// behind it. Stops at a next frame that is misaligned, not above the current
// one, or unreadable, and after kMaxFrames lines. The number of lines written.
int WalkFrames(int fd, std::uintptr_t pc, std::uintptr_t fp);

}  // namespace vlk_crash

#endif  // VLK_SYS_CRASH_IMPL_H
