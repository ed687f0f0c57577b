// The UDP server's receive loop.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "vlk_net.h"
#include "vlk_net_sock.h"

namespace {

constexpr int kDatagramMax = 4096;
// Datagrams read from one ready socket in one pass (one recvmmsg) before the
// others get a turn; m_rxData holds as many.
constexpr int kReadsPerSocket = Cvlk_udp_server::READ_BATCH;

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
  Cvlk_uaddr peers[kReadsPerSocket];
  iovec iov[kReadsPerSocket];
  mmsghdr msgs[kReadsPerSocket];
  int got;
  {
    // Read under the lock: a socket closed by another thread meanwhile cannot be
    // reused for another endpoint while this read runs.
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_io_node* node = getNode(nodeId);
    if (node == nullptr || (node->ipv4Socket != socket && node->ipv6Socket != socket)) return;
    const bool v4 = node->ipv4Socket == socket;
    std::memset(msgs, 0, sizeof(msgs));
    for (int i = 0; i < kReadsPerSocket; ++i) {
      if (v4) {
        peers[i].initAnyAddrV4(0);
      } else {
        peers[i].initAnyAddrV6(0);
      }
      iov[i].iov_base = m_rxData + i * (kDatagramMax + 1);
      iov[i].iov_len = kDatagramMax;
      msgs[i].msg_hdr.msg_name = peers[i].getAddr();
      msgs[i].msg_hdr.msg_namelen = static_cast<socklen_t>(peers[i].getAddrLen());
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // One call takes what is waiting, up to a batch; MSG_TRUNC gives each
    // datagram's real length, so that one larger than the buffer is recognised
    // rather than handed on cut short.
    got = ::recvmmsg(static_cast<int>(socket), msgs, kReadsPerSocket, MSG_TRUNC | MSG_DONTWAIT, nullptr);
  }
  // Nothing waiting, or an error: the endpoint stays open.
  for (int i = 0; i < got; ++i) {
    // A hook closed the endpoint: what was read with it goes too.
    if (i > 0 && getNode(nodeId) == nullptr) return;
    const unsigned int len = msgs[i].msg_len;
    if (len == 0) continue;  // an empty datagram carries nothing to hand on
    if (len > static_cast<unsigned int>(kDatagramMax) || (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
      VlkDebug("Cvlk_udp_server: datagram of %u bytes dropped.", len);
      continue;
    }
    char* data = static_cast<char*>(iov[i].iov_base);
    data[len] = '\0';
    const int size = static_cast<int>(len);
    if (checkData(nodeId, peers[i], size, data) == 0) procData(nodeId, peers[i], size, data);
  }
}
