// The UDP server: endpoints on one or both IP families, the receive loop and
// sending.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "vlk_net.h"
#include "vlk_net_sock.h"

Cvlk_udp_node::Cvlk_udp_node(Cvlk_resource* pool) : Cvlk_io_node(pool) {}

EerrNo Cvlk_udp_node::sendTo(Cvlk_uaddr dest, const char* data, unsigned int len) {
  if (dest.getPort() == 0 || data == nullptr || len == 0) return ERR_INVALID_PARAM;
  unsigned int socket;
  if (dest.version == 4) {
    socket = ipv4Socket;
  } else if (dest.version == 6) {
    socket = ipv6Socket;
  } else {
    return ERR_FAIL;
  }
  if (socket == INVALID_SOCKET) return ERR_FAIL;
  // Never waits: the server's lock is held here, and the receive path needs it.
  const ssize_t n = ::sendto(static_cast<int>(socket), data, len, MSG_NOSIGNAL | MSG_DONTWAIT, dest.getAddr(),
                             static_cast<socklen_t>(dest.getAddrLen()));
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ERR_BUSY;
  return n < 1 ? ERR_FAIL : ERR_OK;
}

Cvlk_udp_server::Cvlk_udp_server(QObject* parent, unsigned int maxNodes)
    : Cvlk_io_server(maxNodes, parent),
      waitTimeout(-1),
      m_quietDeadline(0),
      m_quietSpell(0),
      m_rxData(new char[READ_BATCH * (4096 + 1)]) {
  init();
}

Cvlk_udp_server::~Cvlk_udp_server() {
  stop();
  delete[] m_rxData;
}

void Cvlk_udp_server::init() {
  waitTimeout.store(-1);
  initNodes();
}

void Cvlk_udp_server::initNodes() {
  Cvlk_mutex_locker guard(&ioLock);
  const unsigned int count = nodePool->GetMaxNum();
  while (nodePool->GetRealNum() < count) {
    if (addNode(new Cvlk_udp_node(nodePool)) != ERR_OK) break;
  }
}

void Cvlk_udp_server::setWaitTimeout(int seconds) {
  // Capped so that the milliseconds stay within an int (about 24 days).
  const int maxSeconds = 0x7FFFFFFF / 1000;
  waitTimeout.store(seconds > 0 ? (seconds < maxSeconds ? seconds : maxSeconds) * 1000 : seconds);
  wakeUp();  // the loop's current wait takes the new limit at once
}

void Cvlk_udp_server::procTimeout() {}

void Cvlk_udp_server::ioClosed(unsigned int nodeId) {
  Cvlk_io_server::ioClosed(nodeId);
  wakeUp();
}

unsigned int Cvlk_udp_server::bindLocalAddr(Cvlk_uaddr localAddr) {
  if (localAddr.getPort() == 0) return INVALID_SOCKET;
  const bool v4 = localAddr.version == 4;
  const int fd = VlkSockOpen(v4 ? AF_INET : AF_INET6, SOCK_DGRAM, false);
  if (fd < 0) {
    VlkDebug("Cvlk_udp_server: fail to bind address. errno=%d", errno);
    return INVALID_SOCKET;
  }
  if (!v4) {
    // Without this the IPv6 socket would also take the port's IPv4 traffic and
    // the IPv4 socket of the same endpoint could not bind.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  }
  if (::bind(fd, localAddr.getAddr(), static_cast<socklen_t>(localAddr.getAddrLen())) != 0) {
    VlkDebug("Cvlk_udp_server: fail to bind address. errno=%d", errno);
    ::close(fd);
    return INVALID_SOCKET;
  }
  return static_cast<unsigned int>(fd);
}

EerrNo Cvlk_udp_server::bindIPv4Addr(unsigned int& nodeId, Cvlk_uaddr localAddr) {
  return bindAddr(nodeId, localAddr, 4);
}

EerrNo Cvlk_udp_server::bindIPv6Addr(unsigned int& nodeId, Cvlk_uaddr localAddr) {
  return bindAddr(nodeId, localAddr, 6);
}

EerrNo Cvlk_udp_server::bindAddr(unsigned int& nodeId, Cvlk_uaddr localAddr, unsigned char version) {
  if (localAddr.version != version || localAddr.getPort() == 0) return ERR_INVALID_PARAM;
  {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_io_node* node;
    if (nodeId != 0) {
      node = getNode(nodeId);
      if (node == nullptr) return ERR_OBJ_NOT_FOUND;
    } else {
      node = allocNode();
      if (node == nullptr) return ERR_OUT_OF_MEMORY;
      node->init();
      nodeId = node->GetId();
    }
    unsigned int& field = version == 4 ? node->ipv4Socket : node->ipv6Socket;
    if (field != INVALID_SOCKET) return ERR_OBJ_EXISTED;
    const unsigned int socket = bindLocalAddr(localAddr);
    if (socket == INVALID_SOCKET) return ERR_FAIL;
    field = socket;
    cache(socket, nodeId);
  }
  wakeUp();  // watched from now on, not only after the current wait
  return ERR_OK;
}

unsigned int Cvlk_udp_server::Bind(unsigned short port, unsigned long userInfo1, unsigned long userInfo2) {
  if (port == 0) return 0;
  unsigned int nodeId = 0;
  Cvlk_uaddr addr;
  addr.initAnyAddrV4(port);
  bindIPv4Addr(nodeId, addr);
  addr.initAnyAddrV6(port);
  bindIPv6Addr(nodeId, addr);
  return _keepBound(nodeId, userInfo1, userInfo2);
}

unsigned int Cvlk_udp_server::Bind(Cvlk_uaddr localAddr, unsigned long userInfo1, unsigned long userInfo2) {
  unsigned int nodeId = 0;
  if (localAddr.version == 4) {
    bindIPv4Addr(nodeId, localAddr);
  } else {
    bindIPv6Addr(nodeId, localAddr);
  }
  return _keepBound(nodeId, userInfo1, userInfo2);
}

unsigned int Cvlk_udp_server::_keepBound(unsigned int nodeId, unsigned long userInfo1, unsigned long userInfo2) {
  if (nodeId != 0) {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_io_node* node = getNode(nodeId);
    if (node != nullptr && node->hasValidHandle() == VLK_TRUE) {
      node->userInfo1 = static_cast<unsigned int>(userInfo1);
      node->userInfo2 = static_cast<unsigned int>(userInfo2);
      return nodeId;
    }
  }
  close(nodeId);  // also emits sigClosed for a node that was taken
  return 0;
}

unsigned int Cvlk_udp_server::bindAnyPort(unsigned short& port, unsigned long userInfo1,
                                          unsigned long userInfo2) {
  // The system picks a free IPv4 port; the IPv6 socket then tries the same one.
  // A port another program holds for IPv6 costs a retry with a new port. A host
  // without IPv6 sockets gets an IPv4 endpoint alone.
  const int v6probe = VlkSockOpen(AF_INET6, SOCK_DGRAM, false);
  const bool haveV6 = v6probe >= 0;
  if (haveV6) ::close(v6probe);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int probe = VlkSockOpen(AF_INET, SOCK_DGRAM, false);
    if (probe < 0) return 0;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    socklen_t len = sizeof(any);
    unsigned short picked = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&any), &len) == 0)
      picked = ntohs(any.sin_port);
    ::close(probe);
    if (picked == 0) return 0;
    unsigned int nodeId = 0;
    Cvlk_uaddr addr;
    addr.initAnyAddrV4(picked);
    const EerrNo v4 = bindIPv4Addr(nodeId, addr);
    EerrNo v6 = ERR_OK;
    if (haveV6) {
      addr.initAnyAddrV6(picked);
      v6 = bindIPv6Addr(nodeId, addr);
    }
    if (v4 == ERR_OK && v6 == ERR_OK) {
      Cvlk_mutex_locker guard(&ioLock);
      Cvlk_io_node* node = getNode(nodeId);
      if (node != nullptr) {
        node->userInfo1 = static_cast<unsigned int>(userInfo1);
        node->userInfo2 = static_cast<unsigned int>(userInfo2);
        port = picked;
        return nodeId;
      }
    }
    close(nodeId);
  }
  return 0;
}

EerrNo Cvlk_udp_server::SendTo(unsigned int nodeId, Cvlk_uaddr* dest, const char* data, unsigned int len) {
  if (nodeId == 0 || dest == nullptr || dest->getPort() == 0 || data == nullptr) return ERR_INVALID_PARAM;
  Cvlk_mutex_locker guard(&ioLock);  // the socket stays open during the send
  auto* node = static_cast<Cvlk_udp_node*>(getNode(nodeId));
  if (node == nullptr) return ERR_INVALID_OBJ;
  return node->sendTo(*dest, data, len);
}

EerrNo Cvlk_udp_server::SendTo(unsigned int nodeId, const char* host, unsigned short port, char* data,
                               unsigned int len) {
  if (nodeId == 0 || host == nullptr || host[0] == '\0' || port == 0) return ERR_INVALID_PARAM;
  Cvlk_uaddr dest;
  dest.setAddress(host, port);  // a failed resolution leaves port 0, refused below
  return SendTo(nodeId, &dest, data, len);
}

Ebool Cvlk_udp_server::hasValidHandle(unsigned int nodeId) {
  Cvlk_mutex_locker guard(&ioLock);
  Cvlk_io_node* node = getNode(nodeId);
  return node != nullptr ? node->hasValidHandle() : VLK_FALSE;
}
