// The load client, built on the library's outgoing TCP connections.
#include "relay_bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <vlk_net.h>

#include "relay_book.h"
#include "relay_line.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t NowMicros() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

// One connection of the load client.
struct Sclient {
  bool publisher = false;
  unsigned index = 0;  // among subscribers or publishers
  unsigned topic = 0;
  unsigned nodeId = 0;
  Crelay_line_buf lines;                // receiving thread only
  std::atomic<std::uint64_t> oks{0};    // "OK" answers
  std::atomic<std::uint64_t> errs{0};   // "ERR" answers and oversize lines
  std::atomic<bool> gone{false};        // the relay closed the connection
  std::uint64_t sent = 0;               // publishing thread only
  unsigned relay = 0;                   // index into the relays it talks to
  std::atomic<std::uint64_t> probes{0};  // probe publications sent (their answers count in oks)
};

class Cbench;

class Cbench_clients : public Cvlk_tcp_clients {
 public:
  Cbench_clients(Cbench* bench, unsigned n) : Cvlk_tcp_clients(n, nullptr), m_bench(bench) {}
  ~Cbench_clients() override { stop(); }

 protected:
  void procData(unsigned nodeId, char* data, int len) override;
  void procDisconnect(unsigned nodeId) override;

 private:
  Cbench* m_bench;
};

class Cbench {
 public:
  explicit Cbench(const Srelay_bench_opts& o)
      : m_opts(o), m_book(o.subscribers, o.publishers), m_net(this, o.subscribers + o.publishers) {}

  int Run(FILE* out, Srelay_bench_figures& fig);
  void OnBytes(unsigned client, const char* data, unsigned len);
  void OnGone(unsigned client);

 private:
  bool connectAll(std::string& err);
  bool waitFor(const std::function<bool()>& done, double seconds);
  bool connectSlow(std::string& err);
  void publish();
  // One "PUB" line of c's next message into line (with its '\n'); its length, 0 when it does not fit.
  unsigned formatPub(Sclient& c, char* line, unsigned cap);
  // Before the numbered run: each publisher repeats a probe (sequence 0) until
  // every subscriber of its topic, on whichever relay, has seen one; from then
  // on the path between them is live and nothing may be missing.
  bool probe();
  static std::uint64_t Answered(const Sclient& c) { return c.oks.load() + c.errs.load() - c.probes.load(); }
  void onLine(Sclient& c, const char* line, unsigned len);
  void send(Sclient& c, const char* data, unsigned len) { m_net.sendData(c.nodeId, data, len); }

  Srelay_bench_opts m_opts;
  Crelay_book m_book;
  Crelay_latency m_latency;  // receiving thread until the clients stop
  Crelay_latency m_crossLatency;  // the deliveries that crossed from one relay to another
  std::vector<Srelay_bench_relay> m_relays;  // at least one
  std::unique_ptr<std::atomic<bool>[]> m_probed;  // [sub * pubs + pub]: a probe of pub reached sub
  std::atomic<unsigned> m_probedPairs{0};
  std::vector<std::unique_ptr<Sclient>> m_clients;
  Cbench_clients m_net;
  std::mutex m_lock;
  std::condition_variable m_wake;  // an answer came in
  std::atomic<unsigned> m_lostConnections{0};
  std::atomic<unsigned> m_firstFault{0};
  std::string m_burst;       // publishing thread only: one pipelined write
  std::vector<int> m_slow;   // sockets of the subscribers that never read
};

void Cbench_clients::procData(unsigned nodeId, char* data, int len) {
  unsigned client = 0;
  if (len > 0 && getUserInfo(nodeId, client) == ERR_OK) m_bench->OnBytes(client, data, static_cast<unsigned>(len));
}

void Cbench_clients::procDisconnect(unsigned nodeId) {
  unsigned client = 0;
  if (getUserInfo(nodeId, client) == ERR_OK) m_bench->OnGone(client);
}

void Cbench::OnBytes(unsigned client, const char* data, unsigned len) {
  if (client >= m_clients.size()) return;
  Sclient& c = *m_clients[client];
  c.lines.Feed(
      data, len,
      [&](const char* line, unsigned n) {
        onLine(c, line, n);
        return true;
      },
      [&] { c.errs.fetch_add(1); });
}

void Cbench::OnGone(unsigned client) {
  if (client >= m_clients.size()) return;
  if (!m_clients[client]->gone.exchange(true)) m_lostConnections.fetch_add(1);
  m_wake.notify_all();
}

void Cbench::onLine(Sclient& c, const char* line, unsigned len) {
  if (len > 0 && line[len - 1] == '\r') --len;
  if (len >= 4 && std::memcmp(line, "MSG ", 4) == 0 && !c.publisher) {
    const char* topic = line + 4;
    const char* end = line + len;
    const char* space = static_cast<const char*>(std::memchr(topic, ' ', static_cast<std::size_t>(end - topic)));
    unsigned pub = 0;
    std::uint64_t seq = 0, sentAt = 0;
    Erelay_verdict v = RELAY_DELIVERY_MALFORMED;
    if (space != nullptr && RelayBenchParse(space + 1, static_cast<unsigned>(end - space - 1), pub, seq, sentAt)) {
      if (seq == 0) {  // a probe
        if (m_book.IsExpected(c.index, pub) &&
            !m_probed[static_cast<std::size_t>(c.index) * m_opts.publishers + pub].exchange(true)) {
          m_probedPairs.fetch_add(1);
        }
        return;
      }
      v = m_book.Delivered(c.index, pub, seq);
      std::uint64_t now = NowMicros();
      m_latency.Add(now > sentAt ? now - sentAt : 0);
      unsigned pubClient = m_opts.subscribers + pub;
      if (pubClient < m_clients.size() && m_clients[pubClient]->relay != c.relay) {
        m_crossLatency.Add(now > sentAt ? now - sentAt : 0);
      }
    }
    if (v != RELAY_DELIVERY_OK) {
      unsigned none = 0;
      m_firstFault.compare_exchange_strong(none, static_cast<unsigned>(v));
    }
    return;
  }
  if (len == 2 && std::memcmp(line, "OK", 2) == 0) {
    c.oks.fetch_add(1);
  } else if (len >= 3 && std::memcmp(line, "ERR", 3) == 0) {
    c.errs.fetch_add(1);
  } else {
    return;  // PONG and the like
  }
  std::lock_guard<std::mutex> guard(m_lock);
  m_wake.notify_all();
}

bool Cbench::waitFor(const std::function<bool()>& done, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::unique_lock<std::mutex> guard(m_lock);
  while (!done()) {
    if (m_wake.wait_until(guard, std::min(deadline, Clock::now() + std::chrono::milliseconds(20))) ==
            std::cv_status::timeout &&
        Clock::now() >= deadline) {
      return done();
    }
  }
  return true;
}

bool Cbench::connectAll(std::string& err) {
  unsigned total = m_opts.subscribers + m_opts.publishers;
  m_relays = m_opts.relays;
  if (m_relays.empty()) m_relays.push_back(Srelay_bench_relay{m_opts.host, m_opts.port, m_opts.tlsPort});
  unsigned relays = static_cast<unsigned>(m_relays.size());
  m_probed.reset(new std::atomic<bool>[static_cast<std::size_t>(m_opts.subscribers) * m_opts.publishers]());
  for (unsigned i = 0; i < total; ++i) {
    auto c = std::make_unique<Sclient>();
    c->publisher = i >= m_opts.subscribers;
    c->index = c->publisher ? i - m_opts.subscribers : i;
    c->topic = c->index % m_opts.topics;
    // The subscribers of one topic land on different relays, and a topic's
    // publishers on other relays than its first subscriber.
    c->relay = (c->index / m_opts.topics + (c->publisher ? 1 : 0)) % relays;
    m_clients.push_back(std::move(c));
  }
  for (unsigned s = 0; s < m_opts.subscribers; ++s) {
    for (unsigned p = 0; p < m_opts.publishers; ++p) {
      if (s % m_opts.topics == p % m_opts.topics) m_book.Expect(s, p);
    }
  }
  for (unsigned i = 0; i < total; ++i) {
    Sclient& c = *m_clients[i];
    bool tls = !c.publisher && c.index < m_opts.tlsSubscribers;
    const Srelay_bench_relay& r = m_relays[c.relay];
    if (tls && r.tlsPort == 0) {
      err = "subscriber " + std::to_string(c.index) + " is to use TLS, but its relay has no TLS port";
      return false;
    }
    Cvlk_uaddr addr;
    if (addr.setAddress(r.host.c_str(), static_cast<unsigned short>(tls ? r.tlsPort : r.port)) != 0) {
      err = "cannot resolve " + r.host;
      return false;
    }
    EerrNo e = m_net.prepareConnect(i, addr, c.nodeId);
    if (e == ERR_OK && tls) e = m_net.startTLS(c.nodeId);
    if (e != ERR_OK) {
      err = "cannot connect client " + std::to_string(i) + (tls ? " over TLS" : "") + ": " + VlkErrNoToStr(e);
      return false;
    }
  }
  return true;
}

unsigned Cbench::formatPub(Sclient& c, char* line, unsigned cap) {
  int head = std::snprintf(line, cap, "PUB t%u ", c.topic);
  unsigned n = RelayBenchFormat(line + head, cap - static_cast<unsigned>(head) - 1, c.index, c.sent + 1, NowMicros(),
                                m_opts.payload);
  if (n == 0) return 0;
  n += static_cast<unsigned>(head);
  line[n++] = '\n';
  ++c.sent;
  return n;
}

bool Cbench::connectSlow(std::string& err) {
  for (unsigned i = 0; i < m_opts.slowSubscribers; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    // With several relays the slow subscribers go round them too.
    const Srelay_bench_relay& r = m_relays[i % m_relays.size()];
    to.sin_port = htons(static_cast<uint16_t>(r.port));
    if (fd < 0 || inet_pton(AF_INET, r.host.c_str(), &to.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
      if (fd >= 0) close(fd);
      err = "cannot connect slow subscriber " + std::to_string(i) + " (needs an IPv4 --host)";
      return false;
    }
    std::string subs;
    for (unsigned t = 0; t < m_opts.topics; ++t) subs += "SUB t" + std::to_string(t) + "\n";
    if (::send(fd, subs.data(), subs.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(subs.size())) {
      close(fd);
      err = "cannot subscribe slow subscriber " + std::to_string(i);
      return false;
    }
    m_slow.push_back(fd);  // never read from
  }
  return true;
}

void Cbench::publish() {
  char line[kRelayMaxLine + 2];
  auto stopAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_opts.seconds));
  auto nextPing = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < stopAt && m_lostConnections.load() == 0) {
    if (Clock::now() >= nextPing) {
      // Subscribers only listen: they speak now and then so as not to count as idle.
      for (auto& cp : m_clients) {
        if (!cp->publisher) send(*cp, "PING\n", 5);
      }
      nextPing += std::chrono::seconds(5);
    }
    bool sentAny = false;
    for (auto& cp : m_clients) {
      Sclient& c = *cp;
      if (!c.publisher) continue;
      if (m_opts.pipeline > 0) {
        // A burst in one write once the previous one is answered: no window
        // inside a burst, and subscribers that keep up are not outrun.
        if (c.sent != Answered(c)) continue;  // probes' answers are not the burst's
        m_burst.clear();
        for (unsigned i = 0; i < m_opts.pipeline; ++i) {
          unsigned n = formatPub(c, line, sizeof(line));
          if (n == 0) return;
          m_burst.append(line, n);
        }
        send(c, m_burst.data(), static_cast<unsigned>(m_burst.size()));
        m_book.Published(c.index, c.sent);
        sentAny = true;
        continue;
      }
      while (c.sent - Answered(c) < m_opts.window) {
        unsigned n = formatPub(c, line, sizeof(line));
        if (n == 0) return;
        send(c, line, n);
        m_book.Published(c.index, c.sent);
        sentAny = true;
      }
    }
    if (!sentAny) {
      std::unique_lock<std::mutex> guard(m_lock);
      m_wake.wait_for(guard, std::chrono::milliseconds(5));
    }
  }
}

bool Cbench::probe() {
  unsigned want = 0;
  for (unsigned s = 0; s < m_opts.subscribers; ++s) {
    for (unsigned p = 0; p < m_opts.publishers; ++p) want += m_book.IsExpected(s, p) ? 1 : 0;
  }
  auto deadline = Clock::now() + std::chrono::seconds(20);
  char line[160];
  while (m_probedPairs.load() < want) {
    if (Clock::now() > deadline || m_lostConnections.load() != 0) return false;
    for (auto& cp : m_clients) {
      Sclient& c = *cp;
      if (!c.publisher) continue;
      bool missing = false;
      for (unsigned s = 0; s < m_opts.subscribers && !missing; ++s) {
        missing = m_book.IsExpected(s, c.index) &&
                  !m_probed[static_cast<std::size_t>(s) * m_opts.publishers + c.index].load();
      }
      if (!missing) continue;
      int head = std::snprintf(line, sizeof(line), "PUB t%u ", c.topic);
      unsigned n = RelayBenchFormat(line + head, sizeof(line) - static_cast<unsigned>(head) - 1, c.index, 0,
                                    NowMicros(), 0);
      n += static_cast<unsigned>(head);
      line[n++] = '\n';
      c.probes.fetch_add(1);
      send(c, line, n);
    }
    std::unique_lock<std::mutex> guard(m_lock);
    m_wake.wait_for(guard, std::chrono::milliseconds(50));
  }
  // Every probe is answered before the numbered run counts its window.
  return waitFor(
      [&] {
        for (auto& cp : m_clients) {
          if (cp->publisher && cp->oks.load() + cp->errs.load() < cp->probes.load()) return false;
        }
        return true;
      },
      20);
}

int Cbench::Run(FILE* out, Srelay_bench_figures& fig) {
  m_net.start();
  std::string err;
  if (!connectAll(err) || !connectSlow(err)) {
    std::fprintf(out, "bench: %s\n", err.c_str());
    for (int fd : m_slow) close(fd);
    return 1;
  }
  // Every connection speaks at once: the relay's idle check takes a connection
  // that has never said anything for a silent one.
  for (auto& cp : m_clients) send(*cp, "PING\n", 5);
  for (auto& cp : m_clients) {
    if (cp->publisher) continue;
    char line[80];
    int n = std::snprintf(line, sizeof(line), "SUB t%u\n", cp->topic);
    send(*cp, line, static_cast<unsigned>(n));
  }
  bool subscribed = waitFor(
      [&] {
        for (auto& cp : m_clients) {
          if (!cp->publisher && cp->oks.load() < 1) return false;
        }
        return true;
      },
      20);
  if (!subscribed) {
    std::fprintf(out, "bench: the subscriptions were not all confirmed\n");
    return 1;
  }
  if (!probe()) {
    std::fprintf(out, "bench: probes did not reach every subscriber of their topic within 20 s (%u of the pairs)\n",
                 m_probedPairs.load());
    return 1;
  }
  auto begin = Clock::now();
  publish();
  double pubSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
  bool answered = waitFor(
      [&] {
        for (auto& cp : m_clients) {
          if (cp->publisher && Answered(*cp) < cp->sent) return false;
        }
        return true;
      },
      20);
  bool drained = waitFor([&] { return m_book.Received() + m_book.Faults() >= m_book.ExpectedDeliveries(); }, 20);
  double allSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
  for (auto& cp : m_clients) m_net.closeConnect(cp->nodeId);
  m_net.stop();
  for (int fd : m_slow) close(fd);

  std::uint64_t published = 0, errors = 0, unanswered = 0;
  for (auto& cp : m_clients) {
    if (cp->publisher) {
      published += cp->sent;
      std::uint64_t answered = Answered(*cp);
      if (cp->sent > answered) unanswered += cp->sent - answered;
    }
    errors += cp->errs.load();
  }
  std::uint64_t delivered = m_book.Received();
  std::uint64_t missing = m_book.Missing();
  std::uint64_t faults = m_book.Faults();
  unsigned lost = m_lostConnections.load();
  bool ok = answered && drained && missing == 0 && faults == 0 && errors == 0 && lost == 0 && unanswered == 0 &&
            published > 0;
  fig.publishedPerSec = pubSeconds > 0 ? static_cast<double>(published) / pubSeconds : 0.0;
  fig.deliveredPerSec = allSeconds > 0 ? static_cast<double>(delivered) / allSeconds : 0.0;
  fig.delivered = delivered;
  fig.expected = m_book.ExpectedDeliveries();
  fig.p50Micros = m_latency.Quantile(0.5);
  fig.p99Micros = m_latency.Quantile(0.99);
  fig.crossP50Micros = m_crossLatency.Quantile(0.5);
  fig.crossP99Micros = m_crossLatency.Quantile(0.99);
  fig.crossDelivered = m_crossLatency.Count();
  fig.lost = missing;
  fig.faults = faults;
  fig.refused = errors;
  fig.unanswered = unanswered;
  fig.connectionsLost = lost;

  char mode[64];
  if (m_opts.pipeline > 0) {
    std::snprintf(mode, sizeof(mode), "pipelined %u per write", m_opts.pipeline);
  } else {
    std::snprintf(mode, sizeof(mode), "window %u", m_opts.window);
  }
  std::fprintf(out, "vlk-relay bench: %u subscribers (%u over TLS, %u never reading), %u publishers, %u topics, "
               "%u-byte texts, %s, %.1f s\n",
               m_opts.subscribers, m_opts.tlsSubscribers, m_opts.slowSubscribers, m_opts.publishers, m_opts.topics,
               m_opts.payload, mode, m_opts.seconds);
  std::fprintf(out, "  published   %10llu messages     %10.0f msg/s\n", static_cast<unsigned long long>(published),
               fig.publishedPerSec);
  std::fprintf(out, "  delivered   %10llu deliveries   %10.0f msg/s  (of %llu expected)\n",
               static_cast<unsigned long long>(delivered), fig.deliveredPerSec,
               static_cast<unsigned long long>(m_book.ExpectedDeliveries()));
  std::fprintf(out, "  latency     median %llu us, p99 %llu us, max %llu us (healthy subscribers)\n",
               static_cast<unsigned long long>(m_latency.Quantile(0.5)),
               static_cast<unsigned long long>(m_latency.Quantile(0.99)),
               static_cast<unsigned long long>(m_latency.Max()));
  if (m_relays.size() > 1) {
    std::fprintf(out, "  relays      %zu; %llu deliveries crossed relays: median %llu us, p99 %llu us\n",
                 m_relays.size(), fig.crossDelivered, fig.crossP50Micros, fig.crossP99Micros);
  }
  std::fprintf(out, "  lost %llu, duplicated or reordered %llu, unanswered %llu, refused %llu, connections lost %u\n",
               static_cast<unsigned long long>(missing), static_cast<unsigned long long>(faults),
               static_cast<unsigned long long>(unanswered), static_cast<unsigned long long>(errors), lost);
  std::fprintf(out, "  result: %s\n",
               ok ? "OK: every message reached every subscriber of its topic exactly once, in order"
                  : "FAILED");
  return ok ? 0 : 1;
}

void PrintPoolTable(const std::string& stats, FILE* out) {
  std::fprintf(out, "message pool (from the relay's STATS):\n");
  std::fprintf(out, "  %-6s %6s %6s %6s\n", "class", "size", "real", "idle");
  std::size_t at = 0;
  while (at < stats.size()) {
    std::size_t nl = stats.find('\n', at);
    if (nl == std::string::npos) nl = stats.size();
    std::string line = stats.substr(at, nl - at);
    at = nl + 1;
    char name[32];
    unsigned size = 0, real = 0, idle = 0, value = 0;
    if (std::sscanf(line.c_str(), "pool %31s size=%u real=%u idle=%u", name, &size, &real, &idle) == 4) {
      std::fprintf(out, "  %-6s %6u %6u %6u\n", name, size, real, idle);
    } else if (std::sscanf(line.c_str(), "stat %31s %u", name, &value) == 2) {
      if (value != 0) std::fprintf(out, "  %-30s %u\n", name, value);
    } else if (line.rfind("connections", 0) == 0 || line.rfind("relay", 0) == 0 || line.rfind("flow", 0) == 0 ||
               line.rfind("cluster", 0) == 0 || line.rfind("queue", 0) == 0) {
      std::fprintf(out, "  %s\n", line.c_str());
    }
  }
}

}  // namespace

const char* const kRelayBenchUsage =
    "bench options: --host=H --port=N --tls-port=N --udp-port=N --subscribers=N --publishers=N\n"
    "               --topics=N --seconds=S --window=N --payload=BYTES --tls-subscribers=N\n"
    "               --pipeline=N (N requests per write, no window) --slow-subscribers=N (never read)\n"
    "               --relay=HOST:PORT[:TLSPORT] (repeated: clients spread over relays that share topics)\n";

bool RelayBenchOption(int argc, char** argv, int& i, Srelay_bench_opts& o, std::string& err) {
  std::string arg = argv[i];
  std::string name = arg, value;
  std::size_t eq = arg.find('=');
  if (eq != std::string::npos) {
    name = arg.substr(0, eq);
    value = arg.substr(eq + 1);
  } else if (i + 1 < argc) {
    value = argv[++i];
  } else {
    err = "missing value for " + arg;
    return false;
  }
  char* end = nullptr;
  double num = std::strtod(value.c_str(), &end);
  bool isNum = !value.empty() && end != nullptr && *end == '\0' && num >= 0;
  auto setU = [&](unsigned& field, unsigned min, unsigned max) {
    if (!isNum || num < min || num > max || num != static_cast<double>(static_cast<unsigned>(num))) {
      err = name + " wants a whole number from " + std::to_string(min) + " to " + std::to_string(max);
      return false;
    }
    field = static_cast<unsigned>(num);
    return true;
  };
  if (name == "--host") {
    o.host = value;
    return true;
  }
  if (name == "--seconds") {
    if (!isNum || num <= 0 || num > 3600) {
      err = "--seconds wants a duration in seconds";
      return false;
    }
    o.seconds = num;
    return true;
  }
  if (name == "--relay") {
    // host:port[:tlsport], or [v6 address]:port[:tlsport]
    Srelay_bench_relay r;
    std::string rest = value;
    if (!rest.empty() && rest[0] == '[') {
      std::size_t close = rest.find(']');
      if (close == std::string::npos) rest.clear();
      r.host = rest.substr(1, close == std::string::npos ? 0 : close - 1);
      rest = close == std::string::npos || close + 1 >= rest.size() ? std::string() : rest.substr(close + 1);
    } else {
      std::size_t colon = rest.find(':');
      r.host = rest.substr(0, colon);
      rest = colon == std::string::npos ? std::string() : rest.substr(colon);
    }
    unsigned ports[2] = {0, 0};
    unsigned count = 0;
    while (!rest.empty() && rest[0] == ':' && count < 2) {
      std::size_t next = rest.find(':', 1);
      std::string p = rest.substr(1, next == std::string::npos ? std::string::npos : next - 1);
      char* pe = nullptr;
      unsigned long v = std::strtoul(p.c_str(), &pe, 10);
      if (p.empty() || *pe != '\0' || v == 0 || v > 65535) break;
      ports[count++] = static_cast<unsigned>(v);
      rest = next == std::string::npos ? std::string() : rest.substr(next);
    }
    if (r.host.empty() || count == 0 || !rest.empty()) {
      err = "--relay wants HOST:PORT or HOST:PORT:TLSPORT, not \"" + value + "\"";
      return false;
    }
    r.port = ports[0];
    r.tlsPort = ports[1];
    o.relays.push_back(r);
    return true;
  }
  if (name == "--port") return setU(o.port, 1, 65535);
  if (name == "--tls-port") return setU(o.tlsPort, 1, 65535);
  if (name == "--udp-port") {
    o.udpGiven = true;
    return setU(o.udpPort, 0, 65535);
  }
  if (name == "--subscribers") return setU(o.subscribers, 1, 500);
  if (name == "--publishers") return setU(o.publishers, 1, 500);
  if (name == "--topics") return setU(o.topics, 1, 1000);
  if (name == "--window") return setU(o.window, 1, 10000);
  if (name == "--payload") return setU(o.payload, 0, 900);
  if (name == "--tls-subscribers") return setU(o.tlsSubscribers, 0, 500);
  if (name == "--pipeline") return setU(o.pipeline, 0, 100000);
  if (name == "--slow-subscribers") return setU(o.slowSubscribers, 0, 100);
  err = "unknown option " + name;
  return false;
}

std::string RelayQueryStats(const std::string& host, unsigned udpPort, unsigned timeoutMs) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return std::string();
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(udpPort));
  std::string reply;
  if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) == 1 &&
      sendto(s, "STATS", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 5) {
    char buf[4097];
    ssize_t n = recv(s, buf, sizeof(buf) - 1, 0);
    if (n > 0) reply.assign(buf, static_cast<std::size_t>(n));
  }
  close(s);
  return reply;
}

int RelayRunBench(const Srelay_bench_opts& opts, FILE* out, Srelay_bench_figures* figures) {
  if (opts.tlsSubscribers > opts.subscribers || (opts.tlsSubscribers > 0 && opts.tlsPort == 0 && opts.relays.empty())) {
    std::fprintf(out, "bench: --tls-subscribers needs --tls-port and at most --subscribers\n");
    return 1;
  }
  int rc = 1;
  {
    Cbench bench(opts);
    Srelay_bench_figures fig;
    rc = bench.Run(out, fig);
    if (figures != nullptr) *figures = fig;
  }
  // With several relays the STATS port is that of the first, and only when given.
  bool askStats = opts.udpPort != 0 && (opts.relays.empty() || opts.udpGiven);
  if (askStats) {
    std::string stats = RelayQueryStats(opts.relays.empty() ? opts.host : opts.relays[0].host, opts.udpPort, 5000);
    if (stats.empty()) {
      std::fprintf(out, "bench: no answer to STATS on UDP port %u\n", opts.udpPort);
      rc = 1;
    } else {
      PrintPoolTable(stats, out);
    }
  }
  std::fflush(out);
  return rc;
}
