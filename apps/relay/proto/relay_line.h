// relay_line.h: assembles the lines of one connection from the pieces in which
// its bytes arrive. The buffer is part of the object: nothing is allocated.
#ifndef RELAY_LINE_H
#define RELAY_LINE_H

#include <cstring>

#include "relay_proto.h"

// Line assembly for one byte stream. A line longer than kRelayMaxLine (not
// counting its "\r\n" or "\n") is reported once, as soon as it is known to be too
// long, and its bytes up to the next '\n' are dropped; the stream then goes on
// with the following line.
// Thread-safety: owner thread only.
class Crelay_line_buf {
 public:
  Crelay_line_buf() = default;
  Crelay_line_buf(const Crelay_line_buf&) = delete;
  Crelay_line_buf& operator=(const Crelay_line_buf&) = delete;

  void Reset() {
    m_len = 0;
    m_discard = false;
    m_parked = false;
    m_refused = false;
  }
  // Bytes held of an unfinished line.
  unsigned Pending() const { return m_len; }
  bool Discarding() const { return m_discard; }

  // Feeds len bytes. For every complete line calls onLine(const char* line,
  // unsigned len) -> bool with the line without its '\n' (a '\r' before it is
  // left for the parser); for every oversized line calls onOversize() once. When
  // onLine returns false the rest of data is dropped and Feed returns false.
  // The line pointer is valid only during the call.
  template <typename OnLine, typename OnOversize>
  bool Feed(const char* data, unsigned len, OnLine&& onLine, OnOversize&& onOversize) {
    feed(data, len, onLine, onOversize, false);
    return !m_parked && !m_refused;
  }

  // As Feed, but a line that onLine refuses is parked: kept whole, for Unpark to
  // offer again. Returns the bytes consumed, up to and including the parked
  // line's '\n'; the caller feeds the rest once the line has been taken.
  // REQUIRES: no line is parked.
  template <typename OnLine, typename OnOversize>
  unsigned FeedUntilRefused(const char* data, unsigned len, OnLine&& onLine, OnOversize&& onOversize) {
    return feed(data, len, onLine, onOversize, true);
  }
  bool Parked() const { return m_parked; }
  // Offers the parked line again; true when there is none left.
  template <typename OnLine>
  bool Unpark(OnLine&& onLine) {
    if (!m_parked) return true;
    if (!onLine(static_cast<const char*>(m_buf), m_len)) return false;
    m_parked = false;
    m_len = 0;
    return true;
  }

 private:
  template <typename OnLine, typename OnOversize>
  unsigned feed(const char* data, unsigned len, OnLine& onLine, OnOversize& onOversize, bool park) {
    const unsigned total = len;
    m_refused = false;
    while (len > 0) {
      const char* nl = static_cast<const char*>(std::memchr(data, '\n', len));
      unsigned chunk = nl ? static_cast<unsigned>(nl - data) : len;
      if (!m_discard) {
        if (m_len + chunk > kCap) {
          m_discard = true;
          m_len = 0;
          onOversize();
        } else {
          std::memcpy(m_buf + m_len, data, chunk);
          m_len += chunk;
        }
      }
      if (!nl) return total;
      data = nl + 1;
      len -= chunk + 1;
      if (m_discard) {
        m_discard = false;
        continue;
      }
      unsigned lineLen = m_len;
      unsigned content = (lineLen > 0 && m_buf[lineLen - 1] == '\r') ? lineLen - 1 : lineLen;
      if (content > kRelayMaxLine) {
        m_len = 0;
        onOversize();
        continue;
      }
      if (!onLine(static_cast<const char*>(m_buf), lineLen)) {
        m_refused = true;
        if (park) {
          m_parked = true;  // m_len still holds the line
        } else {
          m_len = 0;
        }
        return total - len;
      }
      m_len = 0;
    }
    return total;
  }

  static constexpr unsigned kCap = kRelayMaxLine + 1;  // room for a '\r'
  char m_buf[kCap];
  unsigned m_len = 0;
  bool m_discard = false;
  bool m_parked = false;   // m_buf holds a whole line that onLine refused
  bool m_refused = false;  // the last feed ended at a refused line
};

#endif  // RELAY_LINE_H
