// End to end: a relay on free loopback ports, driven with plain sockets (IPv4 and
// IPv6), a TLS client and UDP datagrams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <QCoreApplication>

#include "relay_app.h"
#include "relay_bench.h"

namespace {

constexpr int kDeadlineMs = 20000;

// Waits for a condition while the Qt event loop of this thread runs (the relay's
// timers tick there).
bool WaitFor(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    poll(nullptr, 0, 5);
  }
  return true;
}

// A blocking line client over a plain socket or TLS. Reads give up after the
// deadline, so a missing answer fails the test instead of hanging it.
class Client {
 public:
  Client(int family, unsigned port, bool tls) {
    m_fd = socket(family, SOCK_STREAM, 0);
    timeval tv{kDeadlineMs / 1000, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    int rc = -1;
    if (family == AF_INET6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      rc = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(port));
      rc = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    m_ok = rc == 0;
    if (m_ok && tls) {
      m_ctx = SSL_CTX_new(TLS_client_method());
      m_ssl = SSL_new(m_ctx);
      SSL_set_fd(m_ssl, m_fd);
      m_ok = SSL_connect(m_ssl) == 1;
    }
  }
  ~Client() {
    if (m_ssl) SSL_free(m_ssl);
    if (m_ctx) SSL_CTX_free(m_ctx);
    if (m_fd >= 0) close(m_fd);
  }
  bool ok() const { return m_ok; }

  void Send(const std::string& data) {
    if (m_ssl) {
      ASSERT_EQ(SSL_write(m_ssl, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    } else {
      ASSERT_EQ(send(m_fd, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    }
  }
  // The next line without its '\n', or "<closed>" / "<timeout>".
  std::string Line() {
    while (true) {
      std::size_t nl = m_in.find('\n');
      if (nl != std::string::npos) {
        std::string line = m_in.substr(0, nl);
        m_in.erase(0, nl + 1);
        return line;
      }
      char buf[4096];
      int n = m_ssl ? SSL_read(m_ssl, buf, sizeof(buf)) : static_cast<int>(recv(m_fd, buf, sizeof(buf), 0));
      if (n == 0 || (n < 0 && m_ssl && SSL_get_error(m_ssl, n) == SSL_ERROR_ZERO_RETURN)) return "<closed>";
      if (n < 0) return m_ssl ? "<closed>" : "<timeout>";
      m_in.append(buf, static_cast<std::size_t>(n));
    }
  }
  // True once the relay has closed the connection (never waits).
  bool PeerClosed() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
    char c;
    return recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

 private:
  int m_fd = -1;
  bool m_ok = false;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
  std::string m_in;
};

bool HasIPv6Loopback() {
  int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/relay-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    Srelay_config cfg;
    cfg.tcpPort = cfg.tlsPort = cfg.udpPort = 0;
    cfg.certDir = m_dir;
    cfg.maxConnections = 16;
    cfg.idleSeconds = 3600;
    cfg.poolTiny = cfg.poolSmall = cfg.poolComm = cfg.poolBig = 256;
    Configure(cfg);
    m_relay.reset(new Crelay_app(cfg));
    std::string err;
    ASSERT_TRUE(m_relay->Start(err)) << err;
  }
  void TearDown() override {
    if (m_relay) {
      m_relay->Stop();
      std::string detail;
      EXPECT_TRUE(m_relay->AllBuffersHome(detail)) << detail;
      m_relay.reset();
    }
    std::string cmd = "rm -rf " + m_dir;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  virtual void Configure(Srelay_config&) {}

  std::unique_ptr<Client> Plain(int family = AF_INET) {
    auto c = std::make_unique<Client>(family, m_relay->TcpPort(), false);
    EXPECT_TRUE(c->ok());
    return c;
  }
  std::unique_ptr<Client> Tls() {
    auto c = std::make_unique<Client>(AF_INET, m_relay->TlsPort(), true);
    EXPECT_TRUE(c->ok());
    return c;
  }
  std::string Stats() { return RelayQueryStats("127.0.0.1", m_relay->UdpPort(), kDeadlineMs); }

  std::string m_dir;
  std::unique_ptr<Crelay_app> m_relay;
};

}  // namespace

TEST_F(RelayTest, FansOutToPlainIPv6AndTlsSubscribersAndHonoursUnsub) {
  auto a = Plain();
  auto tls = Tls();
  bool v6 = HasIPv6Loopback();
  auto b = v6 ? Plain(AF_INET6) : Plain();
  a->Send("PING\r\n");
  EXPECT_EQ(a->Line(), "PONG");
  for (Client* c : {a.get(), b.get(), tls.get()}) {
    c->Send("SUB news\n");
    EXPECT_EQ(c->Line(), "OK");
  }
  a->Send("PUB news hello world\n");
  // The publisher is a subscriber too: its copy comes before its "OK".
  EXPECT_EQ(a->Line(), "MSG news hello world");
  EXPECT_EQ(a->Line(), "OK");
  EXPECT_EQ(b->Line(), "MSG news hello world");
  EXPECT_EQ(tls->Line(), "MSG news hello world");

  b->Send("UNSUB news\n");
  EXPECT_EQ(b->Line(), "OK");
  b->Send("UNSUB news\n");
  EXPECT_EQ(b->Line(), "ERR not subscribed");
  tls->Send("PUB news second\n");
  EXPECT_EQ(tls->Line(), "MSG news second");
  EXPECT_EQ(tls->Line(), "OK");
  EXPECT_EQ(a->Line(), "MSG news second");
  // By the "OK" every delivery was handed on: b would have its copy before PONG.
  b->Send("PING\n");
  EXPECT_EQ(b->Line(), "PONG");
  // Other topics stay apart; subscribing twice is harmless.
  a->Send("SUB news\nPUB other x\n");
  EXPECT_EQ(a->Line(), "OK");
  EXPECT_EQ(a->Line(), "OK");
  tls->Send("quit\n");  // a TLS connection too closes after the answer
  EXPECT_EQ(tls->Line(), "OK");
  EXPECT_EQ(tls->Line(), "<closed>");
}

TEST_F(RelayTest, RefusesOversizeAndGarbageLinesAndStaysUsable) {
  auto c = Plain();
  c->Send(std::string(kRelayMaxLine + 1, 'x') + "\n");
  EXPECT_EQ(c->Line(), "ERR line too long");
  // A flood without a line end is refused once, and the line after it is served.
  c->Send("PUB t " + std::string(20000, 'y'));
  EXPECT_EQ(c->Line(), "ERR line too long");
  c->Send("yyy\nPING\n");
  EXPECT_EQ(c->Line(), "PONG");
  c->Send(std::string("\x00\xff\x01junk\r\n", 9));
  EXPECT_EQ(c->Line(), "ERR unknown command");
  c->Send("PUB t bell\x07\n\nping\n");
  EXPECT_EQ(c->Line(), "ERR bad text");
  EXPECT_EQ(c->Line(), "PONG");  // the empty line got no answer
  // The longest acceptable line is relayed whole.
  std::string text(kRelayMaxLine - 6, 'z');
  c->Send("SUB t\nPUB t " + text + "\n");
  EXPECT_EQ(c->Line(), "OK");
  EXPECT_EQ(c->Line(), "MSG t " + text);
  EXPECT_EQ(c->Line(), "OK");
  // Random bytes in random pieces never take the relay down.
  std::srand(3);
  for (int i = 0; i < 200; ++i) {
    std::string junk(static_cast<std::size_t>(std::rand() % 300), '\0');
    for (char& ch : junk) ch = static_cast<char>(std::rand());
    c->Send(junk);
  }
  c->Send("\nPING\n");
  std::string line;
  do {
    line = c->Line();
  } while (line.rfind("ERR", 0) == 0 || line.rfind("OK", 0) == 0 || line.rfind("MSG", 0) == 0);
  EXPECT_EQ(line, "PONG");
}

// QUIT answers, closes, and nothing after it is served.
TEST_F(RelayTest, AnswersComeInTheOrderOfTheRequests) {
  auto c = Plain();
  c->Send("SUB a\nPING\nHELLO\nPUB a x\n" + std::string(kRelayMaxLine + 1, 'x') + "\nUNSUB a\nPING\nQUIT\nPING\n");
  for (const char* want :
       {"OK", "PONG", "ERR unknown command", "MSG a x", "OK", "ERR line too long", "OK", "PONG", "OK", "<closed>"}) {
    EXPECT_EQ(c->Line(), want);
  }
}

TEST_F(RelayTest, ClosedConnectionsLeaveNoSubscriptionBehind) {
  auto a = Plain();
  auto b = Tls();
  a->Send("SUB x\n");
  ASSERT_EQ(a->Line(), "OK");
  b->Send("SUB x\nSUB y\n");
  ASSERT_EQ(b->Line(), "OK");
  ASSERT_EQ(b->Line(), "OK");
  EXPECT_NE(Stats().find(" subscriptions=3\n"), std::string::npos);
  b.reset();  // the peer goes away without a word
  EXPECT_TRUE(WaitFor([&] { return Stats().find(" subscriptions=1\n") != std::string::npos; })) << Stats();
  a->Send("PUB x still here\n");
  EXPECT_EQ(a->Line(), "MSG x still here");
  EXPECT_EQ(a->Line(), "OK");
}

TEST_F(RelayTest, IdleCheckClosesOnlySilentConnections) {
  auto c = Plain();
  c->Send("PING\n");
  ASSERT_EQ(c->Line(), "PONG");
  m_relay->RequestIdleCheck();  // an hour of allowed silence: it stays
  c->Send("PING\n");
  EXPECT_EQ(c->Line(), "PONG");
  m_relay->SetIdleSeconds(0);  // no silence allowed at all
  m_relay->RequestIdleCheck();
  EXPECT_EQ(c->Line(), "<closed>");
  EXPECT_TRUE(WaitFor([&] { return Stats().find(" closed=1 ") != std::string::npos; })) << Stats();
}

TEST_F(RelayTest, UdpStatsReportsPoolAndConnections) {
  auto c = Plain();
  c->Send("PING\n");
  ASSERT_EQ(c->Line(), "PONG");
  std::string stats = Stats();
  ASSERT_EQ(stats.rfind("STATS\n", 0), 0u) << stats;
  EXPECT_NE(stats.find("connections plain=1 tls=0 max=16\n"), std::string::npos) << stats;
  EXPECT_NE(stats.find("pool tiny size=64 real=256 idle="), std::string::npos) << stats;
  EXPECT_NE(stats.find("stat EMSG_STAT_N_ALLOC_MSG "), std::string::npos) << stats;
  EXPECT_NE(stats.find("relay opened=1 "), std::string::npos) << stats;
  EXPECT_NE(stats.find("queue task=1 depth="), std::string::npos) << stats;
  EXPECT_NE(stats.find("queue task=2 depth="), std::string::npos) << stats;
}

TEST_F(RelayTest, StopClosesClientsAndReturnsEveryBuffer) {
  auto a = Plain();
  auto tls = Tls();
  a->Send("SUB s\n");
  ASSERT_EQ(a->Line(), "OK");
  tls->Send("PUB s x\n");
  ASSERT_EQ(tls->Line(), "OK");
  m_relay->Stop();
  EXPECT_EQ(a->Line(), "MSG s x");
  EXPECT_EQ(a->Line(), "<closed>");
  EXPECT_EQ(tls->Line(), "<closed>");
  std::string detail;
  EXPECT_TRUE(m_relay->AllBuffersHome(detail)) << detail;
  m_relay->Stop();  // twice is harmless
}

TEST_F(RelayTest, LoadClientSeesEveryMessageOnce) {
  Srelay_bench_opts opts;
  opts.port = m_relay->TcpPort();
  opts.tlsPort = m_relay->TlsPort();
  opts.udpPort = m_relay->UdpPort();
  opts.subscribers = 4;
  opts.tlsSubscribers = 1;
  opts.publishers = 2;
  opts.seconds = 0.3;
  opts.window = 4;
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(RelayRunBench(opts, out), 0);
  std::rewind(out);
  char buf[8192];
  std::size_t n = std::fread(buf, 1, sizeof(buf) - 1, out);
  buf[n] = '\0';
  std::fclose(out);
  EXPECT_NE(std::string(buf).find("lost 0, duplicated or reordered 0"), std::string::npos) << buf;
}

// The idle timer itself: a connection silent for a second is closed by the
// network task's periodic check, with no help from the test.
class RelayIdleTimerTest : public RelayTest {
  void Configure(Srelay_config& cfg) override { cfg.idleSeconds = 1; }
};

TEST_F(RelayIdleTimerTest, SilentConnectionIsClosedByTheTimer) {
  auto c = Plain();
  c->Send("PING\n");
  ASSERT_EQ(c->Line(), "PONG");
  EXPECT_TRUE(WaitFor([&] { return c->PeerClosed(); }));
}

#ifdef VLK_RELAY_SAMPLE_INI  // with the INI reader
namespace {

std::string WriteFile(const std::string& dir, const char* name, const std::string& text) {
  std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "w");
  if (f != nullptr) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  return path;
}

}  // namespace

TEST(RelayConfig, ReadsTheRelaySectionAndRefusesBadValues) {
  char tmpl[] = "/tmp/relay-ini-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  Srelay_config cfg;
  std::string err;
  std::string path = WriteFile(dir, "a.ini",
                               "[other]\ntcp_port=1\n[relay]\ntcp_port=9000\nidle_seconds=5\n"
                               "cert_file=/x/c.pem\nkey_file=/x/k.pem\ntrace=1\n");
  ASSERT_TRUE(RelayLoadConfig(path.c_str(), cfg, err)) << err;
  EXPECT_EQ(cfg.tcpPort, 9000u);
  EXPECT_EQ(cfg.idleSeconds, 5u);
  EXPECT_EQ(cfg.tlsPort, Srelay_config().tlsPort);  // missing keys keep their value
  EXPECT_EQ(cfg.certFile, "/x/c.pem");
  EXPECT_EQ(cfg.keyFile, "/x/k.pem");
  EXPECT_TRUE(cfg.trace);

  Srelay_config bad;
  EXPECT_FALSE(RelayLoadConfig(WriteFile(dir, "b.ini", "[relay]\ntcp_port=70000\n").c_str(), bad, err));
  EXPECT_NE(err.find("tcp_port"), std::string::npos) << err;
  EXPECT_FALSE(RelayLoadConfig(WriteFile(dir, "c.ini", "[relay]\nmax_connections=0\n").c_str(), bad, err));
  EXPECT_FALSE(RelayLoadConfig(WriteFile(dir, "d.ini", "[relay]\ncert_file=/only/cert.pem\n").c_str(), bad, err));
  EXPECT_FALSE(RelayLoadConfig((dir + "/missing.ini").c_str(), bad, err));

  // The shipped sample says exactly what the defaults are.
  Srelay_config sample;
  sample.tcpPort = sample.idleSeconds = 1;
  ASSERT_TRUE(RelayLoadConfig(VLK_RELAY_SAMPLE_INI, sample, err)) << err;
  Srelay_config defaults;
  EXPECT_EQ(sample.tcpPort, defaults.tcpPort);
  EXPECT_EQ(sample.idleSeconds, defaults.idleSeconds);
  EXPECT_EQ(sample.poolBig, defaults.poolBig);
  EXPECT_EQ(sample.certFile, "");
  std::string cmd = "rm -rf " + dir;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

#endif  // VLK_RELAY_SAMPLE_INI

TEST(RelayStart, FailsCleanlyOnABusyPortOrAMissingCertificate) {
  // Hold a port on both families so that the relay cannot have it.
  int v4 = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(v4, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(listen(v4, 1), 0);
  socklen_t len = sizeof(a);
  ASSERT_EQ(getsockname(v4, reinterpret_cast<sockaddr*>(&a), &len), 0);
  int v6 = socket(AF_INET6, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_any;
  a6.sin6_port = a.sin_port;
  bool v6held = v6 >= 0 && bind(v6, reinterpret_cast<sockaddr*>(&a6), sizeof(a6)) == 0 && listen(v6, 1) == 0;

  char tmpl[] = "/tmp/relay-start-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  Srelay_config cfg;
  cfg.tlsPort = cfg.udpPort = 0;
  cfg.certDir = tmpl;
  cfg.poolTiny = cfg.poolSmall = cfg.poolComm = cfg.poolBig = 16;
  std::string err;
  if (v6held) {
    cfg.tcpPort = ntohs(a.sin_port);
    Crelay_app busy(cfg);
    EXPECT_FALSE(busy.Start(err));
    EXPECT_NE(err.find("TCP port"), std::string::npos) << err;
    std::string detail;
    EXPECT_TRUE(busy.AllBuffersHome(detail)) << detail;
  }
  cfg.tcpPort = 0;
  cfg.certFile = std::string(tmpl) + "/none.pem";
  cfg.keyFile = std::string(tmpl) + "/none.key";
  Crelay_app nocert(cfg);
  err.clear();
  EXPECT_FALSE(nocert.Start(err));
  EXPECT_NE(err.find("certificate"), std::string::npos) << err;
  close(v4);
  if (v6 >= 0) close(v6);
  std::string cmd = std::string("rm -rf ") + tmpl;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
