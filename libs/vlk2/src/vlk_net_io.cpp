// The I/O server core: the node pool, the socket-to-node cache, closing nodes,
// the read set of a pass and the loop's wake-up.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstdio>

#include "vlk_net.h"

Cvlk_io_node::Cvlk_io_node(Cvlk_resource* pool) : Cvlk_res_node(pool) { init(); }

void Cvlk_io_node::init() {
  ipv4Socket = INVALID_SOCKET;
  ipv6Socket = INVALID_SOCKET;
  userInfo1 = 0;
  userInfo2 = 0;
}

Ebool Cvlk_io_node::hasValidHandle() const {
  return (ipv4Socket != INVALID_SOCKET || ipv6Socket != INVALID_SOCKET) ? VLK_TRUE : VLK_FALSE;
}

namespace {

// A descriptor that another thread is polling stays open until that poll
// returns; shutting it down first ends the connection (and wakes the poll) now.
void shutAndClose(unsigned int socket) {
  if (socket == INVALID_SOCKET) return;
  ::shutdown(static_cast<int>(socket), SHUT_RDWR);
  ::close(static_cast<int>(socket));
}

// The epoll tag of the wake-up descriptor; a socket's tag is its node id in the
// high half and the socket in the low half.
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};

}  // namespace

void Cvlk_io_node::closeHandle() {
  shutAndClose(ipv4Socket);
  shutAndClose(ipv6Socket);
}

Cvlk_io_server::Cvlk_io_server(unsigned int maxNodes, QObject* parent)
    : Cvlk_thread(parent),
      nodePool(nullptr),
      nodeCache(2 * (maxNodes < MAX_NODES ? maxNodes : MAX_NODES)),
      m_wakeFd(-1),
      m_epollFd(-1) {
  nodePool = new Cvlk_resource(maxNodes < MAX_NODES ? maxNodes : MAX_NODES, this);
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  m_epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (m_epollFd >= 0 && m_wakeFd >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &ev);
  }
}

Cvlk_io_server::~Cvlk_io_server() {
  // A derived server has stopped the thread already; this covers a base-only
  // shutdown order. Remaining sockets are closed without signals.
  stop();
  {
    Cvlk_mutex_locker guard(&ioLock);
    for (unsigned int i = 0; i < nodePool->GetRealNum(); ++i) {
      if (nodePool->GetStateByIndex(i) != RES_BUSY) continue;
      Cvlk_io_node* node = static_cast<Cvlk_io_node*>(nodePool->GetByIndex(i));
      node->closeHandle();
      node->init();
      nodePool->FreeById(node->GetId());
    }
  }
  if (m_wakeFd >= 0) ::close(m_wakeFd);
  if (m_epollFd >= 0) ::close(m_epollFd);
}

unsigned int Cvlk_io_server::getMaxNodes() {
  Cvlk_mutex_locker guard(&ioLock);
  return nodePool->GetMaxNum();
}

unsigned int Cvlk_io_server::getRealNodes() {
  Cvlk_mutex_locker guard(&ioLock);
  return nodePool->GetRealNum();
}

unsigned int Cvlk_io_server::getBusyNodes() {
  Cvlk_mutex_locker guard(&ioLock);
  return nodePool->GetBusyNum();
}

Ebool Cvlk_io_server::hasNode(unsigned int nodeId) { return getNode(nodeId) != nullptr ? VLK_TRUE : VLK_FALSE; }

void Cvlk_io_server::setUserInfo(unsigned int nodeId, int userInfo1, int userInfo2) {
  Cvlk_mutex_locker guard(&ioLock);
  Cvlk_io_node* node = getNode(nodeId);
  if (node == nullptr) return;
  node->userInfo1 = static_cast<unsigned int>(userInfo1);
  node->userInfo2 = static_cast<unsigned int>(userInfo2);
}

void Cvlk_io_server::requestStop() {
  Cvlk_thread::requestStop();
  wakeUp();
}

void Cvlk_io_server::run() {
  while (!isStopRequested()) exeProc();
  closeAllNodes();
}

void Cvlk_io_server::ioClosed(unsigned int nodeId) { (void)nodeId; }

EerrNo Cvlk_io_server::addNode(Cvlk_io_node* node) {
  Cvlk_mutex_locker guard(&ioLock);
  return nodePool->Add(node);
}

Cvlk_io_node* Cvlk_io_server::allocNode() {
  Cvlk_mutex_locker guard(&ioLock);
  return static_cast<Cvlk_io_node*>(nodePool->AllocIndexNode());
}

Cvlk_io_node* Cvlk_io_server::getNode(unsigned int nodeId) {
  if (nodeId == 0) return nullptr;
  Cvlk_mutex_locker guard(&ioLock);
  if (nodePool->GetStateById(nodeId) != RES_BUSY) return nullptr;
  return static_cast<Cvlk_io_node*>(nodePool->GetById(nodeId));
}

Cvlk_io_node* Cvlk_io_server::getNodeByIndex(unsigned int index) {
  Cvlk_mutex_locker guard(&ioLock);
  if (nodePool->GetStateByIndex(index) != RES_BUSY) return nullptr;
  return static_cast<Cvlk_io_node*>(nodePool->GetByIndex(index));
}

unsigned int Cvlk_io_server::getNodeID(unsigned int socket) {
  if (socket == INVALID_SOCKET) return 0;
  Cvlk_mutex_locker guard(&ioLock);
  return nodeCache.find(socket);
}

void Cvlk_io_server::cache(unsigned int socket, unsigned int nodeId) {
  if (socket == INVALID_SOCKET || nodeId == 0) return;
  Cvlk_mutex_locker guard(&ioLock);
  nodeCache.insert(socket, nodeId);
  watch(socket, nodeId);
}

void Cvlk_io_server::delCache(unsigned int nodeId) {
  Cvlk_mutex_locker guard(&ioLock);
  Cvlk_io_node* node = getNode(nodeId);
  if (node == nullptr) return;
  // Only entries that still name this node go: the descriptor may already
  // have been reused by a newer connection.
  if (node->ipv4Socket != INVALID_SOCKET && nodeCache.find(node->ipv4Socket) == nodeId) nodeCache.remove(node->ipv4Socket);
  if (node->ipv6Socket != INVALID_SOCKET && nodeCache.find(node->ipv6Socket) == nodeId) nodeCache.remove(node->ipv6Socket);
}

void Cvlk_io_server::close(unsigned int nodeId) {
  {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_io_node* node = getNode(nodeId);
    if (node == nullptr) return;
    // The cache entries and the watch go before the descriptors are given
    // back to the system, so that a reused descriptor never maps to this node
    // (and a descriptor another process still shares stops being reported).
    delCache(nodeId);
    unwatch(node->ipv4Socket);
    unwatch(node->ipv6Socket);
    node->closeHandle();
    node->ipv4Socket = INVALID_SOCKET;
    node->ipv6Socket = INVALID_SOCKET;
    nodePool->FreeById(nodeId);
  }
  // The loop drops the closed socket from its next pass.
  wakeUp();
  ioClosed(nodeId);
  Q_EMIT sigClosed(nodeId);
}

void Cvlk_io_server::closeAllNodes() {
  unsigned int ids[MAX_NODES];
  unsigned int n = 0;
  {
    Cvlk_mutex_locker guard(&ioLock);
    for (unsigned int i = 0; i < nodePool->GetRealNum() && n < MAX_NODES; ++i)
      if (nodePool->GetStateByIndex(i) == RES_BUSY) ids[n++] = nodePool->GetByIndex(i)->GetId();
  }
  for (unsigned int i = 0; i < n; ++i) close(ids[i]);
}

void Cvlk_io_server::setAllReadSet(Cvlk_read_set& set) {
  Cvlk_mutex_locker guard(&ioLock);
  unsigned int busy = nodePool->GetBusyNum();
  unsigned int seen = 0;
  for (unsigned int i = 0; i < nodePool->GetRealNum() && seen < busy; ++i) {
    if (nodePool->GetStateByIndex(i) != RES_BUSY) continue;
    ++seen;
    Cvlk_io_node* node = static_cast<Cvlk_io_node*>(nodePool->GetByIndex(i));
    set.add(node->ipv4Socket);
    set.add(node->ipv6Socket);
  }
}

int Cvlk_io_server::waitRead(Cvlk_read_set& set, int timeoutMs) {
  unsigned int n = set.m_count;
  set.m_fds[n].fd = m_wakeFd;
  set.m_fds[n].events = POLLIN;
  set.m_fds[n].revents = 0;
  if (isStopRequested()) return 0;
  int ready = ::poll(set.m_fds, n + 1, timeoutMs < 0 ? -1 : timeoutMs);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (set.m_fds[n].revents != 0) {
    eventfd_t value;
    eventfd_read(m_wakeFd, &value);
    --ready;
  }
  return ready;
}

bool Cvlk_io_server::watch(unsigned int socket, unsigned int nodeId) {
  if (socket == INVALID_SOCKET || m_epollFd < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = (static_cast<std::uint64_t>(nodeId) << 32) | socket;
  if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, static_cast<int>(socket), &ev) == 0) return true;
  return errno == EEXIST && epoll_ctl(m_epollFd, EPOLL_CTL_MOD, static_cast<int>(socket), &ev) == 0;
}

bool Cvlk_io_server::watchEvents(unsigned int socket, unsigned int nodeId, bool read, bool write) {
  if (socket == INVALID_SOCKET || m_epollFd < 0) return false;
  epoll_event ev{};
  ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
  ev.data.u64 = (static_cast<std::uint64_t>(nodeId) << 32) | socket;
  if (epoll_ctl(m_epollFd, EPOLL_CTL_MOD, static_cast<int>(socket), &ev) == 0) return true;
  return errno == ENOENT && epoll_ctl(m_epollFd, EPOLL_CTL_ADD, static_cast<int>(socket), &ev) == 0;
}

void Cvlk_io_server::unwatch(unsigned int socket) {
  if (socket == INVALID_SOCKET || m_epollFd < 0) return;
  epoll_ctl(m_epollFd, EPOLL_CTL_DEL, static_cast<int>(socket), nullptr);
}

int Cvlk_io_server::waitReady(ReadySocket* ready, int max, int timeoutMs) {
  epoll_event events[MAX_READY];
  if (max > MAX_READY) max = MAX_READY;
  if (max <= 0 || isStopRequested()) return 0;
  const int n = epoll_wait(m_epollFd, events, max, timeoutMs < 0 ? -1 : timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeTag) {
      eventfd_t value;
      eventfd_read(m_wakeFd, &value);
      continue;
    }
    ready[count].socket = static_cast<unsigned int>(events[i].data.u64 & 0xFFFFFFFFu);
    ready[count].nodeId = static_cast<unsigned int>(events[i].data.u64 >> 32);
    // An error or a hang-up is read (or written) to find out what it was.
    const std::uint32_t e = events[i].events;
    ready[count].events = ((e & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0 ? READY_READ : 0u) |
                          ((e & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0 ? READY_WRITE : 0u);
    ++count;
  }
  return count;
}

void Cvlk_io_server::wakeUp() {
  if (m_wakeFd >= 0) eventfd_write(m_wakeFd, 1);
}

void Cvlk_io_server::traceInfo(const char* format, ...) {
  if (isTraced() != VLK_TRUE || format == nullptr) return;
  char text[4096] = {0};
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  Q_EMIT sigTracedInfo(QString::fromLocal8Bit(text));
}

void Cvlk_io_server::displayErrorInfo(Cvlk_tmp_str text) { Q_EMIT sigErrorInfo(QString::fromLocal8Bit(text.c_str())); }
