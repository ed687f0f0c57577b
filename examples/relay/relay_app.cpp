// One complete relay: start-up, statistics and shutdown.
#include "relay_app.h"

#include <cinttypes>
#include <cstring>

#include <QDateTime>

#include "relay_cert.h"
#include "relay_conn.h"
#include "relay_pool.h"
#include "relay_server.h"
#include "relay_topic.h"

void RelayLog(const char* level, const QString& text) {
  QByteArray stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1();
  QByteArray line = text.toLocal8Bit();
  std::fprintf(stderr, "%s %s %s\n", stamp.constData(), level, line.constData());
}

EerrNo Crelay_mgr::Setup(const Srelay_config& cfg, Srelay_ctx* ctx) {
  initMessagePool(kRelayTinySize, cfg.poolTiny, kRelaySmallSize, cfg.poolSmall, kRelayCommSize, cfg.poolComm,
                  kRelayBigSize, cfg.poolBig);
  m_net = new Crelay_net_task(this, ctx);
  if (m_net->Factory()->GetErr() != ERR_OK) return m_net->Factory()->GetErr();
  m_topic = new Crelay_topic_task(this, ctx, cfg.maxSubscriptions);
  if (m_topic->GetSetupErr() != ERR_OK) return m_topic->GetSetupErr();
  EerrNo err = regTask(m_net);
  if (err == ERR_OK) err = regTask(m_topic);
  if (cfg.trace) TraceOn();
  return err;
}

Crelay_app::Crelay_app(const Srelay_config& cfg) : m_cfg(cfg) {
  m_ctx.maxConnections = cfg.maxConnections;
  m_ctx.idleSeconds.store(cfg.idleSeconds);
}

Crelay_app::~Crelay_app() {
  Stop();
  m_udp.reset();
  m_tls.reset();
  m_plain.reset();
  delete m_mgr;  // and with it the tasks, their factories and the pool
}

void Crelay_app::connectLogs(QObject* server) {
  QObject::connect(server, SIGNAL(sigErrorInfo(QString)), m_mgr, SIGNAL(sigLogError(QString)),
                   Qt::DirectConnection);
  QObject::connect(server, SIGNAL(sigTracedInfo(QString)), m_mgr, SIGNAL(sigOutputTraceInfo(QString)),
                   Qt::DirectConnection);
}

bool Crelay_app::Start(std::string& err) {
  if (m_running || m_stopped) {
    err = "a relay starts once";
    return false;
  }
  if (!RelayCheckConfig(m_cfg, err)) return false;
  m_certFile = m_cfg.certFile;
  m_keyFile = m_cfg.keyFile;
  if (m_certFile.empty() || m_keyFile.empty()) {
    std::string dir = m_cfg.certDir.empty() ? RelayDefaultCertDir() : m_cfg.certDir;
    if (!RelayEnsureSelfSignedCert(dir, m_certFile, m_keyFile, err)) return false;
  }
  m_mgr = new Crelay_mgr();
  m_ctx.mgr = m_mgr;
  auto log = [](const char* level) { return [level](const QString& text) { RelayLog(level, text); }; };
  QObject::connect(m_mgr, &Cvlk_task_mgr::sigLogInfo, m_mgr, log("INFO"), Qt::DirectConnection);
  QObject::connect(m_mgr, &Cvlk_task_mgr::sigLogWarning, m_mgr, log("WARN"), Qt::DirectConnection);
  QObject::connect(m_mgr, &Cvlk_task_mgr::sigLogError, m_mgr, log("ERROR"), Qt::DirectConnection);
  QObject::connect(m_mgr, &Cvlk_task_mgr::sigOutputTraceInfo, m_mgr, log("TRACE"), Qt::DirectConnection);
  QObject::connect(
      m_mgr, &Cvlk_task_mgr::sigErrorNoMsgBuf, m_mgr,
      [] { RelayLog("ERROR", QStringLiteral("the message pool ran out of buffers")); }, Qt::DirectConnection);
  EerrNo setup = m_mgr->Setup(m_cfg, &m_ctx);
  if (setup != ERR_OK) {
    err = std::string("cannot set up the tasks: ") + VlkErrNoToStr(setup);
    Stop();
    return false;
  }

  m_plain.reset(new Crelay_tcp_server(RELAY_SERVER_PLAIN, &m_ctx, nullptr));
  m_tls.reset(new Crelay_tcp_server(RELAY_SERVER_TLS, &m_ctx, nullptr));
  m_udp.reset(new Crelay_udp_server(nullptr, &Crelay_app::StatsThunk, this));
  connectLogs(m_plain.get());
  connectLogs(m_tls.get());
  connectLogs(m_udp.get());
  // A configured port of 0 takes any free one; the servers say which.
  unsigned short tcp = static_cast<unsigned short>(m_cfg.tcpPort);
  unsigned short tls = static_cast<unsigned short>(m_cfg.tlsPort);
  unsigned short udp = static_cast<unsigned short>(m_cfg.udpPort);
  EerrNo e = tcp ? m_plain->bind(tcp) : m_plain->bindAnyPort(tcp);
  if (e != ERR_OK) {
    err = "cannot listen on TCP port " + std::to_string(m_cfg.tcpPort) + ": " + VlkErrNoToStr(e);
  } else if ((e = m_tls->startTLS(m_certFile.c_str(), m_keyFile.c_str())) != ERR_OK) {
    err = "cannot use certificate " + m_certFile + " with key " + m_keyFile + ": " + VlkErrNoToStr(e);
  } else if ((e = tls ? m_tls->bind(tls) : m_tls->bindAnyPort(tls)) != ERR_OK) {
    err = "cannot listen on TLS port " + std::to_string(m_cfg.tlsPort) + ": " + VlkErrNoToStr(e);
  } else if ((udp ? m_udp->Bind(udp, 0, 0) : m_udp->bindAnyPort(udp, 0, 0)) == 0) {
    err = "cannot bind UDP port " + std::to_string(m_cfg.udpPort);
  }
  m_tcpPort = tcp;
  m_tlsPort = tls;
  m_udpPort = udp;
  if (!err.empty()) {
    Stop();
    return false;
  }
  m_ctx.servers[RELAY_SERVER_PLAIN] = m_plain.get();
  m_ctx.servers[RELAY_SERVER_TLS] = m_tls.get();

  m_mgr->Run();
  m_plain->start();
  m_tls->start();
  m_udp->start();
  m_running = true;
  RelayLog("INFO", QString::asprintf("vlk-relay listening: tcp %u, tls %u, udp %u (ipv4 and ipv6)", m_tcpPort,
                                     m_tlsPort, m_udpPort));
  return true;
}

void Crelay_app::Stop() {
  if (m_stopped) return;
  m_stopped = true;
  // 1. No more datagrams are answered.
  if (m_udp) m_udp->stop();
  // 2. Every connection is closed (TLS ones with their TLS state) while the
  //    servers still run; the machines learn it through CLOSED messages.
  if (m_plain) m_plain->selfCheck(0);
  if (m_tls) m_tls->selfCheck(0);
  // 3. The servers stop: no more connections, no more bytes.
  if (m_plain) m_plain->stop();
  if (m_tls) m_tls->stop();
  // 4. The tasks and the routing thread stop; whatever is still queued goes back
  //    to the pool.
  if (m_mgr) m_mgr->Stop();
  m_running = false;
}

void Crelay_app::RequestIdleCheck() {
  if (!m_running) return;
  Cvlk_msg_buf* buf = m_mgr->GetMsgBuf(sizeof(Cmsg));
  if (buf == nullptr) return;
  RelayFillHeader(buf->GetMsgPointer(), 0, kRelayNetTaskId, kRelayConnFactoryId, 0, RELAY_MSG_IDLE_CHECK);
  m_mgr->SendMsg(buf);
}

unsigned Crelay_app::StatsThunk(void* self, char* out, unsigned cap) {
  return static_cast<Crelay_app*>(self)->FormatStats(out, cap);
}

unsigned Crelay_app::FormatStats(char* out, unsigned cap) {
  if (cap == 0) return 0;
  Srelay_pool_snapshot pool;
  RelayReadPool(m_mgr, pool);
  unsigned n = 0;
  auto add = [&](const char* fmt, auto... args) {
    if (n >= cap) return;
    int w = std::snprintf(out + n, cap - n, fmt, args...);
    if (w > 0) n += static_cast<unsigned>(w) < cap - n ? static_cast<unsigned>(w) : cap - n - 1;
  };
  add("STATS\n");
  add("connections plain=%u tls=%u max=%u\n", m_plain ? m_plain->getBusyNodes() : 0u,
      m_tls ? m_tls->getBusyNodes() : 0u, m_ctx.maxConnections);
  for (unsigned c = 0; c < kRelayPoolClasses; ++c) {
    add("pool %s size=%u real=%u idle=%u\n", kRelayPoolClassNames[c], pool.size[c], pool.real[c], pool.idle[c]);
  }
  for (unsigned s = 0; s < kRelayPoolStats; ++s) add("stat %s %u\n", kRelayPoolStatNames[s], pool.stat[s]);
  // Each query starts a new window for the times in queue.
  for (unsigned id : {kRelayNetTaskId, kRelayTopicTaskId}) {
    Cvlk_queue_metrics q;
    if (m_mgr->GetQueueMetrics(id, &q) != ERR_OK) continue;
    add("queue task=%u depth=%u high_water=%u handled=%" PRIu64 " timed=%" PRIu64 " mean_wait_us=%" PRIu64
        " max_wait_us=%" PRIu64 "\n",
        id, q.depth, q.highWater, q.handled, q.timed, q.meanQueueNs / 1000, q.maxQueueNs / 1000);
  }
  const Srelay_counters& k = m_ctx.counters;
  add("relay opened=%" PRIu64 " closed=%" PRIu64 " lines=%" PRIu64 " refused=%" PRIu64 " published=%" PRIu64
      " delivered=%" PRIu64 " no_buffer=%" PRIu64 " send_failed=%" PRIu64 " idle_checks=%" PRIu64
      " subscriptions=%" PRIu64 "\n",
      k.opened.load(), k.closed.load(), k.lines.load(), k.refused.load(), k.published.load(), k.delivered.load(),
      k.noBuffer.load(), k.sendFailed.load(), k.idleChecks.load(), k.subscriptions.load());
  return n;
}

bool Crelay_app::AllBuffersHome(std::string& detail) {
  Srelay_pool_snapshot pool;
  if (!RelayReadPool(m_mgr, pool)) {
    detail = "no message pool";
    return false;
  }
  bool home = true;
  for (unsigned c = 0; c < kRelayPoolClasses; ++c) {
    if (pool.idle[c] != pool.real[c]) {
      home = false;
      detail += std::string(kRelayPoolClassNames[c]) + ": " + std::to_string(pool.real[c] - pool.idle[c]) +
                " buffers out; ";
    }
  }
  return home;
}

void Crelay_app::PrintFinal(FILE* out) {
  char text[4096];
  unsigned n = FormatStats(text, sizeof(text));
  std::fwrite(text, 1, n, out);
  std::string detail;
  bool home = AllBuffersHome(detail);
  std::fprintf(out, "buffers: %s%s\n", home ? "all back in the pool" : "NOT ALL BACK: ", detail.c_str());
}
