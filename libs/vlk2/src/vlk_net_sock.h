// vlk_net_sock.h (internal: not installed): the socket glue the network
// servers share: close-on-exec sockets, complete sends that never raise
// SIGPIPE, a monotonic clock, and the OpenSSL set-up and socket BIO.
#ifndef VLK_NET_SOCK_H
#define VLK_NET_SOCK_H

#include <cstddef>
#include <cstdint>

#include "vlk_sys.h"

struct ssl_st;

// socket() with SOCK_CLOEXEC (and SOCK_NONBLOCK when nonBlocking); -1 on failure.
int VlkSockOpen(int family, int type, bool nonBlocking);
// Sends all len bytes with MSG_NOSIGNAL. When the socket's buffer is full it
// waits for room, at most waitMs in all. True when every byte went.
bool VlkSockSendAll(int fd, const void* data, std::size_t len, unsigned int waitMs);
// Waits up to waitMs for fd to become writable (true) or readable when forRead.
bool VlkSockWait(int fd, bool forRead, int waitMs);
// Milliseconds of a monotonic clock.
std::int64_t VlkMonoMs();

// The process-wide OpenSSL set-up, run once whoever asks first (thread-safe).
void VlkNetInitOpenSSL();
// Attaches fd to ssl through the library's socket BIO, which sends with
// MSG_NOSIGNAL. True on success; the BIO belongs to ssl.
bool VlkSslSetSocket(ssl_st* ssl, int fd);
// SSL_write of all len bytes, waiting at most waitMs in all whenever the
// socket is not ready. True when every byte went.
bool VlkSslWriteAll(ssl_st* ssl, int fd, const void* data, std::size_t len, unsigned int waitMs);
// The reason text of an OpenSSL error code ("" for 0).
const char* VlkSslReason(unsigned long code);

// Takes lock, when there is one, for one scope.
class VlkOptionalLock {
 public:
  explicit VlkOptionalLock(Cvlk_mutex* lock) : m_lock(lock) {
    if (m_lock != nullptr) m_lock->Take();
  }
  ~VlkOptionalLock() {
    if (m_lock != nullptr) m_lock->Give();
  }
  VlkOptionalLock(const VlkOptionalLock&) = delete;
  VlkOptionalLock& operator=(const VlkOptionalLock&) = delete;

 private:
  Cvlk_mutex* m_lock;
};

#endif  // VLK_NET_SOCK_H
