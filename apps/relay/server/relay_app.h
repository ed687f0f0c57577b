// relay_app.h: one complete relay: the task manager with the network and topic
// tasks, the plain and TLS servers and the UDP statistics endpoint.
#ifndef RELAY_APP_H
#define RELAY_APP_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <memory>
#include <string>

#include <vlk_task.h>

#include "relay_config.h"
#include "relay_ctx.h"

class Crelay_net_task;
class Crelay_topic_task;
class Crelay_tcp_server;
class Crelay_udp_server;

// The application's task manager: sets up the message pool and registers the
// relay's two tasks.
class Crelay_mgr : public Cvlk_task_mgr {
 public:
  explicit Crelay_mgr(QObject* parent = nullptr) : Cvlk_task_mgr(parent) {}
  // Configures the pool and creates and registers the tasks; ERR_OK or the
  // first failure.
  EerrNo Setup(const Srelay_config& cfg, Srelay_ctx* ctx);
  void ShowStat() { showMessageStat(); }
  Crelay_net_task* NetTask() { return m_net; }
  Crelay_topic_task* TopicTask() { return m_topic; }

 private:
  Crelay_net_task* m_net = nullptr;
  Crelay_topic_task* m_topic = nullptr;
};

// Thread-safety: Start, Stop and the destructor on the thread that runs the Qt
// event loop (the timers tick there); the rest from any thread.
// Shutdown order: the UDP endpoint stops, every connection is closed, the TCP
// servers stop (no more bytes), the cluster bridge leaves Redis, then the tasks
// and the routing thread stop and every message buffer is back in its pool.
class Crelay_app {
 public:
  explicit Crelay_app(const Srelay_config& cfg);
  ~Crelay_app();
  Crelay_app(const Crelay_app&) = delete;
  Crelay_app& operator=(const Crelay_app&) = delete;

  // Builds and starts everything; false with err set when something failed (what
  // was started is stopped again).
  bool Start(std::string& err);
  // Stops everything; safe to call twice.
  void Stop();
  bool IsRunning() const { return m_running; }

  // The ports in use (chosen when the configuration said 0).
  unsigned TcpPort() const { return m_tcpPort; }
  unsigned TlsPort() const { return m_tlsPort; }
  unsigned UdpPort() const { return m_udpPort; }
  const std::string& CertFile() const { return m_certFile; }

  // Runs the idle check now on the network task, as its timer does.
  void RequestIdleCheck();
  void SetIdleSeconds(unsigned seconds) { m_ctx.idleSeconds.store(seconds); }
  // Takes over what can change while the relay runs (log level, idle time,
  // per-connection subscription limit, output queue limit, STATS rate) and logs each change; the
  // rest is logged as needing a restart. False with err when cfg is unusable
  // (then nothing changes).
  bool Reload(const Srelay_config& cfg, std::string& err);

  // The text that answers "STATS": pool, connections and relay counters.
  unsigned FormatStats(char* out, unsigned cap);
  // After Stop: true when every buffer of every size class is idle again.
  bool AllBuffersHome(std::string& detail);
  // Prints the final statistics (after Stop).
  void PrintFinal(FILE* out);

  // The cluster bridge's state; false (out untouched) without a cluster.
  bool ClusterStats(Srelay_cluster_stats& out) const;

  Srelay_ctx& Ctx() { return m_ctx; }
  Crelay_mgr* Mgr() { return m_mgr; }

 private:
  static unsigned StatsThunk(void* self, char* out, unsigned cap);
  void connectLogs(QObject* server);
  // Checks that each port is free on both families before the servers bind it.
  bool probePorts(std::string& err);
  // Fits max_connections to the descriptor limit (raising the soft limit when it can).
  void fitDescriptors();
  void applyOutputLimits();

  Srelay_config m_cfg;
  Srelay_ctx m_ctx;
  Crelay_mgr* m_mgr = nullptr;
  std::unique_ptr<Crelay_tcp_server> m_plain;
  std::unique_ptr<Crelay_tcp_server> m_tls;
  std::unique_ptr<Crelay_udp_server> m_udp;
  std::unique_ptr<Crelay_cluster> m_cluster;
  unsigned m_tcpPort = 0;
  unsigned m_tlsPort = 0;
  unsigned m_udpPort = 0;
  std::string m_certFile;
  std::string m_keyFile;
  bool m_running = false;
  bool m_stopped = false;
  std::int64_t m_startedMs = 0;  // monotonic
  // Rates for STATS: the counters at the last sample. Guarded by m_rateLock.
  std::mutex m_rateLock;
  std::int64_t m_rateAtMs = 0;
  std::uint64_t m_rateBase[3] = {0, 0, 0};  // lines, published, delivered
  double m_rates[3] = {0, 0, 0};
};

#endif  // RELAY_APP_H
