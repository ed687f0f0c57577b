// The whole system: the example relay (tasks, message pool, TCP, TLS and UDP
// servers) under its own load client, in this process, as `vlk-relay demo`
// runs it: 8 subscribers (2 over TLS), 4 publishers, 2 topics, 64-byte texts.
// Its peer: a single-thread Boost.Asio relay speaking the same line protocol
// (the relay's own parser and formatters), plain and TLS, under the same
// client. It has no STATS port and no limits, pools or idle checks: it is the
// protocol and the fan-out, no more.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#ifdef VLK_BENCH_HAVE_ASIO
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#endif

#include "bench_harness.h"
#include "compare_net.h"
#include "relay_app.h"
#include "relay_bench.h"
#include "relay_config.h"
#include "relay_proto.h"

namespace {

using vlkbench::Metric;
using vlkbench::Outcome;
using vlkbench::RunContext;

const char* const kRelayCase = "8 subs (2 TLS), 4 pubs, 64 B";

std::vector<Metric> Figures(const Srelay_bench_figures& fig) {
  return {Metric{"delivered msgs/s", fig.deliveredPerSec, false},
          Metric{"published msgs/s", fig.publishedPerSec, false}, Metric{"p50 (us)", double(fig.p50Micros), true},
          Metric{"p99 (us)", double(fig.p99Micros), true}, Metric{"lost", double(fig.lost), true}};
}

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "compare_net";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// The load client's options: 2 of the 8 subscribers over TLS, 2 s of publishing.
Srelay_bench_opts LoadOpts(const RunContext& ctx, unsigned tcpPort, unsigned tlsPort, unsigned udpPort) {
  Srelay_bench_opts opts;
  opts.port = tcpPort;
  opts.tlsPort = tlsPort;
  opts.udpPort = udpPort;
  opts.tlsSubscribers = 2;
  opts.seconds = ctx.smoke ? 0.2 : 2.0;
  return opts;
}

// What the load client saw, with the relay's own verdict (`extra`, may be empty).
Outcome Verdict(int rc, const Srelay_bench_figures& fig, bool extraOk, const std::string& extra) {
  Outcome out;
  out.ok = rc == 0 && extraOk && fig.lost == 0 && fig.delivered == fig.expected;
  out.check = std::to_string(fig.delivered) + " of " + std::to_string(fig.expected) + " deliveries, lost " +
              std::to_string(fig.lost) + ", duplicated or reordered " + std::to_string(fig.faults) + ", refused " +
              std::to_string(fig.refused) + ", connections lost " + std::to_string(fig.connectionsLost) + extra;
  out.metrics = Figures(fig);
  return out;
}

Outcome RunRelay(const RunContext& ctx) {
  Outcome out;
  QCoreApplication& app = App();
  QTemporaryDir certDir;
  Srelay_config cfg;
  cfg.tcpPort = cfg.tlsPort = cfg.udpPort = 0;  // free ports
  cfg.certDir = certDir.path().toStdString();
  Crelay_app relay(cfg);
  std::string err;
  if (!relay.Start(err)) {
    out.check = "relay did not start: " + err;
    return out;
  }
  const Srelay_bench_opts opts = LoadOpts(ctx, relay.TcpPort(), relay.TlsPort(), relay.UdpPort());
  Srelay_bench_figures fig;
  int rc = 1;
  FILE* sink = std::fopen("/dev/null", "w");
  // The load runs beside the event loop, which keeps the relay's timers going.
  std::thread bench([&] {
    rc = RelayRunBench(opts, sink != nullptr ? sink : stderr, &fig);
    QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  app.exec();
  bench.join();
  if (sink != nullptr) std::fclose(sink);
  relay.Stop();
  std::string detail;
  const bool home = relay.AllBuffersHome(detail);
  return Verdict(rc, fig, home, home ? "; message pool back to full" : "; message pool not back to full: " + detail);
}

#ifdef VLK_BENCH_HAVE_ASIO
namespace asio = boost::asio;
using asio::ip::tcp;

class AsioRelay;

// One client connection: reads lines, answers them, and queues what it must
// send; everything queued while a write is under way leaves in the next one.
class RelayConn : public std::enable_shared_from_this<RelayConn> {
 public:
  explicit RelayConn(AsioRelay& relay) : m_relay(relay), m_in(2 * kRelayMaxLine) {}
  virtual ~RelayConn() = default;
  virtual void Start() = 0;
  void Send(const char* data, std::size_t n) {
    m_queued.append(data, n);
    if (!m_writing) Flush();
  }
  std::set<std::string> topics;

 protected:
  void Line(const char* line, unsigned len);
  void Flush() {
    if (m_queued.empty() || m_closed) return;
    m_writing = true;
    m_sending.swap(m_queued);
    m_queued.clear();
    AsyncWrite();
  }
  void Wrote(const boost::system::error_code& ec) {
    m_writing = false;
    m_sending.clear();
    if (ec) return Close();
    Flush();
  }
  void Close();
  virtual void AsyncWrite() = 0;
  virtual void Shut() = 0;

  AsioRelay& m_relay;
  asio::streambuf m_in;
  std::string m_queued, m_sending;
  bool m_writing = false, m_closed = false;
};

template <class Stream>
class RelayStreamConn : public RelayConn {
 public:
  template <class... Args>
  RelayStreamConn(AsioRelay& relay, Args&&... args) : RelayConn(relay), m_stream(std::forward<Args>(args)...) {}
  void Start() override {
    if constexpr (std::is_same<Stream, tcp::socket>::value) {
      Read();
    } else {
      auto self = shared_from_this();
      m_stream.async_handshake(asio::ssl::stream_base::server, [this, self](boost::system::error_code ec) {
        if (!ec) Read();
      });
    }
  }

 private:
  void Read() {
    auto self = shared_from_this();
    asio::async_read_until(m_stream, m_in, '\n', [this, self](boost::system::error_code ec, std::size_t n) {
      if (ec) return Close();
      std::string line(asio::buffers_begin(m_in.data()), asio::buffers_begin(m_in.data()) + n - 1);
      m_in.consume(n);
      Line(line.data(), static_cast<unsigned>(line.size()));
      if (!m_closed) Read();
    });
  }
  void AsyncWrite() override {
    auto self = shared_from_this();
    asio::async_write(m_stream, asio::buffer(m_sending),
                      [this, self](boost::system::error_code ec, std::size_t) { Wrote(ec); });
  }
  void Shut() override {
    boost::system::error_code ignored;
    m_stream.lowest_layer().close(ignored);
  }

  Stream m_stream;
};

// The relay: topics to subscribers, a plain and a TLS acceptor, one thread.
class AsioRelay {
 public:
  explicit AsioRelay(const std::string& tls)
      : m_plain(m_io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        m_secure(m_io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        m_tls(asio::ssl::context::tls_server) {
    m_tls.use_certificate_chain_file(tls + "/cert.pem");
    m_tls.use_private_key_file(tls + "/key.pem", asio::ssl::context::pem);
    Accept(m_plain, false);
    Accept(m_secure, true);
    m_thread = std::thread([this] { m_io.run(); });
  }
  ~AsioRelay() {
    m_io.stop();
    m_thread.join();
  }
  unsigned short Port(bool tls) const { return (tls ? m_secure : m_plain).local_endpoint().port(); }

  void Subscribe(const std::string& topic, const std::shared_ptr<RelayConn>& c) { m_topics[topic].insert(c); }
  bool Unsubscribe(const std::string& topic, const std::shared_ptr<RelayConn>& c) {
    auto it = m_topics.find(topic);
    return it != m_topics.end() && it->second.erase(c) > 0;
  }
  void Publish(const char* topic, unsigned topicLen, const char* text, unsigned textLen) {
    auto it = m_topics.find(std::string(topic, topicLen));
    if (it == m_topics.end()) return;
    char line[kRelayMaxReply];
    const unsigned n = RelayFormatMsg(line, sizeof line, topic, topicLen, text, textLen);
    for (const auto& c : it->second) c->Send(line, n);
  }

 private:
  void Accept(tcp::acceptor& acceptor, bool tls) {
    acceptor.async_accept([this, &acceptor, tls](boost::system::error_code ec, tcp::socket s) {
      if (ec) return;
      s.set_option(tcp::no_delay(true));
      if (tls) {
        std::make_shared<RelayStreamConn<asio::ssl::stream<tcp::socket>>>(*this, std::move(s), m_tls)->Start();
      } else {
        std::make_shared<RelayStreamConn<tcp::socket>>(*this, std::move(s))->Start();
      }
      Accept(acceptor, tls);
    });
  }

  asio::io_context m_io{1};
  tcp::acceptor m_plain, m_secure;
  asio::ssl::context m_tls;
  std::map<std::string, std::set<std::shared_ptr<RelayConn>>> m_topics;  // the relay thread's only
  std::thread m_thread;
};

void RelayConn::Line(const char* line, unsigned len) {
  Srelay_request req;
  char reply[kRelayMaxReply];
  unsigned n = 0;
  switch (RelayParseLine(line, len, req)) {
    case RELAY_CMD_EMPTY:
      return;
    case RELAY_CMD_SUB:
      topics.emplace(req.topic, req.topicLen);
      m_relay.Subscribe(std::string(req.topic, req.topicLen), shared_from_this());
      n = RelayFormatOk(reply, sizeof reply);
      break;
    case RELAY_CMD_UNSUB:
      n = m_relay.Unsubscribe(std::string(req.topic, req.topicLen), shared_from_this())
              ? RelayFormatOk(reply, sizeof reply)
              : RelayFormatErr(reply, sizeof reply, kRelayErrNotSub);
      topics.erase(std::string(req.topic, req.topicLen));
      break;
    case RELAY_CMD_PUB:
      m_relay.Publish(req.topic, req.topicLen, req.text, req.textLen);
      n = RelayFormatOk(reply, sizeof reply);
      break;
    case RELAY_CMD_PING:
      n = RelayFormatPong(reply, sizeof reply);
      break;
    case RELAY_CMD_QUIT:
      return Close();
    case RELAY_CMD_BAD:
      n = RelayFormatErr(reply, sizeof reply, req.reason);
      break;
  }
  Send(reply, n);
}

void RelayConn::Close() {
  if (m_closed) return;
  m_closed = true;
  auto self = shared_from_this();
  for (const std::string& t : topics) m_relay.Unsubscribe(t, self);
  Shut();
}

Outcome RunAsioRelay(const RunContext& ctx) {
  App();
  const netbench::TlsFiles files;
  if (files.Dir().empty()) {
    Outcome out;
    out.check = "could not make a certificate with the openssl command";
    return out;
  }
  AsioRelay relay(files.Dir());
  Srelay_bench_figures fig;
  FILE* sink = std::fopen("/dev/null", "w");
  // No STATS port (udpPort 0).
  const int rc = RelayRunBench(LoadOpts(ctx, relay.Port(false), relay.Port(true), 0),
                               sink != nullptr ? sink : stderr, &fig);
  if (sink != nullptr) std::fclose(sink);
  return Verdict(rc, fig, true, std::string());
}
#endif

struct Registrar {
  Registrar() {
    vlkbench::Register("relay", kRelayCase, "vlk2", RunRelay);
#ifdef VLK_BENCH_HAVE_ASIO
    vlkbench::Register("relay", kRelayCase, "asio", RunAsioRelay);
#endif
  }
} registrar;

}  // namespace
