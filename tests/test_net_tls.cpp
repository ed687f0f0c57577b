// The TCP server with TLS: the context, non-blocking handshakes and their
// bound, TLS 1.2 and 1.3 clients, clients that speak plain text or nothing,
// SIGPIPE.
#include <gtest/gtest.h>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

TEST(TlsContext, RefusesMissingNamesBadFilesAndAMismatchedKey) {
  RecordingServer server(2);
  std::string cert = dataPath("server.pem");
  EXPECT_EQ(server.startTLS(nullptr, "k"), ERR_INVALID_PARAM);
  EXPECT_EQ(server.startTLS(cert.c_str(), ""), ERR_INVALID_PARAM);
  // A file that is not there is told apart from a key that does not belong
  // to the certificate; both say why on sigErrorInfo.
  EXPECT_EQ(server.startTLS(dataPath("missing.pem").c_str(), dataPath("server.key").c_str()), ERR_OBJ_NOT_FOUND);
  EXPECT_NE(server.rec.waitFor("error Fail to load certificate file: ").find("No such file"), std::string::npos);
  EXPECT_EQ(server.startTLS(cert.c_str(), dataPath("other.key").c_str()), ERR_FAIL);
  EXPECT_NE(server.rec.waitFor("error Fail to load key file: ").find("mismatch"), std::string::npos)
      << server.rec.waitFor("error Fail to load key file: ");
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

TEST(TlsServer, EchoesOverBothFamiliesAndTls12AndAnnouncesTheConnectionFirst) {
  TlsStarted s(4);
  std::vector<std::pair<int, int>> clients{{AF_INET, 0}, {AF_INET, TLS1_2_VERSION}};  // family, highest version
  if (hasIPv6Loopback()) clients.emplace_back(AF_INET6, 0);
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const int af = clients[i].first;
    TlsClient client(connectLoopback(af, s.port), clients[i].second);
    ASSERT_TRUE(client.handshake());
    if (clients[i].second != 0) {
      EXPECT_EQ(client.version(), "TLSv1.2");
    }
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

// A client that connects and says nothing is in its handshake: it stalls no
// other connection, and keepAlive neither writes to it nor closes it.
TEST(TlsServer, ConnectionInItsHandshakeStallsNoOtherAndKeepAliveLeavesItAlone) {
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
  s.server.keepAlive();
  EXPECT_EQ(busy.readN(2), "\r\n");
  EXPECT_EQ(s.server.getBusyNodes(), 2u);
  TlsClient late(silent);
  ASSERT_TRUE(late.handshake());
  ASSERT_TRUE(late.write("still here"));
  EXPECT_EQ(late.readN(10), "still here");
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
  TlsStarted s(4);
  std::unique_ptr<TlsClient> client;
  expectWriteToVanishedPeerFails(s.server, [&] {
    // TLS 1.2: no session tickets left unread, so the close is a FIN and not a
    // reset, and a later write meets EPIPE.
    client = std::make_unique<TlsClient>(connectLoopback(AF_INET, s.port), TLS1_2_VERSION);
    EXPECT_TRUE(client->handshake());
    EXPECT_TRUE(client->write("x"));
    return [&] { client->drop(); };
  });
}

}  // namespace
