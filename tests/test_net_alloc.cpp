// Once warm, echoes whose answers partly wait in the queue (a small window) and
// broadcasts allocate nothing on any thread. This binary replaces the global
// allocation functions (and, without sanitizers, the C heap entry points).
#include <new>

#include "test_alloc_count.h"
#include "test_net_tcp_util.h"

namespace {

using nettest::Conn;
using nettest::eventually;

// Echoes what it reads; records nothing (a recording would allocate).
class EchoServer : public Cvlk_tcp_server {
 public:
  EchoServer() : Cvlk_tcp_server(4, nullptr) {}
  ~EchoServer() override { stop(); }
  using Cvlk_tcp_server::broadcast;
  std::atomic<unsigned int> lastNode{0};

 protected:
  void procData(unsigned int nodeId, Cvlk_uaddr, int len, char* data) override {
    lastNode = nodeId;
    if (len > 0 && data[0] != 'b') sendTo(nodeId, data, static_cast<unsigned int>(len));
  }
};

// Reads exactly n bytes into buf (no allocation); false on EOF, error or 20 s.
bool readExactly(int fd, char* buf, std::size_t n) {
  std::size_t got = 0;
  for (int idle = 0; got < n && idle < 100;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) {
      ++idle;
      continue;
    }
    const ssize_t r = ::recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return got == n;
}

TEST(NetAllocation, QueuedEchoesAndBroadcastsAllocateNothingOnceWarm) {
  g_allocs = 0;
  g_counting = true;
  void* seen = ::operator new(sizeof(int));  // the count sees allocations at all (a call is never elided)
  g_counting = false;
  ::operator delete(seen);
  EXPECT_GE(g_allocs.load(), 1);
  EchoServer server;
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  ASSERT_EQ(server.setOutputLimits(16 << 20, 8 << 20, 1 << 20), ERR_OK);  // a whole echo fits
  server.start();
  Conn echo(AF_INET, port, 4096);  // a small window: answers queue
  ASSERT_TRUE(echo.write("b"));      // "b...": not echoed
  ASSERT_TRUE(eventually([&] { return server.lastNode.load() != 0; }));
  Conn readers[2] = {{AF_INET, port}, {AF_INET, port}};
  for (Conn& r : readers) ASSERT_TRUE(r.write("b"));
  ASSERT_TRUE(eventually([&] { return server.getBusyNodes() == 3; }));

  std::string out(8u << 20, 'e');  // beyond what the socket buffers (4 MB at most) take at once
  static char in[8 << 20];
  auto round = [&](int i) {
    out[0] = static_cast<char>('A' + i % 26);
    if (!echo.write(out) || !readExactly(echo.fd(), in, out.size()) || in[0] != out[0]) return false;
    out[0] = 'b';
    if (server.broadcast(out.data(), 32u << 10) != ERR_OK) return false;
    for (Conn& r : readers)
      if (!readExactly(r.fd(), in, 32u << 10)) return false;
    return readExactly(echo.fd(), in, 32u << 10);  // the echo client hears the broadcast too
  };
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(round(i)) << "warm-up round " << i;
  g_allocs = 0;
  g_counting = true;
  bool ok = true;
  for (int i = 0; i < 10 && ok; ++i) ok = round(i);
  g_counting = false;
  EXPECT_TRUE(ok);
  EXPECT_EQ(g_allocs.load(), 0);
  EXPECT_EQ(server.getOutputStats().refusedSends, 0u);
}

}  // namespace
