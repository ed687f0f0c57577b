// The TCP server with TLS: the context, non-blocking handshakes and their
// bound, clients that speak plain text or nothing, SIGPIPE, and the openssl
// command-line client as a peer outside our code.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

// A started TLS server on an ephemeral port.
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

TEST(TlsContext, RefusesMissingNamesBadFilesAndAMismatchedKey) {
  RecordingServer server(2);
  std::string cert = dataPath("server.pem");
  EXPECT_EQ(server.startTLS(nullptr, "k"), ERR_INVALID_PARAM);
  EXPECT_EQ(server.startTLS(cert.c_str(), ""), ERR_INVALID_PARAM);
  EXPECT_EQ(server.startTLS(dataPath("missing.pem").c_str(), dataPath("server.key").c_str()), ERR_FAIL);
  EXPECT_EQ(server.startTLS(cert.c_str(), dataPath("other.key").c_str()), ERR_FAIL);
  // TLS stayed off: a plain client is served.
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  server.start();
  int fd = connectLoopback(AF_INET, port);
  ASSERT_TRUE(sendAll(fd, "plain"));
  unsigned int id = server.waitAnyNode();
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(server.waitReceived(id, 5));
  ::close(fd);
}

TEST(TlsServer, EchoesOverBothFamiliesAndAnnouncesTheConnectionFirst) {
  TlsStarted s(4);
  std::vector<int> families{AF_INET};
  if (hasIPv6Loopback()) families.push_back(AF_INET6);
  for (std::size_t i = 0; i < families.size(); ++i) {
    int af = families[i];
    TlsClient client(connectLoopback(af, s.port));
    ASSERT_TRUE(client.handshake());
    std::string newEvent = s.server.rec.waitFor("new ", static_cast<int>(i));
    ASSERT_NE(newEvent, "");
    ASSERT_TRUE(client.write("over tls"));
    EXPECT_EQ(client.readN(8), "over tls");
    unsigned int id = static_cast<unsigned int>(std::stoul(newEvent.substr(4)));
    EXPECT_EQ(s.server.getPeerAddr(id).version, af == AF_INET ? 4 : 6);
  }
}

TEST(TlsServer, DeliversALargeRecordWhollyInPiecesOfAtMost4096) {
  TlsStarted s(4);
  s.server.hook = nullptr;
  TlsClient client(connectLoopback(AF_INET, s.port));
  ASSERT_TRUE(client.handshake());
  std::string payload(10000, 'r');
  payload[9999] = 'e';
  // One write: one 10000-byte record, more than one read can take; what
  // OpenSSL buffers beyond the first read raises no readiness of its own.
  ASSERT_TRUE(client.write(payload));
  unsigned int id = s.server.waitAnyNode();
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(s.server.waitReceived(id, payload.size()));
  EXPECT_EQ(s.server.received(id), payload);
  EXPECT_LE(s.server.maxPiece, 4096u);
  EXPECT_TRUE(s.server.allTerminated);
}

TEST(TlsServer, PlainTextClientFailsTheHandshakeAndOnlyItsConnectionCloses) {
  TlsStarted s(4);
  int fd = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(fd, "GET / HTTP/1.0\r\n\r\n"));
  std::string error = s.server.rec.waitFor("error ");
  EXPECT_EQ(error.rfind("error Fail to accept TLS connection: ", 0), 0u) << error;
  EXPECT_NE(s.server.rec.waitFor("closed "), "");
  EXPECT_LT(s.server.rec.indexOf("error "), s.server.rec.indexOf("closed "));
  EXPECT_EQ(s.server.rec.indexOf("new "), -1);
  EXPECT_EQ(s.server.rec.indexOf("closing"), -1);
  EXPECT_TRUE(waitPeerClosed(fd));
  ::close(fd);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
  // The server goes on accepting TLS clients.
  TlsClient client(connectLoopback(AF_INET, s.port));
  ASSERT_TRUE(client.handshake());
  ASSERT_TRUE(client.write("after"));
  EXPECT_EQ(client.readN(5), "after");
}

TEST(TlsServer, SilentClientDoesNotStallOtherConnections) {
  TlsStarted s(4);
  int silent = connectLoopback(AF_INET, s.port);
  ASSERT_GE(silent, 0);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 1; }));
  TlsClient busy(connectLoopback(AF_INET, s.port));
  ASSERT_TRUE(busy.handshake());
  for (int i = 0; i < 20; ++i) {
    std::string msg = "message " + std::to_string(i);
    ASSERT_TRUE(busy.write(msg));
    ASSERT_EQ(busy.readN(msg.size()), msg);
  }
  EXPECT_EQ(s.server.getBusyNodes(), 2u);
  ::close(silent);
}

TEST(TlsServer, KeepAliveDuringAHandshakeLeavesThatConnectionAlone) {
  TlsStarted s(4);
  int fd = connectLoopback(AF_INET, s.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 1; }));
  // The handshaking connection is not open for data: nothing is sent and it
  // is not closed for that.
  s.server.keepAlive();
  EXPECT_EQ(s.server.getBusyNodes(), 1u);
  TlsClient client(fd);
  ASSERT_TRUE(client.handshake());
  ASSERT_TRUE(client.write("still here"));
  EXPECT_EQ(client.readN(10), "still here");
}

TEST(TlsServer, HandshakeThatDoesNotCompleteInTimeIsClosed) {
  TlsStarted s(4, 1);
  int silent = connectLoopback(AF_INET, s.port);
  ASSERT_GE(silent, 0);
  // A trickle of bytes is no progress that keeps the connection.
  ASSERT_TRUE(sendAll(silent, std::string(1, '\x16')));
  std::string error = s.server.rec.waitFor("error ");
  EXPECT_EQ(error.rfind("error Fail to accept TLS connection: ", 0), 0u) << error;
  EXPECT_TRUE(waitPeerClosed(silent));
  EXPECT_NE(s.server.rec.waitFor("closed "), "");
  EXPECT_EQ(s.server.getBusyNodes(), 0u);
  ::close(silent);
}

TEST(TlsServer, WritingToAVanishedPeerFailsWithoutSigpipe) {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
  {
    TlsStarted s(4);
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    s.server.hook = [&](unsigned int, int len, char*) {
      if (len == 0) return;
      std::unique_lock<std::mutex> lock(m);
      cv.wait_for(lock, kDeadline, [&] { return release; });
    };
    TlsClient client(connectLoopback(AF_INET, s.port));
    ASSERT_TRUE(client.handshake());
    ASSERT_TRUE(client.write("x"));
    unsigned int id = s.server.waitAnyNode();
    ASSERT_NE(id, 0u);
    client.drop();
    EerrNo err = ERR_OK;
    std::string chunk(1000, 'z');
    auto end = std::chrono::steady_clock::now() + kDeadline;
    while (err == ERR_OK && std::chrono::steady_clock::now() < end)
      err = s.server.sendTo(id, chunk.data(), static_cast<unsigned int>(chunk.size()));
    EXPECT_EQ(err, ERR_FAIL);
    EXPECT_EQ(s.server.hasNode(id), VLK_FALSE);
    {
      std::lock_guard<std::mutex> lock(m);
      release = true;
    }
    cv.notify_all();
  }
  struct sigaction now;
  ASSERT_EQ(sigaction(SIGPIPE, &old, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

// Runs `openssl s_client` against the server, types one line and reads until
// the echo comes back.
TEST(TlsServer, OpensslCommandLineClientTalksToTheServer) {
  if (::system("command -v openssl > /dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl command";
  TlsStarted s(4);
  int toChild[2];
  int fromChild[2];
  ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
  std::string target = "127.0.0.1:" + std::to_string(s.port);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    ::dup2(fromChild[1], 2);
    ::execlp("openssl", "openssl", "s_client", "-connect", target.c_str(), "-tls1_2", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  ASSERT_NE(s.server.rec.waitFor("new "), "");
  const std::string line = "ping from s_client\n";
  ASSERT_EQ(::write(toChild[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  std::string output;
  auto end = std::chrono::steady_clock::now() + kDeadline;
  char buf[4096];
  // The request travels, then its echo is printed after the session dump.
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fromChild[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    ssize_t n = ::read(fromChild[0], buf, sizeof(buf));
    if (n <= 0) break;
    output.append(buf, static_cast<std::size_t>(n));
    std::size_t session = output.find("---\n", output.find("SSL-Session"));
    if (session != std::string::npos && output.find(line, session) != std::string::npos) break;
  }
  ::close(toChild[1]);  // end of input: s_client closes and exits
  EXPECT_NE(output.find("ping from s_client"), std::string::npos) << output;
  EXPECT_NE(output.find("Protocol  : TLSv1.2"), std::string::npos) << output;
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(fromChild[0]);
  EXPECT_NE(s.server.rec.waitFor("closed "), "");
}

}  // namespace
