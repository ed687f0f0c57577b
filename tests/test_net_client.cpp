// The set of outgoing TCP connections, plain and TLS, against the test's peers.
#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

// A client set that records what it reads and "disconnect <id> <user value
// seen in the hook>"; onData runs inside procData.
class Clients : public Cvlk_tcp_clients, public Reads {
 public:
  explicit Clients(unsigned int maxNodes) : Cvlk_tcp_clients(maxNodes, nullptr) {}
  ~Clients() override { stop(); }
  using Cvlk_tcp_clients::getUserInfo;
  std::function<void(unsigned int, const std::string&)> onData;

 protected:
  void procData(unsigned int nodeId, char* data, int len) override {
    record(nodeId, data, len);
    if (onData) onData(nodeId, std::string(data, static_cast<std::size_t>(len)));
  }
  void procDisconnect(unsigned int nodeId) override {
    unsigned int info = 0;
    getUserInfo(nodeId, info);
    rec.add("disconnect " + std::to_string(nodeId) + " " + std::to_string(info));
  }
};

// Connects set to listener (with tls, both ends handshake); the peer's end or null.
std::unique_ptr<Conn> connectPeer(Clients& set, Listener& listener, unsigned int& id, bool tls = false,
                                  unsigned int userInfo = 0) {
  if (set.prepareConnect(userInfo, listener.addr, id) != ERR_OK) return nullptr;
  std::unique_ptr<Conn> peer(new Conn(listener.accept()));
  if (!tls) return peer;
  auto accepted = peer->acceptTLS();
  const bool ok = set.startTLS(id) == ERR_OK;
  return accepted.get() && ok ? std::move(peer) : nullptr;
}

}  // namespace

// Bad addresses, a connect that meets its bound and a full pool take no node;
// writes to a vanished peer (the set stopped: nothing notices the close first)
// never raise SIGPIPE. A peer whose accept queue is full drops further SYNs:
// the connect gives up at the bound set, long before the default (10 s) or the
// system's retries.
TEST(TcpClients, RefusesWhatItCannotServeWithoutTakingANode) {
  Clients set(2);
  set.start();
  set.stop();  // asleep with no connection: the stop still wakes it
  EXPECT_FALSE(set.isRunning());
  unsigned int id = 0;
  Cvlk_uaddr v6;
  v6.initAnyAddrV6(80);
  EXPECT_EQ(set.prepareConnect(1, v6, id), ERR_INVALID_PARAM);
  EXPECT_EQ(set.prepareConnect(1, Cvlk_uaddr(), id), ERR_INVALID_PARAM);  // no port
  const Cvlk_uaddr gone = Listener().addr;  // nobody listens there any more
  EXPECT_EQ(set.prepareConnect(1, gone, id), ERR_FAIL);
  EXPECT_EQ(id, 0u);
  Listener full;
  ::listen(full.fd, 0);
  std::vector<int> fillers;
  // Fill the accept queue (and the SYN queue behind it) with connections nobody accepts.
  for (int i = 0; i < 64; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, full.addr.getAddr(), static_cast<socklen_t>(full.addr.getAddrLen()));
    fillers.push_back(fd);
  }
  set.setConnectTimeout(300);
  std::future<EerrNo> err = std::async(std::launch::async, [&] { return set.prepareConnect(0, full.addr, id); });
  EXPECT_EQ(err.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // Some kernels still let one more through; none may hang.
  const EerrNo got = err.get();
  EXPECT_TRUE(got == ERR_EXPIRED || got == ERR_OK) << got;
  if (got == ERR_OK) set.closeConnect(id);
  for (int fd : fillers) ::close(fd);
  Listener listener;  // every node is still free, and a full pool refuses the next connection
  unsigned int plain = 0, tls = 0;
  auto p1 = connectPeer(set, listener, plain);
  auto p2 = connectPeer(set, listener, tls, true);
  ASSERT_TRUE(p1 && p2);
  EXPECT_EQ(set.prepareConnect(2, listener.addr, id), ERR_OUT_OF_MEMORY);
  EXPECT_EQ(set.startTLS(std::max(plain, tls) + 1), ERR_INVALID_OBJ);
  EXPECT_EQ(set.startTLS(plain, "", nullptr), ERR_INVALID_PARAM);
  p1->drop();
  p2->drop();
  const std::string block(65536, 'x');
  for (int i = 0; i < 20; ++i) {
    set.sendData(plain, block.data(), static_cast<unsigned int>(block.size()));
    set.sendData(tls, block.data(), static_cast<unsigned int>(block.size()));
  }
}

// Plain and TLS: a connection added while the thread waits on another is
// watched at once; reads come in zero-terminated pieces of at most 4096 (also
// a 10000-byte TLS record, whose rest waits inside OpenSSL); hooks may answer
// and close their own connection, which is no disconnect; threads' messages
// stay whole while the peer talks back. A peer's close runs the hook once, then
// frees the node; closeConnect frees it without the hook and reaches the peer
// at once, also while the thread waits in poll; the set's end closes every connection.
TEST(TcpClients, DataBothWaysInPiecesAndHooksMayAnswerAndCloseTheirOwnConnection) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    auto set = std::make_unique<Clients>(2);  // its end closes the connections left
    set->onData = [&](unsigned int nodeId, const std::string& data) {
      if (data == "quit") set->closeConnect(nodeId);
      if (data.compare(0, 4, "echo") == 0) set->sendData(nodeId, data.data(), static_cast<unsigned int>(data.size()));
    };
    set->start();
    Listener listener;
    unsigned int first = 0, second = 0;
    auto a = connectPeer(*set, listener, first, false, 77);
    ASSERT_TRUE(a && a->write("first"));
    ASSERT_TRUE(set->waitReceived(first, 5));
    auto b = connectPeer(*set, listener, second, tls, 22);  // the thread waits on the first meanwhile
    ASSERT_TRUE(b);
    EXPECT_EQ(set->hasTLS(second), tls ? VLK_TRUE : VLK_FALSE);
    EXPECT_TRUE(!tls || set->startTLS(second) == ERR_OK);  // already on: no second handshake
    std::string big(10000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(b->write(big));
    ASSERT_TRUE(set->waitReceived(second, big.size()));
    EXPECT_EQ(set->received(second), big);
    EXPECT_EQ(set->received(first), "first");
    EXPECT_LE(set->maxPiece, 4096u);
    EXPECT_TRUE(set->allTerminated);
    unsigned int info = 0;
    EXPECT_EQ(set->getUserInfo(second, info), ERR_OK);
    EXPECT_EQ(info, 22u);
    constexpr int kThreads = 4, kMessages = 200;
    constexpr std::size_t kSize = 3000;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
      senders.emplace_back([&, t] {
        const std::string msg(kSize, static_cast<char>('A' + t));
        for (int i = 0; i < kMessages; ++i) set->sendData(second, msg.data(), static_cast<unsigned int>(msg.size()));
      });
    }
    for (int i = 0; i < 20; ++i) b->write(std::string(500, 'r'));
    const std::string got = b->read(kThreads * kMessages * kSize);
    for (auto& s : senders) s.join();
    ASSERT_EQ(got.size(), kThreads * kMessages * kSize);
    for (std::size_t off = 0; off < got.size(); off += kSize)
      ASSERT_EQ(got.compare(off, kSize, std::string(kSize, got[off])), 0) << "message at " << off << " was split";
    EXPECT_TRUE(set->waitReceived(second, big.size() + 20 * 500));
    set->sendData(first, "to-a", 4);
    EXPECT_EQ(a->read(4), "to-a");
    ASSERT_TRUE(b->write("echo me"));
    EXPECT_EQ(b->read(7), "echo me");
    ASSERT_TRUE(b->write("quit"));
    EXPECT_TRUE(b->waitClosed());
    a.reset();  // the peer closes
    EXPECT_EQ(set->rec.waitFor("disconnect "), "disconnect " + std::to_string(first) + " 77");
    // Freed right after the hook: the id then finds the reset node until reused.
    ASSERT_TRUE(eventually([&] { return set->getUserInfo(first, info) == ERR_OK && info == 0; }));
    EXPECT_EQ(set->hasTLS(first), VLK_FALSE);
    set->sendData(first, "x", 1);  // does nothing
    unsigned int again = 0, other = 0;
    auto c = connectPeer(*set, listener, again);
    ASSERT_TRUE(c && c->write("z"));
    ASSERT_TRUE(set->waitReceived(again, 1));
    EXPECT_TRUE(waitUntilPolling(set->loopTid));
    set->closeConnect(again);
    EXPECT_TRUE(c->waitClosed());
    ASSERT_EQ(set->prepareConnect(4, listener.addr, again), ERR_OK);  // both nodes came back
    ASSERT_EQ(set->prepareConnect(5, listener.addr, other), ERR_OK);
    Conn last(listener.accept());
    set->stop();
    EXPECT_EQ(set->rec.count("disconnect "), 1);
    set.reset();
    EXPECT_TRUE(last.waitClosed());
  }
}

TEST(TcpClients, TlsVerificationIsOptInAndFailsOnAWrongNameOrAnUntrustedCertificate) {
  struct Case {
    const char* host;
    bool ownCa;  // the server's own certificate as trust anchor, else the system's store
    EerrNo want;
  };
  const Case cases[] = {
      {"localhost", true, ERR_OK},      {"127.0.0.1", true, ERR_OK}, {"example.com", true, ERR_FAIL},
      {"10.9.8.7", true, ERR_FAIL},     {"localhost", false, ERR_FAIL},
  };
  // A node per case: a closed node is freed by the loop, maybe after the next case's connect.
  Clients set(sizeof(cases) / sizeof(cases[0]));
  set.start();
  Listener listener;
  const std::string ca = dataPath("server.pem");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    unsigned int id = 0;
    ASSERT_EQ(set.prepareConnect(0, listener.addr, id), ERR_OK);
    Conn peer(listener.accept());
    auto accepted = peer.acceptTLS();
    EXPECT_EQ(set.startTLS(id, c.host, c.ownCa ? ca.c_str() : nullptr), c.want);
    EXPECT_EQ(set.hasTLS(id), c.want == ERR_OK ? VLK_TRUE : VLK_FALSE);
    // A failed handshake closes the connection: it never goes on as plain.
    EXPECT_EQ(set.sendTo(id, "x", 1), c.want == ERR_OK ? ERR_OK : ERR_INVALID_OPR);
    if (c.want != ERR_OK) ::shutdown(peer.fd(), SHUT_RDWR);  // ends the server's half of the handshake
    accepted.wait();
    set.closeConnect(id);
  }
}

// A hook answers every piece while the peer still writes (it reads only when
// done): a send that waited for room would deadlock. Answers queue and all
// arrive; a peer that never reads passes the queue's limit: the send is
// refused and procDisconnect reports it.
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
  auto peer = connectPeer(set, listener, id);
  ASSERT_TRUE(peer);
  ASSERT_EQ(set.setOutputLimit(32 << 20), ERR_OK);
  std::string request(12 << 20, 'q');  // more than the socket buffers hold
  for (std::size_t i = 0; i < request.size(); i += 1000) request[i] = static_cast<char>('a' + i / 1000 % 26);
  ASSERT_TRUE(peer->write(request));
  EXPECT_TRUE(peer->read(request.size()) == request);

  set.onData = nullptr;
  ASSERT_EQ(set.setOutputLimit(256 << 10), ERR_OK);
  unsigned int stuck = 0;
  auto silent = connectPeer(set, listener, stuck);
  ASSERT_TRUE(silent);
  const std::string chunk(64 << 10, 's');
  EerrNo err = ERR_OK;
  for (int i = 0; i < 1000 && err == ERR_OK; ++i) err = set.sendTo(stuck, chunk.data(), static_cast<unsigned int>(chunk.size()));
  EXPECT_EQ(err, ERR_BUSY);
  EXPECT_EQ(set.rec.waitFor("disconnect "), "disconnect " + std::to_string(stuck) + " 0");
  EXPECT_EQ(set.sendTo(id, "alive", 5), ERR_OK);
  EXPECT_EQ(peer->read(5), "alive");
}
