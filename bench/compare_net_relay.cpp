// The whole system: the example relay (tasks, message pool, TCP, TLS and UDP
// servers) under its own load client, in this process, as `vlk-relay demo`
// runs it: 8 subscribers (2 over TLS), 4 publishers, 2 topics, 64-byte texts.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <thread>

#include "bench_harness.h"
#include "relay_app.h"
#include "relay_bench.h"
#include "relay_config.h"

namespace {

using vlkbench::Metric;
using vlkbench::Outcome;
using vlkbench::RunContext;

Outcome RunRelay(const RunContext& ctx) {
  Outcome out;
  static int argc = 1;
  static char name[] = "compare_net";
  static char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
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
  Srelay_bench_opts opts;
  opts.port = relay.TcpPort();
  opts.tlsPort = relay.TlsPort();
  opts.udpPort = relay.UdpPort();
  opts.tlsSubscribers = 2;
  opts.seconds = ctx.smoke ? 0.2 : 2.0;
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
  out.ok = rc == 0 && home && fig.lost == 0 && fig.delivered == fig.expected;
  out.check = std::to_string(fig.delivered) + " of " + std::to_string(fig.expected) + " deliveries, lost " +
              std::to_string(fig.lost) + ", duplicated or reordered " + std::to_string(fig.faults) + ", refused " +
              std::to_string(fig.refused) + ", connections lost " + std::to_string(fig.connectionsLost) +
              (home ? "; message pool back to full" : "; message pool not back to full: " + detail);
  out.metrics = {Metric{"delivered msgs/s", fig.deliveredPerSec, false},
                 Metric{"published msgs/s", fig.publishedPerSec, false}, Metric{"p50 (us)", double(fig.p50Micros), true},
                 Metric{"p99 (us)", double(fig.p99Micros), true}, Metric{"lost", double(fig.lost), true}};
  return out;
}

struct Registrar {
  Registrar() { vlkbench::Register("relay", "8 subs (2 TLS), 4 pubs, 64 B", "vlk2", RunRelay); }
} registrar;

}  // namespace
