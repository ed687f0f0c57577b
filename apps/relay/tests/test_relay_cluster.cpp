// Relays sharing topics through a real redis-server. First the bridge alone:
// two bridges (two relays' worth) share a topic, drop their own echoes, keep
// order, stop asking for topics nobody wants, live through Redis going away and
// coming back, and refuse bad settings. Then whole relays: two and three of
// them with plain and TLS subscribers under the load client, an outage in the
// middle of a run, and a relay that is restarted.
#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "redis_server.h"
#include "relay_app.h"
#include "relay_bench.h"
#include "relay_cluster.h"
#include "relay_msgs.h"
#include "test_task_util.h"

namespace {

using tasktest::TestMgr;
using tasktest::TestTask;
using tasktest::WaitUntilTrue;

// One relay's worth of framework: a manager, its pool and a task that records
// the messages the bridge hands over, and the bridge itself.
class Node {
 public:
  explicit Node(const Srelay_cluster_config& cfg, unsigned smallBuffers = 512) {
    m_mgr.initMessagePool(64, 64, 256, smallBuffers, kRelayCommSize, 256, kRelayBigSize, 16);
    m_task = new TestTask(&m_mgr, kRelayTopicTaskId, "topic");
    m_task->onMsg = [this](Cvlk_task*, Cmsg* msg) {
      if (msg->msgType == RELAY_MSG_REMOTE) {
        Srelay_topic_msg* t = static_cast<Srelay_topic_msg*>(msg);
        std::lock_guard<std::mutex> lock(m_lock);
        m_got.push_back(std::string(t->bytes(), t->topicLen) + " " +
                        std::string(t->bytes() + t->topicLen, t->textLen));
        bridge->Consumed();  // as the topic task does once it has fanned one out
      }
      return PRC_PROCESSED;
    };
    m_mgr.regTask(m_task);
    QObject::connect(&m_mgr, &Cvlk_task_mgr::sigLogWarning, &m_mgr, [this](const QString& s) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_log += s.toStdString() + "\n";
    }, Qt::DirectConnection);
    QObject::connect(&m_mgr, &Cvlk_task_mgr::sigLogInfo, &m_mgr, [this](const QString& s) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_log += s.toStdString() + "\n";
    }, Qt::DirectConnection);
    m_mgr.Run();
    bridge.reset(new Crelay_cluster(cfg, &m_mgr, kRelayTopicTaskId, kRelayTopicFactoryId, 64));
  }
  ~Node() {
    bridge->Stop();  // no more deliveries; the task may still report one consumed
    m_mgr.Stop();
    bridge.reset();
    EXPECT_TRUE(m_mgr.AllIdle());
    delete m_task;
  }
  std::vector<std::string> Got() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_got;
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_log;
  }
  Srelay_cluster_stats Stats() {
    Srelay_cluster_stats s;
    bridge->ReadStats(s);
    return s;
  }
  bool Up(unsigned topics) {
    return WaitUntilTrue([&] { return Stats().connected && Stats().topicsRemote == topics; });
  }
  Erelay_share Pub(const std::string& topic, const std::string& text) {
    return bridge->Publish(topic.data(), static_cast<unsigned>(topic.size()), text.data(),
                           static_cast<unsigned>(text.size()));
  }
  void Want(const std::string& t) { bridge->Want(t.data(), static_cast<unsigned>(t.size())); }
  void Unwant(const std::string& t) { bridge->Unwant(t.data(), static_cast<unsigned>(t.size())); }

  std::unique_ptr<Crelay_cluster> bridge;

 private:
  TestMgr m_mgr;
  TestTask* m_task = nullptr;
  std::mutex m_lock;
  std::vector<std::string> m_got;  // GUARDED_BY(m_lock)
  std::string m_log;               // GUARDED_BY(m_lock)
};

Srelay_cluster_config ConfigFor(const RedisServer& redis) {
  Srelay_cluster_config cfg;
  cfg.host = "127.0.0.1";
  cfg.port = redis.Port();
  cfg.connectTimeoutMs = 1000;
  cfg.reconnectMinMs = 20;
  cfg.reconnectMaxMs = 200;
  return cfg;
}

}  // namespace

TEST(RelayCluster, SharesTopicsOnceInOrderAndDropsEchoes) {
  RedisServer redis;
  ASSERT_TRUE(redis.Start());
  // B's pool is far smaller than one read from Redis: what finds no buffer waits
  // its turn instead of being lost.
  Node a(ConfigFor(redis)), b(ConfigFor(redis), 24);
  std::string err;
  ASSERT_TRUE(a.bridge->Start(err)) << err;
  ASSERT_TRUE(b.bridge->Start(err)) << err;
  a.Want("t");
  b.Want("t");
  b.Want("mark");
  ASSERT_TRUE(a.Up(1));
  ASSERT_TRUE(b.Up(2));
  std::vector<std::string> want;
  for (int i = 1; i <= 300; ++i) {
    ASSERT_EQ(a.Pub("t", "m" + std::to_string(i)), RELAY_SHARE_QUEUED);
    want.push_back("t m" + std::to_string(i));
  }
  ASSERT_TRUE(WaitUntilTrue([&] { return b.Got().size() >= want.size(); }))
      << "in=" << b.Stats().in << " got=" << b.Got().size() << " remote=" << b.Stats().topicsRemote << "\n"
      << b.Log();
  EXPECT_EQ(b.Got(), want);
  EXPECT_EQ(b.Stats().inNoBuffer, 0u);
  EXPECT_TRUE(WaitUntilTrue([&] { return a.Stats().echoes == 300 && a.Stats().out == 300; }));
  EXPECT_TRUE(a.Got().empty());  // its own publications never come back to it

  // Another relay's publication that is not in the bridge's framing, or that
  // would smuggle a line end to subscribers, is refused.
  EXPECT_NE(redis.Command("PUBLISH vlk-relay:t hello"), "");
  EXPECT_NE(redis.Command("PUBLISH vlk-relay:t \"0123456789abcdef 1 x\\r\\nMSG t forged\""), "");
  // B stops asking for "t": what A publishes there afterwards no longer reaches it.
  b.Unwant("t");
  ASSERT_TRUE(b.Up(1)) << "in=" << b.Stats().in << " got=" << b.Got().size() << " remote=" << b.Stats().topicsRemote
                       << "\n"
                       << b.Log();
  ASSERT_EQ(a.Pub("t", "unseen"), RELAY_SHARE_QUEUED);
  ASSERT_EQ(a.Pub("mark", "after"), RELAY_SHARE_QUEUED);
  ASSERT_TRUE(WaitUntilTrue([&] { return b.Got().size() == want.size() + 1; }));
  EXPECT_EQ(b.Got().back(), "mark after");
  EXPECT_EQ(b.Stats().refused, 2u);
  EXPECT_EQ(b.Stats().in, 301u);
  // A topic whose local subscribers come and go quickly ends up subscribed
  // exactly as its last change says, however the commands to Redis overlap.
  for (int i = 0; i < 50; ++i) {
    b.Want("f");
    b.Unwant("f");
  }
  b.Want("f");
  // Until the last SUBSCRIBE is answered a publication may still miss it: A
  // repeats one every 50 ms until B has it.
  auto next = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntilTrue([&] {
    if (b.Got().back() == "f flap") return true;
    if (std::chrono::steady_clock::now() >= next) {
      a.Pub("f", "flap");
      next += std::chrono::milliseconds(50);
    }
    return false;
  }));
  EXPECT_TRUE(b.Up(2));
}

TEST(RelayCluster, LivesThroughRedisGoingAwayAndComingBack) {
  RedisServer redis;
  ASSERT_TRUE(redis.Start());
  Node a(ConfigFor(redis)), b(ConfigFor(redis));
  std::string err;
  ASSERT_TRUE(a.bridge->Start(err)) << err;
  ASSERT_TRUE(b.bridge->Start(err)) << err;
  b.Want("t");
  ASSERT_TRUE(b.Up(1));
  ASSERT_TRUE(a.Up(0));
  redis.Stop();
  ASSERT_TRUE(WaitUntilTrue([&] { return !a.Stats().connected && !b.Stats().connected; }));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a.Pub("t", "lost"), RELAY_SHARE_OFFLINE);
  b.Want("u");  // a topic that appears during the outage is subscribed once Redis is back
  ASSERT_TRUE(redis.Start());
  ASSERT_TRUE(b.Up(2)) << b.Log();
  ASSERT_TRUE(a.Up(0));
  ASSERT_EQ(a.Pub("t", "back"), RELAY_SHARE_QUEUED);
  ASSERT_EQ(a.Pub("u", "new"), RELAY_SHARE_QUEUED);
  ASSERT_TRUE(WaitUntilTrue([&] { return b.Got().size() == 2; }));
  EXPECT_EQ(b.Got(), (std::vector<std::string>{"t back", "u new"}));
  Srelay_cluster_stats s = a.Stats();
  EXPECT_EQ(s.notShared, 5u);
  EXPECT_EQ(s.outages, 1u);
  // The outage and its end are logged once each.
  std::string log = a.Log();
  EXPECT_EQ(log.find("lost redis"), log.rfind("lost redis")) << log;
  EXPECT_NE(log.find("lost redis"), std::string::npos) << log;
  EXPECT_NE(log.find("is back after"), std::string::npos) << log;
  EXPECT_NE(log.find("5 publications were not shared"), std::string::npos) << log;
}

TEST(RelayCluster, PasswordIsSentAndAWrongOneIsReported) {
  RedisServer redis("s3cret");
  ASSERT_TRUE(redis.Start());
  Srelay_cluster_config good = ConfigFor(redis);
  good.password = "s3cret";
  good.database = 3;
  Srelay_cluster_config bad = good;
  bad.password = "wrong";
  Node a(good), b(bad);
  std::string err;
  ASSERT_TRUE(a.bridge->Start(err)) << err;
  ASSERT_TRUE(b.bridge->Start(err)) << err;
  EXPECT_TRUE(a.Up(0)) << a.Log();
  EXPECT_TRUE(WaitUntilTrue([&] { return b.Log().find("refused AUTH") != std::string::npos; })) << b.Log();
  EXPECT_FALSE(b.Stats().connected);
  // The failure is reported once, not at every retry.
  std::string log = b.Log();
  EXPECT_EQ(log.find("cannot reach redis"), log.rfind("cannot reach redis")) << log;
}

TEST(RelayClusterConfig, RefusesBadSettingsWithTheirName) {
  struct {
    const char* key;
    const char* value;
    bool ok;
  } const cases[] = {
      {"redis", "127.0.0.1:6379", true},
      {"redis", "[::1]:6380", true},
      {"redis", "", true},
      {"redis", "localhost", false},
      {"redis", ":6379", false},
      {"redis", "h:0", false},
      {"redis", "h:70000", false},
      {"redis", "h:63x9", false},
      {"redis", "a b:1", false},
      {"redis", "::1:6379", false},
      {"database", "15", true},
      {"database", "-1", false},
      {"database", "abc", false},
      {"channel_prefix", "", true},
      {"channel_prefix", "a b", false},
      {"connect_timeout_ms", "5", false},
      {"reconnect_max_ms", "1000000", false},
      {"password", "p w", true},
      {"nodes", "x", false},
  };
  for (const auto& c : cases) {
    Srelay_cluster_config cfg;
    std::string err;
    EXPECT_EQ(RelayClusterSet(cfg, c.key, c.value, err), c.ok) << c.key << "=" << c.value;
    if (!c.ok) {
      EXPECT_NE(err.find(c.key), std::string::npos) << err;
    }
  }
  Srelay_cluster_config cfg;
  std::string err;
  ASSERT_TRUE(RelayClusterSet(cfg, "redis", "[::1]:6380", err));
  EXPECT_EQ(cfg.host, "::1");
  EXPECT_EQ(cfg.port, 6380u);
  cfg.reconnectMinMs = 500;
  cfg.reconnectMaxMs = 100;
  EXPECT_FALSE(RelayClusterCheck(cfg, err));
  EXPECT_NE(err.find("reconnect_min_ms"), std::string::npos) << err;

  // The load client's --relay: host:port[:tlsport], IPv6 in brackets.
  struct {
    const char* arg;
    const char* host;
    unsigned port, tls;
  } const relays[] = {
      {"--relay=127.0.0.1:7400", "127.0.0.1", 7400, 0}, {"--relay=h:1:2", "h", 1, 2},
      {"--relay=[::1]:5:6", "::1", 5, 6},                {"--relay=h", nullptr, 0, 0},
      {"--relay=h:0", nullptr, 0, 0},                    {"--relay=h:1:2:3", nullptr, 0, 0},
      {"--relay=:1", nullptr, 0, 0},                     {"--relay=[::1]", nullptr, 0, 0},
  };
  for (const auto& r : relays) {
    Srelay_bench_opts opts;
    char* argv[] = {const_cast<char*>(r.arg)};
    int i = 0;
    bool ok = RelayBenchOption(1, argv, i, opts, err);
    EXPECT_EQ(ok, r.host != nullptr) << r.arg;
    if (ok && r.host != nullptr) {
      ASSERT_EQ(opts.relays.size(), 1u);
      EXPECT_EQ(opts.relays[0].host, r.host);
      EXPECT_EQ(opts.relays[0].port, r.port);
      EXPECT_EQ(opts.relays[0].tlsPort, r.tls);
    }
  }
}

// ---------------------------------------------------------------------------
// Whole relays
// ---------------------------------------------------------------------------

namespace {

// A blocking line client on a relay's plain port; a read gives up after 20 s.
class LineClient {
 public:
  explicit LineClient(unsigned port) : m_fd(ConnectLoopback(port, 20)) { EXPECT_GE(m_fd, 0); }
  ~LineClient() { close(m_fd); }
  void Send(const std::string& s) { EXPECT_EQ(send(m_fd, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
  // The next line without its line end, or "<timeout>".
  std::string Line() {
    while (m_in.find('\n') == std::string::npos) {
      char buf[4096];
      ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
      if (n <= 0) return "<timeout>";
      m_in.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t nl = m_in.find('\n');
    std::string line = m_in.substr(0, nl);
    m_in.erase(0, nl + 1);
    return line;
  }
  // True when a line is already waiting (never blocks).
  bool HasLine() {
    char buf[4096];
    ssize_t n = recv(m_fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) m_in.append(buf, static_cast<std::size_t>(n));
    return m_in.find('\n') != std::string::npos;
  }

 private:
  int m_fd = -1;
  std::string m_in;
};

class RelayClusterApp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_redis.Start());
    char tmpl[] = "/tmp/relay-cluster-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override {
    for (auto& r : m_relays) Stop(r);
    std::string cmd = "rm -rf " + m_dir;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  Srelay_config Config() {
    Srelay_config cfg;
    cfg.tcpPort = cfg.tlsPort = cfg.udpPort = 0;
    cfg.certDir = m_dir;
    cfg.maxConnections = 32;
    cfg.idleSeconds = 3600;
    cfg.poolTiny = cfg.poolSmall = cfg.poolComm = cfg.poolBig = 512;
    cfg.logLevel = RELAY_LOG_ERROR;
    cfg.cluster = ConfigFor(m_redis);
    return cfg;
  }
  Crelay_app* Add() {
    m_relays.emplace_back(new Crelay_app(Config()));
    std::string err;
    EXPECT_TRUE(m_relays.back()->Start(err)) << err;
    return m_relays.back().get();
  }
  static void Stop(std::unique_ptr<Crelay_app>& r) {
    if (!r) return;
    r->Stop();
    std::string detail;
    EXPECT_TRUE(r->AllBuffersHome(detail)) << detail;
    r.reset();
  }
  static Srelay_cluster_stats Cluster(Crelay_app* r) {
    Srelay_cluster_stats s;
    r->ClusterStats(s);
    return s;
  }
  static bool Up(Crelay_app* r, unsigned topics) {
    return WaitUntilTrue([&] { return Cluster(r).connected && Cluster(r).topicsRemote == topics; });
  }
  int Bench(unsigned tlsSubscribers, Srelay_bench_figures& fig) {
    Srelay_bench_opts opts;
    for (auto& r : m_relays) opts.relays.push_back(Srelay_bench_relay{"127.0.0.1", r->TcpPort(), r->TlsPort()});
    opts.subscribers = 6;
    opts.tlsSubscribers = tlsSubscribers;
    opts.publishers = 3;
    opts.topics = 2;
    opts.seconds = 0.4;
    opts.window = 4;
    opts.udpPort = 0;
    FILE* out = std::tmpfile();
    // The relays' timers tick on this thread's event loop: the bench runs beside it.
    int rc = 1;
    std::atomic<bool> done{false};
    std::thread bench([&] {
      rc = RelayRunBench(opts, out, &fig);
      done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    bench.join();
    std::rewind(out);
    char buf[8192];
    std::size_t n = std::fread(buf, 1, sizeof(buf) - 1, out);
    buf[n] = '\0';
    std::fclose(out);
    m_benchOut = buf;
    if (rc != 0) {
      for (auto& r : m_relays) {
        char stats[4096];
        m_benchOut.append(stats, r->FormatStats(stats, sizeof(stats)));
      }
    }
    return rc;
  }

  RedisServer m_redis;
  std::string m_dir;
  std::vector<std::unique_ptr<Crelay_app>> m_relays;
  std::string m_benchOut;
};

}  // namespace

TEST_F(RelayClusterApp, TwoAndThreeRelaysDeliverOnceInOrderToPlainAndTlsSubscribers) {
  Add();
  Add();
  for (auto& r : m_relays) ASSERT_TRUE(Up(r.get(), 0));
  Srelay_bench_figures fig;
  EXPECT_EQ(Bench(1, fig), 0) << m_benchOut;
  EXPECT_GT(fig.crossDelivered, 0u) << m_benchOut;
  // The load client has left: no relay keeps a topic subscribed on Redis.
  for (auto& r : m_relays) EXPECT_TRUE(Up(r.get(), 0));
  Add();
  ASSERT_TRUE(Up(m_relays.back().get(), 0));
  EXPECT_EQ(Bench(2, fig), 0) << m_benchOut;
  EXPECT_GT(fig.crossDelivered, 0u) << m_benchOut;
  EXPECT_EQ(fig.lost + fig.faults + fig.refused, 0u);

  // A topic subscribed on one relay only is not subscribed on Redis by the
  // others, so nothing of it reaches them.
  Crelay_app* solo = m_relays[0].get();
  LineClient c(solo->TcpPort()), m1(m_relays[1]->TcpPort()), m2(m_relays[2]->TcpPort());
  c.Send("SUB solo\n");
  m1.Send("SUB mark\n");
  m2.Send("SUB mark\n");
  for (LineClient* x : {&c, &m1, &m2}) ASSERT_EQ(x->Line(), "OK");
  ASSERT_TRUE(Up(solo, 1));
  ASSERT_TRUE(Up(m_relays[1].get(), 1));
  ASSERT_TRUE(Up(m_relays[2].get(), 1));
  std::uint64_t in1 = Cluster(m_relays[1].get()).in, in2 = Cluster(m_relays[2].get()).in;
  c.Send("PUB solo only here\nPUB mark after\n");
  EXPECT_EQ(c.Line(), "MSG solo only here");
  EXPECT_EQ(c.Line(), "OK");
  EXPECT_EQ(c.Line(), "OK");
  // Redis keeps one publisher's order: the mark behind "solo" is the first and
  // only thing the other relays get.
  EXPECT_EQ(m1.Line(), "MSG mark after");
  EXPECT_EQ(m2.Line(), "MSG mark after");
  EXPECT_EQ(Cluster(m_relays[1].get()).in, in1 + 1);
  EXPECT_EQ(Cluster(m_relays[2].get()).in, in2 + 1);
}

TEST_F(RelayClusterApp, ServesLocallyThroughAnOutageAndSharesAgainAfterItAndAfterARestart) {
  Crelay_app* a = Add();
  Crelay_app* b = Add();
  LineClient pub(a->TcpPort()), local(a->TcpPort()), remote(b->TcpPort());
  local.Send("SUB t\n");
  remote.Send("SUB t\n");
  ASSERT_EQ(local.Line(), "OK");
  ASSERT_EQ(remote.Line(), "OK");
  ASSERT_TRUE(Up(a, 1));
  ASSERT_TRUE(Up(b, 1));
  pub.Send("PUB t one\n");
  EXPECT_EQ(pub.Line(), "OK");
  EXPECT_EQ(local.Line(), "MSG t one");
  EXPECT_EQ(remote.Line(), "MSG t one");

  // Redis goes away in the middle of the run: each relay still serves its own
  // subscribers, and what could not be shared is counted.
  m_redis.Stop();
  ASSERT_TRUE(WaitUntilTrue([&] { return !Cluster(a).connected && !Cluster(b).connected; }));
  pub.Send("PUB t two\n");
  EXPECT_EQ(pub.Line(), "OK");
  EXPECT_EQ(local.Line(), "MSG t two");
  EXPECT_EQ(Cluster(a).notShared, 1u);
  EXPECT_EQ(Cluster(a).outages, 1u);
  EXPECT_FALSE(remote.HasLine());

  // Back again: both relays resubscribe by themselves and share again.
  ASSERT_TRUE(m_redis.Start());
  ASSERT_TRUE(Up(a, 1));
  ASSERT_TRUE(Up(b, 1));
  char stats[4096];
  std::string text(stats, a->FormatStats(stats, sizeof(stats)));
  EXPECT_NE(text.find("\ncluster redis=127.0.0.1:" + std::to_string(m_redis.Port()) + " connected=1 since=20"),
            std::string::npos) << text;
  EXPECT_NE(text.find(" topics_remote=1 "), std::string::npos) << text;
  EXPECT_NE(text.find(" not_shared=1 echoes=1 refused=0 in_no_buffer=0 outages=1 "), std::string::npos) << text;
  pub.Send("PUB t three\n");
  EXPECT_EQ(pub.Line(), "OK");
  EXPECT_EQ(local.Line(), "MSG t three");
  EXPECT_EQ(remote.Line(), "MSG t three");

  // A relay that goes away and comes back (new ports, new origin) rejoins.
  Stop(m_relays[1]);
  Crelay_app* again = Add();
  LineClient back(again->TcpPort());
  back.Send("SUB t\n");
  ASSERT_EQ(back.Line(), "OK");
  ASSERT_TRUE(Up(again, 1));
  pub.Send("PUB t four\n");
  EXPECT_EQ(pub.Line(), "OK");
  EXPECT_EQ(local.Line(), "MSG t four");
  EXPECT_EQ(back.Line(), "MSG t four");
  // One, three and four came back to it and were dropped.
  EXPECT_TRUE(WaitUntilTrue([&] { return Cluster(a).echoes == 3; })) << Cluster(a).echoes;
}

TEST_F(RelayClusterApp, BadClusterSettingsAreRefusedAtStart) {
  Srelay_config cfg = Config();
  cfg.cluster.reconnectMinMs = 9000;
  cfg.cluster.reconnectMaxMs = 100;
  Crelay_app relay(cfg);
  std::string err;
  EXPECT_FALSE(relay.Start(err));
  EXPECT_NE(err.find("reconnect_min_ms"), std::string::npos) << err;
  std::string path = m_dir + "/bad.ini";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("[relay]\ntcp_port=0\n[cluster]\nredis=localhost ; no port\n", f);
  std::fclose(f);
  Srelay_config loaded;
  EXPECT_FALSE(RelayLoadConfig(path.c_str(), loaded, err));
  EXPECT_NE(err.find("bad.ini:4: [cluster] redis=localhost: wants host:port"), std::string::npos) << err;
}

TASKTEST_QT_MAIN()
