// Helpers of the network tests: recording servers, the test's loopback peers
// (plain or TLS, either end, stream or datagram), waits with a generous deadline.
#ifndef TEST_NET_TCP_UTIL_H
#define TEST_NET_TCP_UTIL_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_net.h"

namespace nettest {

constexpr auto kDeadline = std::chrono::seconds(20);

// Polls pred until it holds; false after the deadline.
template <class Pred>
bool eventually(Pred pred) {
  for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
    if (pred()) return true;
    std::this_thread::yield();
  }
  return false;
}

inline std::string dataPath(const char* name) { return std::string(VLK_NET_TEST_DATA) + "/" + name; }

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

// A socket of type bound to an ephemeral loopback port, whose address goes to addr.
inline int boundSocket(int family, int type, Cvlk_uaddr& addr) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
  addr = loopbackAddr(family, 0);
  socklen_t len = static_cast<socklen_t>(addr.getAddrLen());
  if (::bind(fd, addr.getAddr(), len) == 0) ::getsockname(fd, addr.getAddr(), &len);
  return fd;
}

// True when the machine has an IPv6 loopback to test on.
inline bool hasIPv6Loopback() {
  Cvlk_uaddr a;
  ::close(boundSocket(AF_INET6, SOCK_STREAM, a));
  return a.getPort() != 0;
}

// A blocking loopback socket connected to port, or -1; rcvbuf > 0 keeps the window small.
inline int connectLoopback(int family, unsigned short port, int rcvbuf = 0) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  Cvlk_uaddr a = loopbackAddr(family, port);
  if (::connect(fd, a.getAddr(), static_cast<socklen_t>(a.getAddrLen())) == 0) return fd;
  ::close(fd);
  return -1;
}

// The test's end of one stream connection, plain or TLS (client or server side).
class Conn {
 public:
  explicit Conn(int fd) : m_fd(fd) {}
  Conn(int family, unsigned short port, int rcvbuf = 0) : m_fd(connectLoopback(family, port, rcvbuf)) {}
  ~Conn() {
    SSL_free(m_ssl);
    SSL_CTX_free(m_ctx);
    if (m_fd >= 0) ::close(m_fd);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  // The client side of a TLS handshake, without verification; maxVersion
  // (TLS1_2_VERSION, ...) caps the protocol when not 0.
  bool handshake(int maxVersion = 0) {
    tls(TLS_client_method());
    if (maxVersion != 0) SSL_set_max_proto_version(m_ssl, maxVersion);
    return SSL_connect(m_ssl) == 1;
  }
  // The server side, on a thread of its own so that a blocking client can meet it.
  std::future<bool> acceptTLS() {
    tls(TLS_server_method());
    SSL_use_certificate_file(m_ssl, dataPath("server.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_use_PrivateKey_file(m_ssl, dataPath("server.key").c_str(), SSL_FILETYPE_PEM);
    return std::async(std::launch::async, [this] { return SSL_accept(m_ssl) == 1; });
  }
  bool write(const std::string& data) {
    if (m_ssl != nullptr) return SSL_write(m_ssl, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
    for (std::size_t off = 0; off < data.size();) {
      const ssize_t n = ::send(m_fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Reads until n bytes arrived, the other end closed or the deadline passed.
  std::string read(std::size_t n) {
    std::string out;
    char buf[16384];
    for (auto end = std::chrono::steady_clock::now() + kDeadline;
         out.size() < n && !m_eof && std::chrono::steady_clock::now() < end;) {
      pollfd p{m_fd, POLLIN, 0};
      if ((m_ssl == nullptr || SSL_pending(m_ssl) == 0) && ::poll(&p, 1, 200) <= 0) continue;
      const int want = static_cast<int>(std::min(sizeof(buf), n - out.size()));
      const int got = m_ssl != nullptr ? SSL_read(m_ssl, buf, want) : static_cast<int>(::recv(m_fd, buf, want, 0));
      if (got <= 0) m_eof = true;
      if (got > 0) out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
  }
  // True when the other end closed (an end of stream or a reset) within the deadline.
  bool waitClosed() {
    read(SIZE_MAX);
    return m_eof;
  }
  // Closes at once: without close_notify, or (reset) with a reset.
  void drop(bool reset = false) {
    if (reset) {
      linger l{1, 0};
      ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    }
    ::close(m_fd);
    m_fd = -1;
  }
  int fd() const { return m_fd; }
  std::string version() const { return SSL_get_version(m_ssl); }

 private:
  void tls(const SSL_METHOD* method) {
    m_ctx = SSL_CTX_new(method);
    m_ssl = SSL_new(m_ctx);
    SSL_set_fd(m_ssl, m_fd);
  }
  int m_fd;
  bool m_eof = false;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
};

// A listening loopback socket of the test on an ephemeral port.
struct Listener {
  explicit Listener(int family = AF_INET) : fd(boundSocket(family, SOCK_STREAM, addr)) { ::listen(fd, 64); }
  ~Listener() { ::close(fd); }
  // The test's end of the next connection; -1 after the deadline.
  int accept() {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 20000) == 1 ? ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }
  Cvlk_uaddr addr;  // before fd, which is made from it
  int fd;
};

// A loopback datagram socket of the test on an ephemeral port.
class UdpPeer {
 public:
  explicit UdpPeer(int family = AF_INET) : m_family(family) {
    Cvlk_uaddr a;
    m_fd = boundSocket(family, SOCK_DGRAM, a);
    m_port = a.getPort();
    const int big = 1 << 20;
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
  }
  ~UdpPeer() { ::close(m_fd); }
  int fd() const { return m_fd; }
  unsigned short port() const { return m_port; }
  bool send(unsigned short to, const std::string& data) {
    Cvlk_uaddr a = loopbackAddr(m_family, to);
    return ::sendto(m_fd, data.data(), data.size(), 0, a.getAddr(), static_cast<socklen_t>(a.getAddrLen())) ==
           static_cast<ssize_t>(data.size());
  }
  // One datagram within waitMs; got tells whether one came.
  std::string receive(bool& got, int waitMs = 20000) {
    pollfd p{m_fd, POLLIN, 0};
    char buf[8192];
    const ssize_t n = ::poll(&p, 1, waitMs) == 1 ? ::recv(m_fd, buf, sizeof(buf), 0) : -1;
    got = n >= 0;
    return got ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  // Sends request until its echo comes back (a full receive buffer may drop
  // datagrams); true when it did within the deadline.
  bool roundTrip(unsigned short to, const std::string& request) {
    for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
      if (!send(to, request)) continue;
      for (bool got = true; got;)
        if (receive(got, 100) == request) return true;
    }
    return false;
  }

 private:
  int m_family;
  int m_fd;
  unsigned short m_port;
};

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
  // Waits for an event starting with prefix; the first such, or "".
  std::string waitFor(const std::string& prefix) {
    std::string found;
    waitUntil([&] {
      for (const auto& e : m_events)
        if (e.compare(0, prefix.size(), prefix) == 0) return !(found = e).empty();
      return false;
    });
    return found;
  }
  int count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<int>(std::count_if(m_events.begin(), m_events.end(),
                                          [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; }));
  }
  // Waits until the lines starting with prefix stand for n events: a line for
  // one, a summary "... and N more in the last 10 s" (of a kind the server
  // writes at most once in 10 s) for N.
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
  std::mutex m_lock;
  std::condition_variable m_cond;
  std::vector<std::string> m_events;  // guarded by m_lock
};

// What a set of connections read per node; its events go to rec.
class Reads {
 public:
  std::string received(unsigned int nodeId) {
    std::lock_guard<std::mutex> lock(rec.lock());
    return m_data[nodeId];
  }
  bool waitReceived(unsigned int nodeId, std::size_t n) { return rec.waitUntil([&] { return m_data[nodeId].size() >= n; }); }
  // Waits for a node other than notThis to receive data; its id or 0.
  unsigned int waitAnyNode(unsigned int notThis = 0) {
    unsigned int id = 0;
    rec.waitUntil([&] { return (id = m_lastNode) != 0 && id != notThis; });
    return id != notThis ? id : 0;
  }

  Recorder rec;
  std::size_t maxPiece = 0;     // guarded by rec.lock(): the largest piece read
  bool allTerminated = true;    // guarded by rec.lock(): every piece followed by a zero byte
  std::atomic<int> loopTid{0};  // the reading thread

 protected:
  void record(unsigned int nodeId, const char* data, int len) {
    loopTid = static_cast<int>(::syscall(SYS_gettid));
    if (len <= 0) return;
    {
      std::lock_guard<std::mutex> lock(rec.lock());
      m_data[nodeId].append(data, static_cast<std::size_t>(len));
      maxPiece = std::max(maxPiece, static_cast<std::size_t>(len));
      if (data[len] != '\0') allTerminated = false;
      m_lastNode = nodeId;
    }
    rec.notify();
  }

 private:
  std::map<unsigned int, std::string> m_data;  // guarded by rec.lock()
  unsigned int m_lastNode = 0;                 // guarded by rec.lock()
};

// A TCP server that records what it reads, its signals and its queue hooks;
// an optional hook runs inside procData.
class RecordingServer : public Cvlk_tcp_server, public Reads {
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
  using Cvlk_io_server::getNodeID;
  void coreClose(unsigned int nodeId) { close(nodeId); }  // the core's close, not the server's

  // Runs f under the server's lock (ordered against its socket operations).
  template <class F>
  void locked(F f) {
    Cvlk_mutex_locker guard(&ioLock);
    f();
  }
  // Moves the connection's last receive back by seconds, as if that long passed.
  void age(unsigned int nodeId, std::int64_t seconds) {
    locked([&] {
      if (auto* node = static_cast<Cvlk_tcp*>(getNode(nodeId))) node->lastActive -= seconds;
    });
  }
  // The connection's socket; -1 for an id not busy.
  int socketOf(unsigned int nodeId) {
    Cvlk_mutex_locker guard(&ioLock);
    Cvlk_tcp* node = static_cast<Cvlk_tcp*>(getNode(nodeId));
    return node != nullptr ? static_cast<int>(node->getHandle()) : -1;
  }
  // c sends hello; the node that received it whole, or 0.
  unsigned int greet(Conn& c, const std::string& hello = "x", unsigned int notThis = 0) {
    if (!c.write(hello)) return 0;
    const unsigned int id = waitAnyNode(notThis);
    return id != 0 && waitReceived(id, hello.size()) ? id : 0;
  }
  // Waits until none of ids is above its high-water mark, as the hooks told.
  bool waitBelow(const std::vector<unsigned int>& ids) {
    return rec.waitUntil([&] {
      for (unsigned int id : ids)
        if (m_above.count(id) != 0) return false;
      return true;
    });
  }

  std::function<void(unsigned int, int, char*)> hook;
  std::size_t mostQueuedAtDrained = 0;  // guarded by rec.lock(): the fullest queue procDrained saw
  std::atomic<bool> nodeGoneInIoClosed{false};

 protected:
  void procData(unsigned int nodeId, Cvlk_uaddr, int len, char* data) override {
    record(nodeId, data, len);
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
    const std::size_t queued = getQueuedBytes(nodeId);  // only the loop drains, and it is here
    {
      std::lock_guard<std::mutex> lock(rec.lock());
      m_above.erase(nodeId);
      mostQueuedAtDrained = std::max(mostQueuedAtDrained, queued);
    }
    rec.add("drained " + std::to_string(nodeId));
  }
  void ioClosed(unsigned int nodeId) override {
    nodeGoneInIoClosed = getNode(nodeId) == nullptr;
    rec.add("ioClosed " + std::to_string(nodeId));
  }

 private:
  std::set<unsigned int> m_above;  // guarded by rec.lock()
};

// A started server on an ephemeral port; with tls, it echoes what it reads
// and its handshakes are bound to handshakeSeconds (0: the default); its output
// budget is budget bytes (0: the default).
struct Started {
  explicit Started(unsigned int maxConnections, bool tls = false, unsigned int handshakeSeconds = 0,
                   std::size_t budget = 0)
      : server(maxConnections) {
    EXPECT_EQ(budget == 0 ? ERR_OK : server.setOutputBudget(budget), ERR_OK);
    if (tls) {
      EXPECT_EQ(server.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_OK);
      server.setHandshakeTimeout(handshakeSeconds);
      server.hook = [this](unsigned int id, int len, char* data) {
        if (len > 0) server.sendTo(id, data, static_cast<unsigned int>(len));
      };
    }
    EXPECT_EQ(server.bindAnyPort(port), ERR_OK);
    server.start();
  }
  RecordingServer server;
  unsigned short port = 0;
};

// A hook's view of a datagram, as RecordingUdp records it.
inline std::string seen(const char* hook, unsigned int nodeId, int version, unsigned short port, const std::string& data,
                        bool terminated = true) {
  return std::string(hook) + " " + std::to_string(nodeId) + " v" + std::to_string(version) + " " +
         std::to_string(port) + (terminated ? " " : " unterminated ") + data;
}

// A UDP server that records its hooks and signals; procData echoes on request.
class RecordingUdp : public Cvlk_udp_server {
 public:
  explicit RecordingUdp(unsigned int maxNodes = 8) : Cvlk_udp_server(nullptr, maxNodes) {
    connect(this, &Cvlk_io_server::sigClosed, [this](uint id) { rec.add("closed " + std::to_string(id)); });
  }
  ~RecordingUdp() override { stop(); }
  using Cvlk_udp_server::close;
  using Cvlk_udp_server::setWaitTimeout;

  Recorder rec;
  std::atomic<int> checkResult{0};
  std::atomic<bool> echo{false};
  std::atomic<int> loopTid{0};  // the server thread

 protected:
  void run() override {
    loopTid = static_cast<int>(::syscall(SYS_gettid));
    Cvlk_udp_server::run();
  }
  void procTimeout() override { rec.add("timeout"); }
  int checkData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    const int result = checkResult.load();  // decided before the test can see the call
    rec.add(seen("checked", nodeId, peer.version, peer.getPort(), std::string(data, len), data[len] == '\0'));
    return result;
  }
  void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    rec.add(seen("processed", nodeId, peer.version, peer.getPort(), std::string(data, len), data[len] == '\0'));
    if (echo) SendTo(nodeId, &peer, data, static_cast<unsigned int>(len));  // from inside the hook
  }
};

// The node id of the first "new" event, or 0.
inline unsigned int newNode(RecordingServer& server) {
  const std::string e = server.rec.waitFor("new ");
  return e.empty() ? 0u : static_cast<unsigned int>(std::stoul(e.substr(4)));
}

// True once thread tid sleeps (in its poll, as nothing else makes these
// threads sleep); false when it never does within the deadline.
inline bool waitUntilPolling(int tid) {
  const std::string dir = "/proc/self/task/" + std::to_string(tid);
  for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
    std::string wchan, stat;
    std::ifstream(dir + "/wchan") >> wchan;
    std::getline(std::ifstream(dir + "/stat"), stat);
    const std::size_t paren = stat.rfind(')');
    const char state = paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 'S';
    if (wchan.find("poll") != std::string::npos || (state == 'S' && (wchan.empty() || wchan == "0"))) return true;
    std::this_thread::yield();
  }
  return false;
}

}  // namespace nettest

#endif  // TEST_NET_TCP_UTIL_H
