// The TCP server's connection node and its set-up: listeners, the TLS
// context, outgoing connections, and the operations applications call.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "vlk_net.h"
#include "vlk_net_sock.h"

namespace {

const unsigned int kDefaultHandshakeMs = 10000;
const unsigned int kDefaultSendWaitMs = 2000;

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
}

unsigned int Cvlk_tcp::getHandle() const { return peerAddr.version != 4 ? ipv6Socket : ipv4Socket; }

unsigned int Cvlk_tcp::getIdleDuration() const {
  std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  return now > lastActive ? static_cast<unsigned int>(now - lastActive) : 0;
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

EerrNo Cvlk_tcp::sendData(const void* data, unsigned int len, Cvlk_mutex* lock) {
  if (data == nullptr || len == 0) return ERR_INVALID_PARAM;
  int fd;
  SSL* s;
  unsigned int waitMs;
  {
    VlkOptionalLock guard(lock);
    if (closePending) return ERR_FAIL;
    if (ssl != nullptr && handshakeDeadline != 0) return ERR_INVALID_OPR;
    unsigned int socket = getHandle();
    if (socket == INVALID_SOCKET) return ssl != nullptr ? ERR_FAIL : ERR_INVALID_OPR;
    fd = static_cast<int>(socket);
    s = ssl;
    waitMs = sendWaitMs;
  }
  // The socket stays open while the caller keeps the node busy; a close from
  // another thread shuts it down, which ends a wait at once.
  if (s == nullptr) return VlkSockSendAll(fd, data, len, waitMs) ? ERR_OK : ERR_FAIL;
  if (lock == nullptr) return VlkSslWriteAll(s, fd, data, len, waitMs) ? ERR_OK : ERR_FAIL;
  // The server thread reads the same TLS state under lock: every TLS call is
  // made under it, the waits for the socket without it.
  const char* p = static_cast<const char*>(data);
  std::size_t left = len;
  const std::int64_t deadline = VlkMonoMs() + waitMs;
  while (left > 0) {
    int n;
    int err;
    {
      VlkOptionalLock guard(lock);
      ERR_clear_error();
      n = SSL_write(s, p, static_cast<int>(left));
      err = n > 0 ? SSL_ERROR_NONE : SSL_get_error(s, n);
    }
    if (n > 0) {
      p += n;
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) return ERR_FAIL;
    std::int64_t remaining = deadline - VlkMonoMs();
    if (remaining <= 0 || !VlkSockWait(fd, err == SSL_ERROR_WANT_READ, static_cast<int>(remaining))) return ERR_FAIL;
  }
  return ERR_OK;
}

EerrNo Cvlk_tcp::readData(char* buf, unsigned int len, unsigned int& readLen) {
  readLen = 0;
  unsigned int socket = getHandle();
  if (socket == INVALID_SOCKET || buf == nullptr || len == 0) return ERR_INVALID_PARAM;
  lastActive = static_cast<std::int64_t>(std::time(nullptr));
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
      m_spareFd(-1) {
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
    for (unsigned int i = 0; i < nodePool->GetRealNum(); ++i)
      if (nodePool->GetStateByIndex(i) == RES_BUSY) static_cast<Cvlk_tcp*>(nodePool->GetByIndex(i))->stopTLS();
  }
  {
    Cvlk_mutex_locker guard(&ioLock);
    if (sslCtx != nullptr) SSL_CTX_free(sslCtx);
    sslCtx = nullptr;
  }
  if (m_spareFd >= 0) ::close(m_spareFd);
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
  m_handshakeMs = seconds == 0 ? kDefaultHandshakeMs : seconds * 1000;
}

void Cvlk_tcp_server::setSendTimeout(unsigned int milliseconds) {
  Cvlk_mutex_locker guard(&ioLock);
  m_sendWaitMs = milliseconds;
  for (unsigned int i = 0; i < nodePool->GetRealNum(); ++i)
    static_cast<Cvlk_tcp*>(nodePool->GetByIndex(i))->sendWaitMs = milliseconds;
}

EerrNo Cvlk_tcp_server::startTLS(const char* certFile, const char* keyFile) {
  if (certFile == nullptr || certFile[0] == '\0' || keyFile == nullptr || keyFile[0] == '\0')
    return ERR_INVALID_PARAM;
  const SSL_METHOD* method = TLS_server_method();
  if (method == nullptr) return ERR_FAIL;
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) return ERR_FAIL;
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1);
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  ERR_clear_error();
  if (SSL_CTX_use_certificate_file(ctx, certFile, SSL_FILETYPE_PEM) <= 0) {
    VlkDebug("Fail to load certificate file: %s", VlkSslReason(ERR_get_error()));
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) <= 0) {
    VlkDebug("Fail to load key file: %s", VlkSslReason(ERR_get_error()));
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }
  if (SSL_CTX_check_private_key(ctx) == 0) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return ERR_FAIL;
  }
  Cvlk_mutex_locker guard(&ioLock);
  // Connections already in a handshake hold their own reference to the old context.
  if (sslCtx != nullptr) SSL_CTX_free(sslCtx);
  sslCtx = ctx;
  return ERR_OK;
}

unsigned int Cvlk_tcp_server::bindLocalAddr(Cvlk_uaddr localAddr) {
  if (localAddr.getPort() == 0) return INVALID_SOCKET;
  int family = localAddr.version == 4 ? AF_INET : AF_INET6;
  // Every listener is non-blocking: TLS handshakes run from the loop too.
  int fd = VlkSockOpen(family, SOCK_STREAM, true);
  if (fd < 0) return INVALID_SOCKET;
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one)) != 0 ||
      (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0)) {
    ::close(fd);
    return INVALID_SOCKET;
  }
  if (::bind(fd, localAddr.getAddr(), static_cast<socklen_t>(localAddr.getAddrLen())) != 0) {
    VlkDebug("fail to bind socket.");
    ::close(fd);
    return INVALID_SOCKET;
  }
  if (::listen(fd, SOMAXCONN) != 0) {
    VlkDebug("fail to listen.");
    ::close(fd);
    return INVALID_SOCKET;
  }
  return static_cast<unsigned int>(fd);
}

EerrNo Cvlk_tcp_server::bind(unsigned short port) {
  if (port == 0) return ERR_INVALID_PARAM;
  Cvlk_uaddr v6;
  v6.initAnyAddrV6(port);
  Cvlk_uaddr v4;
  v4.initAnyAddrV4(port);
  closeListeners();
  unsigned int l6 = bindLocalAddr(v6);
  unsigned int l4 = bindLocalAddr(v4);
  {
    Cvlk_mutex_locker guard(&ioLock);
    ipv6Listener = l6;
    ipv4Listener = l4;
    watch(l6, 0);
    watch(l4, 0);
  }
  return (l4 != INVALID_SOCKET || l6 != INVALID_SOCKET) ? ERR_OK : ERR_OUT_OF_MEMORY;
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
    if (bind(picked) != ERR_OK) continue;
    bool both;
    {
      Cvlk_mutex_locker guard(&ioLock);
      both = ipv4Listener != INVALID_SOCKET && ipv6Listener != INVALID_SOCKET;
    }
    if (both || attempt == 15) {
      port = picked;
      return ERR_OK;
    }
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
  node->stopTLS();  // a node always leaves with its TLS state ended; this is a safety net
  node->init();
  node->sendWaitMs = m_sendWaitMs;
  node->peerAddr = peer;
  if (peer.version == 4)
    node->ipv4Socket = socket;
  else
    node->ipv6Socket = socket;
  unsigned int nodeId = node->GetId();
  cache(socket, nodeId);
  return nodeId;
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
  nodeId = allocTcpNode(static_cast<unsigned int>(fd), peer);
  if (nodeId == 0) {
    ::close(fd);
    return ERR_OUT_OF_MEMORY;
  }
  return ERR_OK;
}

Cvlk_uaddr Cvlk_tcp_server::getPeerAddr(unsigned int nodeId) {
  Cvlk_mutex_locker guard(&ioLock);
  Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
  if (node == nullptr) return Cvlk_uaddr();
  return node->peerAddr;
}

void Cvlk_tcp_server::closeConnect(unsigned int nodeId) {
  {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
    if (node == nullptr) return;
    if (node->ioUsers > 0) {
      // A sender still uses the socket: the connection ends now (which also
      // ends the sender's wait), the descriptor and the node go when the last
      // sender leaves, so that neither is reused under it.
      if (!node->closePending && node->getHandle() != INVALID_SOCKET) {
        // Shut down, the socket would be reported readable at every pass.
        unwatch(node->getHandle());
        ::shutdown(static_cast<int>(node->getHandle()), SHUT_RDWR);
      }
      node->closePending = true;
      return;
    }
    if (node->handshakeDeadline != 0 && m_pendingHandshakes > 0) --m_pendingHandshakes;
    node->stopTLS();
  }
  close(nodeId);
}

void Cvlk_tcp_server::closeSocket(unsigned int socket) { closeConnect(getNodeID(socket)); }

unsigned int Cvlk_tcp_server::busyIds(unsigned int* ids) {
  Cvlk_mutex_locker guard(&ioLock);
  unsigned int n = 0;
  unsigned int busy = nodePool->GetBusyNum();
  for (unsigned int i = 0; i < nodePool->GetRealNum() && n < busy; ++i)
    if (nodePool->GetStateByIndex(i) == RES_BUSY) ids[n++] = nodePool->GetByIndex(i)->GetId();
  return n;
}

EerrNo Cvlk_tcp_server::sendTo(unsigned int nodeId, const void* data, unsigned int len) {
  if (nodeId == 0 || data == nullptr || len == 0) return ERR_INVALID_PARAM;
  Cvlk_tcp* node;
  std::unique_lock<std::mutex> whole;
  unsigned int sent = 0;
  bool failed = false;
  {
    Cvlk_mutex_locker guard(&ioLock);
    node = static_cast<Cvlk_tcp*>(getNode(nodeId));
    if (node == nullptr) {
      VlkDebug("Fail to get TCP node to send message.");
      return ERR_INVALID_OPR;
    }
    // Not announced yet: a TLS connection in its handshake (broadcast and
    // keepAlive pass it over; it is not closed for that).
    if (node->handshakeDeadline != 0) return ERR_INVALID_OPR;
    // The common case goes at once: a plain connection with no other sender
    // and room in its buffer takes the whole message in one send that never
    // waits. No sender holds sendLock while ioUsers is 0, so trying it here
    // never waits either; held, it keeps the rest of a partial send whole.
    const unsigned int socket = node->getHandle();
    if (node->ssl == nullptr && node->ioUsers == 0 && !node->closePending && socket != INVALID_SOCKET) {
      std::unique_lock<std::mutex> mine(node->sendLock, std::try_to_lock);
      if (mine.owns_lock()) {
        const ssize_t n = ::send(static_cast<int>(socket), data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(len)) return ERR_OK;
        failed = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        sent = n > 0 ? static_cast<unsigned int>(n) : 0;
        if (!failed) whole = std::move(mine);
      }
    }
    // Keeps the node busy and its socket open while the send waits without
    // ioLock: a peer that does not read holds up its own sender only.
    if (!failed) ++node->ioUsers;
  }
  if (failed) {
    closeConnect(nodeId);
    return ERR_FAIL;
  }
  if (!whole.owns_lock()) whole = std::unique_lock<std::mutex>(node->sendLock);
  const EerrNo err = node->sendData(static_cast<const char*>(data) + sent, len - sent, &ioLock);
  whole.unlock();
  bool closeNow;
  {
    Cvlk_mutex_locker guard(&ioLock);
    --node->ioUsers;
    closeNow = err != ERR_OK || (node->closePending && node->ioUsers == 0);
  }
  if (closeNow) closeConnect(nodeId);
  return err;
}

EerrNo Cvlk_tcp_server::broadcast(const void* data, unsigned int len) {
  unsigned int ids[MAX_NODES];
  unsigned int n = busyIds(ids);
  if (n == 0) return ERR_OBJ_NOT_FOUND;
  for (unsigned int i = 0; i < n; ++i) sendTo(ids[i], data, len);
  return ERR_OK;
}

void Cvlk_tcp_server::keepAlive() { broadcast("\r\n", 2); }

void Cvlk_tcp_server::selfCheck(unsigned int maxIdleSeconds) {
  unsigned int ids[MAX_NODES];
  unsigned int expired = 0;
  {
    Cvlk_mutex_locker guard(&ioLock);
    unsigned int n = busyIds(ids);
    for (unsigned int i = 0; i < n; ++i) {
      Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(ids[i]));
      if (node != nullptr && node->getIdleDuration() >= maxIdleSeconds) ids[expired++] = ids[i];
    }
  }
  for (unsigned int i = 0; i < expired; ++i) closeConnect(ids[i]);
}
