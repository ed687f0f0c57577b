// The set of outgoing TCP connections against loopback peers run by the test,
// plain and TLS.
#include <sys/syscall.h>

#include <atomic>
#include <future>
#include <memory>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

// Polls pred until it holds or the deadline passes.
template <class Pred>
bool eventually(Pred pred) {
  for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
    if (pred()) return true;
    std::this_thread::yield();
  }
  return false;
}

// The server end of one connection, plain or TLS (the handshake runs on a thread
// of its own so that the client's blocking startTLS can meet it).
class PeerConn {
 public:
  explicit PeerConn(int fd) : m_fd(fd) {}
  ~PeerConn() {
    SSL_free(m_ssl);
    SSL_CTX_free(m_ctx);
    if (m_fd >= 0) ::close(m_fd);
  }
  std::future<bool> acceptTLS() {
    m_ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(m_ctx, dataPath("server.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(m_ctx, dataPath("server.key").c_str(), SSL_FILETYPE_PEM);
    m_ssl = SSL_new(m_ctx);
    SSL_set_fd(m_ssl, m_fd);
    return std::async(std::launch::async, [this] { return SSL_accept(m_ssl) == 1; });
  }
  bool write(const std::string& data) {
    if (m_ssl != nullptr) return SSL_write(m_ssl, data.data(), static_cast<int>(data.size())) > 0;
    return ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Reads until n bytes arrived, the client end closed or the deadline passed.
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
  // True when the client end closed within the deadline.
  bool waitClosed() {
    read(SIZE_MAX);
    return m_eof;
  }
  void close() {
    ::close(m_fd);
    m_fd = -1;
  }
  // Ends the connection; the descriptor stays open (a handshake thread may use it).
  void shutdown() { ::shutdown(m_fd, SHUT_RDWR); }

 private:
  int m_fd;
  bool m_eof = false;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
};

// A client set that records what its hooks see; onData runs inside procData.
class Clients : public Cvlk_tcp_clients {
 public:
  struct Record {
    std::map<unsigned int, std::string> data;
    std::vector<std::pair<unsigned int, unsigned int>> disconnects;  // id, user value seen in the hook
    std::size_t maxPiece = 0;
    bool allTerminated = true;
  };

  explicit Clients(unsigned int maxNodes) : Cvlk_tcp_clients(maxNodes, nullptr) {}
  ~Clients() override { stop(); }
  using Cvlk_tcp_clients::getUserInfo;

  Record record() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_rec;
  }
  std::string received(unsigned int nodeId) { return record().data[nodeId]; }
  bool waitReceived(unsigned int nodeId, std::size_t n) {
    return waitUntil([&] { return m_rec.data[nodeId].size() >= n; });
  }
  bool waitDisconnects(std::size_t n) {
    return waitUntil([&] { return m_rec.disconnects.size() >= n; });
  }

  std::function<void(unsigned int, const std::string&)> onData;
  std::atomic<int> loopTid{0};  // the set's thread, as seen from procData

 protected:
  void procData(unsigned int nodeId, char* data, int len) override {
    loopTid = static_cast<int>(::syscall(SYS_gettid));
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_rec.data[nodeId].append(data, static_cast<std::size_t>(len));
      m_rec.maxPiece = std::max(m_rec.maxPiece, static_cast<std::size_t>(len));
      if (data[len] != '\0') m_rec.allTerminated = false;
    }
    m_cond.notify_all();
    if (onData) onData(nodeId, std::string(data, static_cast<std::size_t>(len)));
  }
  void procDisconnect(unsigned int nodeId) override {
    unsigned int info = 0;
    getUserInfo(nodeId, info);
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_rec.disconnects.emplace_back(nodeId, info);
    }
    m_cond.notify_all();
  }

 private:
  template <class Pred>
  bool waitUntil(Pred pred) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, kDeadline, pred);
  }

  std::mutex m_lock;
  std::condition_variable m_cond;
  Record m_rec;  // guarded by m_lock
};

// Connects set to listener and runs both ends of a TLS handshake; the server
// end, or null when anything failed.
std::unique_ptr<PeerConn> connectTLS(Clients& set, Listener& listener, unsigned int& id) {
  if (set.prepareConnect(0, listener.addr, id) != ERR_OK) return nullptr;
  std::unique_ptr<PeerConn> peer(new PeerConn(listener.accept()));
  auto accepted = peer->acceptTLS();
  const bool ok = set.startTLS(id) == ERR_OK;
  return accepted.get() && ok ? std::move(peer) : nullptr;
}

}  // namespace

TEST(TcpClients, RefusesWhatItCannotServeWithoutTakingANode) {
  Clients set(1);
  unsigned int id = 0;
  Cvlk_uaddr v6;
  v6.initAnyAddrV6(80);
  EXPECT_EQ(set.prepareConnect(1, v6, id), ERR_INVALID_PARAM);
  Cvlk_uaddr noPort;
  EXPECT_EQ(set.prepareConnect(1, noPort, id), ERR_INVALID_PARAM);

  Cvlk_uaddr closed;
  {
    Listener gone;
    closed = gone.addr;
  }
  EXPECT_EQ(set.prepareConnect(1, closed, id), ERR_FAIL);
  EXPECT_EQ(id, 0u);

  // The one node is still free, and a full pool refuses the next connection.
  Listener peer;
  ASSERT_EQ(set.prepareConnect(1, peer.addr, id), ERR_OK);
  unsigned int second = 0;
  EXPECT_EQ(set.prepareConnect(2, peer.addr, second), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(set.startTLS(0), ERR_INVALID_PARAM);
  EXPECT_EQ(set.startTLS(id + 1), ERR_INVALID_OBJ);
  EXPECT_EQ(set.startTLS(id, "", nullptr), ERR_INVALID_PARAM);
}

TEST(TcpClients, DataBothWaysAndAConnectionAddedDuringTheWaitIsWatchedAtOnce) {
  Clients set(4);
  set.start();
  Listener listener;
  unsigned int first = 0;
  ASSERT_EQ(set.prepareConnect(11, listener.addr, first), ERR_OK);
  PeerConn a(listener.accept());
  a.write("first");
  ASSERT_TRUE(set.waitReceived(first, 5));

  // The thread now waits on the first, silent connection; the second must be
  // read without any help from the first.
  unsigned int second = 0;
  ASSERT_EQ(set.prepareConnect(22, listener.addr, second), ERR_OK);
  PeerConn b(listener.accept());
  b.write("second");
  ASSERT_TRUE(set.waitReceived(second, 6));
  EXPECT_EQ(set.received(second), "second");
  EXPECT_EQ(set.received(first), "first");

  set.sendData(first, "to-a", 4);
  set.sendData(second, "to-b", 4);
  EXPECT_EQ(a.read(4), "to-a");
  EXPECT_EQ(b.read(4), "to-b");
  unsigned int info = 0;
  EXPECT_EQ(set.getUserInfo(second, info), ERR_OK);
  EXPECT_EQ(info, 22u);
  EXPECT_EQ(set.hasTLS(second), VLK_FALSE);
}

// A peer's close runs the hook once and frees the node; closeConnect frees it
// without the hook.
TEST(TcpClients, PeerCloseGivesOneDisconnectAndCloseConnectNone) {
  Clients set(1);
  set.start();
  Listener listener;
  unsigned int id = 0;
  ASSERT_EQ(set.prepareConnect(77, listener.addr, id), ERR_OK);
  {
    PeerConn peer(listener.accept());
    peer.write("bye");
    ASSERT_TRUE(set.waitReceived(id, 3));
  }
  ASSERT_TRUE(set.waitDisconnects(1));
  // Freed right after the hook: the id then finds the reset node until reused.
  ASSERT_TRUE(eventually([&] {
    unsigned int info = 1;
    return set.getUserInfo(id, info) == ERR_OK && info == 0;
  }));
  EXPECT_EQ(set.hasTLS(id), VLK_FALSE);
  set.sendData(id, "x", 1);  // does nothing
  // The one node is free again.
  unsigned int again = 0;
  ASSERT_EQ(set.prepareConnect(5, listener.addr, again), ERR_OK);
  PeerConn peer2(listener.accept());
  peer2.write("z");
  ASSERT_TRUE(set.waitReceived(again, 1));
  // The thread waits in poll on this socket again: the close must still reach
  // the peer at once.
  waitUntilPolling(set.loopTid);
  set.closeConnect(again);
  EXPECT_TRUE(peer2.waitClosed());
  ASSERT_EQ(set.prepareConnect(4, listener.addr, again), ERR_OK);  // the node came back
  set.closeConnect(again);
  set.stop();
  const auto seen = set.record().disconnects;
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, id);
  EXPECT_EQ(seen[0].second, 77u);
}

TEST(TcpClients, HooksMaySendAndCloseOnTheirOwnConnection) {
  Clients set(2);
  std::atomic<unsigned int> closeOn{0};
  set.onData = [&](unsigned int nodeId, const std::string& data) {
    if (data == "quit") {
      closeOn = nodeId;
      set.closeConnect(nodeId);
    } else {
      set.sendData(nodeId, data.data(), static_cast<unsigned int>(data.size()));  // echo
    }
  };
  set.start();
  Listener listener;
  unsigned int id = 0;
  ASSERT_EQ(set.prepareConnect(0, listener.addr, id), ERR_OK);
  PeerConn peer(listener.accept());
  peer.write("echo me");
  EXPECT_EQ(peer.read(7), "echo me");
  peer.write("quit");
  EXPECT_TRUE(peer.waitClosed());
  EXPECT_EQ(closeOn.load(), id);
  EXPECT_TRUE(set.record().disconnects.empty());
}

TEST(TcpClients, WritingToAVanishedPeerNeverRaisesSigpipe) {
  // The thread is not started, so nothing notices the close before the sends.
  Clients set(2);
  Listener listener;
  unsigned int plain = 0;
  unsigned int tls = 0;
  ASSERT_EQ(set.prepareConnect(0, listener.addr, plain), ERR_OK);
  PeerConn p1(listener.accept());
  auto p2 = connectTLS(set, listener, tls);
  ASSERT_TRUE(p2);
  p1.close();
  p2->close();
  const std::string block(65536, 'x');
  for (int i = 0; i < 20; ++i) {
    set.sendData(plain, block.data(), static_cast<unsigned int>(block.size()));
    set.sendData(tls, block.data(), static_cast<unsigned int>(block.size()));
  }
  SUCCEED();  // SIGPIPE would have ended the process
}

TEST(TcpClients, TlsCarriesDataBothWaysInPiecesOfAtMost4096) {
  Clients set(2);
  set.start();
  Listener listener;
  unsigned int id = 0;
  auto peer = connectTLS(set, listener, id);
  ASSERT_TRUE(peer);
  EXPECT_EQ(set.hasTLS(id), VLK_TRUE);
  EXPECT_EQ(set.startTLS(id), ERR_OK);  // already on: no second handshake

  // One 10000-byte record: the socket runs dry after the first 4096 bytes, the
  // rest waits inside OpenSSL and must still be delivered.
  std::string big(10000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(peer->write(big));
  ASSERT_TRUE(set.waitReceived(id, big.size()));
  EXPECT_EQ(set.received(id), big);
  EXPECT_LE(set.record().maxPiece, 4096u);
  EXPECT_TRUE(set.record().allTerminated);

  set.sendData(id, "over tls", 8);
  EXPECT_EQ(peer->read(8), "over tls");
}

TEST(TcpClients, TlsVerificationIsOptInAndFailsOnAWrongNameOrAnUntrustedCertificate) {
  struct Case {
    const char* host;
    const char* ca;  // "cert": the server's own certificate as trust anchor
    EerrNo want;
  };
  const Case cases[] = {
      {"localhost", "cert", ERR_OK},
      {"127.0.0.1", "cert", ERR_OK},
      {"example.com", "cert", ERR_FAIL},
      {"10.9.8.7", "cert", ERR_FAIL},
      {"localhost", nullptr, ERR_FAIL},  // the system's store does not know it
  };
  // A node per case: a closed node is freed by the loop, maybe after the next
  // case's connect.
  Clients set(sizeof(cases) / sizeof(cases[0]));
  set.start();
  Listener listener;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    unsigned int id = 0;
    ASSERT_EQ(set.prepareConnect(0, listener.addr, id), ERR_OK);
    PeerConn peer(listener.accept());
    auto accepted = peer.acceptTLS();
    const std::string ca = dataPath("server.pem");
    EXPECT_EQ(set.startTLS(id, c.host, c.ca != nullptr ? ca.c_str() : nullptr), c.want);
    EXPECT_EQ(set.hasTLS(id), c.want == ERR_OK ? VLK_TRUE : VLK_FALSE);
    // A failed handshake closes the connection: it never goes on as plain.
    EXPECT_EQ(set.sendTo(id, "x", 1), c.want == ERR_OK ? ERR_OK : ERR_INVALID_OPR);
    if (c.want != ERR_OK) peer.shutdown();  // ends the server's half of the handshake
    accepted.wait();
    set.closeConnect(id);
  }
}

TEST(TcpClients, ConcurrentSendersKeepTheirMessagesWholeOverTls) {
  Clients set(1);
  set.start();
  Listener listener;
  unsigned int id = 0;
  auto peer = connectTLS(set, listener, id);
  ASSERT_TRUE(peer);

  constexpr int kThreads = 4;
  constexpr int kMessages = 50;
  constexpr std::size_t kSize = 3000;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      const std::string msg(kSize, static_cast<char>('A' + t));
      for (int i = 0; i < kMessages; ++i) set.sendData(id, msg.data(), static_cast<unsigned int>(msg.size()));
    });
  }
  // Meanwhile the peer talks back, so reads and writes of one TLS state interleave.
  for (int i = 0; i < 20; ++i) peer->write(std::string(500, 'r'));
  const std::string got = peer->read(kThreads * kMessages * kSize);
  for (auto& s : senders) s.join();
  ASSERT_EQ(got.size(), kThreads * kMessages * kSize);
  for (std::size_t off = 0; off < got.size(); off += kSize)
    ASSERT_EQ(got.compare(off, kSize, std::string(kSize, got[off])), 0) << "message at " << off << " was split";
  EXPECT_TRUE(set.waitReceived(id, 20 * 500));
}

TEST(TcpClients, StopAndDestroyEndTheThreadAndCloseEveryConnection) {
  Listener listener;
  std::vector<std::unique_ptr<PeerConn>> peers;
  {
    Clients idle(2);
    idle.start();
    idle.stop();  // asleep with no connection: the stop still wakes it
    EXPECT_FALSE(idle.isRunning());
  }
  {
    Clients set(3);
    set.start();
    unsigned int id = 0;
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(set.prepareConnect(0, listener.addr, id), ERR_OK);
      peers.emplace_back(new PeerConn(listener.accept()));
    }
    peers.push_back(connectTLS(set, listener, id));
    ASSERT_TRUE(peers.back());
  }
  for (auto& p : peers) EXPECT_TRUE(p->waitClosed());
}

// A hook that answers every piece while the peer is still writing (and reads
// only once it is done): a send that waited for room would wait for a peer that
// waits for us. Answers queue instead and all arrive; a peer that never reads
// passes the queue's limit and is reported through procDisconnect.
TEST(TcpClients, AnswersFromHooksQueueInsteadOfWaitingAndAStuckPeerIsDropped) {
  Clients set(2);
  set.onData = [&](unsigned int nodeId, const std::string& data) {
    set.sendData(nodeId, data.data(), static_cast<unsigned int>(data.size()));
  };
  set.start();
  Listener listener;
  int small = 4096;  // the peer's window: our answers fill it at once
  ::setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  unsigned int id = 0;
  ASSERT_EQ(set.prepareConnect(0, listener.addr, id), ERR_OK);
  PeerConn peer(listener.accept());
  ASSERT_EQ(set.setOutputLimit(32 << 20), ERR_OK);
  const std::string request(12 << 20, 'q');  // more than the socket buffers hold
  ASSERT_TRUE(peer.write(request));
  EXPECT_TRUE(peer.read(request.size()) == request);

  // A peer that never reads: the sends stop at the queue's limit, the last
  // one is refused and the connection reported broken on the set's thread.
  set.onData = nullptr;
  ASSERT_EQ(set.setOutputLimit(256 << 10), ERR_OK);
  unsigned int stuck = 0;
  ASSERT_EQ(set.prepareConnect(0, listener.addr, stuck), ERR_OK);
  PeerConn silent(listener.accept());
  const std::string chunk(64 << 10, 's');
  EerrNo err = ERR_OK;
  for (int i = 0; i < 1000 && err == ERR_OK; ++i) err = set.sendTo(stuck, chunk.data(), static_cast<unsigned int>(chunk.size()));
  EXPECT_EQ(err, ERR_BUSY);
  ASSERT_TRUE(set.waitDisconnects(1));
  EXPECT_EQ(set.record().disconnects[0].first, stuck);
  EXPECT_EQ(set.sendTo(id, "alive", 5), ERR_OK);
  EXPECT_EQ(peer.read(5), "alive");
}

// A peer whose accept queue is full drops further SYNs: the connect gives up
// at its bound instead of the system's minutes of retries.
TEST(TcpClients, ConnectToAPeerThatDropsTheHandshakeEndsAtTheBound) {
  Listener full;
  ::listen(full.fd, 0);
  std::vector<int> fillers;
  // Fill the accept queue (and the SYN queue behind it) with connections nobody accepts.
  for (int i = 0; i < 64; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, full.addr.getAddr(), static_cast<socklen_t>(full.addr.getAddrLen()));
    fillers.push_back(fd);
  }
  Clients set(1);
  set.setConnectTimeout(300);
  unsigned int id = 0;
  EerrNo err = set.prepareConnect(0, full.addr, id);
  // Some kernels still let one more through; none may hang.
  EXPECT_TRUE(err == ERR_EXPIRED || err == ERR_OK) << err;
  for (int fd : fillers) ::close(fd);
}
