// TLS glue shared by the TCP server and the TCP client set: the one-time
// OpenSSL set-up, and a socket BIO that sends with MSG_NOSIGNAL so that a
// vanished peer never raises SIGPIPE (OpenSSL's own socket BIO uses write()).
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "vlk_net_sock.h"

void VlkNetInitOpenSSL() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  });
}

namespace {

int fdOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

bool retriable(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int bioWrite(BIO* bio, const char* data, int len) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::send(fdOf(bio), data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
  if (n < 0 && retriable(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int len) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::recv(fdOf(bio), data, static_cast<std::size_t>(len), 0);
  if (n < 0 && retriable(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

int bioPuts(BIO* bio, const char* text) { return bioWrite(bio, text, static_cast<int>(std::strlen(text))); }

long bioCtrl(BIO* bio, int cmd, long num, void* ptr) {
  (void)num;
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_C_GET_FD:
      if (ptr != nullptr) *static_cast<int*>(ptr) = fdOf(bio);
      return fdOf(bio);
    default:
      return 0;
  }
}

int bioCreate(BIO* bio) {
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)));
  BIO_set_init(bio, 1);
  return 1;
}

// The socket stays open: the node that owns it closes it.
int bioDestroy(BIO* bio) { return bio != nullptr ? 1 : 0; }

BIO_METHOD* socketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "vlk socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, bioWrite);
    BIO_meth_set_read(m, bioRead);
    BIO_meth_set_puts(m, bioPuts);
    BIO_meth_set_ctrl(m, bioCtrl);
    BIO_meth_set_create(m, bioCreate);
    BIO_meth_set_destroy(m, bioDestroy);
    return m;
  }();
  return method;
}

}  // namespace

bool VlkSslSetSocket(SSL* ssl, int fd) {
  BIO_METHOD* method = socketMethod();
  if (ssl == nullptr || fd < 0 || method == nullptr) return false;
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return false;
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  SSL_set_bio(ssl, bio, bio);
  return true;
}

bool VlkSslWriteAll(SSL* ssl, int fd, const void* data, std::size_t len, unsigned int waitMs) {
  const char* p = static_cast<const char*>(data);
  const std::int64_t deadline = VlkMonoMs() + waitMs;
  while (len > 0) {
    ERR_clear_error();
    int chunk = len > 0x40000000u ? 0x40000000 : static_cast<int>(len);
    int n = SSL_write(ssl, p, chunk);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    int err = SSL_get_error(ssl, n);
    if (err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) return false;
    std::int64_t left = deadline - VlkMonoMs();
    if (left <= 0 || !VlkSockWait(fd, err == SSL_ERROR_WANT_READ, static_cast<int>(left < 0x7FFFFFFF ? left : 0x7FFFFFFF))) return false;
  }
  return true;
}

const char* VlkSslReason(unsigned long code) {
  if (code == 0) return "";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "unknown error";
}
