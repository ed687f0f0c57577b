// The cluster bridge against a real redis-server: two bridges (two relays'
// worth) share a topic, drop their own echoes, keep order, stop asking for
// topics nobody wants, live through Redis going away and coming back, and
// refuse bad settings.
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "redis_server.h"
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
  Node(const Srelay_cluster_config& cfg) {
    m_mgr.initMessagePool(64, 64, 256, 512, kRelayCommSize, 256, kRelayBigSize, 16);
    m_task = new TestTask(&m_mgr, kRelayTopicTaskId, "topic");
    m_task->onMsg = [this](Cvlk_task*, Cmsg* msg) {
      if (msg->msgType == RELAY_MSG_REMOTE) {
        Srelay_topic_msg* t = reinterpret_cast<Srelay_topic_msg*>(msg);
        std::lock_guard<std::mutex> lock(m_lock);
        m_got.push_back(std::string(t->bytes, t->topicLen) + " " +
                        std::string(t->bytes + t->topicLen, t->textLen));
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
    bridge.reset();
    m_mgr.Stop();
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
  Node a(ConfigFor(redis)), b(ConfigFor(redis));
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
  ASSERT_TRUE(WaitUntilTrue([&] { return b.Got().size() >= want.size(); }));
  EXPECT_EQ(b.Got(), want);
  EXPECT_TRUE(WaitUntilTrue([&] { return a.Stats().echoes == 300 && a.Stats().out == 300; }));
  EXPECT_TRUE(a.Got().empty());  // its own publications never come back to it

  // Another relay's publication that is not in the bridge's framing, or that
  // would smuggle a line end to subscribers, is refused.
  EXPECT_NE(redis.Command("PUBLISH vlk-relay:t hello"), "");
  EXPECT_NE(redis.Command("PUBLISH vlk-relay:t \"0123456789abcdef 1 x\\r\\nMSG t forged\""), "");
  // B stops asking for "t": what A publishes there afterwards no longer reaches it.
  b.Unwant("t");
  ASSERT_TRUE(b.Up(1));
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
}

TASKTEST_QT_MAIN()
