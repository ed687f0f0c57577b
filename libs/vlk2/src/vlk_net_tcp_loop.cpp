// The TCP server's loop: accepting, the non-blocking TLS handshake and its
// bound, reading into procData, and noticing closed connections.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "vlk_net.h"
#include "vlk_net_outq.h"
#include "vlk_net_sock.h"

void Cvlk_tcp_server::run() {
  while (!isStopRequested()) exeProc();
  // Lines held back are not lost with the loop.
  reportHeld(true);
  // Connections end their TLS state on the way out (closeConnect, not the
  // core's close).
  closeListeners();
  unsigned int ids[MAX_NODES];
  unsigned int n = busyIds(ids);
  for (unsigned int i = 0; i < n; ++i) closeConnect(ids[i]);
}

void Cvlk_tcp_server::exeProc() {
  // Handshakes past their bound go first. Its look at the lock also orders
  // this pass's start before whatever the application does under the lock
  // next, as the poll loop's set-building did.
  checkHandshakes();
  checkClosing();
  reportHeld();
  if (m_resumed.load() > 0) readResumed();
  ReadySocket ready[MAX_READY];
  const int n = waitReady(ready, MAX_READY, m_closing.load() > 0 ? 100 : 1000);
  for (int i = 0; i < n; ++i) {
    if (ready[i].nodeId == 0) {
      // A listener (newConnection passes over one closed meanwhile). A refused
      // or failed accept ends nothing: the connections already held still get
      // their turn in this pass, however fast newcomers arrive.
      newConnection(ready[i].socket);
      continue;
    }
    // Queued output first: a connection that answers as it reads makes room
    // before it reads more. A connection closed earlier in this pass no
    // longer names a busy node.
    if ((ready[i].events & READY_WRITE) != 0) writeNode(ready[i].nodeId);
    if ((ready[i].events & READY_READ) != 0 && readNode(ready[i].nodeId) != ERR_OK) closeConnect(ready[i].nodeId);
  }
}

EerrNo Cvlk_tcp_server::newConnection(unsigned int listenSocket) {
  Cvlk_uaddr peer;
  bool v4;
  {
    Cvlk_mutex_locker guard(&ioLock);
    if (listenSocket != ipv4Listener && listenSocket != ipv6Listener) return ERR_OK;
    v4 = listenSocket == ipv4Listener;
  }
  if (v4)
    peer.initAnyAddrV4(0);
  else
    peer.initAnyAddrV6(0);
  socklen_t len = static_cast<socklen_t>(peer.getAddrLen());
  int fd = ::accept4(static_cast<int>(listenSocket), peer.getAddr(), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (err == EMFILE || err == ENFILE) {
      // Out of descriptors: take the connection with the spare one and drop
      // it, so that the listener does not stay ready and spin the loop.
      if (m_spareFd >= 0) ::close(m_spareFd);
      len = static_cast<socklen_t>(peer.getAddrLen());
      int dropped = ::accept4(static_cast<int>(listenSocket), peer.getAddr(), &len, SOCK_CLOEXEC);
      if (dropped >= 0) ::close(dropped);
      m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      Cvlk_tmp_str from;
      peer.getURLStr(from);
      reportLimited(LINE_DESCRIPTORS, "Fail to accept TCP connection: out of descriptors (%s), dropped %s",
                    std::strerror(err), dropped >= 0 ? from.c_str() : "nothing");
    }
    // A failed accept takes no node.
    return ERR_FAIL;
  }
  tuneSocket(fd);
  // The node takes its TLS state in the same step as its socket, so that no
  // other thread ever sees a TLS connection as a plain one.
  unsigned int nodeId;
  SSL* ssl = nullptr;
  bool sslFailed = false;
  unsigned long bindError = 0;
  bool bindFailed = false;
  {
    Cvlk_mutex_locker guard(&ioLock);
    nodeId = allocTcpNode(static_cast<unsigned int>(fd), peer);
    if (nodeId != 0 && sslCtx != nullptr) {
      ssl = SSL_new(sslCtx);
      Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
      if (ssl == nullptr) {
        sslFailed = true;
      } else {
        node->ssl = ssl;
        node->handshakeDeadline = VlkMonoMs() + m_handshakeMs.load();
        ++m_pendingHandshakes;
        ERR_clear_error();
        if (VlkSslSetSocket(ssl, fd)) {
          SSL_set_accept_state(ssl);
        } else {
          bindFailed = true;
          bindError = ERR_get_error();
        }
      }
    }
  }
  if (nodeId == 0) {
    Cvlk_tmp_str from;
    peer.getURLStr(from);
    reportLimited(LINE_REFUSED, "No enough TCP node to process current connection, refused %s", from.c_str());
    ::close(fd);
    return ERR_OUT_OF_MEMORY;
  }
  if (sslFailed) {
    Cvlk_tmp_str text;
    text.set("fail to create SSL socket.");
    displayErrorInfo(text);
    closeConnect(nodeId);
    return ERR_FAIL;
  }
  if (ssl == nullptr) return ERR_OK;
  if (bindFailed) {
    Cvlk_tmp_str text;
    text.set("Fail to bind socket: %s", VlkSslReason(bindError));
    displayErrorInfo(text);
    closeConnect(nodeId);
    return ERR_FAIL;
  }
  // Whatever the client sent already moves the handshake on; the rest comes
  // from the loop as its bytes arrive.
  if (continueHandshake(nodeId) != ERR_OK) closeConnect(nodeId);
  return ERR_OK;
}

void Cvlk_tcp_server::handshakeFailed(unsigned int nodeId, const char* reason, const char* state) {
  Cvlk_tmp_str from;
  getPeerAddr(nodeId).getURLStr(from);
  reportLimited(LINE_HANDSHAKE, "Fail to accept TLS connection: %s (%s), node %08X peer %s", reason, state, nodeId,
                from.c_str());
}

EerrNo Cvlk_tcp_server::continueHandshake(unsigned int nodeId) {
  {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
    if (node == nullptr || node->ssl == nullptr || node->handshakeDeadline == 0) return ERR_OK;
  }
  // The handshake's work runs under the connection's own lock only.
  Cvlk_tcp* node = holdNode(nodeId);
  if (node == nullptr) return ERR_OK;
  int rc;
  int err;
  char reason[256] = "";
  const char* state = "";
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    ERR_clear_error();
    rc = SSL_accept(node->ssl);
    err = rc > 0 ? SSL_ERROR_NONE : SSL_get_error(node->ssl, rc);
    if (rc <= 0 && err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
      const unsigned long code = ERR_peek_error();
      if (code != 0) {
        ERR_error_string_n(code, reason, sizeof(reason));
      } else {
        std::snprintf(reason, sizeof(reason), "%s", err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN
                                                        ? "the peer closed the connection"
                                                        : "handshake failed");
      }
      state = SSL_state_string_long(node->ssl);
      ERR_clear_error();
    }
  }
  if (rc > 0) {
    Cvlk_mutex_locker guard(&ioLock);
    node->handshakeDeadline = 0;
    if (m_pendingHandshakes > 0) --m_pendingHandshakes;
  }
  releaseNode(nodeId, node);
  if (rc > 0) {
    VlkDebug("\t SSL connection ...");
    Q_EMIT sigNewConnection(static_cast<int>(nodeId));
    return ERR_OK;
  }
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return ERR_OK;
  handshakeFailed(nodeId, reason, state);
  return ERR_FAIL;
}

void Cvlk_tcp_server::checkHandshakes() {
  unsigned int expired[MAX_NODES];
  unsigned int n = 0;
  {
    Cvlk_mutex_locker guard(&ioLock);
    if (m_pendingHandshakes == 0) return;
    std::int64_t now = VlkMonoMs();
    for (unsigned int i = 0; i < nodePool->GetRealNum(); ++i) {
      if (nodePool->GetStateByIndex(i) != RES_BUSY) continue;
      Cvlk_tcp* node = static_cast<Cvlk_tcp*>(nodePool->GetByIndex(i));
      if (node->handshakeDeadline != 0 && node->handshakeDeadline <= now) expired[n++] = node->GetId();
    }
  }
  for (unsigned int i = 0; i < n; ++i) {
    handshakeFailed(expired[i], "handshake not complete within its time bound", "timed out");
    closeConnect(expired[i]);
  }
}

EerrNo Cvlk_tcp_server::readData(unsigned int socket) {
  unsigned int nodeId = getNodeID(socket);
  if (socket == INVALID_SOCKET || nodeId == 0) return ERR_OK;
  return readNode(nodeId);
}

void Cvlk_tcp_server::readResumed() {
  m_resumed = 0;
  unsigned int ids[MAX_NODES];
  const unsigned int n = busyIds(ids);
  for (unsigned int i = 0; i < n; ++i)
    if (readNode(ids[i], false) != ERR_OK) closeConnect(ids[i]);
}

EerrNo Cvlk_tcp_server::readNode(unsigned int nodeId, bool fromEvent) {
  char buffer[4097];
  // A TLS record may hold more than one read's worth; what OpenSSL has
  // buffered raises no readiness, so it is drained here.
  bool more = true;
  while (more) {
    more = false;
    bool handshaking;
    {
      Cvlk_mutex_locker guard(&ioLock);
      Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
      // A connection whose close waits for its last user is read no more.
      if (node == nullptr || node->closePending) return ERR_OK;
      handshaking = node->handshakeDeadline != 0;
    }
    if (handshaking) return fromEvent ? continueHandshake(nodeId) : ERR_OK;
    Cvlk_tcp* node = holdNode(nodeId);
    if (node == nullptr) return ERR_OK;
    unsigned int readLen = 0;
    EerrNo err = ERR_OK;
    bool deliver = false;
    bool flushing = false;
    bool closeNow = false;
    {
      std::lock_guard<std::mutex> io(node->sendLock);
      if (node->readPaused || node->closeState == 1) {
        // Reported while not read: a hang-up or an error, or an event from
        // before the pause. Unwatched until there is a reason again, so that
        // a hang-up does not spin the loop; the output side keeps its watch.
        if (fromEvent && !node->writeWatched) {
          unwatch(node->getHandle());
          node->watchDropped = true;
        }
      } else if (!fromEvent && (node->ssl == nullptr || SSL_pending(node->ssl) == 0)) {
        // Nothing decrypted is waiting.
      } else {
        err = node->readData(buffer, 4096, readLen);
        buffer[readLen] = '\0';
        if (err == ERR_OK && node->ssl != nullptr && SSL_pending(node->ssl) > 0) more = true;
        if (node->closeState == 2) {
          // Flushed and our side shut: the peer's bytes are dropped until it
          // ends its side, then the node closes.
          if (err != ERR_OK) closeNow = true;
          more = more && err == ERR_OK;
        } else if (err == ERR_OBJ_NOT_FOUND && node->outQueue.bytes > 0) {
          // The peer ended its side with answers still queued: they go first.
          node->peerEnded = true;
          node->closeState = 1;
          node->closeDeadline = VlkMonoMs() + m_sendWaitMs.load();
          ++m_closing;
          updateWatch(nodeId, node);
          flushing = true;
          err = ERR_OK;
        } else {
          // A plain read that found nothing is not a delivery.
          deliver = err == ERR_OK && (readLen > 0 || node->ssl != nullptr);
        }
      }
    }
    Cvlk_uaddr peer;
    unsigned int userInfo1 = 0;
    unsigned int userInfo2 = 0;
    {
      Cvlk_mutex_locker guard(&ioLock);
      peer = node->peerAddr;
      userInfo1 = node->userInfo1;
      userInfo2 = node->userInfo2;
    }
    releaseNode(nodeId, node);
    if (closeNow) return ERR_INVALID_OPR;
    if (flushing) return ERR_OK;
    if (err != ERR_OK) {
      VlkDebug("current connection is disconnected (%d).", err == ERR_OBJ_NOT_FOUND ? 0 : -1);
      Q_EMIT sigClosing(userInfo1, userInfo2);
      return ERR_INVALID_OPR;
    }
    if (!deliver) return ERR_OK;
    procData(nodeId, peer, static_cast<int>(readLen), buffer);
  }
  return ERR_OK;
}
