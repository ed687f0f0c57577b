// The load client's bookkeeping: exactly-once, in-order delivery and latency.
#include "relay_book.h"

#include <cstdio>
#include <cstring>

Crelay_book::Crelay_book(unsigned subscribers, unsigned publishers)
    : m_subs(subscribers),
      m_pubs(publishers),
      m_expect(new bool[static_cast<std::size_t>(subscribers) * publishers]()),
      m_next(new std::uint64_t[static_cast<std::size_t>(subscribers) * publishers]()),
      m_sent(new std::atomic<std::uint64_t>[publishers]) {
  for (unsigned p = 0; p < publishers; ++p) m_sent[p].store(0, std::memory_order_relaxed);
}

void Crelay_book::Expect(unsigned sub, unsigned pub) {
  if (sub >= m_subs || pub >= m_pubs) return;
  m_expect[static_cast<std::size_t>(sub) * m_pubs + pub] = true;
  m_next[static_cast<std::size_t>(sub) * m_pubs + pub] = 1;
}

bool Crelay_book::IsExpected(unsigned sub, unsigned pub) const {
  return sub < m_subs && pub < m_pubs && m_expect[static_cast<std::size_t>(sub) * m_pubs + pub];
}

void Crelay_book::Published(unsigned pub, std::uint64_t seq) {
  if (pub < m_pubs) m_sent[pub].store(seq, std::memory_order_release);
}

std::uint64_t Crelay_book::PublishedBy(unsigned pub) const {
  return pub < m_pubs ? m_sent[pub].load(std::memory_order_acquire) : 0;
}

Erelay_verdict Crelay_book::Delivered(unsigned sub, unsigned pub, std::uint64_t seq) {
  Erelay_verdict v = RELAY_DELIVERY_OK;
  if (sub >= m_subs || pub >= m_pubs) {
    v = RELAY_DELIVERY_MALFORMED;
  } else {
    std::uint64_t& next = m_next[static_cast<std::size_t>(sub) * m_pubs + pub];
    if (next == 0) {
      v = RELAY_DELIVERY_UNEXPECTED;
    } else if (seq < next) {
      v = RELAY_DELIVERY_DUPLICATE;
    } else if (seq > next) {
      v = RELAY_DELIVERY_GAP;
      next = seq + 1;  // resynchronise so one loss is reported once
    } else {
      next = seq + 1;
    }
  }
  if (v == RELAY_DELIVERY_OK) {
    m_received.fetch_add(1, std::memory_order_relaxed);
  } else {
    m_faults.fetch_add(1, std::memory_order_relaxed);
  }
  return v;
}

std::uint64_t Crelay_book::Missing() const {
  std::uint64_t missing = 0;
  for (unsigned s = 0; s < m_subs; ++s) {
    for (unsigned p = 0; p < m_pubs; ++p) {
      std::uint64_t next = m_next[static_cast<std::size_t>(s) * m_pubs + p];
      if (next == 0) continue;
      std::uint64_t sent = PublishedBy(p);
      if (sent + 1 > next) missing += sent + 1 - next;
    }
  }
  return missing;
}

std::uint64_t Crelay_book::ExpectedDeliveries() const {
  std::uint64_t total = 0;
  for (unsigned s = 0; s < m_subs; ++s) {
    for (unsigned p = 0; p < m_pubs; ++p) {
      if (IsExpected(s, p)) total += PublishedBy(p);
    }
  }
  return total;
}

Crelay_latency::Crelay_latency() { std::memset(m_counts, 0, sizeof(m_counts)); }

unsigned Crelay_latency::Bucket(std::uint64_t micros) {
  if (micros < kExact) return static_cast<unsigned>(micros);
  unsigned exp = 63 - static_cast<unsigned>(__builtin_clzll(micros));  // >= 10
  unsigned group = exp - 10;
  if (group >= 16) return kBuckets - 1;
  unsigned sub = static_cast<unsigned>((micros >> (exp - 6)) & (kSub - 1));
  return kExact + group * kSub + sub;
}

std::uint64_t Crelay_latency::Upper(unsigned bucket) {
  if (bucket < kExact) return bucket;
  unsigned group = (bucket - kExact) / kSub;
  unsigned sub = (bucket - kExact) % kSub;
  unsigned exp = group + 10;
  std::uint64_t base = std::uint64_t{1} << exp;
  std::uint64_t step = std::uint64_t{1} << (exp - 6);
  return base + (sub + 1) * step - 1;
}

void Crelay_latency::Add(std::uint64_t micros) {
  ++m_counts[Bucket(micros)];
  ++m_count;
  if (micros > m_max) m_max = micros;
}

std::uint64_t Crelay_latency::Quantile(double q) const {
  if (m_count == 0) return 0;
  if (q < 0) q = 0;
  if (q > 1) q = 1;
  std::uint64_t want = static_cast<std::uint64_t>(q * static_cast<double>(m_count) + 0.999999);
  if (want == 0) want = 1;
  std::uint64_t seen = 0;
  for (unsigned b = 0; b < kBuckets; ++b) {
    seen += m_counts[b];
    if (seen >= want) {
      std::uint64_t up = Upper(b);
      return up < m_max ? up : m_max;
    }
  }
  return m_max;
}

unsigned RelayBenchFormat(char* out, unsigned cap, unsigned pub, std::uint64_t seq, std::uint64_t sentMicros,
                          unsigned padTo) {
  char head[64];
  int n = std::snprintf(head, sizeof(head), "%u %llu %llu", pub, static_cast<unsigned long long>(seq),
                        static_cast<unsigned long long>(sentMicros));
  if (n <= 0) return 0;
  unsigned len = static_cast<unsigned>(n);
  unsigned total = len;
  if (padTo > len + 1) total = padTo;
  if (total > cap) return 0;
  std::memcpy(out, head, len);
  if (total > len) {
    out[len] = ' ';
    std::memset(out + len + 1, 'x', total - len - 1);
  }
  return total;
}

namespace {

bool ReadNumber(const char*& p, const char* end, std::uint64_t& value) {
  if (p >= end || *p < '0' || *p > '9') return false;
  std::uint64_t v = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    std::uint64_t digit = static_cast<std::uint64_t>(*p - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
    ++p;
  }
  value = v;
  return true;
}

}  // namespace

bool RelayBenchParse(const char* text, unsigned len, unsigned& pub, std::uint64_t& seq,
                     std::uint64_t& sentMicros) {
  if (text == nullptr) return false;
  const char* p = text;
  const char* end = text + len;
  std::uint64_t a = 0, b = 0, c = 0;
  if (!ReadNumber(p, end, a) || a > 0xFFFFFFFFu) return false;
  if (p >= end || *p++ != ' ') return false;
  if (!ReadNumber(p, end, b)) return false;
  if (p >= end || *p++ != ' ') return false;
  if (!ReadNumber(p, end, c)) return false;
  if (p != end && *p != ' ') return false;
  pub = static_cast<unsigned>(a);
  seq = b;
  sentMicros = c;
  return true;
}
