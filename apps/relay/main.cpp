// vlk-relay: a publish/subscribe relay over a line protocol, built on vlk2.
//   vlk-relay [--config FILE]      run the relay until SIGINT or SIGTERM
//   vlk-relay bench [options]      drive a running relay and check every delivery
//   vlk-relay demo [options]       start a relay on free ports, bench it, stop it
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <vlk2.h>

#include "relay_app.h"
#include "relay_bench.h"

namespace {

const char* const kUsage =
    "usage: vlk-relay [--config FILE]\n"
    "       vlk-relay bench [bench options]\n"
    "       vlk-relay demo [bench options]   (relay on free ports + bench + stop; exit 0 when all went well)\n";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  char c = 1;
  ssize_t ignored = write(g_signalPipe[1], &c, 1);
  (void)ignored;
}

// SIGINT and SIGTERM end the Qt event loop through a pipe, so that the stop
// runs on the main thread and not inside the signal handler.
void InstallStopSignals(QCoreApplication& app) {
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
    char buf[16];
    while (read(g_signalPipe[0], buf, sizeof(buf)) > 0) {
    }
    RelayLog("INFO", QStringLiteral("stop requested"));
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// Stops the relay and prints its final statistics; false when a buffer is missing.
bool StopAndReport(Crelay_app& relay) {
  relay.Stop();
  std::fprintf(stdout, "final statistics:\n");
  relay.PrintFinal(stdout);
  std::string detail;
  bool home = relay.AllBuffersHome(detail);
  std::fflush(stdout);
  return home;
}

int RunServer(QCoreApplication& app, int argc, char** argv) {
  Srelay_config cfg;
  for (int i = 1; i < argc; ++i) {
    std::string err;
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      if (!RelayLoadConfig(argv[++i], cfg, err)) {
        std::fprintf(stderr, "vlk-relay: %s\n", err.c_str());
        return 2;
      }
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  Crelay_app relay(cfg);
  std::string err;
  if (!relay.Start(err)) {
    std::fprintf(stderr, "vlk-relay: %s\n", err.c_str());
    return 1;
  }
  InstallStopSignals(app);
  app.exec();
  return StopAndReport(relay) ? 0 : 1;
}

bool ParseBench(int argc, char** argv, int first, Srelay_bench_opts& opts) {
  for (int i = first; i < argc; ++i) {
    std::string err;
    if (!RelayBenchOption(argc, argv, i, opts, err)) {
      std::fprintf(stderr, "vlk-relay: %s\n%s", err.c_str(), kRelayBenchUsage);
      return false;
    }
  }
  return true;
}

int RunDemo(QCoreApplication& app, int argc, char** argv) {
  Srelay_bench_opts opts;
  opts.seconds = 2;
  opts.tlsSubscribers = 2;
  if (!ParseBench(argc, argv, 2, opts)) return 2;
  Srelay_config cfg;
  cfg.tcpPort = cfg.tlsPort = cfg.udpPort = 0;  // free ports
  Crelay_app relay(cfg);
  std::string err;
  if (!relay.Start(err)) {
    std::fprintf(stderr, "vlk-relay: %s\n", err.c_str());
    return 1;
  }
  InstallStopSignals(app);
  opts.host = "127.0.0.1";
  opts.port = relay.TcpPort();
  opts.tlsPort = relay.TlsPort();
  opts.udpPort = relay.UdpPort();
  // The bench runs beside the event loop, which keeps the relay's timers going.
  int rc = 1;
  std::thread bench([&] {
    rc = RelayRunBench(opts, stdout);
    QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  app.exec();
  bench.join();
  bool home = StopAndReport(relay);
  return (rc == 0 && home) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // Crash reports go to <program directory>/log, which must exist.
  QDir(QCoreApplication::applicationDirPath()).mkpath(QStringLiteral("log"));
  Cwin_exception_handler crashReporter;
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    std::fputs(kRelayBenchUsage, stdout);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "bench") == 0) {
    Srelay_bench_opts opts;
    if (!ParseBench(argc, argv, 2, opts)) return 2;
    return RelayRunBench(opts, stdout);
  }
  if (argc > 1 && std::strcmp(argv[1], "demo") == 0) return RunDemo(app, argc, argv);
  return RunServer(app, argc, argv);
}
