// The UDP server's receive loop.
#include <sys/socket.h>

#include <cerrno>

#include "vlk_net.h"
#include "vlk_net_sock.h"

namespace {

constexpr int kDatagramMax = 4096;
// Datagrams read from one ready socket in one pass before the others get a turn.
constexpr int kReadsPerSocket = 16;

}  // namespace

void Cvlk_udp_server::exeProc() {
  // With no endpoint bound nothing is watched and the wait ends only when a
  // bind or a stop wakes it: the loop does not spin.
  // The time-out runs only while an endpoint is bound.
  const int spell = getBusyNodes() > 0 ? waitTimeout.load() : 0;
  int waitMs = -1;
  if (spell > 0) {
    const std::int64_t now = VlkMonoMs();
    if (m_quietSpell != spell || m_quietDeadline == 0) {
      m_quietSpell = spell;
      m_quietDeadline = now + spell;
    }
    waitMs = m_quietDeadline > now ? static_cast<int>(m_quietDeadline - now) : 0;
  } else {
    m_quietSpell = 0;
    m_quietDeadline = 0;
  }
  ReadySocket ready[MAX_READY];
  const int n = waitReady(ready, MAX_READY, waitMs);
  if (n < 0) return;
  if (n == 0) {
    // A time-out, or a wake-up (bind, stop, new time-out) before it.
    if (spell > 0 && VlkMonoMs() >= m_quietDeadline && !isStopRequested()) {
      m_quietDeadline = VlkMonoMs() + spell;
      procTimeout();
    }
    return;
  }
  if (spell > 0) m_quietDeadline = VlkMonoMs() + spell;
  for (int i = 0; i < n && !isStopRequested(); ++i) readSocket(ready[i].socket, ready[i].nodeId);
}

void Cvlk_udp_server::readSocket(unsigned int socket, unsigned int nodeId) {
  char data[kDatagramMax + 1];
  for (int n = 0; n < kReadsPerSocket; ++n) {
    Cvlk_uaddr peer;
    ssize_t len;
    {
      // Read under the lock: a socket closed by another thread meanwhile cannot be
      // reused for another endpoint while this read runs.
      Cvlk_mutex_locker guard(&ioLock);
      Cvlk_io_node* node = getNode(nodeId);
      if (node == nullptr || (node->ipv4Socket != socket && node->ipv6Socket != socket)) return;
      if (node->ipv4Socket == socket) {
        peer.initAnyAddrV4(0);
      } else {
        peer.initAnyAddrV6(0);
      }
      socklen_t addrLen = static_cast<socklen_t>(peer.getAddrLen());
      // MSG_TRUNC gives the datagram's real length, so that one larger than the
      // buffer is recognised rather than handed on cut short.
      len = ::recvfrom(static_cast<int>(socket), data, kDatagramMax, MSG_TRUNC | MSG_DONTWAIT, peer.getAddr(),
                       &addrLen);
    }
    if (len < 0) return;  // nothing more waiting, or an error: the endpoint stays open
    if (len == 0) continue;  // an empty datagram carries nothing to hand on
    if (len > kDatagramMax) {
      VlkDebug("Cvlk_udp_server: datagram of %d bytes dropped.", static_cast<int>(len));
      continue;
    }
    data[len] = '\0';
    const int size = static_cast<int>(len);
    if (checkData(nodeId, peer, size, data) == 0) procData(nodeId, peer, size, data);
  }
}
