// The chunk pool and the output queues built on it, and the one write that
// never waits.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "vlk_net_outq.h"

VlkOutPool::VlkOutPool(std::size_t budget)
    : m_base(nullptr), m_mapLen(0), m_count(0), m_next(nullptr), m_freeHead(NONE), m_freeCount(0) {
  std::size_t chunks = (budget + CHUNK - 1) / CHUNK;
  if (chunks == 0) chunks = 1;
  if (chunks > 0x7FFFFFFFu / 2) chunks = 0x7FFFFFFFu / 2;
  m_mapLen = chunks * CHUNK;
  // Reserved, not committed: a page costs memory once a queue first uses it.
  void* p = ::mmap(nullptr, m_mapLen, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    m_mapLen = 0;
    return;
  }
  m_base = static_cast<char*>(p);
  m_count = static_cast<unsigned int>(chunks);
  m_next = new std::uint32_t[m_count];
  for (unsigned int i = 0; i < m_count; ++i) m_next[i] = i + 1 < m_count ? i + 1 : NONE;
  m_freeHead = 0;
  m_freeCount = m_count;
}

VlkOutPool::~VlkOutPool() {
  if (m_base != nullptr) ::munmap(m_base, m_mapLen);
  delete[] m_next;
}

bool VlkOutPool::take(unsigned int n, std::uint32_t& first, std::uint32_t& last) {
  if (n == 0) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  if (n > m_freeCount) return false;
  first = m_freeHead;
  std::uint32_t c = first;
  for (unsigned int i = 1; i < n; ++i) c = m_next[c];
  last = c;
  m_freeHead = m_next[c];
  m_next[c] = NONE;
  m_freeCount -= n;
  return true;
}

void VlkOutPool::give(std::uint32_t first) {
  if (first == NONE) return;
  unsigned int n = 1;
  std::uint32_t last = first;
  while (m_next[last] != NONE) {
    last = m_next[last];
    ++n;
  }
  std::lock_guard<std::mutex> guard(m_lock);
  m_next[last] = m_freeHead;
  m_freeHead = first;
  m_freeCount += n;
}

std::size_t VlkOutPool::inUse() {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<std::size_t>(m_count - m_freeCount) * CHUNK;
}

bool VlkOutAppend(VlkOutPool& pool, Cvlk_out_queue& q, const char* data, std::size_t len) {
  if (len == 0) return true;
  const std::size_t room = q.bytes == 0 ? 0 : VlkOutPool::CHUNK - q.tailLen;
  const std::size_t over = len > room ? len - room : 0;
  const std::size_t need = (over + VlkOutPool::CHUNK - 1) / VlkOutPool::CHUNK;
  std::uint32_t first = VlkOutPool::NONE;
  std::uint32_t last = VlkOutPool::NONE;
  if (need > 0 && (need > 0x7FFFFFFFu || !pool.take(static_cast<unsigned int>(need), first, last))) return false;
  if (room > 0) {
    const std::size_t n = len < room ? len : room;
    std::memcpy(pool.data(q.tail) + q.tailLen, data, n);
    q.tailLen += static_cast<std::uint32_t>(n);
    q.bytes += n;
    data += n;
    len -= n;
  }
  if (need == 0) return true;
  if (q.bytes == 0) {
    q.head = first;
    q.headOff = 0;
  } else {
    pool.link(q.tail, first);
  }
  for (std::uint32_t c = first; len > 0; c = pool.next(c)) {
    const std::size_t n = len < VlkOutPool::CHUNK ? len : VlkOutPool::CHUNK;
    std::memcpy(pool.data(c), data, n);
    data += n;
    len -= n;
    q.bytes += n;
    q.tailLen = static_cast<std::uint32_t>(n);
  }
  q.tail = last;
  return true;
}

const char* VlkOutFront(const VlkOutPool& pool, const Cvlk_out_queue& q, std::size_t& len) {
  if (q.bytes == 0) {
    len = 0;
    return nullptr;
  }
  const std::size_t end = q.head == q.tail ? q.tailLen : VlkOutPool::CHUNK;
  len = end - q.headOff;
  return pool.data(q.head) + q.headOff;
}

void VlkOutConsume(VlkOutPool& pool, Cvlk_out_queue& q, std::size_t n) {
  if (n == 0 || q.bytes == 0) return;
  q.headOff += static_cast<std::uint32_t>(n);
  q.bytes -= n;
  const std::size_t end = q.head == q.tail ? q.tailLen : VlkOutPool::CHUNK;
  if (q.headOff < end) return;
  // The front chunk is done: give it back alone.
  const std::uint32_t done = q.head;
  if (q.bytes == 0) {
    q = Cvlk_out_queue();
  } else {
    q.head = pool.next(done);
    q.headOff = 0;
  }
  pool.link(done, VlkOutPool::NONE);
  pool.give(done);
}

void VlkOutClear(VlkOutPool& pool, Cvlk_out_queue& q) {
  if (q.bytes != 0 || q.head != VlkOutPool::NONE) {
    if (q.head != VlkOutPool::NONE) pool.give(q.head);
  }
  q = Cvlk_out_queue();
}

long VlkWriteSome(int fd, SSL* ssl, const char* data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    if (ssl != nullptr) {
      // One record's worth per call, so that a call that must be repeated
      // after WANT_WRITE finds at least as many bytes at the queue's front.
      const std::size_t piece = len - done < VlkOutPool::CHUNK ? len - done : VlkOutPool::CHUNK;
      ERR_clear_error();
      const int n = SSL_write(ssl, data + done, static_cast<int>(piece));
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      const int err = SSL_get_error(ssl, n);
      if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) break;
      ERR_clear_error();
      return -1;
    }
    const ssize_t n = ::send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return -1;
  }
  return static_cast<long>(done);
}
