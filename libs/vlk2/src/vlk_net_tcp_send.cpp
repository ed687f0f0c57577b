// The TCP server's output side and flow control: sends that never wait,
// the connections' output queues and their limits, pausing reads, and
// closing now or after a flush.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "vlk_net.h"
#include "vlk_net_outq.h"
#include "vlk_net_sock.h"

namespace {

// Slow-consumer lines per second; the rest are counted only.
constexpr unsigned int kLogLinesPerSecond = 10;

}  // namespace

Cvlk_uaddr Cvlk_tcp_server::getPeerAddr(unsigned int nodeId) {
  Cvlk_mutex_locker guard(&ioLock);
  Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
  if (node == nullptr) return Cvlk_uaddr();
  return node->peerAddr;
}

Cvlk_tcp* Cvlk_tcp_server::holdNode(unsigned int nodeId) {
  Cvlk_mutex_locker guard(&ioLock);
  Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
  if (node == nullptr || node->closePending || node->getHandle() == INVALID_SOCKET) return nullptr;
  ++node->ioUsers;
  return node;
}

void Cvlk_tcp_server::releaseNode(unsigned int nodeId, Cvlk_tcp* node) {
  bool closeNow;
  {
    Cvlk_mutex_locker guard(&ioLock);
    --node->ioUsers;
    closeNow = node->closePending && node->ioUsers == 0;
    // The close that waited for the last user is completed by it.
    if (closeNow) node->closePending = false;
  }
  if (closeNow) closeConnect(nodeId);
}

void Cvlk_tcp_server::closeConnect(unsigned int nodeId) {
  {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
    if (node == nullptr) return;
    // closePending with no user left: another thread is closing it now.
    if (node->closePending && node->ioUsers == 0) return;
    if (node->ioUsers > 0) {
      // A thread still uses the node's I/O state: the connection ends now,
      // the descriptor and the node go when the last user lets go, so that
      // neither is reused under it.
      if (!node->closePending && node->getHandle() != INVALID_SOCKET) {
        // Shut down, the socket would be reported readable at every pass.
        unwatch(node->getHandle());
        ::shutdown(static_cast<int>(node->getHandle()), SHUT_RDWR);
      }
      node->closePending = true;
      return;
    }
    // Nobody holds the node, so nobody holds its sendLock: its I/O state is ours.
    node->closePending = true;
    if (node->handshakeDeadline != 0 && m_pendingHandshakes > 0) --m_pendingHandshakes;
    if (node->closeState != 0 && m_closing.load() > 0) --m_closing;
    VlkOutClear(*m_outPool, node->outQueue);
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

void Cvlk_tcp_server::updateWatch(unsigned int nodeId, Cvlk_tcp* node) {
  const bool read = !node->readPaused && node->closeState != 1;
  const bool write = node->outQueue.bytes > 0;
  if (node->watchDropped) {
    // Dropped after a hang-up while paused: back only when there is a reason.
    if (!read && !write) return;
    node->watchDropped = false;
  } else if (read == node->readWatched && write == node->writeWatched) {
    return;
  }
  watchEvents(node->getHandle(), nodeId, read, write);
  node->readWatched = read;
  node->writeWatched = write;
}

EerrNo Cvlk_tcp_server::sendTo(unsigned int nodeId, const void* data, unsigned int len) {
  if (nodeId == 0 || data == nullptr || len == 0) return ERR_INVALID_PARAM;
  Cvlk_tcp* node;
  {
    Cvlk_mutex_locker guard(&ioLock);
    node = static_cast<Cvlk_tcp*>(getNode(nodeId));
    if (node == nullptr) {
      VlkDebug("Fail to get TCP node to send message.");
      return ERR_INVALID_OPR;
    }
    // Not announced yet: a TLS connection in its handshake (broadcast and
    // keepAlive pass it over; it is not closed for that).
    if (node->handshakeDeadline != 0 || node->closePending || node->getHandle() == INVALID_SOCKET)
      return ERR_INVALID_OPR;
    ++node->ioUsers;
  }
  const char* p = static_cast<const char*>(data);
  const std::size_t maxQueued = m_maxQueued.load();
  const bool closeSlow = m_policy.load() == SLOW_CONSUMER_CLOSE;
  EerrNo err = ERR_OK;
  bool refused = false;
  bool crossed = false;
  std::size_t sent = 0;
  std::size_t queued = 0;
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    const std::size_t before = node->outQueue.bytes;
    if (node->closeState != 0) {
      err = ERR_INVALID_OPR;
    } else if (!closeSlow && before + len > maxQueued) {
      // Refused before any byte goes, so that the connection stays usable.
      refused = true;
    } else {
      // Direct only while nothing waits, so that bytes never overtake the queue.
      if (before == 0) {
        const long n = VlkWriteSome(static_cast<int>(node->getHandle()), node->ssl, p, len);
        if (n < 0)
          err = ERR_FAIL;
        else
          sent = static_cast<std::size_t>(n);
      }
      if (err == ERR_OK && sent < len) {
        const std::size_t rest = len - sent;
        if (before + rest > maxQueued || !VlkOutAppend(*m_outPool, node->outQueue, p + sent, rest)) {
          refused = true;
        } else {
          updateWatch(nodeId, node);
          if (!node->aboveHighWater && node->outQueue.bytes > m_highWater.load()) {
            node->aboveHighWater = true;
            crossed = true;
          }
        }
      }
    }
    queued = node->outQueue.bytes;
  }
  releaseNode(nodeId, node);
  if (err == ERR_FAIL) {
    closeConnect(nodeId);
    return ERR_FAIL;
  }
  if (err != ERR_OK) return err;
  if (refused) {
    m_refusedSends.fetch_add(1);
    // A refusal after part of the message went leaves a cut stream: that
    // connection closes whatever the policy.
    if (closeSlow || sent > 0) slowConsumer(nodeId, queued, len);
    return ERR_BUSY;
  }
  if (crossed) procHighWater(nodeId, queued);
  return ERR_OK;
}

void Cvlk_tcp_server::slowConsumer(unsigned int nodeId, std::size_t queued, unsigned int len) {
  m_slowCloses.fetch_add(1);
  // One line per connection, at most kLogLinesPerSecond a second; the counter
  // has them all.
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  std::int64_t second = m_logSecond.load();
  if (second != now && m_logSecond.compare_exchange_strong(second, now)) m_logCount = 0;
  if (m_logCount.fetch_add(1) < kLogLinesPerSecond) {
    Cvlk_tmp_str peer;
    getPeerAddr(nodeId).getURLStr(peer);
    reportError("slow consumer closed: node %08X peer %s, %zu bytes queued, a send of %u bytes refused", nodeId,
                peer.c_str(), queued, len);
  }
  closeConnect(nodeId);
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

void Cvlk_tcp_server::writeNode(unsigned int nodeId) {
  Cvlk_tcp* node = holdNode(nodeId);
  if (node == nullptr) return;
  bool failed = false;
  bool drained = false;
  bool closeNow = false;
  bool peerEnded = false;
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    const int fd = static_cast<int>(node->getHandle());
    bool progress = false;
    while (node->outQueue.bytes > 0) {
      std::size_t len = 0;
      const char* p = VlkOutFront(*m_outPool, node->outQueue, len);
      const long n = VlkWriteSome(fd, node->ssl, p, len);
      if (n < 0) {
        failed = true;
        break;
      }
      if (n > 0) progress = true;
      VlkOutConsume(*m_outPool, node->outQueue, static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < len) break;
    }
    if (!failed) {
      if (progress && node->closeState != 0) node->closeDeadline = VlkMonoMs() + m_sendWaitMs.load();
      if (node->aboveHighWater && node->outQueue.bytes <= m_lowWater.load()) {
        node->aboveHighWater = false;
        drained = true;
      }
      if (node->outQueue.bytes == 0 && node->closeState == 1) closeNow = finishFlush(node);
      updateWatch(nodeId, node);
    }
    peerEnded = node->peerEnded;
  }
  releaseNode(nodeId, node);
  if (drained && !failed && !closeNow) procDrained(nodeId);
  if (failed || closeNow) {
    if (peerEnded) {
      unsigned int info1 = 0, info2 = 0;
      {
        Cvlk_mutex_locker guard(&ioLock);
        if (Cvlk_tcp* n = static_cast<Cvlk_tcp*>(getNode(nodeId))) {
          info1 = n->userInfo1;
          info2 = n->userInfo2;
        }
      }
      Q_EMIT sigClosing(info1, info2);
    }
    closeConnect(nodeId);
  }
}

bool Cvlk_tcp_server::finishFlush(Cvlk_tcp* node) {
  // close_notify, then the end of our side; the peer's bytes are read (and
  // dropped) until it ends its own, so that a close never resets the
  // connection under data it has not read yet.
  if (node->ssl != nullptr && SSL_is_init_finished(node->ssl)) {
    ERR_clear_error();
    SSL_shutdown(node->ssl);
    ERR_clear_error();
  }
  ::shutdown(static_cast<int>(node->getHandle()), SHUT_WR);
  if (node->peerEnded) return true;
  node->closeState = 2;
  node->closeDeadline = VlkMonoMs() + m_sendWaitMs.load();
  return false;
}

EerrNo Cvlk_tcp_server::flushAndClose(unsigned int nodeId) {
  Cvlk_tcp* node = holdNode(nodeId);
  if (node == nullptr) return ERR_INVALID_OPR;
  bool closeNow = false;
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    if (node->closeState == 0) {
      node->closeState = 1;
      node->closeDeadline = VlkMonoMs() + m_sendWaitMs.load();
      ++m_closing;
      if (node->outQueue.bytes == 0) closeNow = finishFlush(node);
      updateWatch(nodeId, node);
    }
  }
  releaseNode(nodeId, node);
  // The loop checks the closing connections' deadlines from its next pass.
  wakeUp();
  if (closeNow) closeConnect(nodeId);
  return ERR_OK;
}

void Cvlk_tcp_server::checkClosing() {
  if (m_closing.load() == 0) return;
  unsigned int ids[MAX_NODES];
  unsigned int expired[MAX_NODES];
  unsigned int n = busyIds(ids);
  unsigned int count = 0;
  const std::int64_t now = VlkMonoMs();
  for (unsigned int i = 0; i < n; ++i) {
    Cvlk_tcp* node = holdNode(ids[i]);
    if (node == nullptr) continue;
    {
      std::lock_guard<std::mutex> io(node->sendLock);
      if (node->closeState != 0 && node->closeDeadline <= now) expired[count++] = ids[i];
    }
    releaseNode(ids[i], node);
  }
  for (unsigned int i = 0; i < count; ++i) {
    Cvlk_tcp_server::reportError("closing connection %08X gave up: no progress within the send timeout", expired[i]);
    closeConnect(expired[i]);
  }
}

EerrNo Cvlk_tcp_server::pauseReading(unsigned int nodeId) {
  Cvlk_tcp* node = holdNode(nodeId);
  if (node == nullptr) return ERR_INVALID_OPR;
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    node->readPaused = true;
    updateWatch(nodeId, node);
  }
  releaseNode(nodeId, node);
  return ERR_OK;
}

EerrNo Cvlk_tcp_server::resumeReading(unsigned int nodeId) {
  Cvlk_tcp* node = holdNode(nodeId);
  if (node == nullptr) return ERR_INVALID_OPR;
  bool kick = false;
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    if (node->readPaused) {
      node->readPaused = false;
      updateWatch(nodeId, node);
      // Bytes TLS decrypted already raise no readiness: the loop reads them.
      kick = node->ssl != nullptr && SSL_pending(node->ssl) > 0;
    }
  }
  releaseNode(nodeId, node);
  if (kick) {
    ++m_resumed;
    wakeUp();
  }
  return ERR_OK;
}

EerrNo Cvlk_tcp_server::setOutputLimits(unsigned int maxQueued, unsigned int highWater, unsigned int lowWater) {
  if (lowWater == 0 || lowWater > highWater || highWater > maxQueued) return ERR_INVALID_PARAM;
  m_maxQueued = maxQueued;
  m_highWater = highWater;
  m_lowWater = lowWater;
  return ERR_OK;
}

EerrNo Cvlk_tcp_server::setOutputBudget(std::size_t bytes) {
  if (bytes == 0) return ERR_INVALID_PARAM;
  if (isRunning()) return ERR_INVALID_OPR;
  VlkOutPool* pool = new VlkOutPool(bytes);
  if (!pool->ok()) {
    delete pool;
    return ERR_OUT_OF_MEMORY;
  }
  {
    Cvlk_mutex_locker guard(&ioLock);
    if (m_outPool->inUse() != 0) {
      delete pool;
      return ERR_INVALID_OPR;
    }
    std::swap(pool, m_outPool);
  }
  delete pool;
  return ERR_OK;
}

void Cvlk_tcp_server::setSlowConsumerPolicy(Eslow_consumer_policy policy) { m_policy = policy; }

Cvlk_out_stats Cvlk_tcp_server::getOutputStats() {
  Cvlk_out_stats stats;
  stats.refusedSends = m_refusedSends.load();
  stats.slowConsumerCloses = m_slowCloses.load();
  stats.queuedBytes = m_outPool->inUse();
  stats.budgetBytes = m_outPool->capacity();
  return stats;
}

std::size_t Cvlk_tcp_server::getQueuedBytes(unsigned int nodeId) {
  Cvlk_tcp* node = holdNode(nodeId);
  if (node == nullptr) return 0;
  std::size_t n;
  {
    std::lock_guard<std::mutex> io(node->sendLock);
    n = node->outQueue.bytes;
  }
  releaseNode(nodeId, node);
  return n;
}

void Cvlk_tcp_server::procHighWater(unsigned int nodeId, std::size_t queued) {
  (void)nodeId;
  (void)queued;
}

void Cvlk_tcp_server::procDrained(unsigned int nodeId) { (void)nodeId; }
