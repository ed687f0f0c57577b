// Socket glue: non-blocking mode, close-on-exec sockets, complete sends
// without SIGPIPE, the read set that a server loop polls, and the fixed
// socket-to-node map.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vlk_net.h"
#include "vlk_net_sock.h"

int setnonblocking(int socket) {
  int flags = fcntl(socket, F_GETFL, 0);
  if (flags < 0) return -1;
  if ((flags & O_NONBLOCK) != 0) return 0;
  return fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
}

int VlkSockOpen(int family, int type, bool nonBlocking) {
  return ::socket(family, type | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}

std::int64_t VlkMonoMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool VlkSockWait(int fd, bool forRead, int waitMs) {
  pollfd p;
  p.fd = fd;
  p.events = forRead ? POLLIN : POLLOUT;
  p.revents = 0;
  int n;
  do {
    n = ::poll(&p, 1, waitMs < 0 ? 0 : waitMs);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

bool VlkSockSendAll(int fd, const void* data, std::size_t len, unsigned int waitMs) {
  const char* p = static_cast<const char*>(data);
  const std::int64_t deadline = VlkMonoMs() + waitMs;
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      std::int64_t left = deadline - VlkMonoMs();
      if (left <= 0 || !VlkSockWait(fd, false, static_cast<int>(left < 0x7FFFFFFF ? left : 0x7FFFFFFF))) return false;
      continue;
    }
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Cvlk_read_set
// ---------------------------------------------------------------------------

namespace {

unsigned int hashSocket(unsigned int socket, unsigned int slots) { return (socket * 2654435761u) & (slots - 1); }

}  // namespace

void Cvlk_read_set::clear() {
  m_count = 0;
  std::memset(m_hash, 0xFF, sizeof(m_hash));
}

bool Cvlk_read_set::contains(unsigned int socket) const {
  if (socket == INVALID_SOCKET) return false;
  for (unsigned int h = hashSocket(socket, HASH_SLOTS);; h = (h + 1) & (HASH_SLOTS - 1)) {
    if (m_hash[h] < 0) return false;
    if (static_cast<unsigned int>(m_hash[h]) == socket) return true;
  }
}

bool Cvlk_read_set::add(unsigned int socket) {
  // Handles above INT_MAX are not descriptors.
  if (socket == INVALID_SOCKET || socket > 0x7FFFFFFFu || m_count >= MAX_SOCKETS) return false;
  unsigned int h = hashSocket(socket, HASH_SLOTS);
  for (; m_hash[h] >= 0; h = (h + 1) & (HASH_SLOTS - 1))
    if (static_cast<unsigned int>(m_hash[h]) == socket) return false;
  m_hash[h] = static_cast<int>(socket);
  m_fds[m_count].fd = static_cast<int>(socket);
  m_fds[m_count].events = POLLIN;
  m_fds[m_count].revents = 0;
  ++m_count;
  return true;
}

// ---------------------------------------------------------------------------
// Cvlk_sock_map: linear probing with backward-shift deletion
// ---------------------------------------------------------------------------

Cvlk_sock_map::Cvlk_sock_map(unsigned int maxEntries) : m_mask(0), m_keys(nullptr), m_vals(nullptr), m_size(0) {
  unsigned int slots = 16;
  while (slots < 2 * maxEntries + 2 && slots < (1u << 30)) slots <<= 1;
  m_keys = new unsigned int[slots];
  m_vals = new unsigned int[slots];
  m_mask = slots - 1;
  for (unsigned int i = 0; i < slots; ++i) {
    m_keys[i] = INVALID_SOCKET;
    m_vals[i] = 0;
  }
}

Cvlk_sock_map::~Cvlk_sock_map() {
  delete[] m_keys;
  delete[] m_vals;
}

unsigned int Cvlk_sock_map::slotOf(unsigned int socket) const { return (socket * 2654435761u) & m_mask; }

bool Cvlk_sock_map::insert(unsigned int socket, unsigned int nodeId) {
  if (socket == INVALID_SOCKET) return false;
  unsigned int i = slotOf(socket);
  for (; m_keys[i] != INVALID_SOCKET; i = (i + 1) & m_mask) {
    if (m_keys[i] == socket) {
      m_vals[i] = nodeId;
      return true;
    }
  }
  // Keep at least one slot empty so that every probe ends.
  if (m_size + 1 >= m_mask) return false;
  m_keys[i] = socket;
  m_vals[i] = nodeId;
  ++m_size;
  return true;
}

unsigned int Cvlk_sock_map::find(unsigned int socket) const {
  if (socket == INVALID_SOCKET) return 0;
  for (unsigned int i = slotOf(socket); m_keys[i] != INVALID_SOCKET; i = (i + 1) & m_mask)
    if (m_keys[i] == socket) return m_vals[i];
  return 0;
}

void Cvlk_sock_map::remove(unsigned int socket) {
  if (socket == INVALID_SOCKET) return;
  unsigned int i = slotOf(socket);
  while (m_keys[i] != socket) {
    if (m_keys[i] == INVALID_SOCKET) return;
    i = (i + 1) & m_mask;
  }
  // Shift later members of the probe run back so that no lookup stops early.
  unsigned int hole = i;
  for (unsigned int j = (i + 1) & m_mask; m_keys[j] != INVALID_SOCKET; j = (j + 1) & m_mask) {
    unsigned int home = slotOf(m_keys[j]);
    // Move j into the hole unless its home lies cyclically in (hole, j].
    bool stays = (hole <= j) ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    m_keys[hole] = m_keys[j];
    m_vals[hole] = m_vals[j];
    hole = j;
  }
  m_keys[hole] = INVALID_SOCKET;
  m_vals[hole] = 0;
  --m_size;
}
