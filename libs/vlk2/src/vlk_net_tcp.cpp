// The TCP server's connection node and its set-up: listeners, the TLS
// context, outgoing connections, and the operations applications call.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "vlk_net.h"
#include "vlk_net_outq.h"
#include "vlk_net_sock.h"

namespace {

const unsigned int kDefaultHandshakeMs = 10000;
const unsigned int kDefaultSendWaitMs = 2000;
const unsigned int kMaxHandshakeSeconds = 86400;

}  // namespace

// ---------------------------------------------------------------------------
// Cvlk_tcp
// ---------------------------------------------------------------------------

Cvlk_tcp::Cvlk_tcp(Cvlk_resource* pool) : Cvlk_io_node(pool), ssl(nullptr), ioUsers(0), closePending(false) {
  init();
  sendWaitMs = kDefaultSendWaitMs;
}

void Cvlk_tcp::init() {
  Cvlk_io_node::init();
  peerAddr.init();
  ssl = nullptr;
  lastActive = 0;
  handshakeDeadline = 0;
  ioUsers = 0;
  closePending = false;
  outQueue = Cvlk_out_queue();
  readPaused = false;
  aboveHighWater = false;
  readWatched = true;
  writeWatched = false;
  watchDropped = false;
  peerEnded = false;
  closeState = 0;
  closeDeadline = 0;
}

unsigned int Cvlk_tcp::getHandle() const { return peerAddr.version != 4 ? ipv6Socket : ipv4Socket; }

unsigned int Cvlk_tcp::getIdleDuration() const {
  std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const std::int64_t last = lastActive.load(std::memory_order_relaxed);
  return now > last ? static_cast<unsigned int>(now - last) : 0;
}

EerrNo Cvlk_tcp::sendData(const void* data, unsigned int len) {
  if (data == nullptr || len == 0) return ERR_INVALID_PARAM;
  unsigned int socket = getHandle();
  if (ssl != nullptr) {
    // A connection still in its handshake is not open for data yet.
    if (handshakeDeadline != 0) return ERR_INVALID_OPR;
    if (socket == INVALID_SOCKET) return ERR_FAIL;
    return VlkSslWriteAll(ssl, static_cast<int>(socket), data, len, sendWaitMs) ? ERR_OK : ERR_FAIL;
  }
  if (socket == INVALID_SOCKET) return ERR_INVALID_OPR;
  return VlkSockSendAll(static_cast<int>(socket), data, len, sendWaitMs) ? ERR_OK : ERR_FAIL;
}

EerrNo Cvlk_tcp::readData(char* buf, unsigned int len, unsigned int& readLen) {
  readLen = 0;
  unsigned int socket = getHandle();
  if (socket == INVALID_SOCKET || buf == nullptr || len == 0) return ERR_INVALID_PARAM;
  lastActive.store(static_cast<std::int64_t>(std::time(nullptr)), std::memory_order_relaxed);
  if (ssl != nullptr) {
    ERR_clear_error();
    int n = SSL_read(ssl, buf, static_cast<int>(len));
    if (n > 0) {
      readLen = static_cast<unsigned int>(n);
      return ERR_OK;
    }
    int err = SSL_get_error(ssl, n);
    return (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) ? ERR_OK : ERR_FAIL;
  }
  ssize_t n = ::recv(static_cast<int>(socket), buf, len, MSG_DONTWAIT);
  if (n > 0) {
    readLen = static_cast<unsigned int>(n);
    return ERR_OK;
  }
  if (n == 0) return ERR_OBJ_NOT_FOUND;
  // Nothing there after all (another thread took the descriptor's data, or a
  // spurious wake-up): not a broken connection.
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? ERR_OK : ERR_FAIL;
}

void Cvlk_tcp::stopTLS() {
  if (ssl == nullptr) return;
  // close_notify only after a completed handshake; the socket BIO never raises SIGPIPE.
  if (SSL_is_init_finished(ssl)) SSL_shutdown(ssl);
  SSL_free(ssl);
  ERR_clear_error();
  ssl = nullptr;
  handshakeDeadline = 0;
}

// ---------------------------------------------------------------------------
// Cvlk_tcp_server: set-up
// ---------------------------------------------------------------------------

Cvlk_tcp_server::Cvlk_tcp_server(unsigned int maxConnections, QObject* parent)
    : Cvlk_io_server(maxConnections, parent),
      ipv4Listener(INVALID_SOCKET),
      ipv6Listener(INVALID_SOCKET),
      sslCtx(nullptr),
      m_handshakeMs(kDefaultHandshakeMs),
      m_sendWaitMs(kDefaultSendWaitMs),
      m_pendingHandshakes(0),
      m_spareFd(-1),
      m_outPool(new VlkOutPool(DEFAULT_OUTPUT_BUDGET)),
      m_maxQueued(DEFAULT_MAX_QUEUED),
      m_highWater(DEFAULT_HIGH_WATER),
      m_lowWater(DEFAULT_LOW_WATER),
      m_policy(SLOW_CONSUMER_CLOSE),
      m_closing(0),
      m_nextClosingCheck(0),
      m_resumed(0),
      m_refusedSends(0),
      m_slowCloses(0),
      m_logSecond(0),
      m_logCount(0),
      m_lineWindows(),
      m_noDelay(true) {
  initTcpResource();
  VlkNetInitOpenSSL();
  initTLSParams();
  m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

Cvlk_tcp_server::~Cvlk_tcp_server() {
  stop();
  // A server whose thread never ran still owns its sockets. No signal goes
  // out from here: the receivers may be gone; the base closes the sockets.
  closeListeners();
  {
    Cvlk_mutex_locker guard(&ioLock);
    for (unsigned int i = 0; i < nodePool->GetRealNum(); ++i) {
      if (nodePool->GetStateByIndex(i) != RES_BUSY) continue;
      Cvlk_tcp* node = static_cast<Cvlk_tcp*>(nodePool->GetByIndex(i));
      node->stopTLS();
      VlkOutClear(*m_outPool, node->outQueue);
    }
  }
  {
    Cvlk_mutex_locker guard(&ioLock);
    if (sslCtx != nullptr) SSL_CTX_free(sslCtx);
    sslCtx = nullptr;
  }
  if (m_spareFd >= 0) ::close(m_spareFd);
  delete m_outPool;
}

void Cvlk_tcp_server::initTcpResource() {
  Cvlk_mutex_locker guard(&ioLock);
  for (unsigned int i = 0; i < nodePool->GetMaxNum(); ++i) {
    Cvlk_tcp* node = new Cvlk_tcp(nodePool);
    if (nodePool->Add(node) != ERR_OK) {
      delete node;
      break;
    }
  }
}

void Cvlk_tcp_server::initTLSParams() {
  Cvlk_mutex_locker guard(&ioLock);
  sslCtx = nullptr;
}

Ebool Cvlk_tcp_server::hasTLS() {
  Cvlk_mutex_locker guard(&ioLock);
  return sslCtx != nullptr ? VLK_TRUE : VLK_FALSE;
}

void Cvlk_tcp_server::setHandshakeTimeout(unsigned int seconds) {
  if (seconds > kMaxHandshakeSeconds) seconds = kMaxHandshakeSeconds;  // seconds * 1000 stays in range
  m_handshakeMs = seconds == 0 ? kDefaultHandshakeMs : seconds * 1000;
}

void Cvlk_tcp_server::setSendTimeout(unsigned int milliseconds) { m_sendWaitMs = milliseconds; }

void Cvlk_tcp_server::reportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  reportArgs(format, args);
  va_end(args);
}

void Cvlk_tcp_server::reportArgs(const char* format, va_list args) {
  Cvlk_tmp_str text;
  char line[1024];
  std::vsnprintf(line, sizeof(line), format, args);
  text.set("%s", line);
  displayErrorInfo(text);
}

namespace {

constexpr std::int64_t kLineWindowMs = 10000;
// What the summary of each kind of loop line starts with (the lines' own start).
const char* const kLinePrefix[] = {"No enough TCP node to process current connection",
                                   "Fail to accept TLS connection:",
                                   "Fail to accept TCP connection: out of descriptors"};

}  // namespace

void Cvlk_tcp_server::reportLimited(int kind, const char* format, ...) {
  Sline_window& w = m_lineWindows[kind];
  const std::int64_t now = VlkMonoMs();
  if (w.end > now || w.held > 0) {
    // A window that ended with lines held back is summed up first, and that
    // summary opens the next window, which holds this line back too.
    if (w.end <= now) reportHeld();
    ++w.held;
    return;
  }
  w.end = now + kLineWindowMs;
  va_list args;
  va_start(args, format);
  reportArgs(format, args);
  va_end(args);
}

void Cvlk_tcp_server::reportHeld(bool all) {
  const std::int64_t now = VlkMonoMs();
  for (int kind = 0; kind < LINE_KINDS; ++kind) {
    Sline_window& w = m_lineWindows[kind];
    if (w.held == 0 || (w.end > now && !all)) continue;
    reportError("%s ... and %u more in the last 10 s", kLinePrefix[kind], w.held);
    // The summary opens the next window: at most one line per kind in 10 s.
    w.held = 0;
    w.end = now + kLineWindowMs;
  }
}

namespace {

// ERR_OBJ_NOT_FOUND when path cannot be opened for reading (its reason goes
// to why), else ERR_OK.
EerrNo checkReadable(const char* path, const char*& why) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return ERR_OBJ_NOT_FOUND;
  }
  ::close(fd);
  return ERR_OK;
}

}  // namespace

EerrNo Cvlk_tcp_server::startTLS(const char* certFile, const char* keyFile) {
  if (certFile == nullptr || certFile[0] == '\0' || keyFile == nullptr || keyFile[0] == '\0')
    return ERR_INVALID_PARAM;
  {
    // Listeners opened without TLS would go on serving plain connections on a
    // port the caller believes is TLS: the context comes first.
    Cvlk_mutex_locker guard(&ioLock);
    if (ipv4Listener != INVALID_SOCKET || ipv6Listener != INVALID_SOCKET) return ERR_INVALID_OPR;
  }
  const char* why = "";
  if (checkReadable(certFile, why) != ERR_OK) {
    reportError("Fail to load certificate file: %s: %s", certFile, why);
    return ERR_OBJ_NOT_FOUND;
  }
  if (checkReadable(keyFile, why) != ERR_OK) {
    reportError("Fail to load key file: %s: %s", keyFile, why);
    return ERR_OBJ_NOT_FOUND;
  }
  const SSL_METHOD* method = TLS_server_method();
  if (method == nullptr) return ERR_FAIL;
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) return ERR_FAIL;
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Queued output is written from wherever the queue's front lies now, in
  // pieces that may stop at any record.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  ERR_clear_error();
  if (SSL_CTX_use_certificate_file(ctx, certFile, SSL_FILETYPE_PEM) <= 0) {
    reportError("Fail to load certificate file: %s: %s", certFile, VlkSslReason(ERR_get_error()));
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) <= 0) {
    // A readable key that does not belong to the certificate fails here too.
    reportError("Fail to load key file: %s: %s", keyFile, VlkSslReason(ERR_get_error()));
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }
  if (SSL_CTX_check_private_key(ctx) == 0) {
    reportError("Fail to load key file: %s: %s", keyFile, VlkSslReason(ERR_get_error()));
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }
  Cvlk_mutex_locker guard(&ioLock);
  if (ipv4Listener != INVALID_SOCKET || ipv6Listener != INVALID_SOCKET) {
    SSL_CTX_free(ctx);
    return ERR_INVALID_OPR;
  }
  // Connections already in a handshake hold their own reference to the old context.
  if (sslCtx != nullptr) SSL_CTX_free(sslCtx);
  sslCtx = ctx;
  return ERR_OK;
}

unsigned int Cvlk_tcp_server::bindLocalAddr(Cvlk_uaddr localAddr) {
  if (localAddr.getPort() == 0) {
    errno = EINVAL;
    return INVALID_SOCKET;
  }
  return openListener(localAddr);
}

unsigned int Cvlk_tcp_server::openListener(Cvlk_uaddr localAddr) {
  int family = localAddr.version == 4 ? AF_INET : AF_INET6;
  // Every listener is non-blocking: TLS handshakes run from the loop too.
  int fd = VlkSockOpen(family, SOCK_STREAM, true);
  if (fd < 0) return INVALID_SOCKET;
  // On failure errno keeps the reason for the caller.
  auto fail = [fd](const char* line) {
    const int err = errno;
    if (line != nullptr) VlkDebug("%s", line);
    ::close(fd);
    errno = err;
    return INVALID_SOCKET;
  };
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one)) != 0 ||
      (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0))
    return fail(nullptr);
  if (::bind(fd, localAddr.getAddr(), static_cast<socklen_t>(localAddr.getAddrLen())) != 0)
    return fail("fail to bind socket.");
  if (::listen(fd, SOMAXCONN) != 0) return fail("fail to listen.");
  return static_cast<unsigned int>(fd);
}

EerrNo Cvlk_tcp_server::bind(unsigned short port) {
  if (port == 0) return ERR_INVALID_PARAM;
  {
    // A second bind would silently close the port the first one opened.
    Cvlk_mutex_locker guard(&ioLock);
    if (ipv4Listener != INVALID_SOCKET || ipv6Listener != INVALID_SOCKET) return ERR_INVALID_OPR;
  }
  Cvlk_uaddr v6;
  v6.initAnyAddrV6(port);
  Cvlk_uaddr v4;
  v4.initAnyAddrV4(port);
  unsigned int l6 = bindLocalAddr(v6);
  const int err6 = l6 == INVALID_SOCKET ? errno : 0;
  // A host without IPv6 serves IPv4 alone; any other failure of either family
  // fails the bind, so that clients of that family never reach another
  // process that holds the port.
  const bool noV6 = err6 == EAFNOSUPPORT || err6 == EADDRNOTAVAIL;
  unsigned int l4 = INVALID_SOCKET;
  int err4 = 0;
  if (l6 != INVALID_SOCKET || noV6) {
    l4 = bindLocalAddr(v4);
    err4 = l4 == INVALID_SOCKET ? errno : 0;
  }
  if (l4 == INVALID_SOCKET || (l6 == INVALID_SOCKET && !noV6)) {
    const int err = err6 != 0 && !noV6 ? err6 : err4;
    if (l6 != INVALID_SOCKET) ::close(static_cast<int>(l6));
    if (l4 != INVALID_SOCKET) ::close(static_cast<int>(l4));
    reportError("fail to bind port %u (%s): %s", static_cast<unsigned int>(port),
                err6 != 0 && !noV6 ? "IPv6" : "IPv4", std::strerror(err));
    return err == EADDRINUSE ? ERR_OBJ_EXISTED : ERR_FAIL;
  }
  return installListeners(l4, l6);
}

EerrNo Cvlk_tcp_server::installListeners(unsigned int l4, unsigned int l6) {
  Cvlk_mutex_locker guard(&ioLock);
  if (ipv4Listener != INVALID_SOCKET || ipv6Listener != INVALID_SOCKET) {
    // Another thread's bind won meanwhile.
    if (l4 != INVALID_SOCKET) ::close(static_cast<int>(l4));
    if (l6 != INVALID_SOCKET) ::close(static_cast<int>(l6));
    return ERR_INVALID_OPR;
  }
  ipv6Listener = l6;
  ipv4Listener = l4;
  if (l6 != INVALID_SOCKET) watch(l6, 0);
  if (l4 != INVALID_SOCKET) watch(l4, 0);
  return ERR_OK;
}

EerrNo Cvlk_tcp_server::bindAddress(Cvlk_uaddr local, unsigned short* boundPort) {
  if (local.version != 4 && local.version != 6) return ERR_INVALID_PARAM;
  {
    Cvlk_mutex_locker guard(&ioLock);
    if (ipv4Listener != INVALID_SOCKET || ipv6Listener != INVALID_SOCKET) return ERR_INVALID_OPR;
  }
  const unsigned short port = local.getPort();
  // Port 0: the system picks one for this address alone.
  const unsigned int fd = openListener(local);
  if (fd == INVALID_SOCKET) {
    const int err = errno;
    Cvlk_tmp_str text;
    local.getAddrStr(text);
    reportError("fail to bind port %u (%s %s): %s", static_cast<unsigned int>(port),
                local.version == 4 ? "IPv4" : "IPv6", text.c_str(), std::strerror(err));
    return err == EADDRINUSE ? ERR_OBJ_EXISTED : ERR_FAIL;
  }
  if (boundPort != nullptr) {
    Cvlk_uaddr bound = local;
    socklen_t len = static_cast<socklen_t>(bound.getAddrLen());
    getsockname(static_cast<int>(fd), bound.getAddr(), &len);
    *boundPort = bound.getPort();
  }
  return local.version == 4 ? installListeners(fd, INVALID_SOCKET) : installListeners(INVALID_SOCKET, fd);
}

EerrNo Cvlk_tcp_server::bindAnyPort(unsigned short& port) {
  // The system picks a free IPv6 port; the IPv4 listener takes the same one
  // when it is free there too, else both are tried again.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = VlkSockOpen(AF_INET6, SOCK_STREAM, true);
    unsigned short picked = 0;
    if (fd >= 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
      Cvlk_uaddr any;
      any.initAnyAddrV6(0);
      sockaddr_in6 bound;
      socklen_t len = sizeof(bound);
      if (::bind(fd, any.getAddr(), static_cast<socklen_t>(any.getAddrLen())) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0)
        picked = ntohs(bound.sin6_port);
      ::close(fd);
    }
    if (picked == 0) {
      // No IPv6 here: let the system pick an IPv4 port.
      fd = VlkSockOpen(AF_INET, SOCK_STREAM, true);
      if (fd < 0) return ERR_OUT_OF_MEMORY;
      Cvlk_uaddr any;
      any.initAnyAddrV4(0);
      sockaddr_in bound;
      socklen_t len = sizeof(bound);
      if (::bind(fd, any.getAddr(), static_cast<socklen_t>(any.getAddrLen())) == 0 &&
          getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0)
        picked = ntohs(bound.sin_port);
      ::close(fd);
      if (picked == 0) return ERR_OUT_OF_MEMORY;
    }
    // Both families or neither (a host without IPv6 aside): a port another
    // process holds for IPv4 costs a retry with a new one.
    const EerrNo err = bind(picked);
    if (err == ERR_INVALID_OPR) return err;
    if (err != ERR_OK) continue;
    port = picked;
    return ERR_OK;
  }
  return ERR_OUT_OF_MEMORY;
}

void Cvlk_tcp_server::closeListeners() {
  Cvlk_mutex_locker guard(&ioLock);
  // shutdown wakes a poll of the server thread that still watches them.
  for (unsigned int listener : {ipv4Listener, ipv6Listener}) {
    if (listener == INVALID_SOCKET) continue;
    unwatch(listener);
    ::shutdown(static_cast<int>(listener), SHUT_RDWR);
    ::close(static_cast<int>(listener));
  }
  ipv4Listener = INVALID_SOCKET;
  ipv6Listener = INVALID_SOCKET;
}

unsigned int Cvlk_tcp_server::allocTcpNode(unsigned int socket, Cvlk_uaddr peer) {
  Cvlk_mutex_locker guard(&ioLock);
  Cvlk_tcp* node = static_cast<Cvlk_tcp*>(nodePool->AllocIndexNode());
  if (node == nullptr) {
    VlkDebug("Cannot allocate TCP node. %s_%d", __FILE__, __LINE__);
    return 0;
  }
  // A node closed through the core's close() still holds its TLS state and
  // queue. Freed without a word: its old descriptor number may be the one
  // just accepted, and a close_notify would go to the new client.
  if (node->ssl != nullptr) {
    SSL_free(node->ssl);
    ERR_clear_error();
    node->ssl = nullptr;
  }
  VlkOutClear(*m_outPool, node->outQueue);
  node->init();
  node->sendWaitMs = m_sendWaitMs.load();
  node->peerAddr = peer;
  if (peer.version == 4)
    node->ipv4Socket = socket;
  else
    node->ipv6Socket = socket;
  unsigned int nodeId = node->GetId();
  cache(socket, nodeId);
  return nodeId;
}

void Cvlk_tcp_server::setNoDelay(bool on) { m_noDelay = on; }

void Cvlk_tcp_server::tuneSocket(int fd) {
  // A failure only costs latency: the connection is served anyway.
  int on = m_noDelay.load() ? 1 : 0;
  if (on != 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

EerrNo Cvlk_tcp_server::prepareConnect(Cvlk_uaddr peer, unsigned int& nodeId) {
  if (peer.getPort() == 0) return ERR_INVALID_PARAM;
  int fd = VlkSockOpen(peer.version == 4 ? AF_INET : AF_INET6, SOCK_STREAM, false);
  if (fd < 0) return ERR_OUT_OF_MEMORY;
  int rc;
  do {
    rc = ::connect(fd, peer.getAddr(), static_cast<socklen_t>(peer.getAddrLen()));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    VlkDebug("fail to connect TCP socket. error=%d (%s)", errno, std::strerror(errno));
    ::close(fd);
    return ERR_FAIL;
  }
  // Connected: from now on the loop reads it like an accepted connection.
  setnonblocking(fd);
  tuneSocket(fd);
  nodeId = allocTcpNode(static_cast<unsigned int>(fd), peer);
  if (nodeId == 0) {
    ::close(fd);
    return ERR_OUT_OF_MEMORY;
  }
  return ERR_OK;
}

