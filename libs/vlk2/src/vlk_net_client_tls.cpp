// One outgoing TCP connection: its reads, its writes and its client TLS state.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "vlk_net.h"
#include "vlk_net_sock.h"

namespace {

const char* sslReason() { return VlkSslReason(ERR_get_error()); }

bool isIpText(const char* text) {
  unsigned char buf[16];
  return inet_pton(AF_INET, text, buf) == 1 || inet_pton(AF_INET6, text, buf) == 1;
}

}  // namespace

Cvlk_tcp_client_node::Cvlk_tcp_client_node(Cvlk_resource* pool)
    : Cvlk_res_node(pool),
      ipv4Socket(INVALID_SOCKET),
      userInfo(0),
      sslCtx(nullptr),
      ssl(nullptr),
      ioUsers(0),
      closePending(false),
      tlsPending(false),
      wantWrite(false) {}

Cvlk_tcp_client_node::~Cvlk_tcp_client_node() {
  if (ssl != nullptr) SSL_free(ssl);
  if (sslCtx != nullptr) SSL_CTX_free(sslCtx);
}

void Cvlk_tcp_client_node::init() {
  ipv4Socket = INVALID_SOCKET;
  userInfo = 0;
  initTLSInfo();
  ioUsers = 0;
  closePending = false;
  tlsPending = false;
  wantWrite = false;
  outQueue = Cvlk_out_queue();
}

void Cvlk_tcp_client_node::initTLSInfo() {
  sslCtx = nullptr;
  ssl = nullptr;
}

EerrNo Cvlk_tcp_client_node::handshake(unsigned int socket, const char* hostName, const char* caFile,
                                       int timeoutMs, ssl_ctx_st*& ctxOut, ssl_st*& sslOut) {
  ERR_clear_error();
  const SSL_METHOD* method = TLS_client_method();
  if (method == nullptr) return ERR_FAIL;
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) return ERR_FAIL;
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // Queued output is written from wherever the queue's front lies now.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const bool verify = hostName != nullptr && hostName[0] != '\0';
  if (verify) {
    const int loaded = (caFile != nullptr && caFile[0] != '\0')
                           ? SSL_CTX_load_verify_locations(ctx, caFile, nullptr)
                           : SSL_CTX_set_default_verify_paths(ctx);
    if (loaded <= 0) {
      VlkDebug("Fail to load CA certificates: %s", sslReason());
      SSL_CTX_free(ctx);
      return ERR_FAIL;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  SSL* s = SSL_new(ctx);
  if (s == nullptr) {
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }
  bool ok = true;
  if (verify) {
    if (isIpText(hostName)) {
      ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s), hostName) == 1;
    } else {
      ok = SSL_set1_host(s, hostName) == 1 && SSL_set_tlsext_host_name(s, hostName) == 1;
    }
  }
  // The library's socket BIO sends with MSG_NOSIGNAL: a server that has gone
  // never raises SIGPIPE.
  if (!ok || !VlkSslSetSocket(s, static_cast<int>(socket))) {
    VlkDebug("Fail to bind socket: %s", sslReason());
    SSL_free(s);
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const int r = SSL_connect(s);
    if (r == 1) break;
    const int e = SSL_get_error(s, r);
    const long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) || left <= 0) {
      VlkDebug("Fail to invoke SSL connection: %s", sslReason());
      SSL_free(s);
      SSL_CTX_free(ctx);
      return ERR_FAIL;
    }
    VlkSockWait(static_cast<int>(socket), e == SSL_ERROR_WANT_READ, static_cast<int>(left));
  }
  ctxOut = ctx;
  sslOut = s;
  return ERR_OK;
}

EerrNo Cvlk_tcp_client_node::startTLS(const char* hostName, const char* caFile, int timeoutMs) {
  if (ipv4Socket == INVALID_SOCKET) return ERR_INVALID_OPR;
  if (ssl != nullptr) return ERR_OK;
  return handshake(ipv4Socket, hostName, caFile, timeoutMs, sslCtx, ssl);
}

void Cvlk_tcp_client_node::stopTLS() {
  if (ssl == nullptr) return;
  SSL_shutdown(ssl);  // sends close_notify when the socket takes it; never waits
  SSL_free(ssl);
  SSL_CTX_free(sslCtx);
  initTLSInfo();
}

int Cvlk_tcp_client_node::readData(char* buf, unsigned int len) {
  if (ipv4Socket == INVALID_SOCKET) return 0;
  if (ssl != nullptr) {
    ERR_clear_error();
    const int r = SSL_read(ssl, buf, static_cast<int>(len));
    if (r > 0) return r;
    const int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -2;
    return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
  const ssize_t r = ::recv(static_cast<int>(ipv4Socket), buf, len, 0);  // the socket does not block
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return -2;
  return static_cast<int>(r);
}

EerrNo Cvlk_tcp_client_node::sendData(const char* data, unsigned int len) { return sendAll(data, len, nullptr); }

EerrNo Cvlk_tcp_client_node::sendAll(const char* data, unsigned int len, Cvlk_mutex* lock) {
  if (data == nullptr || len == 0) return ERR_INVALID_PARAM;
  SSL* s;
  int fd;
  {
    VlkOptionalLock guard(lock);
    s = ssl;
    fd = static_cast<int>(ipv4Socket);
  }
  if (fd < 0) return ERR_INVALID_OPR;
  // Waits for room without limit, as a blocking send would; a close from another
  // thread shuts the socket down and so ends the wait.
  if (s == nullptr) return VlkSockSendAll(fd, data, len, INT_MAX) ? ERR_OK : ERR_FAIL;
  while (len > 0) {
    const unsigned int chunk = len < (1u << 30) ? len : (1u << 30);
    int r;
    int e = SSL_ERROR_NONE;
    {
      VlkOptionalLock guard(lock);
      ERR_clear_error();
      r = SSL_write(s, data, static_cast<int>(chunk));
      if (r <= 0) e = SSL_get_error(s, r);
    }
    if (r > 0) {
      data += r;
      len -= static_cast<unsigned int>(r);
      continue;
    }
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return ERR_FAIL;
    // A full socket buffer: wait for room. A wanted read is the reading thread's to
    // do, so only look again shortly.
    if (e == SSL_ERROR_WANT_WRITE) {
      VlkSockWait(fd, false, INT_MAX);
    } else {
      VlkSockWait(fd, true, 100);
    }
  }
  return ERR_OK;
}
