// vlk_net_outq.h (internal: not installed): the output queues of the TCP
// server's and the client set's connections. Bytes a socket did not take at
// once wait in fixed chunks taken from a pool whose memory is reserved when
// the server is built, so that queueing never touches the heap.
#ifndef VLK_NET_OUTQ_H
#define VLK_NET_OUTQ_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "vlk_net.h"

// A fixed set of equal chunks over one anonymous mapping (pages are touched
// on first use only), handed out and taken back in linked chains.
// Thread-safety: any thread; m_lock guards the free list.
class VlkOutPool {
 public:
  static constexpr unsigned int CHUNK = 16384;  // one TLS record's worth of plaintext
  static constexpr std::uint32_t NONE = 0xFFFFFFFFu;

  // Room for budget bytes, rounded up to whole chunks (at least one).
  explicit VlkOutPool(std::size_t budget);
  ~VlkOutPool();
  VlkOutPool(const VlkOutPool&) = delete;
  VlkOutPool& operator=(const VlkOutPool&) = delete;

  bool ok() const { return m_base != nullptr; }
  // Takes n chunks linked first..last, or none at all (false).
  bool take(unsigned int n, std::uint32_t& first, std::uint32_t& last);
  // Gives back the chain that starts at first.
  void give(std::uint32_t first);
  char* data(std::uint32_t chunk) const { return m_base + static_cast<std::size_t>(chunk) * CHUNK; }
  // The chain links; a link is written only by the chain's one owner.
  std::uint32_t next(std::uint32_t chunk) const { return m_next[chunk]; }
  void link(std::uint32_t from, std::uint32_t to) { m_next[from] = to; }
  std::size_t capacity() const { return static_cast<std::size_t>(m_count) * CHUNK; }
  std::size_t inUse();

 private:
  char* m_base;
  std::size_t m_mapLen;
  unsigned int m_count;
  std::uint32_t* m_next;  // per chunk: the next of its chain, or of the free list
  std::mutex m_lock;
  std::uint32_t m_freeHead;   // guarded by m_lock
  unsigned int m_freeCount;   // guarded by m_lock
};

// Appends len bytes to q, all or nothing (false when the pool runs short).
bool VlkOutAppend(VlkOutPool& pool, Cvlk_out_queue& q, const char* data, std::size_t len);
// The contiguous bytes at the front of q (at most one chunk); null when empty.
const char* VlkOutFront(const VlkOutPool& pool, const Cvlk_out_queue& q, std::size_t& len);
// Drops n bytes from the front (n at most what VlkOutFront reported).
void VlkOutConsume(VlkOutPool& pool, Cvlk_out_queue& q, std::size_t n);
// Drops everything and gives the chunks back.
void VlkOutClear(VlkOutPool& pool, Cvlk_out_queue& q);

// Writes what the socket (or TLS over it) takes now, never waiting: the
// number of bytes taken, or -1 when the connection failed. A TLS write that
// wants the peer first takes 0; the same bytes must be offered again first.
long VlkWriteSome(int fd, struct ssl_st* ssl, const char* data, std::size_t len);

#endif  // VLK_NET_OUTQ_H
