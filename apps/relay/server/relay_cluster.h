// relay_cluster.h: the bridge that lets several relays share their topics
// through Redis publish/subscribe. A topic with local subscribers is subscribed
// on Redis under "<prefix><topic>"; a local publication is published there once,
// framed with this relay's origin id and a sequence number, and what comes back
// from Redis crosses into the framework as pool messages for the topic task.
#ifndef RELAY_CLUSTER_H
#define RELAY_CLUSTER_H

#include <atomic>
#include <cstdint>
#include <string>

#include <vlk_container.h>
#include <vlk_sys.h>
#include <vlk_task.h>

struct redisAsyncContext;
struct redisReply;

// The [cluster] settings. Cluster mode is on when host is set.
struct Srelay_cluster_config {
  std::string host;                  // from "redis=host:port"; empty: no cluster
  unsigned port = 6379;
  std::string password;              // sent with AUTH when not empty
  unsigned database = 0;             // sent with SELECT when not 0 (publish/subscribe ignores it)
  std::string channelPrefix = "vlk-relay:";  // every channel is prefix + topic
  unsigned connectTimeoutMs = 2000;  // connect and handshake, and the longest silence while waiting on Redis
  unsigned reconnectMinMs = 100;     // first retry after a failure; doubled up to the maximum
  unsigned reconnectMaxMs = 5000;
  bool Enabled() const { return !host.empty(); }
  bool operator==(const Srelay_cluster_config& o) const {
    return host == o.host && port == o.port && password == o.password && database == o.database &&
           channelPrefix == o.channelPrefix && connectTimeoutMs == o.connectTimeoutMs &&
           reconnectMinMs == o.reconnectMinMs && reconnectMaxMs == o.reconnectMaxMs;
  }
  bool operator!=(const Srelay_cluster_config& o) const { return !(*this == o); }
};

// Sets one [cluster] key from its text; false with err naming the key and the
// reason when the key is unknown or the value unusable.
bool RelayClusterSet(Srelay_cluster_config& cfg, const std::string& key, const std::string& value, std::string& err);
// Checks the settings as a whole; false with err set.
bool RelayClusterCheck(const Srelay_cluster_config& cfg, std::string& err);
// The keys RelayClusterSet knows, null-terminated.
extern const char* const kRelayClusterKeys[];

// What happened to a publication handed to the bridge.
enum Erelay_share {
  RELAY_SHARE_QUEUED = 0,  // on its way to Redis
  RELAY_SHARE_OFFLINE,     // Redis is unreachable: not shared (counted)
  RELAY_SHARE_BUSY,        // connected, but the queue to Redis is full or no buffer was left (counted)
};

// A consistent-enough copy of the bridge's state for STATS.
struct Srelay_cluster_stats {
  bool connected = false;
  std::int64_t sinceMs = 0;          // wall clock (ms since 1970) of the last connect or loss; 0: never
  unsigned topicsRemote = 0;         // channels this relay is subscribed to on Redis
  std::uint64_t in = 0;              // messages from other relays handed to the topic task
  std::uint64_t out = 0;             // publications Redis confirmed
  std::uint64_t notShared = 0;       // publications not published, or not confirmed before the link broke
  std::uint64_t echoes = 0;          // own publications that came back (dropped)
  std::uint64_t refused = 0;         // messages from Redis not ours to deliver (bad framing, out of order)
  std::uint64_t inNoBuffer = 0;      // messages from Redis lost for want of a pool buffer
  std::uint64_t outages = 0;         // times the link to Redis was lost
  std::uint64_t tableFull = 0;       // topics that could not be tracked (table full)
};

// The bridge. One thread of its own runs both Redis connections (one subscribed,
// one publishing) with a poll loop; the topic task only ever takes the bridge's
// short lock to record a change or queue a publication, and never waits on Redis.
// Thread-safety: Want, Unwant and Publish from one thread at a time (the topic
// task); ReadStats from any thread; Start and Stop from the owner's thread.
// Shutdown: Stop wakes the loop, which closes both connections and gives every
// queued buffer back to the pool, then the thread is joined.
class Crelay_cluster : public Cvlk_thread {
 public:
  // Messages from Redis go to (dstTask, dstFactory) as Srelay_topic_msg records
  // of type RELAY_MSG_REMOTE. maxTopics bounds the topics tracked at once.
  Crelay_cluster(const Srelay_cluster_config& cfg, Cvlk_task_mgr* mgr, unsigned dstTask, unsigned dstFactory,
                 unsigned maxTopics);
  ~Crelay_cluster() override;

  // Sets up and starts the thread; false with err set.
  bool Start(std::string& err);
  // Stops and joins the thread; safe to call twice.
  void Stop() { stop(); }
  void requestStop() override;

  // The topic got its first local subscriber / lost its last one.
  void Want(const char* topic, unsigned len) { mark(topic, len, true); }
  void Unwant(const char* topic, unsigned len) { mark(topic, len, false); }
  // Hands a local publication over for Redis; never waits.
  Erelay_share Publish(const char* topic, unsigned topicLen, const char* text, unsigned textLen);
  // When the bridge has given buffers back, the pool has room and *waiting
  // (work held back for want of room) is not 0, a bare message of this type goes
  // to (task, factory), at most every 5 ms. REQUIRES: before Start.
  void SetRoomNotice(unsigned task, unsigned factory, unsigned type, const std::atomic<std::uint64_t>* waiting) {
    m_noticeTask = task;
    m_noticeFactory = factory;
    m_noticeType = type;
    m_waiting = waiting;
  }
  // The topic task has fanned out one RELAY_MSG_REMOTE message.
  void Consumed() { m_inFlight.fetch_sub(1, std::memory_order_relaxed); }

  void ReadStats(Srelay_cluster_stats& out) const;
  std::uint64_t Origin() const { return m_origin; }

 protected:
  void run() override;

 private:
  // Holds a Cvlk_mutex for one scope.
  class Cguard {
   public:
    explicit Cguard(Cvlk_mutex& m) : m_m(m) { m_m.Take(); }
    ~Cguard() { m_m.Give(); }
    Cguard(const Cguard&) = delete;
    Cguard& operator=(const Cguard&) = delete;

   private:
    Cvlk_mutex& m_m;
  };
  enum Estate : unsigned char { REMOTE_NONE = 0, REMOTE_SUBSCRIBING, REMOTE_SUBSCRIBED, REMOTE_UNSUBSCRIBING };
  // A tracked topic's record in the table.
  struct Stopic {
    unsigned char wanted;  // a local subscriber exists (set by the topic task)
    unsigned char remote;  // Estate, as far as this relay has asked Redis (bridge thread)
    unsigned char queued;  // its id is in the change ring
  };
  struct Sconn {
    Crelay_cluster* owner = nullptr;
    redisAsyncContext* ac = nullptr;
    bool subscriber = false;
    bool wantRead = false;
    bool wantWrite = false;
    bool ready = false;  // handshake answered
  };
  static constexpr unsigned kBatch = 64;        // topics per SUBSCRIBE, buffers per drain step
  static constexpr unsigned kMaxQueued = 2048;  // publications waiting for the bridge thread
  static constexpr unsigned kMaxInflight = 8192;  // publications Redis has not answered yet
  static constexpr unsigned kMaxInbound = 256;    // messages from Redis the topic task has not fanned out yet

  void mark(const char* topic, unsigned len, bool wanted);
  void wake();
  std::int64_t nowMs() const;

  // Bridge thread only.
  void connect();
  bool attach(Sconn& c);
  void handshake(Sconn& c);
  void fail(const char* reason);
  void teardown();
  void onReady();
  void drainPublications(bool send);
  void processChanges();
  void resubscribeAll();
  void decide(unsigned id, Stopic* t, const unsigned char* key, unsigned keyLen);
  void flushCommands();
  void keepAlive(std::int64_t now);
  // False while the topic task has kMaxInbound messages from Redis still to fan
  // out, or any size class of the pool has less than half of its buffers idle:
  // the subscribed connection is then not read.
  bool inboundRoom() const;
  // True while every size class of the pool has at least half of its buffers idle.
  bool poolRoomy() const;
  // Sends the room notice when it is due (see SetRoomNotice).
  void noticeRoom();
  void onMessage(const redisReply* reply);
  void onSubscription(const redisReply* reply, bool subscribed);
  // Hands a message from Redis to the topic task, or parks it when no buffer is
  // left (lost and counted only when the parking space is full).
  void deliver(const char* topic, unsigned topicLen, const char* text, unsigned textLen);
  bool handOver(const char* topic, unsigned topicLen, const char* text, unsigned textLen);
  void flushParked();
  bool acceptOrder(std::uint64_t origin, std::uint64_t seq);
  void logLimited(const char* what, std::uint64_t count);

  static void onConnect(const redisAsyncContext* ac, int status);
  static void onDisconnect(const redisAsyncContext* ac, int status);
  static void onHandshake(redisAsyncContext* ac, void* reply, void* step);
  static void onPublished(redisAsyncContext* ac, void* reply, void* privdata);
  static void onPushed(redisAsyncContext* ac, void* reply, void* privdata);
  static void onPong(redisAsyncContext* ac, void* reply, void* privdata);
  static void evAddRead(void* conn);
  static void evDelRead(void* conn);
  static void evAddWrite(void* conn);
  static void evDelWrite(void* conn);
  static void evCleanup(void* conn);

  const Srelay_cluster_config m_cfg;
  Cvlk_task_mgr* const m_mgr;
  const unsigned m_dstTask;
  const unsigned m_dstFactory;
  const unsigned m_capacity;
  unsigned m_noticeTask = 0, m_noticeFactory = 0, m_noticeType = 0;  // set before Start
  const std::atomic<std::uint64_t>* m_waiting = nullptr;               // set before Start
  std::int64_t m_noticeAt = 0;  // bridge thread only
  std::uint64_t m_origin = 0;  // fixed at construction
  int m_wakeFd = -1;           // eventfd: the loop's wake-up
  std::atomic<bool> m_woken{false};

  // Guards the topic table, the change ring and the publication queue.
  mutable Cvlk_mutex m_lock;
  Cvlk_hash_tbl* m_topics = nullptr;  // topic -> Stopic; GUARDED_BY(m_lock)
  unsigned* m_ring = nullptr;         // ids of changed topics; GUARDED_BY(m_lock)
  unsigned m_ringHead = 0, m_ringCount = 0;  // GUARDED_BY(m_lock)
  Cvlk_link* m_queue = nullptr;       // publications (Srelay_topic_msg buffers); GUARDED_BY(m_lock)

  // Bridge thread only.
  Sconn m_sub;
  Sconn m_pub;
  bool m_broken = false;
  std::string m_reason;        // why the link broke
  bool m_everUp = false;
  bool m_outageLogged = false;
  std::int64_t m_connectAt = 0;      // when the current attempt began (0: none)
  std::int64_t m_nextAttemptAt = 0;
  unsigned m_backoffMs = 0;
  std::int64_t m_downSince = 0;
  std::uint64_t m_notSharedAtLoss = 0;
  std::uint64_t m_seq = 0;           // sequence of this relay's publications
  unsigned m_inflight = 0;           // PUBLISH and PING commands Redis has not answered
  std::int64_t m_progressAt = 0;     // last answer (or first command) on the publishing link
  std::int64_t m_lastPingAt = 0;
  bool m_resubscribe = false;
  struct Sorigin {
    std::uint64_t origin;
    std::uint64_t seq;
    std::uint64_t used;
  };
  static constexpr unsigned kOrigins = 64;
  Sorigin m_origins[kOrigins] = {};
  std::uint64_t m_originClock = 0;
  std::int64_t m_lastLimitedLogAt = 0;
  char m_frame[16 + 1 + 20 + 1 + 1100];     // one framed publication
  char m_channel[128 + 80];                 // prefix + topic
  // Messages read from Redis that found no pool buffer yet, in arrival order:
  // [topic length][text length: 3 bytes][topic][text]. Reading pauses while it
  // holds any, so one read of the connection (16 KB) is the most it has to take.
  char m_park[64 * 1024];
  unsigned m_parkHead = 0, m_parkLen = 0;

  std::atomic<bool> m_connected{false};
  std::atomic<std::int64_t> m_sinceMs{0};
  std::atomic<unsigned> m_topicsRemote{0};
  std::atomic<unsigned> m_queued{0};
  std::atomic<int> m_inFlight{0};  // handed to the topic task, not yet fanned out
  std::atomic<std::uint64_t> m_in{0}, m_out{0}, m_notShared{0}, m_echoes{0}, m_refused{0}, m_inNoBuffer{0},
      m_outages{0}, m_tableFull{0};
};

#endif  // RELAY_CLUSTER_H
