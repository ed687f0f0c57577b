// vlk-relay: a publish/subscribe relay over a line protocol, built on vlk2.
//   vlk-relay [--config FILE]      run the relay until SIGINT or SIGTERM
//   vlk-relay bench [options]      drive a running relay and check every delivery
//   vlk-relay demo [options]       start a relay on free ports, bench it, stop it
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <vlk2.h>

#include "relay_app.h"
#include "relay_bench.h"
#include "relay_log.h"

namespace {

const char* const kUsage =
    "usage: vlk-relay [--config FILE]       run the relay (SIGHUP reloads FILE)\n"
    "       vlk-relay --check-config FILE   validate FILE and exit (0: usable)\n"
    "       vlk-relay --version\n"
    "       vlk-relay bench [bench options]\n"
    "       vlk-relay demo [bench options]   (relay on free ports + bench + stop; exit 0 when all went well)\n";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  char c = static_cast<char>(sig);
  ssize_t ignored = write(g_signalPipe[1], &c, 1);
  (void)ignored;
}

// SIGINT and SIGTERM end the Qt event loop, SIGHUP calls onReload, all through
// a pipe, so that the work runs on the main thread and not inside the handler.
void InstallSignals(QCoreApplication& app, std::function<void()> onReload) {
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [onReload] {
    char buf[16];
    ssize_t n;
    bool stop = false, reload = false;
    while ((n = read(g_signalPipe[0], buf, sizeof(buf))) > 0) {
      for (ssize_t i = 0; i < n; ++i) (buf[i] == SIGHUP ? reload : stop) = true;
    }
    if (reload && onReload) onReload();
    if (reload && !onReload) RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "SIGHUP: nothing to reload");
    if (stop) {
      RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "stop requested");
      QCoreApplication::quit();
    }
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
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
  std::string path;
  for (int i = 1; i < argc; ++i) {
    std::string err;
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      path = argv[++i];
      if (!RelayLoadConfig(path.c_str(), cfg, err)) {
        std::fprintf(stderr, "vlk-relay: %s\n", err.c_str());
        return 2;
      }
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  Crelay_app relay(cfg);
  std::function<void()> reload;
  if (!path.empty()) {
    reload = [&relay, path] {
      Srelay_config fresh;
      std::string why;
      RelayLogf(RELAY_LOG_INFO, RELAY_LOGK_PLAIN, "SIGHUP: reloading %s", path.c_str());
      if (!RelayLoadConfig(path.c_str(), fresh, why) || !relay.Reload(fresh, why)) {
        RelayLogf(RELAY_LOG_ERROR, RELAY_LOGK_PLAIN, "reload refused, the running settings stay: %s", why.c_str());
      }
    };
  }
  // Signals are caught before the relay starts: a SIGHUP right after the
  // "listening" line reloads instead of killing it.
  InstallSignals(app, reload);
  std::string err;
  if (!relay.Start(err)) {
    std::fprintf(stderr, "vlk-relay: %s\n", err.c_str());
    return 1;
  }
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
  InstallSignals(app, nullptr);
  std::string err;
  if (!relay.Start(err)) {
    std::fprintf(stderr, "vlk-relay: %s\n", err.c_str());
    return 1;
  }
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
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vlk-relay %s\n", VLK_RELAY_VERSION);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--check-config") == 0) {
    if (argc != 3) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    Srelay_config cfg;
    std::string err;
    if (!RelayLoadConfig(argv[2], cfg, err)) {
      std::fprintf(stderr, "vlk-relay: %s\n", err.c_str());
      return 2;
    }
    std::printf("vlk-relay: %s is usable\n", argv[2]);
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
