// Loopback echo workload: 64 connections (or UDP sockets), one message in flight
// on each, against our TCP and UDP servers and against single-thread Boost.Asio
// echo servers driven the same way in the same run. Prints messages per second,
// MB/s and latency percentiles, and the ratios ours/Asio.
//
// Usage: bench_net_echo [seconds per run, default 2]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_net_peers.h"
#include "vlk_net.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kConnections = 64;

struct Result {
  double msgsPerSec = 0;
  double mbPerSec = 0;
  double p50 = 0, p99 = 0, p999 = 0;  // microseconds
  long lost = 0;
  bool ok = false;
};

struct Slot {
  int fd = -1;
  std::size_t got = 0;
  Clock::time_point sentAt;
};

Result summarise(std::vector<double>& lat, std::size_t size, double seconds, long lost) {
  Result r;
  if (lat.empty()) return r;
  std::sort(lat.begin(), lat.end());
  auto pct = [&](double p) { return lat[std::min(lat.size() - 1, static_cast<std::size_t>(p * lat.size()))]; };
  r.msgsPerSec = lat.size() / seconds;
  r.mbPerSec = r.msgsPerSec * size * 2 / 1e6;  // request and echo
  r.p50 = pct(0.50);
  r.p99 = pct(0.99);
  r.p999 = pct(0.999);
  r.lost = lost;
  r.ok = true;
  return r;
}

int openClient(int type, unsigned short port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  if (type == SOCK_STREAM) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  return fd;
}

// Drives kConnections clients against port for the given time; each sends one
// message of size bytes and sends the next as soon as the whole echo is back.
// UDP clients that hear nothing for 200 ms count a loss and send again.
Result drive(int type, unsigned short port, std::size_t size, double seconds) {
  std::vector<Slot> conns(kConnections);
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  for (int i = 0; i < kConnections; ++i) {
    conns[i].fd = openClient(type, port);
    if (conns[i].fd < 0) {
      std::fprintf(stderr, "cannot connect to port %u\n", port);
      return Result();
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<unsigned int>(i);
    ::epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
  }
  const std::string msg(size, 'm');
  std::vector<char> buf(65536);
  std::vector<double> lat;
  lat.reserve(4000000);
  long lost = 0;
  auto sendOne = [&](Slot& s) {
    s.got = 0;
    s.sentAt = Clock::now();
    std::size_t off = 0;
    while (off < size) {
      const ssize_t n = ::send(s.fd, msg.data() + off, size - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<std::size_t>(n);
    }
    return true;
  };
  // A short warm-up, then the measured stretch.
  const auto warmEnd = Clock::now() + std::chrono::milliseconds(200);
  for (auto& s : conns) sendOne(s);
  bool measuring = false;
  Clock::time_point start = Clock::now();
  const auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Clock::time_point end = start + span + std::chrono::milliseconds(200);
  epoll_event events[kConnections];
  while (true) {
    const auto now = Clock::now();
    if (!measuring && now >= warmEnd) {
      measuring = true;
      start = now;
      end = start + span;
      lat.clear();
      lost = 0;
    }
    if (measuring && now >= end) break;
    const int n = ::epoll_wait(ep, events, kConnections, 50);
    for (int e = 0; e < n; ++e) {
      Slot& s = conns[events[e].data.u32];
      const ssize_t got = ::recv(s.fd, buf.data(), buf.size(), MSG_DONTWAIT);
      if (got <= 0) continue;
      s.got += static_cast<std::size_t>(got);
      if (s.got >= size) {
        lat.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s.sentAt).count());
        sendOne(s);
      }
    }
    if (type == SOCK_DGRAM) {
      const auto late = Clock::now() - std::chrono::milliseconds(200);
      for (auto& s : conns)
        if (s.sentAt < late) {
          ++lost;
          sendOne(s);
        }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& s : conns) ::close(s.fd);
  ::close(ep);
  return summarise(lat, size, elapsed, lost);
}

void printRow(const char* who, const Result& r) {
  if (!r.ok) {
    std::printf("  %-6s (no result)\n", who);
    return;
  }
  std::printf("  %-6s %10.0f msg/s %9.1f MB/s   p50 %7.1f us  p99 %8.1f us  p99.9 %8.1f us", who, r.msgsPerSec,
              r.mbPerSec, r.p50, r.p99, r.p999);
  if (r.lost > 0) std::printf("  (%ld lost)", r.lost);
  std::printf("\n");
}

void printRatios(const Result& ours, const Result& asio) {
  if (!ours.ok || !asio.ok) return;
  std::printf("  ratio ours/asio: msg/s %.2f  MB/s %.2f  p50 %.2f  p99 %.2f  p99.9 %.2f\n",
              ours.msgsPerSec / asio.msgsPerSec, ours.mbPerSec / asio.mbPerSec, ours.p50 / asio.p50,
              ours.p99 / asio.p99, ours.p999 / asio.p999);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const std::size_t sizes[] = {64, 4096};

  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    for (std::size_t size : sizes) {
      std::printf("%s echo, %d %s, %zu-byte messages, one in flight each, %.1f s:\n",
                  type == SOCK_STREAM ? "TCP" : "UDP", kConnections,
                  type == SOCK_STREAM ? "connections" : "sockets", size, seconds);
      Result ours;
      {
        unsigned short port = 0;
        auto server = benchpeers::startOurEcho(type, port);
        if (server) ours = drive(type, port, size, seconds);
      }
      printRow("vlk2", ours);
      Result asio;
      {
        unsigned short port = 0;
        auto peer = benchpeers::startAsioEcho(type, port);
        if (peer) {
          asio = drive(type, port, size, seconds);
          printRow("asio", asio);
        } else {
          std::printf("  asio   (Boost.Asio not available: peer skipped)\n");
        }
      }
      printRatios(ours, asio);
      std::fflush(stdout);
    }
  }
  return 0;
}
