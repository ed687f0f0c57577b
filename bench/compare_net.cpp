// Loopback echo cases: TCP with 1, 64 and 512 connections and with 1000 idle
// beside 10 busy ones; new connections one after the other; UDP with 64, 1024 and 4096-byte datagrams. vlk2's
// servers against single-thread Boost.Asio servers, each in a child process of
// its own, driven by the same client.
#include <sys/socket.h>

#include <string>

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

Outcome RunTcp(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  shape = Timed(ctx, shape);
  const unsigned conns = shape.sockets + shape.idle;
  if (!RaiseFileLimit(2 * conns + 64)) return Fail("cannot raise the descriptor limit");
  ServerProcess server;
  if (!server.Start(contestant, SOCK_STREAM, conns + 8)) return Fail(server.Error());
  const LoadResult r = DriveTcp(server, shape);
  Outcome out;
  out.ok = r.ok;
  out.check = r.check;
  const double rate = r.elapsed > 0 ? r.echoes / r.elapsed : 0;
  out.metrics = {Metric{"msgs/s", rate, false}, Metric{"MB/s", rate * shape.size * 2 / 1e6, false},
                 Metric{"p99 (us)", r.p99Micros, true}, PerEcho("server CPU (us/echo)", r.serverCpu, r.echoes),
                 PerEcho("client CPU (us/echo)", r.clientCpu, r.echoes),
                 Metric{"server RSS (MiB)", r.serverRssKiB / 1024.0, true}};
  return out;
}

// A paced connection's latency (open loop, from when each request was due)
// beside `shape.sockets` busy connections.
Outcome RunLatency(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  shape = Timed(ctx, shape);
  ServerProcess server;
  if (!server.Start(contestant, SOCK_STREAM, shape.sockets + 9)) return Fail(server.Error());
  const LoadResult r = DriveTcp(server, shape);
  Outcome out;
  out.ok = r.ok && r.probes > 0;
  out.check = r.check;
  out.metrics = {Metric{"p99 (us)", r.probeP99Micros, true}, Metric{"p50 (us)", r.probeP50Micros, true},
                 Metric{"p99.9 (us)", r.probeP999Micros, true},
                 Metric{"busy msgs/s", r.elapsed > 0 ? r.echoes / r.elapsed : 0, false},
                 PerEcho("server CPU (us/echo)", r.serverCpu, r.echoes + r.probes)};
  return out;
}

Outcome RunConnect(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  shape = Timed(ctx, shape);
  ServerProcess server;
  if (!server.Start(contestant, SOCK_STREAM, 64)) return Fail(server.Error());
  const LoadResult r = DriveConnect(server, shape);
  Outcome out;
  out.ok = r.ok;
  out.check = r.check;
  out.metrics = {Metric{"conns/s", r.elapsed > 0 ? r.echoes / r.elapsed : 0, false},
                 Metric{"p99 (us)", r.p99Micros, true}, PerEcho("server CPU (us/conn)", r.serverCpu, r.echoes),
                 PerEcho("client CPU (us/conn)", r.clientCpu, r.echoes)};
  return out;
}

Outcome RunUdp(const RunContext& ctx, const std::string& contestant, LoadShape shape) {
  shape = Timed(ctx, shape);
  ServerProcess server;
  if (!server.Start(contestant, SOCK_DGRAM, 4)) return Fail(server.Error());
  const LoadResult r = DriveUdp(server, shape);
  Outcome out;
  out.ok = r.ok;
  out.check = r.check;
  out.metrics = {Metric{"pkts/s", r.elapsed > 0 ? r.echoes / r.elapsed : 0, false},
                 Metric{"loss (%)", r.sent > 0 ? 100.0 * r.lost / r.sent : 100, true},
                 Metric{"p99 (us)", r.p99Micros, true}, PerEcho("server CPU (us/echo)", r.serverCpu, r.echoes),
                 PerEcho("client CPU (us/echo)", r.clientCpu, r.echoes)};
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
