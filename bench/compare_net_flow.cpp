// Flow control on loopback: (1) echo round trips of healthy clients with and
// without slow consumers beside them (peers that upload and never read), and
// (2) broadcast fan-out to 64 and 512 connections. vlk2's TCP server against a
// single-thread Boost.Asio server that keeps its own write queue per
// connection (async_write of the front, a slow consumer closed past 4 MiB).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_harness.h"
#include "vlk_net.h"

#ifdef VLK_BENCH_HAVE_ASIO
#include <boost/asio.hpp>
#endif

namespace {

constexpr std::size_t kSlowLimit = 4u << 20;  // both contestants close a slow consumer past this

// A server under test: echoes (or not) and broadcasts from another thread.
class FlowServer {
 public:
  virtual ~FlowServer() = default;
  virtual unsigned short Port() const = 0;
  // Queues msg for every connection; returns at once.
  virtual void Broadcast(const char* data, std::size_t len) = 0;
  // Connections accepted so far.
  virtual unsigned Accepted() = 0;
};

class VlkFlow : public Cvlk_tcp_server, public FlowServer {
 public:
  explicit VlkFlow(bool echo) : Cvlk_tcp_server(1024, nullptr), m_echo(echo) {
    setOutputBudget(std::size_t{512} << 20);
    bindAnyPort(m_port);
    start();
  }
  ~VlkFlow() override { stop(); }
  unsigned short Port() const override { return m_port; }
  void Broadcast(const char* data, std::size_t len) override { broadcast(data, static_cast<unsigned int>(len)); }
  unsigned Accepted() override { return getBusyNodes(); }

 protected:
  void procData(unsigned int nodeId, Cvlk_uaddr, int len, char* data) override {
    if (m_echo && len > 0) sendTo(nodeId, data, static_cast<unsigned int>(len));
  }

 private:
  bool m_echo;
  unsigned short m_port = 0;
};

#ifdef VLK_BENCH_HAVE_ASIO
namespace asio = boost::asio;
using asio::ip::tcp;

class AsioSession : public std::enable_shared_from_this<AsioSession> {
 public:
  AsioSession(tcp::socket s, bool echo) : m_socket(std::move(s)), m_echo(echo) {}
  void Read() {
    auto self = shared_from_this();
    m_socket.async_read_some(asio::buffer(m_buf), [self](boost::system::error_code ec, std::size_t n) {
      if (ec) return self->Close();
      if (self->m_echo) self->Send(std::make_shared<std::string>(self->m_buf, n));
      self->Read();
    });
  }
  void Send(std::shared_ptr<const std::string> msg) {
    if (!m_socket.is_open()) return;
    m_queued += msg->size();
    if (m_queued > kSlowLimit) return Close();
    m_queue.push_back(std::move(msg));
    if (m_queue.size() == 1) Write();
  }
  void Close() {
    boost::system::error_code ec;
    m_socket.close(ec);
    m_queue.clear();
  }

 private:
  void Write() {
    auto self = shared_from_this();
    asio::async_write(m_socket, asio::buffer(*m_queue.front()), [self](boost::system::error_code ec, std::size_t) {
      if (ec || self->m_queue.empty()) return self->Close();
      self->m_queued -= self->m_queue.front()->size();
      self->m_queue.pop_front();
      if (!self->m_queue.empty()) self->Write();
    });
  }

  tcp::socket m_socket;
  bool m_echo;
  char m_buf[4096];
  std::deque<std::shared_ptr<const std::string>> m_queue;
  std::size_t m_queued = 0;
};

class AsioFlow : public FlowServer {
 public:
  explicit AsioFlow(bool echo) : m_acceptor(m_io), m_guard(asio::make_work_guard(m_io)), m_echo(echo) {
    tcp::endpoint ep(asio::ip::address_v4::loopback(), 0);
    m_acceptor.open(ep.protocol());
    m_acceptor.set_option(tcp::acceptor::reuse_address(true));
    m_acceptor.bind(ep);
    m_acceptor.listen(asio::socket_base::max_listen_connections);
    m_port = m_acceptor.local_endpoint().port();
    Accept();
    m_thread = std::thread([this] { m_io.run(); });
  }
  ~AsioFlow() override {
    m_io.stop();
    m_thread.join();
  }
  unsigned short Port() const override { return m_port; }
  unsigned Accepted() override { return m_accepted.load(); }
  void Broadcast(const char* data, std::size_t len) override {
    auto msg = std::make_shared<const std::string>(data, len);
    asio::post(m_io, [this, msg] {
      for (auto& weak : m_sessions)
        if (auto s = weak.lock()) s->Send(msg);
    });
  }

 private:
  void Accept() {
    m_acceptor.async_accept([this](boost::system::error_code ec, tcp::socket s) {
      if (ec) return;
      s.set_option(tcp::no_delay(true));
      auto session = std::make_shared<AsioSession>(std::move(s), m_echo);
      m_sessions.push_back(session);
      ++m_accepted;
      session->Read();
      Accept();
    });
  }

  asio::io_context m_io{1};
  tcp::acceptor m_acceptor;
  asio::executor_work_guard<asio::io_context::executor_type> m_guard;
  std::vector<std::weak_ptr<AsioSession>> m_sessions;  // the io thread's only
  std::atomic<unsigned> m_accepted{0};
  bool m_echo;
  unsigned short m_port = 0;
  std::thread m_thread;
};
#endif

std::unique_ptr<FlowServer> Make(const std::string& contestant, bool echo) {
  if (contestant == "vlk2") return std::unique_ptr<FlowServer>(new VlkFlow(echo));
#ifdef VLK_BENCH_HAVE_ASIO
  if (contestant == "asio") return std::unique_ptr<FlowServer>(new AsioFlow(echo));
#endif
  return nullptr;
}

int Connect(unsigned short port, int rcvbuf) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadExactly(int fd, char* buf, std::size_t n) {
  for (std::size_t got = 0; got < n;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    const ssize_t r = ::recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

// Healthy clients ping 64 bytes in turn; slow ones upload and never read.
vlkbench::Outcome EchoWithSlow(const vlkbench::RunContext& ctx, const std::string& contestant, unsigned slow) {
  vlkbench::Outcome out;
  auto server = Make(contestant, true);
  std::vector<int> healthy;
  for (int i = 0; i < 4; ++i) healthy.push_back(Connect(server->Port(), 0));
  std::atomic<bool> stop{false};
  std::vector<std::thread> uploaders;
  for (unsigned i = 0; i < slow; ++i) {
    uploaders.emplace_back([&, port = server->Port()] {
      const int fd = Connect(port, 4096);
      const std::string chunk(64 << 10, 'u');
      while (!stop.load()) {
        if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
          if (errno != EAGAIN) break;  // cut off as a slow consumer
          pollfd p{fd, POLLOUT, 0};
          ::poll(&p, 1, 10);
        }
      }
      ::close(fd);
    });
  }
  const int trips = static_cast<int>(ctx.Size(20000, 500));
  std::vector<std::int64_t> rtt;
  rtt.reserve(static_cast<std::size_t>(trips));
  char buf[64];
  std::memset(buf, 'p', sizeof(buf));
  bool ok = true;
  for (int i = 0; i < trips && ok; ++i) {
    const int fd = healthy[static_cast<std::size_t>(i) % healthy.size()];
    const std::int64_t t0 = vlkbench::NowNs();
    ok = ::send(fd, buf, sizeof(buf), MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(buf)) && ReadExactly(fd, buf, sizeof(buf));
    rtt.push_back(vlkbench::NowNs() - t0);
  }
  stop = true;
  for (auto& t : uploaders) t.join();
  for (int fd : healthy) ::close(fd);
  out.ok = ok;
  out.check = ok ? "every healthy round trip answered" : "a healthy round trip failed";
  const double p50 = vlkbench::Percentile(rtt, 0.5) / 1000.0;
  const double p99 = vlkbench::Percentile(rtt, 0.99) / 1000.0;
  out.metrics = {{"healthy p99 (us)", p99, true}, {"healthy p50 (us)", p50, true}};
  return out;
}

// The server broadcasts 1 KiB messages to every connection; one client thread
// reads them all. The broadcaster keeps at most 32 messages ahead of the
// slowest reader, the same way for both contestants.
vlkbench::Outcome FanOut(const vlkbench::RunContext& ctx, const std::string& contestant, unsigned conns) {
  vlkbench::Outcome out;
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;  // both ends of every connection live in this process
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  auto server = Make(contestant, false);
  std::vector<int> fds;
  for (unsigned i = 0; i < conns; ++i) fds.push_back(Connect(server->Port(), 0));
  constexpr std::size_t kMsg = 1024;
  const std::uint64_t messages = ctx.Size(2000, 50);
  std::vector<std::uint64_t> got(conns, 0);  // bytes per connection
  std::atomic<std::uint64_t> slowest{0};     // whole messages every reader has
  std::thread reader([&] {
    std::vector<pollfd> set(conns);
    std::vector<char> buf(64 << 10);
    const std::uint64_t want = messages * kMsg;
    for (std::uint64_t done = 0; done < conns;) {
      for (unsigned i = 0; i < conns; ++i) set[i] = pollfd{got[i] < want ? fds[i] : -1, POLLIN, 0};
      if (::poll(set.data(), conns, 10000) <= 0) break;
      for (unsigned i = 0; i < conns; ++i) {
        if ((set[i].revents & POLLIN) == 0) continue;
        const ssize_t r = ::recv(fds[i], buf.data(), buf.size(), MSG_DONTWAIT);
        if (r <= 0) continue;
        got[i] += static_cast<std::uint64_t>(r);
        if (got[i] >= want) ++done;
      }
      slowest = *std::min_element(got.begin(), got.end()) / kMsg;
    }
  });
  // Every connection accepted before the first message.
  for (std::int64_t end = vlkbench::NowNs() + 10000000000LL; server->Accepted() < conns && vlkbench::NowNs() < end;)
    std::this_thread::yield();
  std::string msg(kMsg, 'f');
  const std::int64_t t0 = vlkbench::NowNs();
  for (std::uint64_t m = 0; m < messages; ++m) {
    for (std::int64_t end = vlkbench::NowNs() + 10000000000LL; m >= slowest.load() + 32 && vlkbench::NowNs() < end;)
      std::this_thread::yield();
    server->Broadcast(msg.data(), msg.size());
  }
  reader.join();
  const double seconds = static_cast<double>(vlkbench::NowNs() - t0) / 1e9;
  std::uint64_t total = 0;
  for (auto g : got) total += g;
  out.ok = total == messages * kMsg * conns;
  out.check = out.ok ? "every reader got every message" : "messages missing";
  out.metrics = {{"delivered msgs/s", static_cast<double>(messages * conns) / seconds, false}};
  for (int fd : fds) ::close(fd);
  return out;
}

struct Registrar {
  Registrar() {
    std::vector<std::string> contestants{"vlk2"};
#ifdef VLK_BENCH_HAVE_ASIO
    contestants.push_back("asio");
#endif
    for (const auto& c : contestants) {
      for (unsigned slow : {0u, 8u})
        vlkbench::Register("tcp flow echo", "4 healthy + " + std::to_string(slow) + " slow consumers", c,
                           [c, slow](const vlkbench::RunContext& ctx) { return EchoWithSlow(ctx, c, slow); });
      for (unsigned conns : {64u, 512u})
        vlkbench::Register("tcp fan-out", "broadcast 1 KiB to " + std::to_string(conns), c,
                           [c, conns](const vlkbench::RunContext& ctx) { return FanOut(ctx, c, conns); });
    }
  }
} registrar;

}  // namespace
