// The UDP server on loopback endpoints of both families. (Empty and oversize
// datagrams are in test_net_hostile.cpp.)
#include <sys/syscall.h>

#include <atomic>
#include <filesystem>
#include <set>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

// A datagram as a hook saw it.
struct Seen {
  unsigned int nodeId;
  unsigned char version;
  unsigned short port;
  std::string data;
  bool terminated;
};

// A UDP server that records its hooks and signals; procData echoes on request.
class Udp : public Cvlk_udp_server {
 public:
  struct Record {
    std::vector<Seen> checked, processed;
    std::vector<unsigned int> closed;
    int timeouts = 0;
  };

  explicit Udp(unsigned int maxNodes = 8) : Cvlk_udp_server(nullptr, maxNodes) {
    connect(this, &Cvlk_io_server::sigClosed, [this](uint id) { update([&](Record& r) { r.closed.push_back(id); }); });
  }
  ~Udp() override { stop(); }
  using Cvlk_udp_server::close;
  using Cvlk_udp_server::setWaitTimeout;

  Record record() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_rec;
  }
  template <class Pred>
  bool waitUntil(Pred pred) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, kDeadline, [&] { return pred(m_rec); });
  }
  bool waitChecked(std::size_t n) {
    return waitUntil([&](const Record& r) { return r.checked.size() >= n; });
  }
  bool waitProcessed(std::size_t n) {
    return waitUntil([&](const Record& r) { return r.processed.size() >= n; });
  }

  std::atomic<int> checkResult{0};
  std::atomic<bool> echo{false};
  std::atomic<int> loopTid{0};  // the server thread, as seen from procData

 protected:
  void procTimeout() override {
    update([](Record& r) { ++r.timeouts; });
  }
  int checkData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    const int result = checkResult.load();  // decided before the test can see the call
    update([&](Record& r) { r.checked.push_back(seen(nodeId, peer, len, data)); });
    return result;
  }
  void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    loopTid = static_cast<int>(::syscall(SYS_gettid));
    update([&](Record& r) { r.processed.push_back(seen(nodeId, peer, len, data)); });
    if (echo) SendTo(nodeId, &peer, data, static_cast<unsigned int>(len));  // from inside the hook
  }

 private:
  static Seen seen(unsigned int nodeId, Cvlk_uaddr peer, int len, const char* data) {
    return Seen{nodeId, peer.version, peer.getPort(), std::string(data, static_cast<std::size_t>(len)),
                data[len] == '\0'};
  }
  template <class Fn>
  void update(Fn fn) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      fn(m_rec);
    }
    m_cond.notify_all();
  }

  std::mutex m_lock;
  std::condition_variable m_cond;
  Record m_rec;  // guarded by m_lock
};

// A loopback UDP socket of the test, bound to an ephemeral port.
class Sender {
 public:
  explicit Sender(int family) : m_family(family), m_fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int big = 1 << 20;
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    Cvlk_uaddr a = loopbackAddr(family, 0);
    socklen_t len = static_cast<socklen_t>(a.getAddrLen());
    ::bind(m_fd, a.getAddr(), len);
    ::getsockname(m_fd, a.getAddr(), &len);
    m_port = a.getPort();
  }
  ~Sender() { ::close(m_fd); }

  unsigned short port() const { return m_port; }
  bool send(unsigned short to, const std::string& data) {
    Cvlk_uaddr a = loopbackAddr(m_family, to);
    return ::sendto(m_fd, data.data(), data.size(), 0, a.getAddr(), static_cast<socklen_t>(a.getAddrLen())) ==
           static_cast<ssize_t>(data.size());
  }
  // One datagram within the deadline; got tells whether one came.
  std::string receive(bool& got) {
    pollfd p{m_fd, POLLIN, 0};
    char buf[8192];
    const ssize_t n = ::poll(&p, 1, 20000) == 1 ? ::recv(m_fd, buf, sizeof(buf), 0) : -1;
    got = n >= 0;
    return got ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  int m_family;
  int m_fd;
  unsigned short m_port;
};

}  // namespace

TEST(UdpServer, BindingRulesAndTheirFailures) {
  Udp udp;
  EXPECT_EQ(udp.Bind(static_cast<unsigned short>(0), 1, 2), 0u);
  EXPECT_EQ(udp.getBusyNodes(), 0u);
  EXPECT_EQ(udp.hasValidHandle(0), VLK_FALSE);

  unsigned short port = 0;
  const unsigned int id = udp.bindAnyPort(port, 1, 2);
  ASSERT_NE(id, 0u);
  ASSERT_NE(port, 0);
  EXPECT_EQ(udp.hasValidHandle(id), VLK_TRUE);

  // The port is held for both families: a second endpoint on it fails and the
  // node it took is closed again.
  if (hasIPv6Loopback()) {
    EXPECT_EQ(udp.Bind(port, 3, 4), 0u);
    EXPECT_EQ(udp.record().closed.size(), 1u);
    EXPECT_EQ(udp.getBusyNodes(), 1u);
  }

  unsigned int node = 0;
  EXPECT_EQ(udp.bindIPv4Addr(node, loopbackAddr(AF_INET, port)), ERR_FAIL);  // in use
  ASSERT_NE(node, 0u);  // the node stays taken for the caller to close
  udp.close(node);
  unsigned int fresh = 0;
  Cvlk_uaddr v4 = loopbackAddr(AF_INET, 0);
  EXPECT_EQ(udp.bindIPv6Addr(fresh, v4), ERR_INVALID_PARAM);  // an IPv4 address
  EXPECT_EQ(fresh, 0u);
  EXPECT_EQ(udp.bindIPv4Addr(fresh, v4), ERR_INVALID_PARAM);  // port 0
  unsigned int stale = id + 0x10000u;
  EXPECT_EQ(udp.bindIPv4Addr(stale, loopbackAddr(AF_INET, 1)), ERR_OBJ_NOT_FOUND);

  unsigned int same = id;
  EXPECT_EQ(udp.bindIPv4Addr(same, loopbackAddr(AF_INET, port)), ERR_OBJ_EXISTED);

  // An endpoint on IPv4 alone cannot reach an IPv6 destination.
  Cvlk_uaddr v6dest = loopbackAddr(AF_INET6, 9);
  const unsigned short freed = Sender(AF_INET).port();
  const unsigned int v4only = udp.Bind(loopbackAddr(AF_INET, freed), 0, 0);
  ASSERT_NE(v4only, 0u);
  EXPECT_EQ(udp.SendTo(v4only, &v6dest, "x", 1), ERR_FAIL);
  EXPECT_EQ(udp.SendTo(0, &v6dest, "x", 1), ERR_INVALID_PARAM);
  EXPECT_EQ(udp.SendTo(id, nullptr, "x", 1), ERR_INVALID_PARAM);
  EXPECT_EQ(udp.SendTo(id, "", 9, const_cast<char*>("x"), 1), ERR_INVALID_PARAM);
  EXPECT_EQ(udp.SendTo(id + 0x10000u, &v6dest, "x", 1), ERR_INVALID_OBJ);
}

// The threads of this process.
std::set<int> threadIds() {
  std::set<int> ids;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ids.insert(std::stoi(e.path().filename()));
  return ids;
}

// Starts the server and waits until its thread sleeps in poll.
void startAsleep(Udp& udp) {
  const std::set<int> before = threadIds();
  udp.start();
  for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
    for (int tid : threadIds()) {
      if (before.count(tid) == 0) return waitUntilPolling(tid);
    }
    std::this_thread::yield();
  }
}

class UdpFamilies : public ::testing::TestWithParam<int> {};

TEST_P(UdpFamilies, CheckDataGatesProcDataAndEchoesGoBackToTheSender) {
  const int family = GetParam();
  if (family == AF_INET6 && !hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  Udp udp;
  startAsleep(udp);  // nothing bound: the thread waits for a bind, which must wake it
  unsigned short port = 0;
  const unsigned int id = udp.bindAnyPort(port, 5, 6);
  ASSERT_NE(id, 0u);
  Sender peer(family);
  const std::string hundred(100, 'h');

  udp.checkResult = 1;  // looked at, not handed on
  ASSERT_TRUE(peer.send(port, hundred));
  ASSERT_TRUE(udp.waitChecked(1));
  udp.checkResult = 0;
  udp.echo = true;
  ASSERT_TRUE(peer.send(port, "second"));
  ASSERT_TRUE(udp.waitProcessed(1));

  const auto checked = udp.record().checked;
  ASSERT_EQ(checked.size(), 2u);
  EXPECT_EQ(checked[0].data, hundred);
  EXPECT_EQ(checked[0].nodeId, id);
  EXPECT_EQ(checked[0].version, family == AF_INET ? 4 : 6);
  EXPECT_EQ(checked[0].port, peer.port());
  EXPECT_TRUE(checked[0].terminated);
  const auto processed = udp.record().processed;
  ASSERT_EQ(processed.size(), 1u);
  EXPECT_EQ(processed[0].data, "second");
  bool got = false;
  EXPECT_EQ(peer.receive(got), "second");
  EXPECT_TRUE(got);
}

INSTANTIATE_TEST_SUITE_P(Families, UdpFamilies, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == AF_INET ? "IPv4" : "IPv6");
                         });

TEST(UdpServer, WaitTimeoutCallsProcTimeoutOnlyWhileSet) {
  Udp udp;
  unsigned short port = 0;
  ASSERT_NE(udp.bindAnyPort(port, 0, 0), 0u);
  udp.setWaitTimeout(1);
  udp.start();
  ASSERT_TRUE(udp.waitUntil([](const Udp::Record& r) { return r.timeouts >= 2; }));
  udp.setWaitTimeout(0);
  // Traffic still flows with no limit set.
  Sender peer(AF_INET);
  ASSERT_TRUE(peer.send(port, "x"));
  ASSERT_TRUE(udp.waitProcessed(1));
}

TEST(UdpServer, StopAndDestroyCloseEveryEndpoint) {
  unsigned short port = 0;
  std::vector<unsigned int> closed;
  unsigned int id = 0;
  {
    Udp udp;
    udp.start();
    id = udp.bindAnyPort(port, 0, 0);
    ASSERT_NE(id, 0u);
    udp.stop();
    EXPECT_FALSE(udp.isRunning());
    closed = udp.record().closed;
  }
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0], id);
  // The port is free again.
  Udp again;
  EXPECT_NE(again.Bind(loopbackAddr(AF_INET, port), 0, 0), 0u);
}

TEST(UdpServer, AnEndpointClosedWhileTheThreadWaitsGivesUpItsPortAtOnce) {
  Udp udp;
  udp.start();
  unsigned short port = 0;
  const unsigned int id = udp.bindAnyPort(port, 0, 0);
  ASSERT_NE(id, 0u);
  Sender peer(AF_INET);
  ASSERT_TRUE(peer.send(port, "in"));
  ASSERT_TRUE(udp.waitProcessed(1));
  waitUntilPolling(udp.loopTid);  // the thread waits on the endpoint again
  udp.close(id);
  // Until the waiting thread lets go of the socket, the port stays bound.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  bool bound = false;
  for (auto end = std::chrono::steady_clock::now() + kDeadline; !bound && std::chrono::steady_clock::now() < end;) {
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    if (!bound) std::this_thread::yield();
  }
  ::close(fd);
  EXPECT_TRUE(bound);
}
