// Helpers of the TCP server tests: a recording server, blocking loopback
// clients (plain and TLS) and condition waits with a generous deadline.
#ifndef TEST_NET_TCP_UTIL_H
#define TEST_NET_TCP_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_net.h"

namespace nettest {

constexpr auto kDeadline = std::chrono::seconds(20);

// True when the machine has an IPv6 loopback to test on.
inline bool hasIPv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a;
  std::memset(&a, 0, sizeof(a));
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  ::close(fd);
  return ok;
}

// Everything a server reported, in order, guarded by one mutex.
class Recorder {
 public:
  void add(const std::string& event) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_events.push_back(event);
    }
    m_cond.notify_all();
  }
  // Waits for pred, evaluated under the lock at every event and at least
  // every 10 ms (for conditions that no event announces).
  template <class Pred>
  bool waitUntil(Pred pred) {
    auto end = std::chrono::steady_clock::now() + kDeadline;
    std::unique_lock<std::mutex> lock(m_lock);
    while (!pred()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      m_cond.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
  }
  // Waits until the nth (0-based) event starting with prefix exists; its
  // text, or "".
  std::string waitFor(const std::string& prefix, int nth = 0) {
    std::string found;
    waitUntil([&] {
      int seen = 0;
      for (const auto& e : m_events)
        if (e.compare(0, prefix.size(), prefix) == 0 && seen++ == nth) {
          found = e;
          return true;
        }
      return false;
    });
    return found;
  }
  // Events starting with prefix, now or (waitCount) once there are n of them.
  int count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(m_lock);
    return countLocked(prefix);
  }
  bool waitCount(const std::string& prefix, int n) {
    return waitUntil([&] { return countLocked(prefix) >= n; });
  }
  // Waits until the lines starting with prefix, of a kind the server writes
  // at most once in 10 s, stand for n events: a line for one, a summary
  // "... and N more in the last 10 s" for N.
  bool waitLimited(const std::string& prefix, int n) {
    return waitUntil([&] {
      int total = 0;
      for (const auto& e : m_events) {
        if (e.compare(0, prefix.size(), prefix) != 0) continue;
        std::size_t more = e.find(" ... and ");
        total += more == std::string::npos ? 1 : std::atoi(e.c_str() + more + 9);
      }
      return total == n;
    });
  }
  int indexOf(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (std::size_t i = 0; i < m_events.size(); ++i)
      if (m_events[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
    return -1;
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
  }
  void notify() { m_cond.notify_all(); }
  std::mutex& lock() { return m_lock; }

 private:
  int countLocked(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : m_events)
      if (e.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
  }

  std::mutex m_lock;
  std::condition_variable m_cond;
  std::vector<std::string> m_events;
};

// A TCP server that records what it reads per node and reports its signals to
// a Recorder; an optional hook runs inside procData.
class RecordingServer : public Cvlk_tcp_server {
 public:
  explicit RecordingServer(unsigned int maxConnections) : Cvlk_tcp_server(maxConnections, nullptr) {
    connect(this, &Cvlk_io_server::sigClosing, [this](uint a, uint b) {
      rec.add("closing " + std::to_string(a) + " " + std::to_string(b));
    });
    connect(this, &Cvlk_io_server::sigClosed, [this](uint id) { rec.add("closed " + std::to_string(id)); });
    connect(this, &Cvlk_io_server::sigErrorInfo, [this](QString text) { rec.add("error " + text.toStdString()); });
    connect(this, &Cvlk_tcp_server::sigNewConnection, [this](int id) { rec.add("new " + std::to_string(id)); });
  }
  ~RecordingServer() override { stop(); }

  using Cvlk_tcp_server::broadcast;
  using Cvlk_tcp_server::sendTo;

  // Runs f under the server's lock, so that the thread sanitizer sees it
  // ordered against the server's own socket operations.
  template <class F>
  void locked(F f) {
    Cvlk_mutex_locker guard(&ioLock);
    f();
  }
  // The connection's socket; -1 for an id not busy.
  int socketOf(unsigned int nodeId) {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
    return node != nullptr ? static_cast<int>(node->getHandle()) : -1;
  }

  // Bytes received by a node, the largest single piece, and whether every
  // piece was followed by a zero byte.
  std::string received(unsigned int nodeId) {
    std::lock_guard<std::mutex> lock(rec.lock());
    return m_data[nodeId];
  }
  bool waitReceived(unsigned int nodeId, std::size_t n) {
    return rec.waitUntil([&] { return m_data[nodeId].size() >= n; });
  }
  // Waits for a node other than notThis to receive data; its id or 0.
  unsigned int waitAnyNode(unsigned int notThis = 0) {
    unsigned int id = 0;
    rec.waitUntil([&] {
      id = m_lastNode;
      return id != 0 && id != notThis;
    });
    return id != notThis ? id : 0;
  }

  // Whether the node's output queue is above its high-water mark, as the
  // hooks told.
  bool above(unsigned int nodeId) {
    std::lock_guard<std::mutex> lock(rec.lock());
    return m_above.count(nodeId) != 0;
  }
  // Waits until none of ids is above its high-water mark.
  bool waitBelow(const std::vector<unsigned int>& ids) {
    return rec.waitUntil([&] {
      for (unsigned int id : ids)
        if (m_above.count(id) != 0) return false;
      return true;
    });
  }

  std::function<void(unsigned int, int, char*)> hook;
  Recorder rec;
  unsigned int maxPiece = 0;
  bool allTerminated = true;

 protected:
  void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    (void)peer;
    if (len > 0) {
      {
        std::lock_guard<std::mutex> lock(rec.lock());
        m_data[nodeId].append(data, static_cast<std::size_t>(len));
        if (static_cast<unsigned int>(len) > maxPiece) maxPiece = static_cast<unsigned int>(len);
        if (data[len] != '\0') allTerminated = false;
        m_lastNode = nodeId;
      }
      rec.notify();
    }
    if (hook) hook(nodeId, len, data);
  }
  void procHighWater(unsigned int nodeId, std::size_t) override {
    {
      std::lock_guard<std::mutex> lock(rec.lock());
      m_above.insert(nodeId);
    }
    rec.add("high " + std::to_string(nodeId));
  }
  void procDrained(unsigned int nodeId) override {
    {
      std::lock_guard<std::mutex> lock(rec.lock());
      m_above.erase(nodeId);
    }
    rec.add("drained " + std::to_string(nodeId));
  }

 private:
  std::map<unsigned int, std::string> m_data;
  std::set<unsigned int> m_above;
  unsigned int m_lastNode = 0;
};

// A started server on an ephemeral port.
struct Started {
  explicit Started(unsigned int maxConnections) : server(maxConnections) {
    EXPECT_EQ(server.bindAnyPort(port), ERR_OK);
    server.start();
  }
  RecordingServer server;
  unsigned short port = 0;
};

inline std::string dataPath(const char* name) { return std::string(VLK_NET_TEST_DATA) + "/" + name; }

// A started TLS server on an ephemeral port that echoes what it reads.
struct TlsStarted {
  explicit TlsStarted(unsigned int maxConnections, unsigned int handshakeSeconds = 0) : server(maxConnections) {
    EXPECT_EQ(server.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_OK);
    server.setHandshakeTimeout(handshakeSeconds);
    EXPECT_EQ(server.bindAnyPort(port), ERR_OK);
    server.hook = [this](unsigned int id, int len, char* data) {
      if (len > 0) server.sendTo(id, data, static_cast<unsigned int>(len));
    };
    server.start();
  }
  RecordingServer server;
  unsigned short port = 0;
};

// A blocking loopback client socket, connected to port; -1 on failure.
inline int connectLoopback(int family, unsigned short port) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  if (family == AF_INET) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  } else {
    sockaddr_in6 a;
    std::memset(&a, 0, sizeof(a));
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool sendAll(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads until n bytes arrived or the deadline passed.
inline std::string readN(int fd, std::size_t n) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + kDeadline;
  char buf[8192];
  while (out.size() < n && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    ssize_t got = ::recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

// True when the peer closed the connection (EOF or reset) within the deadline.
inline bool waitPeerClosed(int fd) {
  auto end = std::chrono::steady_clock::now() + kDeadline;
  char buf[256];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    ssize_t got = ::recv(fd, buf, sizeof(buf), 0);
    if (got <= 0) return true;
  }
  return false;
}

// A blocking TLS client over a connected socket; no verification.
class TlsClient {
 public:
  // maxVersion (TLS1_2_VERSION, ...) caps the protocol when not 0.
  explicit TlsClient(int fd, int maxVersion = 0) : m_fd(fd) {
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (maxVersion != 0) SSL_CTX_set_max_proto_version(m_ctx, maxVersion);
    m_ssl = SSL_new(m_ctx);
    SSL_set_fd(m_ssl, fd);
  }
  ~TlsClient() {
    SSL_free(m_ssl);
    SSL_CTX_free(m_ctx);
    if (m_fd >= 0) ::close(m_fd);
  }
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  bool handshake() { return SSL_connect(m_ssl) == 1; }
  bool write(const std::string& data) {
    return SSL_write(m_ssl, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
  }
  std::string readN(std::size_t n) {
    std::string out;
    char buf[8192];
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
      if (SSL_pending(m_ssl) == 0) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
      }
      int got = SSL_read(m_ssl, buf, static_cast<int>(std::min(sizeof(buf), n - out.size())));
      if (got <= 0) break;
      out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
  }
  int fd() const { return m_fd; }
  std::string version() const { return SSL_get_version(m_ssl); }
  // Closes the socket without close_notify.
  void drop() {
    ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
  SSL_CTX* m_ctx;
  SSL* m_ssl;
};

// A loopback address of the family with the port.
inline Cvlk_uaddr loopbackAddr(int family, unsigned short port) {
  Cvlk_uaddr a;
  if (family == AF_INET) {
    a.initAnyAddrV4(port);
    a.addr.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    a.initAnyAddrV6(port);
    a.addr.v6.sin6_addr = in6addr_loopback;
  }
  return a;
}

// A listening loopback socket of the test on an ephemeral port.
struct Listener {
  explicit Listener(int family = AF_INET)
      : fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)), addr(loopbackAddr(family, 0)) {
    socklen_t len = static_cast<socklen_t>(addr.getAddrLen());
    ::bind(fd, addr.getAddr(), len);
    ::listen(fd, 64);
    ::getsockname(fd, addr.getAddr(), &len);
  }
  ~Listener() { ::close(fd); }
  // The test's end of the next connection; -1 after the deadline.
  int accept() {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 20000) == 1 ? ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }
  int fd;
  Cvlk_uaddr addr;
};

// Waits until thread tid sleeps in poll (where /proc names no wait, until it
// sleeps at all).
inline void waitUntilPolling(int tid) {
  const std::string dir = "/proc/self/task/" + std::to_string(tid);
  for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
    std::string wchan, stat;
    std::ifstream(dir + "/wchan") >> wchan;
    std::getline(std::ifstream(dir + "/stat"), stat);
    const std::size_t paren = stat.rfind(')');
    const char state = paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 'S';
    if (wchan.find("poll") != std::string::npos || (state == 'S' && (wchan.empty() || wchan == "0"))) return;
    std::this_thread::yield();
  }
}

// With SIGPIPE's default action (the end of the process) in force: connect()
// makes a client that has sent data and returns how to make it vanish; the
// server thread is parked in its hook meanwhile, so that it cannot notice the
// close first. Writes to the node must then fail and close it, and the library
// must leave SIGPIPE's disposition alone. Stops the server.
inline void expectWriteToVanishedPeerFails(RecordingServer& server,
                                           const std::function<std::function<void()>()>& connect) {
  struct sigaction dfl {}, old {}, now {};
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  server.hook = [&](unsigned int, int len, char*) {
    if (len == 0) return;
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, kDeadline, [&] { return release; });
  };
  std::function<void()> vanish = connect();
  unsigned int id = server.waitAnyNode();
  EXPECT_NE(id, 0u);
  vanish();
  EerrNo err = ERR_OK;
  std::string chunk(1000, 'z');
  for (auto end = std::chrono::steady_clock::now() + kDeadline; err == ERR_OK && std::chrono::steady_clock::now() < end;)
    err = server.sendTo(id, chunk.data(), static_cast<unsigned int>(chunk.size()));
  EXPECT_EQ(err, ERR_FAIL);
  EXPECT_EQ(server.hasNode(id), VLK_FALSE);
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  server.stop();
  ASSERT_EQ(sigaction(SIGPIPE, &old, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace nettest

#endif  // TEST_NET_TCP_UTIL_H
