// relay_book.h: the load client's bookkeeping: which subscriber must see which
// publisher's messages, exactly once and in order, and how long delivery took.
#ifndef RELAY_BOOK_H
#define RELAY_BOOK_H

#include <atomic>
#include <cstdint>
#include <memory>

// Verdict on one delivered message.
enum Erelay_verdict {
  RELAY_DELIVERY_OK = 0,
  RELAY_DELIVERY_DUPLICATE,   // a sequence number already seen (or older)
  RELAY_DELIVERY_GAP,         // a sequence number beyond the next expected one
  RELAY_DELIVERY_UNEXPECTED,  // the subscriber is not subscribed to that publisher's topic
  RELAY_DELIVERY_MALFORMED,   // a publisher index out of range
};

// Per (subscriber, publisher) pair: the next sequence number expected. Publishers
// number their messages 1, 2, 3 ... Capacity is fixed at construction.
// Thread-safety: Expect before the run; Published from one publishing thread;
// Delivered from one receiving thread; the totals after both have stopped (the
// counters they read are atomic, so a progress read while running is safe).
class Crelay_book {
 public:
  Crelay_book(unsigned subscribers, unsigned publishers);
  Crelay_book(const Crelay_book&) = delete;
  Crelay_book& operator=(const Crelay_book&) = delete;

  unsigned Subscribers() const { return m_subs; }
  unsigned Publishers() const { return m_pubs; }

  // Marks that subscriber sub is to receive every message of publisher pub.
  void Expect(unsigned sub, unsigned pub);
  bool IsExpected(unsigned sub, unsigned pub) const;
  // Records that publisher pub has sent message number seq (consecutive, from 1).
  void Published(unsigned pub, std::uint64_t seq);
  std::uint64_t PublishedBy(unsigned pub) const;
  // Checks and records one delivery.
  Erelay_verdict Delivered(unsigned sub, unsigned pub, std::uint64_t seq);

  // Deliveries still owed: for every expected pair, sent minus received.
  std::uint64_t Missing() const;
  // Deliveries that should happen in total (sum over expected pairs of sent).
  std::uint64_t ExpectedDeliveries() const;
  std::uint64_t Received() const { return m_received.load(std::memory_order_relaxed); }
  std::uint64_t Faults() const { return m_faults.load(std::memory_order_relaxed); }

 private:
  unsigned m_subs;
  unsigned m_pubs;
  std::unique_ptr<bool[]> m_expect;            // [sub * pubs + pub]: fixed before the run
  std::unique_ptr<std::uint64_t[]> m_next;     // [sub * pubs + pub]: next expected (receiving thread)
  std::unique_ptr<std::atomic<std::uint64_t>[]> m_sent;  // [pub]
  std::atomic<std::uint64_t> m_received{0};
  std::atomic<std::uint64_t> m_faults{0};
};

// Latency histogram in microseconds: exact to 1 us below 1 ms, then buckets of
// 1/64 of each power of two, up to about 70 s; larger values count in the last.
// Thread-safety: owner thread only.
class Crelay_latency {
 public:
  Crelay_latency();
  void Add(std::uint64_t micros);
  std::uint64_t Count() const { return m_count; }
  // The smallest value v such that at least q (0..1) of the samples are <= v,
  // rounded up to its bucket's upper edge; 0 without samples.
  std::uint64_t Quantile(double q) const;
  std::uint64_t Max() const { return m_max; }

 private:
  static unsigned Bucket(std::uint64_t micros);
  static std::uint64_t Upper(unsigned bucket);
  static constexpr unsigned kExact = 1024;
  static constexpr unsigned kSub = 64;
  static constexpr unsigned kBuckets = kExact + 16 * kSub;
  std::uint64_t m_counts[kBuckets];
  std::uint64_t m_count = 0;
  std::uint64_t m_max = 0;
};

// The text a bench publisher sends: "<pub> <seq> <sentMicros>" followed by a
// blank and padding up to padTo bytes. Returns the length written (no zero), or
// 0 when it does not fit in cap.
unsigned RelayBenchFormat(char* out, unsigned cap, unsigned pub, std::uint64_t seq, std::uint64_t sentMicros,
                          unsigned padTo);
// Reads such a text back; false when it is not one.
bool RelayBenchParse(const char* text, unsigned len, unsigned& pub, std::uint64_t& seq,
                     std::uint64_t& sentMicros);

#endif  // RELAY_BOOK_H
