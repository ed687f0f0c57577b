// One complete relay: start-up, statistics and shutdown.
#include "relay_app.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include <QDateTime>

#include "relay_cert.h"
#include "relay_conn.h"
#include "relay_log.h"
#include "relay_pool.h"
#include "relay_server.h"
#include "relay_topic.h"

namespace {

std::int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Descriptors the relay needs beside its connections: listeners, the servers'
// wake-up and poll descriptors, the UDP endpoint, log and certificate files.
constexpr unsigned kSpareDescriptors = 64;

// Tries to bind port on one family the way the servers will (TCP with
// SO_REUSEADDR, IPv6 sockets IPv6-only). 0 when the port is free, -1 when the
// system has no such family, else the errno of the bind.
int ProbePort(int family, int type, const char* address, unsigned port) {
  int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT) ? -1 : errno;
  int one = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  int rc;
  if (family == AF_INET6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_any;
    if (address != nullptr) inet_pton(AF_INET6, address, &a.sin6_addr);
    rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr) inet_pton(AF_INET, address, &a.sin_addr);
    rc = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  int err = rc == 0 ? 0 : errno;
  if (err == EADDRNOTAVAIL && family == AF_INET6 && address == nullptr) err = -1;  // no IPv6 on this host
  ::close(fd);
  return err;
}

// A UDP port that is free on address now (0 when none could be had).
unsigned FreeUdpPort(int family, const char* address) {
  int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_storage st{};
  socklen_t len;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&st);
    a->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &a->sin6_addr);
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&st);
    a->sin_family = AF_INET;
    inet_pton(AF_INET, address, &a->sin_addr);
    len = sizeof(*a);
  }
  unsigned port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&st), len) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&st), &len) == 0) {
    port = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&st)->sin6_port)
                              : ntohs(reinterpret_cast<sockaddr_in*>(&st)->sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace

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
  m_ctx.maxSubsPerConnection.store(cfg.maxSubscriptionsPerConnection);
}

Crelay_app::~Crelay_app() {
  Stop();
  m_udp.reset();
  m_tls.reset();
  m_plain.reset();
  delete m_mgr;  // and with it the tasks, their factories and the pool
  m_cluster.reset();  // after the topic task, its last user
}

void Crelay_app::connectLogs(QObject* server) {
  QObject::connect(server, SIGNAL(sigErrorInfo(QString)), m_mgr, SIGNAL(sigLogError(QString)),
                   Qt::DirectConnection);
  QObject::connect(server, SIGNAL(sigTracedInfo(QString)), m_mgr, SIGNAL(sigOutputTraceInfo(QString)),
                   Qt::DirectConnection);
}

void Crelay_app::fitDescriptors() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  rlim_t need = static_cast<rlim_t>(m_cfg.maxConnections) * RELAY_SERVER_COUNT + kSpareDescriptors;
  if (lim.rlim_cur >= need) return;
  rlim_t was = lim.rlim_cur;
  if (lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= need) {
    lim.rlim_cur = need;
    if (setrlimit(RLIMIT_NOFILE, &lim) == 0) {
      RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "descriptor limit raised from %llu to %llu for %u connections per port",
                static_cast<unsigned long long>(was), static_cast<unsigned long long>(need), m_cfg.maxConnections);
      return;
    }
  }
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  unsigned fit = lim.rlim_cur > kSpareDescriptors + RELAY_SERVER_COUNT
                     ? static_cast<unsigned>((lim.rlim_cur - kSpareDescriptors) / RELAY_SERVER_COUNT)
                     : 1u;
  if (fit >= m_cfg.maxConnections) return;
  RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_PLAIN,
            "descriptor limit %llu (hard limit) allows %u connections per port: max_connections lowered from %u",
            static_cast<unsigned long long>(lim.rlim_cur), fit, m_cfg.maxConnections);
  m_cfg.maxConnections = fit;
  m_ctx.maxConnections = fit;
}

void Crelay_app::applyOutputLimits() {
  // Past the high-water mark a connection's own requests wait; past the limit
  // it is closed as a slow consumer.
  unsigned limit = m_cfg.maxQueuedKib * 1024;
  for (Crelay_tcp_server* server : {m_plain.get(), m_tls.get()}) {
    if (server != nullptr) server->setOutputLimits(limit, limit / 2, limit / 8);
  }
}

bool Crelay_app::probePorts(std::string& err) {
  struct {
    const char* name;
    unsigned port;
    int type;
    bool stats;
  } ports[] = {{"TCP", m_cfg.tcpPort, SOCK_STREAM, false},
               {"TLS", m_cfg.tlsPort, SOCK_STREAM, false},
               {"UDP", m_cfg.udpPort, SOCK_DGRAM, true}};
  for (auto& p : ports) {
    if (p.port == 0) continue;
    const std::string& where = p.stats ? m_cfg.statsAddress : m_cfg.bindAddress;
    for (int family : {AF_INET, AF_INET6}) {
      const char* address = nullptr;
      if (where != "*") {
        bool v6 = where.find(':') != std::string::npos;
        if (v6 != (family == AF_INET6)) continue;
        address = where.c_str();
      }
      int e = ProbePort(family, p.type, address, p.port);
      const char* fam = family == AF_INET ? "IPv4" : "IPv6";
      if (e < 0) {
        RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_PLAIN, "%s port %u: this host has no %s; serving the other family only",
                  p.name, p.port, fam);
        continue;
      }
      if (e != 0) {
        err = std::string("cannot listen on ") + p.name + " port " + std::to_string(p.port) + " (" + fam +
              (address ? std::string(" ") + address : std::string()) + "): " + std::strerror(e) +
              (e == EADDRINUSE ? " - another process holds it" : "");
        return false;
      }
    }
  }
  return true;
}

bool Crelay_app::Reload(const Srelay_config& cfg, std::string& err) {
  if (!RelayCheckConfig(cfg, err)) return false;
  auto change = [](const char* key, unsigned was, unsigned now) {
    if (was != now) RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "reload: %s %u -> %u", key, was, now);
  };
  if (cfg.logLevel != m_cfg.logLevel) {
    RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "reload: log_level %s -> %s", kRelayLogLevelNames[m_cfg.logLevel],
              kRelayLogLevelNames[cfg.logLevel]);
  }
  change("idle_seconds", m_cfg.idleSeconds, cfg.idleSeconds);
  m_cfg.idleSeconds = cfg.idleSeconds;
  m_ctx.idleSeconds.store(cfg.idleSeconds);
  change("max_subscriptions_per_connection", m_cfg.maxSubscriptionsPerConnection, cfg.maxSubscriptionsPerConnection);
  m_cfg.maxSubscriptionsPerConnection = cfg.maxSubscriptionsPerConnection;
  m_ctx.maxSubsPerConnection.store(cfg.maxSubscriptionsPerConnection);
  change("max_queued_kib", m_cfg.maxQueuedKib, cfg.maxQueuedKib);
  m_cfg.maxQueuedKib = cfg.maxQueuedKib;
  applyOutputLimits();
  change("stats_per_second", m_cfg.statsPerSecond, cfg.statsPerSecond);
  m_cfg.statsPerSecond = cfg.statsPerSecond;
  if (m_udp) m_udp->SetRate(cfg.statsPerSecond);
  // The rest is fixed while the relay runs.
  Srelay_config fixed = cfg;
  fixed.logLevel = cfg.logLevel;
  fixed.idleSeconds = m_cfg.idleSeconds;
  fixed.maxSubscriptionsPerConnection = m_cfg.maxSubscriptionsPerConnection;
  fixed.statsPerSecond = m_cfg.statsPerSecond;
  fixed.maxQueuedKib = m_cfg.maxQueuedKib;
  for (unsigned i = 0; i < kRelayConfigRangeCount; ++i) {
    const Srelay_config_range& r = kRelayConfigRanges[i];
    if (fixed.*(r.field) != m_cfg.*(r.field) && !(r.field == &Srelay_config::maxConnections)) {
      RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_PLAIN, "reload: %s changed to %u; it takes effect at the next start",
                r.key, fixed.*(r.field));
    }
  }
  if (fixed.certFile != m_cfg.certFile || fixed.keyFile != m_cfg.keyFile || fixed.statsAddress != m_cfg.statsAddress ||
      fixed.bindAddress != m_cfg.bindAddress ||
      fixed.trace != m_cfg.trace) {
    RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_PLAIN,
              "reload: certificate, bind_address, stats_address or trace changed; they take effect at the next start");
  }
  if (fixed.cluster != m_cfg.cluster) {
    RelayLogf(RELAY_LOG_WARN, RELAY_LOGK_PLAIN, "reload: [cluster] changed; it takes effect at the next start");
  }
  RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "reload: done");
  // The new level last, so that the lines above are written under the old one.
  m_cfg.logLevel = cfg.logLevel;
  RelayLogSetLevel(cfg.logLevel);
  return true;
}

bool Crelay_app::Start(std::string& err) {
  if (m_running || m_stopped) {
    err = "a relay starts once";
    return false;
  }
  if (!RelayCheckConfig(m_cfg, err)) return false;
  RelayLogSetLevel(m_cfg.logLevel);
  m_startedMs = MonotonicMs();
  fitDescriptors();
  if (!probePorts(err)) return false;
  m_certFile = m_cfg.certFile;
  m_keyFile = m_cfg.keyFile;
  if (m_certFile.empty() || m_keyFile.empty()) {
    std::string dir = m_cfg.certDir.empty() ? RelayDefaultCertDir() : m_cfg.certDir;
    if (!RelayEnsureSelfSignedCert(dir, m_certFile, m_keyFile, err)) return false;
  }
  m_mgr = new Crelay_mgr();
  m_ctx.mgr = m_mgr;
  // The framework's and the socket layer's lines, rate-limited like the relay's own.
  auto log = [](unsigned level) {
    return [level](const QString& text) {
      RelayLogf(level, RELAY_LOGK_LIBRARY, "%s", text.toLocal8Bit().constData());
    };
  };
  QObject::connect(m_mgr, &Cvlk_task_mgr::sigLogInfo, m_mgr, log(RELAY_LOG_INFO), Qt::DirectConnection);
  QObject::connect(m_mgr, &Cvlk_task_mgr::sigLogWarning, m_mgr, log(RELAY_LOG_WARN), Qt::DirectConnection);
  QObject::connect(m_mgr, &Cvlk_task_mgr::sigLogError, m_mgr, log(RELAY_LOG_ERROR), Qt::DirectConnection);
  QObject::connect(
      m_mgr, &Cvlk_task_mgr::sigOutputTraceInfo, m_mgr,
      [](const QString& text) { RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "%s", text.toLocal8Bit().constData()); },
      Qt::DirectConnection);
  QObject::connect(
      m_mgr, &Cvlk_task_mgr::sigErrorNoMsgBuf, m_mgr,
      [] { RelayLogf(RELAY_LOG_ERROR, RELAY_LOGK_BUFFERS, "the message pool ran out of buffers"); },
      Qt::DirectConnection);
  EerrNo setup = m_mgr->Setup(m_cfg, &m_ctx);
  if (setup != ERR_OK) {
    err = std::string("cannot set up the tasks: ") + VlkErrNoToStr(setup);
    Stop();
    return false;
  }

  m_plain.reset(new Crelay_tcp_server(RELAY_SERVER_PLAIN, &m_ctx, nullptr));
  m_tls.reset(new Crelay_tcp_server(RELAY_SERVER_TLS, &m_ctx, nullptr));
  m_udp.reset(new Crelay_udp_server(nullptr, &Crelay_app::StatsThunk, this, &m_ctx));
  m_udp->SetRate(m_cfg.statsPerSecond);
  applyOutputLimits();
  for (Crelay_tcp_server* server : {m_plain.get(), m_tls.get()}) {
    if (err.empty() && server->setOutputBudget(static_cast<std::size_t>(m_cfg.outputBudgetMib) << 20) != ERR_OK) {
      err = "cannot reserve output_budget_mib=" + std::to_string(m_cfg.outputBudgetMib);
    }
  }
  connectLogs(m_plain.get());
  connectLogs(m_tls.get());
  connectLogs(m_udp.get());
  // A configured port of 0 takes any free one; the servers say which.
  unsigned short tcp = static_cast<unsigned short>(m_cfg.tcpPort);
  unsigned short tls = static_cast<unsigned short>(m_cfg.tlsPort);
  unsigned short udp = static_cast<unsigned short>(m_cfg.udpPort);
  // TCP and TLS on every interface of both families, or on bind_address alone.
  Cvlk_uaddr local;
  const bool everywhere = m_cfg.bindAddress == "*";
  if (!everywhere && local.setHostName(m_cfg.bindAddress.c_str()) != 0) err = "bind_address: cannot use " + m_cfg.bindAddress;
  auto listen = [&](Crelay_tcp_server* server, unsigned short& port) {
    if (everywhere) return port != 0 ? server->bind(port) : server->bindAnyPort(port);
    local.setPort(port);
    return server->bindAddress(local, &port);
  };
  EerrNo e = ERR_OK;
  if (!err.empty()) {
    // the output budget could not be reserved or the address is unusable: nothing is bound
  } else if ((e = listen(m_plain.get(), tcp)) != ERR_OK) {
    err = "cannot listen on TCP port " + std::to_string(m_cfg.tcpPort) + ": " + VlkErrNoToStr(e);
  } else if ((e = m_tls->startTLS(m_certFile.c_str(), m_keyFile.c_str())) != ERR_OK) {
    err = "cannot use certificate " + m_certFile + " with key " + m_keyFile + ": " + VlkErrNoToStr(e);
  } else if ((e = listen(m_tls.get(), tls)) != ERR_OK) {
    err = "cannot listen on TLS port " + std::to_string(m_cfg.tlsPort) + ": " + VlkErrNoToStr(e);
  } else if (m_cfg.statsAddress == "*") {
    if ((udp ? m_udp->Bind(udp, 0, 0) : m_udp->bindAnyPort(udp, 0, 0)) == 0) {
      err = "cannot bind UDP port " + std::to_string(m_cfg.udpPort);
    }
  } else {
    int family = m_cfg.statsAddress.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    if (udp == 0) udp = static_cast<unsigned short>(FreeUdpPort(family, m_cfg.statsAddress.c_str()));
    Cvlk_uaddr at;
    if (udp == 0 || at.setAddress(m_cfg.statsAddress.c_str(), udp) != 0 || m_udp->Bind(at, 0, 0) == 0) {
      err = "cannot bind UDP port " + std::to_string(m_cfg.udpPort) + " on " + m_cfg.statsAddress;
    }
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
  if (m_cfg.cluster.Enabled()) {
    m_cluster.reset(new Crelay_cluster(m_cfg.cluster, m_mgr, kRelayTopicTaskId, kRelayTopicFactoryId,
                                       m_cfg.maxSubscriptions));
    m_cluster->SetRoomNotice(kRelayNetTaskId, kRelayConnFactoryId, RELAY_MSG_KICK, &m_ctx.counters.stalled);
    m_ctx.cluster = m_cluster.get();
  }

  m_mgr->Run();
  // The bridge reaches Redis on its own thread; an unreachable Redis is logged
  // and retried there, and the relay serves its own clients meanwhile.
  if (m_cluster && !m_cluster->Start(err)) {
    Stop();
    return false;
  }
  m_plain->start();
  m_tls->start();
  m_udp->start();
  m_running = true;
  RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN,
            "vlk-relay listening: tcp %u, tls %u, udp %u (tcp and tls on %s; "
            "STATS on %s) version %s, max_connections %u",
            m_tcpPort, m_tlsPort, m_udpPort,
            m_cfg.bindAddress == "*" ? "every interface, ipv4 and ipv6" : m_cfg.bindAddress.c_str(), m_cfg.statsAddress == "*" ? "every interface" : m_cfg.statsAddress.c_str(),
            VLK_RELAY_VERSION, m_cfg.maxConnections);
  return true;
}

void Crelay_app::Stop() {
  if (m_stopped) return;
  m_stopped = true;
  // 1. No more datagrams are answered.
  if (m_udp) m_udp->stop();
  // 2. Every connection is closed (TLS ones with their TLS state) while the
  //    servers still run; the machines learn it through CLOSED messages.
  //    Nobody waits for buffers any more.
  m_ctx.stopping.store(true);
  if (m_plain) m_plain->CloseAll(RELAY_CLOSE_STOP);
  if (m_tls) m_tls->CloseAll(RELAY_CLOSE_STOP);
  // 3. The servers stop: no more connections, no more bytes.
  if (m_plain) m_plain->stop();
  if (m_tls) m_tls->stop();
  // 4. The cluster bridge leaves Redis and gives back what it still queued; a
  //    publication the topic task hands it from now on counts as not shared.
  if (m_cluster) m_cluster->Stop();
  // 5. The tasks and the routing thread stop; whatever is still queued goes back
  //    to the pool.
  if (m_mgr) m_mgr->Stop();
  // 5. Bytes that connections held back while waiting for room go back too.
  if (m_mgr && m_mgr->NetTask()) m_mgr->NetTask()->Factory()->ReleaseHeld();
  m_running = false;
}

void Crelay_app::RequestIdleCheck() {
  if (!m_running) return;
  Cvlk_msg_buf* buf = nullptr;
  if (VlkNewMsg<Cmsg>(m_mgr, &buf, VlkMsgAddr(0, 0), RelayNetFactory(), RELAY_MSG_IDLE_CHECK) == nullptr) return;
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
  std::int64_t now = MonotonicMs();
  double rates[3];
  {
    std::lock_guard<std::mutex> guard(m_rateLock);
    std::uint64_t cur[3] = {k.lines.load(), k.published.load(), k.delivered.load()};
    if (m_rateAtMs == 0 || now - m_rateAtMs >= 1000) {
      double seconds = m_rateAtMs == 0 ? 0 : static_cast<double>(now - m_rateAtMs) / 1000.0;
      for (unsigned i = 0; i < 3; ++i) {
        m_rates[i] = seconds > 0 ? static_cast<double>(cur[i] - m_rateBase[i]) / seconds : 0.0;
        m_rateBase[i] = cur[i];
      }
      m_rateAtMs = now;
    }
    for (unsigned i = 0; i < 3; ++i) rates[i] = m_rates[i];
  }
  add("server version=%s uptime=%" PRId64 " idle_seconds=%u max_subscriptions_per_connection=%u log_level=%s\n",
      VLK_RELAY_VERSION, m_startedMs ? (now - m_startedMs) / 1000 : static_cast<std::int64_t>(0),
      m_ctx.idleSeconds.load(), m_ctx.maxSubsPerConnection.load(), kRelayLogLevelNames[RelayLogLevel()]);
  add("flow slow_consumers=%" PRIu64 " paused=%" PRIu64 " stalled=%" PRIu64 " held_back=%" PRIu64
      " idle_closed=%" PRIu64 " stats_refused=%" PRIu64 " short_records=%" PRIu64 "\n",
      k.slowConsumers.load(), k.paused.load(), k.stalled.load(), k.heldBack.load(), k.idleClosed.load(),
      k.statsRefused.load(), k.shortRecords.load());
  add("rates lines_per_s=%.1f published_per_s=%.1f delivered_per_s=%.1f\n", rates[0], rates[1], rates[2]);
  add("relay opened=%" PRIu64 " closed=%" PRIu64 " lines=%" PRIu64 " refused=%" PRIu64 " published=%" PRIu64
      " delivered=%" PRIu64 " no_buffer=%" PRIu64 " send_failed=%" PRIu64 " idle_checks=%" PRIu64
      " subscriptions=%" PRIu64 "\n",
      k.opened.load(), k.closed.load(), k.lines.load(), k.refused.load(), k.published.load(), k.delivered.load(),
      k.noBuffer.load(), k.sendFailed.load(), k.idleChecks.load(), k.subscriptions.load());
  Srelay_cluster_stats c;
  if (ClusterStats(c)) {
    char since[40] = "never";
    if (c.sinceMs != 0) {
      QByteArray t = QDateTime::fromMSecsSinceEpoch(c.sinceMs, Qt::UTC).toString(Qt::ISODate).toLatin1();
      std::snprintf(since, sizeof(since), "%s", t.constData());
    }
    add("cluster redis=%s:%u connected=%d since=%s topics_remote=%u in=%" PRIu64 " out=%" PRIu64
        " not_shared=%" PRIu64 " echoes=%" PRIu64 " refused=%" PRIu64 " in_no_buffer=%" PRIu64 " outages=%" PRIu64
        " table_full=%" PRIu64 "\n",
        m_cfg.cluster.host.c_str(), m_cfg.cluster.port, c.connected ? 1 : 0, since, c.topicsRemote, c.in, c.out,
        c.notShared, c.echoes, c.refused, c.inNoBuffer, c.outages, c.tableFull);
  }
  return n;
}

bool Crelay_app::ClusterStats(Srelay_cluster_stats& out) const {
  if (!m_cluster) return false;
  m_cluster->ReadStats(out);
  return true;
}

bool Crelay_app::AllBuffersHome(std::string& detail) {
  Srelay_pool_snapshot pool;
  if (!RelayReadPool(m_mgr, pool)) {
    detail = "no message pool";
    return true;  // never built: no buffer was ever taken
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
