// The relay's line protocol, line assembly and the load client's bookkeeping.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "relay_book.h"
#include "relay_cert.h"
#include "relay_line.h"
#include "relay_proto.h"

namespace {

// Parses a copy of the line that stays alive for the whole test program, since
// the request points into it.
Srelay_request Parse(const std::string& line) {
  static std::deque<std::string> kept;
  kept.push_back(line);
  Srelay_request r;
  RelayParseLine(kept.back().data(), static_cast<unsigned>(kept.back().size()), r);
  return r;
}

std::string Topic(const Srelay_request& r) { return std::string(r.topic, r.topicLen); }
std::string Text(const Srelay_request& r) { return std::string(r.text, r.textLen); }

// Feeds a stream in pieces and collects what the buffer reports.
struct Collector {
  Crelay_line_buf buf;
  std::vector<std::string> lines;  // "!" marks an oversize report
  void Feed(const std::string& data) {
    buf.Feed(
        data.data(), static_cast<unsigned>(data.size()),
        [this](const char* l, unsigned n) {
          lines.emplace_back(l, n);
          return true;
        },
        [this] { lines.emplace_back("!"); });
  }
};

}  // namespace

TEST(RelayParse, AcceptsEveryCommandInAnyCase) {
  EXPECT_EQ(Parse("PING").cmd, RELAY_CMD_PING);
  EXPECT_EQ(Parse("ping\r").cmd, RELAY_CMD_PING);
  EXPECT_EQ(Parse("Quit").cmd, RELAY_CMD_QUIT);
  Srelay_request sub = Parse("sub news");
  EXPECT_EQ(sub.cmd, RELAY_CMD_SUB);
  EXPECT_EQ(Topic(sub), "news");
  Srelay_request unsub = Parse("UNSUB news\r");
  EXPECT_EQ(unsub.cmd, RELAY_CMD_UNSUB);
  EXPECT_EQ(Topic(unsub), "news");
  Srelay_request pub = Parse("PUB news hello  world\t!\r");
  EXPECT_EQ(pub.cmd, RELAY_CMD_PUB);
  EXPECT_EQ(Topic(pub), "news");
  EXPECT_EQ(Text(pub), "hello  world\t!");
  Srelay_request empty = Parse("PUB news ");
  EXPECT_EQ(empty.cmd, RELAY_CMD_PUB);
  EXPECT_EQ(empty.textLen, 0u);
  EXPECT_EQ(Parse("").cmd, RELAY_CMD_EMPTY);
  EXPECT_EQ(Parse("\r").cmd, RELAY_CMD_EMPTY);
}

TEST(RelayParse, RefusesMalformedRequestsWithAReason) {
  struct Case {
    const char* line;
    const char* reason;
  } cases[] = {
      {"HELLO", kRelayErrUnknown},          {"PINGX", kRelayErrUnknown},
      {" PING", kRelayErrUnknown},          {"PING now", kRelayErrExtra},
      {"QUIT ", kRelayErrExtra},            {"SUB", kRelayErrNoTopic},
      {"SUB ", kRelayErrNoTopic},           {"SUB  a", kRelayErrBadTopic},
      {"SUB a b", kRelayErrExtra},          {"UNSUB a\x01", kRelayErrBadTopic},
      {"SUB t\xC3\xA9", kRelayErrBadTopic}, {"PUB", kRelayErrNoTopic},
      {"PUB news", kRelayErrNoText},        {"PUB  text", kRelayErrNoTopic},
      {"PUB a b\x1b[2J", kRelayErrBadText}, {"PUB a b\x7f", kRelayErrBadText},
  };
  for (const Case& c : cases) {
    Srelay_request r = Parse(c.line);
    EXPECT_EQ(r.cmd, RELAY_CMD_BAD) << c.line;
    EXPECT_STREQ(r.reason, c.reason) << c.line;
  }
  // A NUL byte inside a line is no text either.
  Srelay_request nul = Parse(std::string("PUB a b\0c", 9));
  EXPECT_EQ(nul.cmd, RELAY_CMD_BAD);
  // Topics are limited in length; UTF-8 text is fine.
  EXPECT_EQ(Parse("SUB " + std::string(kRelayMaxTopic, 't')).cmd, RELAY_CMD_SUB);
  EXPECT_STREQ(Parse("SUB " + std::string(kRelayMaxTopic + 1, 't')).reason, kRelayErrTopicLong);
  EXPECT_EQ(Parse("PUB a caf\xC3\xA9").cmd, RELAY_CMD_PUB);
}

TEST(RelayParse, RandomBytesNeverEscapeTheLine) {
  std::mt19937 rng(7);
  std::vector<char> line(300);
  for (int round = 0; round < 20000; ++round) {
    unsigned len = rng() % line.size();
    for (unsigned i = 0; i < len; ++i) line[i] = static_cast<char>(rng() % 4 == 0 ? "PUBSQ \r"[rng() % 7] : rng());
    if (round % 3 == 0 && len > 4) std::memcpy(line.data(), "PUB ", 4);
    Srelay_request r;
    RelayParseLine(line.data(), len, r);
    const char* end = line.data() + len;
    if (r.topic) {
      ASSERT_GE(r.topic, line.data());
      ASSERT_LE(r.topic + r.topicLen, end);
    }
    if (r.text) {
      ASSERT_GE(r.text, line.data());
      ASSERT_LE(r.text + r.textLen, end);
    }
    if (r.cmd == RELAY_CMD_BAD) {
      ASSERT_NE(r.reason, nullptr);
    }
  }
  Srelay_request r;
  EXPECT_EQ(RelayParseLine(nullptr, 5, r), RELAY_CMD_EMPTY);
}

TEST(RelayFormat, RepliesAreCompleteLinesOrNothing) {
  char out[32];
  ASSERT_EQ(RelayFormatOk(out, sizeof(out)), 3u);
  EXPECT_EQ(std::string(out, 3), "OK\n");
  ASSERT_EQ(RelayFormatPong(out, sizeof(out)), 5u);
  EXPECT_EQ(std::string(out, 5), "PONG\n");
  unsigned n = RelayFormatErr(out, sizeof(out), kRelayErrLineLong);
  EXPECT_EQ(std::string(out, n), "ERR line too long\n");
  n = RelayFormatMsg(out, sizeof(out), "news", 4, "hi there", 8);
  EXPECT_EQ(std::string(out, n), "MSG news hi there\n");
  // Exactly fitting, and one byte short.
  EXPECT_EQ(RelayFormatMsg(out, 18, "news", 4, "hi there", 8), 18u);
  EXPECT_EQ(RelayFormatMsg(out, 17, "news", 4, "hi there", 8), 0u);
  EXPECT_EQ(RelayFormatOk(out, 2), 0u);
  EXPECT_EQ(RelayFormatErr(out, 0, "x"), 0u);
  // The longest request a client may send always has room for its MSG line.
  std::string topic(kRelayMaxTopic, 't');
  std::string text(kRelayMaxLine - 5 - topic.size(), 'x');
  std::string req = "PUB " + topic + " " + text;
  ASSERT_EQ(req.size(), kRelayMaxLine);
  Srelay_request r = Parse(req);
  ASSERT_EQ(r.cmd, RELAY_CMD_PUB);
  char big[kRelayMaxReply];
  EXPECT_EQ(RelayFormatMsg(big, sizeof(big), r.topic, r.topicLen, r.text, r.textLen), kRelayMaxLine + 1);
}

TEST(RelayLineBuf, AssemblesLinesAcrossPieces) {
  Collector c;
  c.Feed("PI");
  c.Feed("NG\r\nSUB a\nPUB a x");
  EXPECT_EQ(c.buf.Pending(), 7u);
  c.Feed("y\n\n");
  ASSERT_EQ(c.lines.size(), 4u);
  EXPECT_EQ(c.lines[0], "PING\r");
  EXPECT_EQ(c.lines[1], "SUB a");
  EXPECT_EQ(c.lines[2], "PUB a xy");
  EXPECT_EQ(c.lines[3], "");
  EXPECT_EQ(c.buf.Pending(), 0u);
}

TEST(RelayLineBuf, OversizeLineIsReportedOnceAndTheStreamGoesOn) {
  Collector c;
  std::string max(kRelayMaxLine, 'a');
  c.Feed(max + "\r\n");  // exactly the limit, with "\r\n": accepted
  c.Feed(max + "\n");    // exactly the limit: accepted
  c.Feed(max + "b\n");   // one byte over, seen only at the '\n'
  c.Feed(std::string(3000, 'z'));
  c.Feed(std::string(3000, 'z'));  // still the same oversized line: no second report
  c.Feed("zz\nPING\n");
  ASSERT_EQ(c.lines.size(), 5u);
  EXPECT_EQ(c.lines[0], max + "\r");
  EXPECT_EQ(c.lines[1], max);
  EXPECT_EQ(c.lines[2], "!");
  EXPECT_EQ(c.lines[3], "!");
  EXPECT_EQ(c.lines[4], "PING");
  EXPECT_FALSE(c.buf.Discarding());
}

TEST(RelayLineBuf, StopsWhenTheHandlerSaysSo) {
  Crelay_line_buf buf;
  std::vector<std::string> seen;
  std::string data = "PING\nQUIT\nPING\n";
  bool more = buf.Feed(
      data.data(), static_cast<unsigned>(data.size()),
      [&](const char* l, unsigned n) {
        seen.emplace_back(l, n);
        return seen.back() != "QUIT";
      },
      [] {});
  EXPECT_FALSE(more);
  EXPECT_EQ(seen.size(), 2u);
}

TEST(RelayBook, CountsEveryDeliveryFaultAndLoss) {
  Crelay_book book(2, 3);
  book.Expect(0, 0);
  book.Expect(0, 1);
  book.Expect(1, 1);
  for (std::uint64_t s = 1; s <= 3; ++s) book.Published(0, s);
  for (std::uint64_t s = 1; s <= 2; ++s) book.Published(1, s);
  EXPECT_EQ(book.ExpectedDeliveries(), 3u + 2u + 2u);
  EXPECT_EQ(book.Missing(), 7u);

  EXPECT_EQ(book.Delivered(0, 0, 1), RELAY_DELIVERY_OK);
  EXPECT_EQ(book.Delivered(0, 0, 1), RELAY_DELIVERY_DUPLICATE);
  EXPECT_EQ(book.Delivered(0, 0, 3), RELAY_DELIVERY_GAP);  // 2 was lost
  EXPECT_EQ(book.Delivered(0, 0, 2), RELAY_DELIVERY_DUPLICATE);  // late: out of order
  EXPECT_EQ(book.Delivered(0, 2, 1), RELAY_DELIVERY_UNEXPECTED);
  EXPECT_EQ(book.Delivered(5, 0, 1), RELAY_DELIVERY_MALFORMED);
  EXPECT_EQ(book.Delivered(0, 1, 1), RELAY_DELIVERY_OK);
  EXPECT_EQ(book.Delivered(0, 1, 2), RELAY_DELIVERY_OK);
  EXPECT_EQ(book.Delivered(1, 1, 1), RELAY_DELIVERY_OK);
  EXPECT_EQ(book.Received(), 4u);
  EXPECT_EQ(book.Faults(), 5u);
  // Subscriber 1 still waits for publisher 1's second message; the gap at (0, 0)
  // was skipped over, so it counts as a fault, not as missing.
  EXPECT_EQ(book.Missing(), 1u);
}

TEST(RelayLatency, QuantilesStayWithinOneBucket) {
  Crelay_latency lat;
  EXPECT_EQ(lat.Quantile(0.5), 0u);
  for (std::uint64_t v = 1; v <= 100; ++v) lat.Add(v);
  EXPECT_EQ(lat.Quantile(0.5), 50u);
  EXPECT_EQ(lat.Quantile(0.99), 99u);
  EXPECT_EQ(lat.Quantile(1.0), 100u);
  Crelay_latency wide;
  for (int i = 0; i < 99; ++i) wide.Add(10000);
  wide.Add(5000000);
  std::uint64_t med = wide.Quantile(0.5);
  EXPECT_GE(med, 10000u);
  EXPECT_LE(med, 10000u + 10000u / 64);
  EXPECT_EQ(wide.Quantile(1.0), 5000000u);
  wide.Add(UINT64_MAX / 2);  // beyond the table: counted in the last bucket
  EXPECT_EQ(wide.Count(), 101u);
}

TEST(RelayBenchText, RoundTripsAndRejectsForeignText) {
  char out[200];
  unsigned n = RelayBenchFormat(out, sizeof(out), 7, 123456789012ull, 42, 100);
  ASSERT_EQ(n, 100u);
  unsigned pub = 0;
  std::uint64_t seq = 0, at = 0;
  ASSERT_TRUE(RelayBenchParse(out, n, pub, seq, at));
  EXPECT_EQ(pub, 7u);
  EXPECT_EQ(seq, 123456789012ull);
  EXPECT_EQ(at, 42u);
  n = RelayBenchFormat(out, sizeof(out), 1, 2, 3, 0);
  EXPECT_EQ(std::string(out, n), "1 2 3");
  EXPECT_EQ(RelayBenchFormat(out, 4, 1, 2, 3, 0), 0u);
  for (const char* bad : {"", "1 2", "1 2 x", "a 2 3", "1  2 3", "99999999999 1 1", "1 2 3x",
                          "1 99999999999999999999999 3"}) {
    EXPECT_FALSE(RelayBenchParse(bad, static_cast<unsigned>(std::strlen(bad)), pub, seq, at)) << bad;
  }
}

TEST(RelayCert, GeneratesOnceAndKeepsAWorkingPair) {
  char tmpl[] = "/tmp/relay-cert-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = std::string(tmpl) + "/certs";
  std::string cert, key, err;
  ASSERT_TRUE(RelayEnsureSelfSignedCert(dir, cert, key, err)) << err;
  std::string cert2, key2;
  ASSERT_TRUE(RelayEnsureSelfSignedCert(dir, cert2, key2, err)) << err;
  EXPECT_EQ(cert, cert2);
  // A broken pair is replaced.
  FILE* f = std::fopen(key.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("garbage", f);
  std::fclose(f);
  ASSERT_TRUE(RelayEnsureSelfSignedCert(dir, cert2, key2, err)) << err;
  EXPECT_FALSE(RelayEnsureSelfSignedCert("", cert2, key2, err));
  std::string cmd = std::string("rm -rf ") + tmpl;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}
