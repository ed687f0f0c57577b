// The load clients of the echo comparison, the same code whichever server
// answers: one thread and one epoll set for plain TCP and UDP (plus a paced
// probe thread for the latency cases), a thread per connection for TLS.
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "bench_harness.h"
#include "compare_net.h"

namespace netbench {
namespace {

constexpr std::size_t kMaxSamples = 1 << 22;
constexpr std::int64_t kMs = 1000000;

int Connect(int type, unsigned short port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The message a socket sends with sequence number seq: seq, the socket's index,
// then a pattern of both, so that a misplaced or stale byte is caught.
void Fill(std::vector<char>& msg, std::uint64_t seq, unsigned index) {
  std::memcpy(msg.data(), &seq, std::min<std::size_t>(8, msg.size()));
  for (std::size_t i = 8; i < msg.size(); ++i) msg[i] = static_cast<char>(seq * 131 + index * 7 + i);
}

// Marks the start and the end of the measured stretch, sampling the server.
class Stretch {
 public:
  Stretch(ServerProcess& server, const LoadShape& shape)
      : m_server(server),
        m_warmEnd(vlkbench::NowNs() + static_cast<std::int64_t>(shape.warmSeconds * 1e9)),
        m_span(static_cast<std::int64_t>(shape.seconds * 1e9)) {}
  // Called as the loop goes round; false once the measured stretch is over.
  bool Tick(std::int64_t now, LoadResult& r, std::vector<std::int64_t>& lat) {
    if (!m_measuring && now >= m_warmEnd) {
      m_measuring = true;
      m_start = now;
      r.echoes = 0;
      lat.clear();
      m_sampled = m_server.Sample(m_cpu0, m_allocs0);
      m_clientCpu0 = vlkbench::ProcessCpuSeconds();
    }
    if (m_measuring && now >= m_start + m_span) {
      double cpu = 0;
      std::uint64_t allocs = 0;
      m_sampled = m_sampled && m_server.Sample(cpu, allocs, &r.serverRssKiB);
      r.elapsed = static_cast<double>(now - m_start) / 1e9;
      r.serverCpu = cpu - m_cpu0;
      r.clientCpu = vlkbench::ProcessCpuSeconds() - m_clientCpu0;
      r.serverAllocs = allocs - m_allocs0;
      return false;
    }
    return true;
  }
  bool Measuring() const { return m_measuring; }
  bool Sampled() const { return m_sampled; }

 private:
  ServerProcess& m_server;
  std::int64_t m_warmEnd, m_span, m_start = 0;
  bool m_measuring = false, m_sampled = false;
  double m_cpu0 = 0, m_clientCpu0 = 0;
  std::uint64_t m_allocs0 = 0;
};

std::string Count(const char* what, std::uint64_t n) { return std::to_string(n) + " " + what; }

// Ends a run: lets the server finish, takes the p99 and writes the verdict;
// `none` names what the stretch lacked, `counted` what was verified.
void Conclude(ServerProcess& server, bool sampled, std::vector<std::int64_t>& lat, const std::string& fault,
              const char* none, const std::string& counted, LoadResult& r) {
  std::string detail;
  const bool drained = server.Finish(detail);
  r.p99Micros = vlkbench::Percentile(lat, 0.99) / 1e3;
  if (!fault.empty()) {
    r.check = fault + "; " + detail;
  } else if (!sampled || r.echoes == 0) {
    r.check = std::string(none) + " in the measured stretch, or no server sample; " + detail;
  } else {
    r.ok = drained;
    r.check = counted + ", " + Count("server heap allocations under load", r.serverAllocs) + "; " + detail;
  }
}

}  // namespace

bool RaiseFileLimit(unsigned n) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur >= n) return true;
  rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= n ? n : rl.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur >= n;
}

// One more connection, on a thread of its own, paced open loop: a request
// every 1/rate seconds whatever the server does. A request that cannot leave
// on time (the previous answer is late) leaves at the answer, and its latency
// still counts from when it was due, so a stall shows in every request it
// delayed (coordinated omission corrected). Idle when shape.probeRate is 0.
class Probe {
 public:
  Probe(unsigned short port, const LoadShape& shape) : m_size(shape.size) {
    if (shape.probeRate <= 0) return;
    m_interval = static_cast<std::int64_t>(1e9 / shape.probeRate);
    m_lat.reserve(kMaxSamples);
    m_fd = Connect(SOCK_STREAM, port);
    if (m_fd < 0) {
      m_fault = "connect failed";
      return;
    }
    timeval wait{3, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    m_thread = std::thread([this] { Run(); });
  }
  ~Probe() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) ::close(m_fd);
  }
  // Whether answers now count (the measured stretch).
  void Measure(bool on) { m_measure.store(on, std::memory_order_relaxed); }
  // Stops the probe and puts its percentiles into r; false on a fault.
  bool Finish(LoadResult& r) {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    r.probes = m_lat.size();
    r.probeP50Micros = vlkbench::Percentile(m_lat, 0.5) / 1e3;
    r.probeP99Micros = vlkbench::Percentile(m_lat, 0.99) / 1e3;
    r.probeP999Micros = vlkbench::Percentile(m_lat, 0.999) / 1e3;
    if (m_fault.empty() && m_interval > 0 && m_lat.empty()) m_fault = "no answer in the measured stretch";
    return m_fault.empty();
  }
  const std::string& Fault() const { return m_fault; }

 private:
  void Run() {
    std::vector<char> msg(m_size), rx(m_size);
    std::int64_t due = vlkbench::NowNs();
    for (std::uint64_t seq = 1; !m_stop.load(std::memory_order_relaxed); ++seq, due += m_interval) {
      const std::int64_t early = due - vlkbench::NowNs();
      if (early > 0) {
        const timespec nap{static_cast<time_t>(early / 1000000000), static_cast<long>(early % 1000000000)};
        ::nanosleep(&nap, nullptr);
      }
      Fill(msg, seq, 1u << 16);
      std::size_t got = 0;
      bool ok = ::send(m_fd, msg.data(), m_size, MSG_NOSIGNAL) == static_cast<ssize_t>(m_size);
      while (ok && got < m_size) {
        const ssize_t n = ::recv(m_fd, rx.data() + got, m_size - got, 0);
        ok = n > 0;
        if (ok) got += static_cast<std::size_t>(n);
      }
      if (!ok || std::memcmp(rx.data(), msg.data(), m_size) != 0) {
        m_fault = "no byte-exact echo";
        return;
      }
      if (m_measure.load(std::memory_order_relaxed) && m_lat.size() < kMaxSamples) {
        m_lat.push_back(vlkbench::NowNs() - due);
      }
    }
  }

  std::size_t m_size;
  std::int64_t m_interval = 0;
  int m_fd = -1;
  std::vector<std::int64_t> m_lat;  // written by the probe thread until Finish joins it
  std::string m_fault;              // likewise
  std::atomic<bool> m_stop{false}, m_measure{false};
  std::thread m_thread;
};

LoadResult DriveTcp(ServerProcess& server, const LoadShape& shape) {
  struct Conn {
    int fd = -1;
    std::uint64_t seq = 0;
    std::size_t got = 0;
    std::int64_t sentAt = 0;
    bool inFlight = false;
    std::vector<char> msg;
  };
  LoadResult r;
  std::vector<int> idle;
  std::vector<Conn> conns(shape.sockets);
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  auto cleanup = [&] {
    for (int fd : idle) ::close(fd);
    for (Conn& c : conns)
      if (c.fd >= 0) ::close(c.fd);
    ::close(ep);
  };
  for (unsigned i = 0; i < shape.idle; ++i) {
    const int fd = Connect(SOCK_STREAM, server.Port());
    if (fd < 0) {
      r.check = "idle connection " + std::to_string(i) + " failed: " + std::strerror(errno);
      cleanup();
      return r;
    }
    idle.push_back(fd);
  }
  for (unsigned i = 0; i < shape.sockets; ++i) {
    Conn& c = conns[i];
    c.fd = Connect(SOCK_STREAM, server.Port());
    if (c.fd < 0) {
      r.check = "connection " + std::to_string(i) + " failed: " + std::strerror(errno);
      cleanup();
      return r;
    }
    c.msg.resize(shape.size);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
  }
  std::vector<std::int64_t> lat;
  lat.reserve(kMaxSamples);
  std::vector<char> rx(shape.size);
  std::string fault;
  unsigned inFlight = 0;
  auto send = [&](Conn& c, unsigned index) {
    Fill(c.msg, ++c.seq, index);
    c.got = 0;
    c.sentAt = vlkbench::NowNs();
    std::size_t off = 0;
    while (off < c.msg.size()) {
      const ssize_t n = ::send(c.fd, c.msg.data() + off, c.msg.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<std::size_t>(n);
    }
    c.inFlight = true;
    ++inFlight;
    return true;
  };
  for (unsigned i = 0; i < shape.sockets && fault.empty(); ++i)
    if (!send(conns[i], i)) fault = "send failed";
  Stretch stretch(server, shape);
  bool loading = true;
  std::int64_t drainUntil = 0;
  Probe probe(server.Port(), shape);
  std::vector<epoll_event> events(std::max(1u, shape.sockets));
  while (fault.empty()) {
    const std::int64_t now = vlkbench::NowNs();
    if (loading && !stretch.Tick(now, r, lat)) {
      loading = false;
      drainUntil = now + 3000 * kMs;
    }
    probe.Measure(stretch.Measuring() && loading);
    if (!loading && (inFlight == 0 || now >= drainUntil)) break;
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 10);
    for (int e = 0; e < n && fault.empty(); ++e) {
      const unsigned index = events[e].data.u32;
      Conn& c = conns[index];
      const ssize_t got = ::recv(c.fd, rx.data(), c.msg.size() - c.got, MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0 || !c.inFlight) {
        fault = "connection " + std::to_string(index) + (got <= 0 ? " closed by the server" : " got bytes unasked");
        break;
      }
      if (std::memcmp(rx.data(), c.msg.data() + c.got, static_cast<std::size_t>(got)) != 0) {
        fault = "connection " + std::to_string(index) + ": echo differs from what was sent";
        break;
      }
      c.got += static_cast<std::size_t>(got);
      if (c.got < c.msg.size()) continue;
      c.inFlight = false;
      --inFlight;
      if (stretch.Measuring() && loading) {
        ++r.echoes;
        if (lat.size() < kMaxSamples) lat.push_back(vlkbench::NowNs() - c.sentAt);
      }
      if (loading && !send(c, index)) fault = "send failed";
    }
  }
  if (!probe.Finish(r) && fault.empty()) fault = "paced connection: " + probe.Fault();
  // An idle connection must still be open and silent.
  for (std::size_t i = 0; i < idle.size() && fault.empty(); ++i) {
    char b;
    const ssize_t got = ::recv(idle[i], &b, 1, MSG_DONTWAIT);
    if (!(got < 0 && errno == EAGAIN)) fault = "idle connection " + std::to_string(i) + " was closed or spoke";
  }
  cleanup();
  std::string detail;
  const bool drained = server.Finish(detail);
  r.p99Micros = vlkbench::Percentile(lat, 0.99) / 1e3;
  if (!fault.empty()) {
    r.check = fault;
  } else if (inFlight != 0) {
    r.check = Count("echoes never came back", inFlight);
  } else if (!stretch.Sampled()) {
    r.check = "could not sample the server process";
  } else if (r.echoes == 0 && r.probes == 0) {
    r.check = "no echo in the measured stretch";
  } else {
    r.ok = drained;
    r.check = Count("echoes byte-checked, none lost", r.echoes) + ", " + Count("paced probes", r.probes) + ", " +
              Count("server heap allocations under load", r.serverAllocs) + "; " + detail;
    return r;
  }
  r.check += "; " + detail;
  return r;
}

LoadResult DriveConnect(ServerProcess& server, const LoadShape& shape) {
  LoadResult r;
  std::vector<std::int64_t> lat;
  lat.reserve(kMaxSamples);
  std::vector<char> msg(shape.size), rx(shape.size);
  std::string fault;
  std::uint64_t seq = 0;
  Stretch stretch(server, shape);
  while (fault.empty()) {
    const std::int64_t start = vlkbench::NowNs();
    if (!stretch.Tick(start, r, lat)) break;
    const int fd = Connect(SOCK_STREAM, server.Port());
    if (fd < 0) {
      fault = std::string("connect failed: ") + std::strerror(errno);
      break;
    }
    timeval wait{3, 0};  // a server that does not answer fails the run, it does not hang it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    Fill(msg, ++seq, 0);
    std::size_t got = 0;
    const bool sent = ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size());
    while (sent && got < msg.size()) {
      const ssize_t n = ::recv(fd, rx.data() + got, msg.size() - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    // Closed with a reset, so that no TIME_WAIT socket is left behind to use up
    // the ephemeral ports over a run of tens of thousands of connections.
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
    if (!sent || got != msg.size() || std::memcmp(rx.data(), msg.data(), msg.size()) != 0) {
      fault = "connection " + std::to_string(seq) + ": no byte-exact echo";
      break;
    }
    if (stretch.Measuring()) {
      ++r.echoes;
      if (lat.size() < kMaxSamples) lat.push_back(vlkbench::NowNs() - start);
    }
  }
  Conclude(server, stretch.Sampled(), lat, fault, "no connection", Count("connections each echoed byte-exact", r.echoes), r);
  return r;
}

LoadResult DriveUdp(ServerProcess& server, const LoadShape& shape) {
  constexpr unsigned kRing = 256;  // sends remembered per socket
  struct Slot {
    std::uint64_t seq = 0;
    std::int64_t sentAt = 0;
    bool pending = false;
  };
  struct Sock {
    int fd = -1;
    std::uint64_t seq = 0;
    unsigned pending = 0;
    std::vector<Slot> ring{kRing};
  };
  LoadResult r;
  std::vector<Sock> socks(shape.sockets);
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<char> msg(shape.size), expect(shape.size), rx(shape.size + 1);
  std::vector<std::int64_t> lat;
  lat.reserve(kMaxSamples);
  std::string fault;
  std::uint64_t late = 0;
  bool loading = true;
  auto send = [&](Sock& s, unsigned index) {
    const std::uint64_t seq = ++s.seq;
    Slot& slot = s.ring[seq % kRing];
    if (slot.pending) {  // unanswered for kRing sends: lost
      ++r.lost;
      --s.pending;
    }
    Fill(msg, seq, index);
    slot.seq = seq;
    slot.sentAt = vlkbench::NowNs();
    slot.pending = true;
    ++s.pending;
    ++r.sent;
    // A datagram the socket refuses (buffer full) is simply lost, as on a wire.
    ::send(s.fd, msg.data(), msg.size(), MSG_DONTWAIT);
  };
  for (unsigned i = 0; i < shape.sockets && fault.empty(); ++i) {
    socks[i].fd = Connect(SOCK_DGRAM, server.Port());
    if (socks[i].fd < 0) {
      fault = "UDP socket failed";
      break;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, socks[i].fd, &ev);
  }
  for (unsigned i = 0; i < shape.sockets && fault.empty(); ++i)
    for (unsigned w = 0; w < shape.window; ++w) send(socks[i], i);
  Stretch stretch(server, shape);
  std::int64_t drainUntil = 0, nextSweep = vlkbench::NowNs() + 20 * kMs;
  std::vector<epoll_event> events(shape.sockets);
  while (fault.empty()) {
    const std::int64_t now = vlkbench::NowNs();
    if (loading && !stretch.Tick(now, r, lat)) {
      loading = false;
      drainUntil = now + 300 * kMs;
    }
    if (!loading) {
      unsigned pending = 0;
      for (const Sock& s : socks) pending += s.pending;
      if (pending == 0 || now >= drainUntil) break;
    }
    if (loading && now >= nextSweep) {
      // Unanswered for 200 ms: lost; a fresh datagram keeps the window full.
      nextSweep = now + 20 * kMs;
      for (unsigned i = 0; i < socks.size(); ++i)
        for (Slot& slot : socks[i].ring)
          if (slot.pending && now - slot.sentAt > 200 * kMs) {
            slot.pending = false;
            --socks[i].pending;
            ++r.lost;
            send(socks[i], i);
          }
    }
    const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 10);
    for (int e = 0; e < n && fault.empty(); ++e) {
      const unsigned index = events[e].data.u32;
      Sock& s = socks[index];
      for (int burst = 0; burst < 16; ++burst) {
        const ssize_t got = ::recv(s.fd, rx.data(), rx.size(), MSG_DONTWAIT);
        if (got < 0) break;
        std::uint64_t seq = 0;
        if (static_cast<std::size_t>(got) == shape.size) {
          std::memcpy(&seq, rx.data(), std::min<std::size_t>(8, shape.size));
          Fill(expect, seq, index);
        }
        if (static_cast<std::size_t>(got) != shape.size || seq == 0 || seq > s.seq ||
            std::memcmp(rx.data(), expect.data(), shape.size) != 0) {
          fault = "socket " + std::to_string(index) + ": echo differs from anything sent";
          break;
        }
        Slot& slot = s.ring[seq % kRing];
        if (!slot.pending || slot.seq != seq) {  // already counted lost
          ++late;
          continue;
        }
        slot.pending = false;
        --s.pending;
        if (stretch.Measuring() && loading) {
          ++r.echoes;
          if (lat.size() < kMaxSamples) lat.push_back(vlkbench::NowNs() - slot.sentAt);
        }
        if (loading) send(s, index);
      }
    }
  }
  for (Sock& s : socks) {
    r.lost += s.pending;
    if (s.fd >= 0) ::close(s.fd);
  }
  ::close(ep);
  Conclude(server, stretch.Sampled(), lat, fault, "no echo",
           Count("echoes byte-checked", r.echoes) + ", " + Count("sent", r.sent) + ", " + Count("lost", r.lost) +
               " (" + Count("came back late", late) + ")",
           r);
  return r;
}

namespace {

// One client thread's TLS connection(s) and what it saw.
struct TlsWorker {
  std::vector<std::int64_t> lat;
  std::uint64_t done = 0;  // echoes (or connections) in the measured stretch
  std::string fault;
};

// A blocking TLS connection to the server, handshake done; null (with fault) on failure.
SSL* TlsConnect(SSL_CTX* ctx, unsigned short port, std::string& fault) {
  const int fd = Connect(SOCK_STREAM, port);
  if (fd < 0) {
    fault = std::string("connect failed: ") + std::strerror(errno);
    return nullptr;
  }
  timeval wait{3, 0};  // a server that does not answer fails the run, it does not hang it
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (SSL_connect(ssl) != 1) {
    fault = "TLS handshake failed";
    SSL_free(ssl);
    ::close(fd);
    return nullptr;
  }
  return ssl;
}

// Closes without close_notify and with a reset (no TIME_WAIT left behind).
void TlsDrop(SSL* ssl) {
  const int fd = SSL_get_fd(ssl);
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  SSL_free(ssl);
  ::close(fd);
}

// One echo of msg over ssl; false unless it came back byte-exact.
bool TlsEcho(SSL* ssl, const std::vector<char>& msg, std::vector<char>& rx) {
  if (SSL_write(ssl, msg.data(), static_cast<int>(msg.size())) != static_cast<int>(msg.size())) return false;
  std::size_t got = 0;
  while (got < msg.size()) {
    const int n = SSL_read(ssl, rx.data() + got, static_cast<int>(msg.size() - got));
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return std::memcmp(rx.data(), msg.data(), msg.size()) == 0;
}

}  // namespace

LoadResult DriveTls(ServerProcess& server, const LoadShape& shape, bool handshakes) {
  LoadResult r;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);  // our own throwaway certificate on loopback
  // 0 warming up, 1 measuring, 2 stopping.
  std::atomic<int> phase{0};
  const unsigned threads = handshakes ? 1 : shape.sockets;
  std::vector<TlsWorker> workers(threads);
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      TlsWorker& w = workers[t];
      w.lat.reserve(kMaxSamples / threads);
      std::vector<char> msg(shape.size), rx(shape.size);
      SSL* ssl = handshakes ? nullptr : TlsConnect(ctx, server.Port(), w.fault);
      for (std::uint64_t seq = 1; w.fault.empty() && phase.load() != 2; ++seq) {
        const std::int64_t start = vlkbench::NowNs();
        if (handshakes && (ssl = TlsConnect(ctx, server.Port(), w.fault)) == nullptr) break;
        Fill(msg, seq, t);
        if (!TlsEcho(ssl, msg, rx)) w.fault = "no byte-exact echo";
        if (handshakes) TlsDrop(ssl);
        if (w.fault.empty() && phase.load(std::memory_order_relaxed) == 1) {
          ++w.done;
          if (w.lat.size() < kMaxSamples / threads) w.lat.push_back(vlkbench::NowNs() - start);
        }
      }
      if (!handshakes && ssl != nullptr) TlsDrop(ssl);
    });
  }
  double cpu0 = 0, cpu1 = 0, client0 = 0;
  std::uint64_t allocs0 = 0, allocs1 = 0;
  std::this_thread::sleep_for(std::chrono::duration<double>(shape.warmSeconds));
  bool sampled = server.Sample(cpu0, allocs0);
  client0 = vlkbench::ProcessCpuSeconds();
  const std::int64_t t0 = vlkbench::NowNs();
  phase.store(1);
  std::this_thread::sleep_for(std::chrono::duration<double>(shape.seconds));
  phase.store(2);
  const std::int64_t t1 = vlkbench::NowNs();
  r.clientCpu = vlkbench::ProcessCpuSeconds() - client0;
  sampled = server.Sample(cpu1, allocs1, &r.serverRssKiB) && sampled;
  r.serverCpu = cpu1 - cpu0;
  r.serverAllocs = allocs1 - allocs0;
  r.elapsed = static_cast<double>(t1 - t0) / 1e9;
  for (std::thread& t : pool) t.join();
  SSL_CTX_free(ctx);
  std::vector<std::int64_t> lat;
  std::string fault;
  for (TlsWorker& w : workers) {
    r.echoes += w.done;
    lat.insert(lat.end(), w.lat.begin(), w.lat.end());
    if (fault.empty() && !w.fault.empty()) fault = w.fault;
  }
  Conclude(server, sampled, lat, fault, handshakes ? "no connection" : "no echo",
           Count(handshakes ? "TLS connections each echoed byte-exact" : "TLS echoes byte-checked", r.echoes), r);
  return r;
}

}  // namespace netbench
