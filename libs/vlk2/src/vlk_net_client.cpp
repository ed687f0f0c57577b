// The set of outgoing TCP connections and the thread that reads them.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "vlk_net.h"
#include "vlk_net_outq.h"
#include "vlk_net_sock.h"

namespace {

constexpr unsigned int kMaxWatched = 1024;  // sockets watched per pass
constexpr unsigned int kReadSize = 4096;
constexpr unsigned int kDefaultConnectMs = 10000;
constexpr unsigned int kDefaultMaxQueued = 4u << 20;
constexpr std::size_t kOutputBudget = std::size_t{64} << 20;

}  // namespace

Cvlk_tcp_clients::Cvlk_tcp_clients(unsigned int maxNodes, QObject* parent)
    : Cvlk_thread(parent),
      wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      maxNodes(maxNodes),
      nodeCache(maxNodes < 65535 ? maxNodes : 65535),
      nodePool(nullptr),
      m_pollSet(new pollfd[kMaxWatched + 1]),
      m_outPool(new VlkOutPool(kOutputBudget)),
      m_maxQueued(kDefaultMaxQueued),
      m_connectMs(kDefaultConnectMs) {
  VlkNetInitOpenSSL();
  initTcpResource();
}

Cvlk_tcp_clients::~Cvlk_tcp_clients() {
  stop();
  closeAll();
  if (wakeUp >= 0) ::close(wakeUp);
  delete[] m_pollSet;
  delete m_outPool;
  // The pool and its nodes go with the Qt children.
}

void Cvlk_tcp_clients::initTcpResource() {
  Cvlk_mutex_locker guard(&m_lock);
  nodePool = new Cvlk_resource(VlkGetGlobalObjID(), maxNodes, this);
  const unsigned int count = nodePool->GetMaxNum();
  for (unsigned int i = 0; i < count; ++i) nodePool->Add(new Cvlk_tcp_client_node(nodePool));
}

void Cvlk_tcp_clients::run() {
  while (!isStopRequested()) exeProc();
}

void Cvlk_tcp_clients::requestStop() {
  Cvlk_thread::requestStop();
  wake();
}

void Cvlk_tcp_clients::wake() {
  const std::uint64_t one = 1;
  if (wakeUp >= 0) {
    // A full counter (EAGAIN) still wakes the loop.
    [[maybe_unused]] const ssize_t n = ::write(wakeUp, &one, sizeof(one));
  }
}

Cvlk_tcp_client_node* Cvlk_tcp_clients::findNode(unsigned int nodeId) {
  // Ids match alone, busy or not: a closed node's id finds the reset node until
  // the slot is handed out again.
  return static_cast<Cvlk_tcp_client_node*>(nodePool->GetById(nodeId));
}

unsigned int Cvlk_tcp_clients::getTcpNodeID(unsigned int socket) {
  if (socket == INVALID_SOCKET) return 0;
  return nodeCache.find(socket);
}

unsigned int Cvlk_tcp_clients::allocTcpNode(unsigned int userInfo, unsigned int socket) {
  auto* node = static_cast<Cvlk_tcp_client_node*>(nodePool->AllocNode());
  if (node == nullptr) {
    VlkDebug("Cannot allocate TCP node. %s_%d", __FILE__, __LINE__);
    return 0;
  }
  node->init();
  node->ipv4Socket = socket;
  node->userInfo = userInfo;
  nodeCache.insert(socket, node->GetId());
  return node->GetId();
}

EerrNo Cvlk_tcp_clients::prepareConnect(unsigned int userInfo, Cvlk_uaddr peer, unsigned int& nodeId) {
  if (peer.getPort() == 0 || peer.version != 4) return ERR_INVALID_PARAM;  // IPv4 only
  const int fd = VlkSockOpen(AF_INET, SOCK_STREAM, true);
  if (fd < 0) return ERR_OUT_OF_MEMORY;
  // A peer that drops the handshake costs at most the connect bound, not the
  // system's minutes of SYN retries.
  int err = 0;
  if (::connect(fd, peer.getAddr(), sizeof(sockaddr_in)) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      const std::int64_t deadline = VlkMonoMs() + m_connectMs.load();
      err = ETIMEDOUT;
      for (std::int64_t left = m_connectMs.load(); left > 0; left = deadline - VlkMonoMs()) {
        if (VlkSockWait(fd, false, static_cast<int>(left))) {
          socklen_t len = sizeof(err);
          if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
          break;
        }
      }
    }
  }
  if (err != 0) {
    VlkDebug("fail to connect TCP socket. error=%d (%s)", err, strerrordesc_np(err));
    ::close(fd);
    return err == ETIMEDOUT ? ERR_EXPIRED : ERR_FAIL;
  }
  // Connected; the socket never blocks. Reads (plain or TLS) take what is
  // there; what a writer's socket does not take waits in the node's queue.
  unsigned int id;
  {
    Cvlk_mutex_locker guard(&m_lock);
    id = allocTcpNode(userInfo, static_cast<unsigned int>(fd));
  }
  if (id == 0) {
    ::close(fd);
    return ERR_OUT_OF_MEMORY;
  }
  nodeId = id;
  wake();  // the loop watches the new socket from now on
  return ERR_OK;
}

EerrNo Cvlk_tcp_clients::startTLS(unsigned int nodeId) { return startTLSOn(nodeId, nullptr, nullptr); }

EerrNo Cvlk_tcp_clients::startTLS(unsigned int nodeId, const char* hostName, const char* caFile) {
  if (hostName == nullptr || hostName[0] == '\0') return ERR_INVALID_PARAM;
  return startTLSOn(nodeId, hostName, caFile);
}

EerrNo Cvlk_tcp_clients::startTLSOn(unsigned int nodeId, const char* hostName, const char* caFile) {
  if (nodeId == 0) return ERR_INVALID_PARAM;
  Cvlk_tcp_client_node* node;
  unsigned int socket;
  {
    Cvlk_mutex_locker guard(&m_lock);
    node = findNode(nodeId);
    if (node == nullptr) return ERR_INVALID_OBJ;
    if (node->ssl != nullptr) return ERR_OK;
    socket = node->ipv4Socket;
    if (socket == INVALID_SOCKET || node->closePending) return ERR_FAIL;
    ++node->ioUsers;
  }
  EerrNo err = ERR_OK;
  {
    // Writers wait for the handshake; the reading thread leaves the socket alone
    // meanwhile, so that it reads none of the handshake's bytes.
    std::lock_guard<std::mutex> writer(node->sendLock);
    bool done;
    {
      Cvlk_mutex_locker guard(&m_lock);
      done = node->ssl != nullptr;  // another thread's handshake got there first
      node->tlsPending = !done;
    }
    if (!done) {
      ssl_ctx_st* ctx = nullptr;
      ssl_st* ssl = nullptr;
      err = Cvlk_tcp_client_node::handshake(socket, hostName, caFile, 10000, ctx, ssl);
      Cvlk_mutex_locker guard(&m_lock);
      node->tlsPending = false;
      node->sslCtx = ctx;
      node->ssl = ssl;
    }
  }
  if (err != ERR_OK) {
    // Left open as plain, the server's handshake bytes would reach procData.
    Cvlk_mutex_locker guard(&m_lock);
    if (!node->closePending && node->ipv4Socket == socket) {
      node->closePending = true;
      ::shutdown(static_cast<int>(socket), SHUT_RDWR);
    }
  }
  endIo(node);
  wake();  // watch the socket again
  return err == ERR_OK ? ERR_OK : ERR_FAIL;
}

Ebool Cvlk_tcp_clients::hasTLS(unsigned int nodeId) {
  Cvlk_mutex_locker guard(&m_lock);
  Cvlk_tcp_client_node* node = findNode(nodeId);
  return node != nullptr && node->ssl != nullptr ? VLK_TRUE : VLK_FALSE;
}

void Cvlk_tcp_clients::sendData(unsigned int nodeId, const char* data, unsigned int len) {
  (void)sendTo(nodeId, data, len);
}

EerrNo Cvlk_tcp_clients::sendTo(unsigned int nodeId, const void* data, unsigned int len) {
  if (data == nullptr || len == 0) return ERR_INVALID_PARAM;
  Cvlk_tcp_client_node* node;
  {
    Cvlk_mutex_locker guard(&m_lock);
    node = findNode(nodeId);
    if (node == nullptr || nodePool->GetStateById(nodeId) != RES_BUSY || node->ipv4Socket == INVALID_SOCKET ||
        node->closePending)
      return ERR_INVALID_OPR;
    ++node->ioUsers;
  }
  const char* p = static_cast<const char*>(data);
  EerrNo err = ERR_OK;
  bool queued = false;
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    std::size_t sent = 0;
    err = VlkOutSend(*m_outPool, node->outQueue, static_cast<int>(node->ipv4Socket), node->ssl, p, len,
                     m_maxQueued.load(), sent);
    if (err == ERR_BUSY)
      VlkDebug("slow consumer: client connection %08X ended, a send of %u bytes refused with %zu queued", nodeId, len,
               node->outQueue.bytes);
    queued = err == ERR_OK && sent < len;
    Cvlk_mutex_locker guard(&m_lock);
    if (queued) node->wantWrite = true;
    // The loop's next read meets the end and reports it through procDisconnect.
    if (err != ERR_OK && !node->closePending) ::shutdown(static_cast<int>(node->ipv4Socket), SHUT_RDWR);
  }
  endIo(node);
  if (queued || err != ERR_OK) wake();
  return err;
}

EerrNo Cvlk_tcp_clients::setOutputLimit(unsigned int maxQueued) {
  if (maxQueued == 0) return ERR_INVALID_PARAM;
  m_maxQueued = maxQueued;
  return ERR_OK;
}

void Cvlk_tcp_clients::setConnectTimeout(unsigned int milliseconds) {
  m_connectMs = milliseconds == 0 ? kDefaultConnectMs : milliseconds;
}

Cvlk_tcp_client_node* Cvlk_tcp_clients::holdSocket(unsigned int socket, unsigned int& nodeId) {
  Cvlk_mutex_locker guard(&m_lock);
  nodeId = getTcpNodeID(socket);
  Cvlk_tcp_client_node* node = findNode(nodeId);
  if (node == nullptr || node->ipv4Socket != socket || node->tlsPending || node->closePending) return nullptr;
  ++node->ioUsers;
  return node;
}

void Cvlk_tcp_clients::writeNode(unsigned int socket) {
  unsigned int nodeId = 0;
  Cvlk_tcp_client_node* node = holdSocket(socket, nodeId);
  if (node == nullptr) return;
  {
    // A writer holds it for a moment only; one that holds it longer (a
    // handshake) is passed over until the next pass.
    std::unique_lock<std::mutex> io(node->sendLock, std::try_to_lock);
    if (io.owns_lock()) {
      bool progress = false;
      const bool failed = !VlkOutDrain(*m_outPool, node->outQueue, static_cast<int>(socket), node->ssl, progress);
      Cvlk_mutex_locker guard(&m_lock);
      node->wantWrite = node->outQueue.bytes > 0 && !failed;
      if (failed) ::shutdown(static_cast<int>(socket), SHUT_RDWR);
    }
  }
  endIo(node);
}

void Cvlk_tcp_clients::endIo(Cvlk_tcp_client_node* node) {
  Cvlk_mutex_locker guard(&m_lock);
  if (--node->ioUsers == 0 && node->closePending) closeNode(node);
}

void Cvlk_tcp_clients::closeConnect(unsigned int nodeId) {
  Cvlk_mutex_locker guard(&m_lock);
  Cvlk_tcp_client_node* node = findNode(nodeId);
  if (node != nullptr) closeSocket(node->ipv4Socket);
}

void Cvlk_tcp_clients::closeSocket(unsigned int socket) {
  Cvlk_mutex_locker guard(&m_lock);
  // Only sockets of this set are closed: a handle the set does not own may
  // already belong to someone else.
  auto* node = findNode(getTcpNodeID(socket));
  if (node != nullptr && node->ipv4Socket == socket) closeNode(node);
}

void Cvlk_tcp_clients::closeNode(Cvlk_tcp_client_node* node) {
  if (node->ioUsers > 0) {
    // A writer or a handshake still uses the socket: wake it with a shutdown and
    // let the last one out close.
    if (!node->closePending) {
      node->closePending = true;
      ::shutdown(static_cast<int>(node->ipv4Socket), SHUT_RDWR);
    }
    return;
  }
  // Nobody holds the node: its sendLock and queue are free to take.
  VlkOutClear(*m_outPool, node->outQueue);
  node->stopTLS();
  const unsigned int socket = node->ipv4Socket;
  if (socket != INVALID_SOCKET) {
    nodeCache.remove(socket);
    // While the thread waits in poll the kernel keeps the socket alive past
    // close(): the shutdown ends the connection now, the wake-up lets go of it.
    ::shutdown(static_cast<int>(socket), SHUT_RDWR);
    ::close(static_cast<int>(socket));
    wake();
  }
  const unsigned int id = node->GetId();
  node->init();
  nodePool->FreeById(id);
}

void Cvlk_tcp_clients::closeAll() {
  Cvlk_mutex_locker guard(&m_lock);
  const unsigned int real = nodePool->GetRealNum();
  for (unsigned int i = 0; i < real; ++i) {
    auto* node = static_cast<Cvlk_tcp_client_node*>(nodePool->GetByIndex(i));
    if (node != nullptr && nodePool->GetStateByIndex(i) == RES_BUSY) closeNode(node);
  }
}

EerrNo Cvlk_tcp_clients::getUserInfo(unsigned int nodeId, unsigned int& userInfo) {
  Cvlk_mutex_locker guard(&m_lock);
  Cvlk_tcp_client_node* node = findNode(nodeId);
  if (node == nullptr) return ERR_OBJ_NOT_FOUND;
  userInfo = node->userInfo;
  return ERR_OK;
}

void Cvlk_tcp_clients::print() {
  Cvlk_mutex_locker guard(&m_lock);
  VlkDebug("TCP node information: maxConnection=%u total=%u idle=%u", maxNodes, nodePool->GetRealNum(),
           nodePool->GetIdleNum());
}

EerrNo Cvlk_tcp_clients::exeProc() {
  nfds_t count = 1;
  m_pollSet[0] = pollfd{wakeUp, POLLIN, 0};
  {
    Cvlk_mutex_locker guard(&m_lock);
    const unsigned int real = nodePool->GetRealNum();
    const unsigned int busy = nodePool->GetBusyNum();
    unsigned int seen = 0;
    for (unsigned int i = 0; i < real && seen < busy && count <= kMaxWatched; ++i) {
      if (nodePool->GetStateByIndex(i) != RES_BUSY) continue;
      ++seen;
      auto* node = static_cast<Cvlk_tcp_client_node*>(nodePool->GetByIndex(i));
      if (node->ipv4Socket == INVALID_SOCKET || node->tlsPending || node->closePending) continue;
      const short events = static_cast<short>(POLLIN | (node->wantWrite ? POLLOUT : 0));
      m_pollSet[count++] = pollfd{static_cast<int>(node->ipv4Socket), events, 0};
    }
  }
  // With no connection only the wake-up descriptor is watched: the thread sleeps
  // until a connection is added or it is asked to stop.
  const int ready = ::poll(m_pollSet, count, wakeUp >= 0 ? -1 : 1000);
  if (ready < 1) return ERR_OBJ_NOT_FOUND;
  if (m_pollSet[0].revents != 0) {
    std::uint64_t value;
    [[maybe_unused]] const ssize_t n = ::read(wakeUp, &value, sizeof(value));
  }
  for (nfds_t i = 1; i < count && !isStopRequested(); ++i) {
    if ((m_pollSet[i].revents & POLLOUT) != 0) writeNode(static_cast<unsigned int>(m_pollSet[i].fd));
    if ((m_pollSet[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    readData(static_cast<unsigned int>(m_pollSet[i].fd));
  }
  return ERR_OK;
}

EerrNo Cvlk_tcp_clients::readData(unsigned int socket) {
  char buf[kReadSize + 1];
  while (true) {
    unsigned int nodeId = 0;
    int result = -2;
    bool more = false;
    const char* reason = "";
    Cvlk_tcp_client_node* node = holdSocket(socket, nodeId);
    if (node == nullptr) return ERR_OK;
    {
      // The read runs under the node's own lock, not the set's: an
      // application call on another connection never waits for it.
      std::unique_lock<std::mutex> io(node->sendLock, std::try_to_lock);
      if (io.owns_lock()) {
        result = node->readData(buf, kReadSize);
        if (result > 0) {
          buf[result] = '\0';
          // Decrypted bytes beyond this read wait inside OpenSSL, not in the socket.
          more = node->ssl != nullptr && SSL_pending(node->ssl) > 0;
        } else if (result != -2) {
          const char* text = ERR_reason_error_string(ERR_get_error());
          if (text != nullptr) reason = text;
        }
      }
    }
    endIo(node);
    if (result == -2) return ERR_OK;  // nothing complete yet, or a writer holds the node
    if (result > 0) {
      procData(nodeId, buf, result);
      if (!more) return ERR_OK;
      continue;
    }
    VlkDebug("current connection could be disconnected (%d-%s).", result, reason);
    procDisconnect(nodeId);
    // Close by id: during the hook the application may have closed this node and
    // the socket's number may already serve another connection.
    Cvlk_mutex_locker guard(&m_lock);
    Cvlk_tcp_client_node* gone = findNode(nodeId);
    if (gone != nullptr && gone->ipv4Socket == socket) closeNode(gone);
    return ERR_INVALID_OPR;
  }
}
