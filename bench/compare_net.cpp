// Loopback echo cases: TCP with 1, 64 and 512 connections and with 1000 idle
// beside 10 busy ones; new connections one after the other; UDP with 64, 1024 and 4096-byte datagrams. vlk2's
// servers against single-thread Boost.Asio servers, each in a child process of
// its own, driven by the same client.
#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

#include "bench_harness.h"
#include "compare_net.h"

namespace netbench {
namespace {

using vlkbench::Metric;
using vlkbench::Outcome;
using vlkbench::RunContext;

Outcome Fail(const std::string& why) {
  Outcome out;
  out.check = why;
  return out;
}

// CPU microseconds (user + system, every thread of the process) per echo.
Metric PerEcho(const char* name, double cpuSeconds, std::uint64_t echoes) {
  return Metric{name, echoes > 0 ? cpuSeconds * 1e6 / static_cast<double>(echoes) : 0, true};
}

LoadShape Timed(const RunContext& ctx, LoadShape shape) {
  shape.warmSeconds = ctx.smoke ? 0.02 : 0.3;
  shape.seconds = ctx.smoke ? 0.08 : 2.0;
  return shape;
}

// Starts the contestant's server (type SOCK_STREAM or SOCK_DGRAM, room for
// maxConns connections), drives it and turns what the client saw into metrics.
using DriveFn = LoadResult (*)(ServerProcess&, const LoadShape&);
using MetricsFn = std::function<std::vector<Metric>(const LoadResult&, const LoadShape&)>;
Outcome Serve(const RunContext& ctx, const std::string& contestant, LoadShape shape, int type, unsigned maxConns,
              DriveFn drive, const MetricsFn& metrics) {
  shape = Timed(ctx, shape);
  ServerProcess server;
  if (!server.Start(contestant, type, maxConns)) return Fail(server.Error());
  const LoadResult r = drive(server, shape);
  Outcome out;
  out.ok = r.ok;
  out.check = r.check;
  out.metrics = metrics(r, shape);
  return out;
}

double Rate(const LoadResult& r, std::uint64_t n) { return r.elapsed > 0 ? n / r.elapsed : 0; }

Outcome RunTcp(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  const unsigned conns = shape.sockets + shape.idle;
  if (!RaiseFileLimit(2 * conns + 64)) return Fail("cannot raise the descriptor limit");
  return Serve(ctx, contestant, shape, SOCK_STREAM, conns + 8, DriveTcp, [](const LoadResult& r, const LoadShape& s) {
    return std::vector<Metric>{Metric{"msgs/s", Rate(r, r.echoes), false},
                               Metric{"MB/s", Rate(r, r.echoes) * s.size * 2 / 1e6, false},
                               Metric{"p99 (us)", r.p99Micros, true},
                               PerEcho("server CPU (us/echo)", r.serverCpu, r.echoes),
                               PerEcho("client CPU (us/echo)", r.clientCpu, r.echoes),
                               Metric{"server RSS (MiB)", r.serverRssKiB / 1024.0, true}};
  });
}

// A paced connection's latency (open loop, from when each request was due)
// beside `shape.sockets` busy connections.
Outcome RunLatency(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  return Serve(ctx, contestant, shape, SOCK_STREAM, shape.sockets + 9, DriveTcp,
               [](const LoadResult& r, const LoadShape&) {
                 return std::vector<Metric>{Metric{"p99 (us)", r.probeP99Micros, true},
                                            Metric{"p50 (us)", r.probeP50Micros, true},
                                            Metric{"p99.9 (us)", r.probeP999Micros, true},
                                            Metric{"busy msgs/s", Rate(r, r.echoes), false},
                                            PerEcho("server CPU (us/echo)", r.serverCpu, r.echoes + r.probes)};
               });
}

Outcome RunConnect(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  return Serve(ctx, contestant, shape, SOCK_STREAM, 64, DriveConnect, [](const LoadResult& r, const LoadShape&) {
    return std::vector<Metric>{Metric{"conns/s", Rate(r, r.echoes), false}, Metric{"p99 (us)", r.p99Micros, true},
                               PerEcho("server CPU (us/conn)", r.serverCpu, r.echoes),
                               PerEcho("client CPU (us/conn)", r.clientCpu, r.echoes)};
  });
}

Outcome RunUdp(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  return Serve(ctx, contestant, shape, SOCK_DGRAM, 4, DriveUdp, [](const LoadResult& r, const LoadShape&) {
    return std::vector<Metric>{Metric{"pkts/s", Rate(r, r.echoes), false},
                               Metric{"loss (%)", r.sent > 0 ? 100.0 * r.lost / r.sent : 100, true},
                               Metric{"p99 (us)", r.p99Micros, true},
                               PerEcho("server CPU (us/echo)", r.serverCpu, r.echoes),
                               PerEcho("client CPU (us/echo)", r.clientCpu, r.echoes)};
  });
}

// TLS echo, or TLS connection setup with `handshakes`.
Outcome RunTls(const RunContext& ctx, const std::string& contestant, LoadShape shape, bool handshakes) {
  const TlsFiles files;
  if (files.Dir().empty()) return Fail("could not make a certificate with the openssl command");
  shape = Timed(ctx, shape);
  ServerProcess server;
  if (!server.Start(contestant, SOCK_STREAM, shape.sockets + 64, files.Dir())) return Fail(server.Error());
  const LoadResult r = DriveTls(server, shape, handshakes);
  Outcome out;
  out.ok = r.ok;
  out.check = r.check;
  const char* unit = handshakes ? "conn" : "echo";
  out.metrics = {Metric{handshakes ? "conns/s" : "msgs/s", Rate(r, r.echoes), false},
                 Metric{"p99 (us)", r.p99Micros, true},
                 PerEcho((std::string("server CPU (us/") + unit + ")").c_str(), r.serverCpu, r.echoes),
                 PerEcho((std::string("client CPU (us/") + unit + ")").c_str(), r.clientCpu, r.echoes)};
  return out;
}

std::string SizeName(std::size_t size) { return size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B"; }

void RegisterFor(const std::string& contestant) {
  for (unsigned conns : {1u, 64u, 512u}) {
    for (std::size_t size : {std::size_t{64}, std::size_t{4096}}) {
      LoadShape shape;
      shape.sockets = conns;
      shape.size = size;
      const std::string name = std::to_string(conns) + (conns == 1 ? " conn, " : " conns, ") + SizeName(size);
      vlkbench::Register("tcp", name, contestant,
                         [contestant, shape](const RunContext& ctx) { return RunTcp(ctx, contestant, shape); });
    }
  }
  LoadShape idle;
  idle.sockets = 10;
  idle.idle = 1000;
  vlkbench::Register("tcp", "1000 idle + 10 busy", contestant,
                     [contestant, idle](const RunContext& ctx) { return RunTcp(ctx, contestant, idle); });
  for (unsigned busy : {0u, 64u}) {
    LoadShape paced;
    paced.sockets = busy;
    paced.probeRate = 500;
    const std::string name = busy == 0 ? "500 req/s, no other load" : "500 req/s beside 64 busy conns";
    vlkbench::Register("latency", name, contestant,
                       [contestant, paced](const RunContext& ctx) { return RunLatency(ctx, contestant, paced); });
  }
  for (unsigned conns : {1u, 16u}) {
    LoadShape tls;
    tls.sockets = conns;
    const std::string name = std::to_string(conns) + (conns == 1 ? " conn, 64 B" : " conns, 64 B");
    vlkbench::Register("tls", name, contestant,
                       [contestant, tls](const RunContext& ctx) { return RunTls(ctx, contestant, tls, false); });
  }
  LoadShape once;
  once.sockets = 1;
  vlkbench::Register("connect", "TLS: connect, full handshake, 64 B echo, close", contestant,
                     [contestant, once](const RunContext& ctx) { return RunTls(ctx, contestant, once, true); });
  LoadShape fresh;
  fresh.sockets = 1;
  vlkbench::Register("connect", "connect, 64 B echo, close", contestant,
                     [contestant, fresh](const RunContext& ctx) { return RunConnect(ctx, contestant, fresh); });
  // 16 sockets; the window keeps what can be queued at the server's socket
  // (about 8.5 KiB of buffer per 4 KiB datagram on loopback) well inside its
  // default receive buffer, so that a loss is the server's and not the bench's.
  for (std::size_t size : {std::size_t{64}, std::size_t{1024}, std::size_t{4096}}) {
    LoadShape shape;
    shape.sockets = 16;
    shape.window = size >= 4096 ? 1 : (size >= 1024 ? 2 : 4);
    shape.size = size;
    vlkbench::Register("udp", SizeName(size) + " datagrams", contestant,
                       [contestant, shape](const RunContext& ctx) { return RunUdp(ctx, contestant, shape); });
  }
}

struct Registrar {
  Registrar() {
    RegisterFor("vlk2");
    if (HaveAsio()) RegisterFor("asio");
  }
} registrar;

}  // namespace
}  // namespace netbench
