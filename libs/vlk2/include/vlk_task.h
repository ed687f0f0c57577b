/// @file vlk_task.h
/// The task and messaging framework: message records, the message
/// pool, the task manager, tasks, timer pools, factories and state machines.
#ifndef VLK_TASK_H
#define VLK_TASK_H

#include "vlk_base.h"
#include "vlk_container.h"
#include "vlk_sys.h"
#include "vlk_text.h"

// ===========================================================================
// Message records and message buffers: owned by the framework core
// ===========================================================================

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

/// Message types carried in Cmsg::msgType. Values 2 and 6 and above are free for
/// the application.
enum Emsg_type : std::uint32_t {
  MSG_APP = 0,             ///< left by Cmsg::Init; no special handling
  MSG_TIMEOUT = 1,         ///< Csys_timout_msg: a timer of the destination task expired
  MSG_FAC_INNER = 3,       ///< Csys_fac_inner_msg: an inner event a factory sent to itself
  MSG_CHECK_RELATION = 4,  ///< probe of a peer machine; answered with MSG_RELATION_OFF when it is gone
  MSG_RELATION_OFF = 5,    ///< bare Cmsg: the peer is gone, the receiving machine is killed
};

/// Bit 0 of Cmsg::msgFlags: the sending state machine traces.
constexpr std::uint32_t MSG_FLAG_TRACE = 1u;

/// The 48-byte header in front of every message: the routing address (task,
/// factory, state machine) of source and destination, the type, two words for the
/// application and the flags. The body, if any, starts at byte 48 of the same
/// buffer. The layout is an interface shared with every application: it never
/// changes. A plain record: copying copies all twelve words.
struct Cmsg {
  std::uint32_t srcTaskId;     ///< byte 0
  std::uint32_t srcFactoryId;  ///< byte 4
  std::uint32_t srcFsmId;      ///< byte 8; the timer id in a timer-expiry message
  std::uint32_t srcExtra;      ///< byte 12
  std::uint32_t dstTaskId;     ///< byte 16; 1..31 names a registered task
  std::uint32_t dstFactoryId;  ///< byte 20; compared with the factory's object id
  std::uint32_t dstFsmId;      ///< byte 24; 0 lets the factory choose a machine
  std::uint32_t dstExtra;      ///< byte 28
  std::uint32_t msgType;       ///< byte 32; an Emsg_type value
  std::uint32_t appWord1;      ///< byte 36; never read by the framework
  std::uint32_t appWord2;      ///< byte 40; never read by the framework
  std::uint32_t msgFlags;      ///< byte 44; bit 0 is MSG_FLAG_TRACE

  /// Zeroes the 48 header bytes.
  void Init() { std::memset(this, 0, sizeof(Cmsg)); }
};
static_assert(sizeof(Cmsg) == 48, "Cmsg is the 48-byte message header");
static_assert(std::is_standard_layout<Cmsg>::value && std::is_trivially_copyable<Cmsg>::value,
              "Cmsg is a plain record");
static_assert(offsetof(Cmsg, srcTaskId) == 0 && offsetof(Cmsg, srcFactoryId) == 4 && offsetof(Cmsg, srcFsmId) == 8 &&
                  offsetof(Cmsg, srcExtra) == 12 && offsetof(Cmsg, dstTaskId) == 16 &&
                  offsetof(Cmsg, dstFactoryId) == 20 && offsetof(Cmsg, dstFsmId) == 24 &&
                  offsetof(Cmsg, dstExtra) == 28 && offsetof(Cmsg, msgType) == 32 && offsetof(Cmsg, appWord1) == 36 &&
                  offsetof(Cmsg, appWord2) == 40 && offsetof(Cmsg, msgFlags) == 44,
              "Cmsg word offsets are fixed");

/// The payload of one timer: the owning task, the factory and machine its expiry
/// message goes to, and up to seven user bytes. A plain record, copied whole.
struct Ctimer_data {
  std::uint32_t taskId;     ///< 32 means "not filled yet": such a timer cannot be created
  std::uint32_t factoryId;  ///< destination factory of the expiry message
  std::uint32_t fsmId;      ///< destination machine of the expiry message (0: the factory chooses)
  std::uint8_t dataLen;     ///< valid bytes in data, at most 7
  std::uint8_t data[7];  ///< the user bytes

  /// taskId 32, every other byte 0.
  void Init() {
    std::memset(this, 0, sizeof(Ctimer_data));
    taskId = 32;
  }
};
static_assert(sizeof(Ctimer_data) == 20, "Ctimer_data is 20 bytes");

/// The timer-expiry message (56 bytes): the header, then dataLen at byte 48 and the
/// seven data bytes at 49..55.
struct Csys_timout_msg : public Cmsg {
  std::uint8_t dataLen;  ///< number of valid bytes in data, at most 7
  std::uint8_t data[7];  ///< the user bytes

  /// Zeroes all 56 bytes, msgType = MSG_TIMEOUT.
  void Init() {
    std::memset(static_cast<void*>(this), 0, sizeof(Csys_timout_msg));
    msgType = MSG_TIMEOUT;
  }
};
static_assert(sizeof(Csys_timout_msg) == 56, "Csys_timout_msg is 56 bytes");

/// The factory inner-event message (60 bytes): the header, then three words at
/// bytes 48, 52 and 56.
struct Csys_fac_inner_msg : public Cmsg {
  std::uint32_t innerArg1;  ///< first argument of _sendInnerEvent
  std::uint32_t innerArg2;  ///< second argument of _sendInnerEvent
  std::uint32_t innerArg3;  ///< third argument of _sendInnerEvent

  /// Zeroes all 60 bytes, msgType = MSG_FAC_INNER.
  void init() {
    std::memset(static_cast<void*>(this), 0, sizeof(Csys_fac_inner_msg));
    msgType = MSG_FAC_INNER;
  }
};
static_assert(sizeof(Csys_fac_inner_msg) == 60, "Csys_fac_inner_msg is 60 bytes");

/// One pooled message buffer: a node of one size class of the message pool that
/// owns size + 4 bytes, zeroed once at construction. A buffer taken from the pool
/// keeps the bytes of its previous message: senders fill every header word they
/// rely on (or call Cmsg::Init first).
/// Ownership: the buffer belongs to whoever took it from the pool until it is sent
/// or freed; once sent, the framework owns it. The pool (its Qt parent) deletes it.
/// Thread-safety: owned by one thread at a time; the pool's lock guards its links.
class VLK_EXPORT Cvlk_msg_buf : public Cvlk_res_node {
 public:
  /// Allocates size + 4 bytes; on failure the object's error is ERR_OUT_OF_MEMORY
  /// and the buffer pointer is null.
  Cvlk_msg_buf(unsigned int size, Cvlk_resource* pool);
  ~Cvlk_msg_buf() override;

  /// The bytes, seen as a header; the body follows at byte 48.
  Cmsg* GetMsgPointer() const { return reinterpret_cast<Cmsg*>(m_buf); }
  /// Allocated length in bytes: the size class's buffer size plus 4.
  unsigned int GetBufLen() const { return m_bufLen; }

 private:
  friend class Cvlk_task;      ///< stamps m_queuedNs
  friend class Cvlk_msg_pool;  ///< links it into the routing queue

  void init();  ///< zeroes the whole buffer

  unsigned char* m_buf;
  unsigned int m_bufLen;
  /// When the buffer was put on a task's queue (coarse monotonic clock, ns);
  /// written and read under that task's queue lock.
  std::int64_t m_queuedNs = 0;
  /// The buffer queued for the routing thread just before this one, while
  /// this one waits there; written by the sender before it publishes the
  /// buffer, read by the thread that takes the queue.
  Cvlk_msg_buf* m_routeNext = nullptr;
  /// Set while the buffer waits for the routing thread, so that a free of it
  /// is refused as for a buffer in a task's queue.
  std::atomic<bool> m_routing{false};
};


// (section end: Message records and message buffers)

// ===========================================================================
// Message pool: owned by the framework core
// ===========================================================================

class Cvlk_task_mgr;
class Cvlk_task;

/// The four size classes of the message pool, smallest first.
enum Emsg_class : std::uint32_t {
  EMSG_CLASS_TINY = 0,
  EMSG_CLASS_SMALL = 1,
  EMSG_CLASS_COMM = 2,
  EMSG_CLASS_BIG = 3,
  EMSG_CLASS_NUM = 4,
};

/// Indexes of the message pool's statistics (Cvlk_task_mgr::GetMsgStat); their
/// names are what showMessageStat prints. The first twelve count allocation and
/// freeing; the four after them count misaddressed messages, each of which is
/// freed and the first of each kind logged with sigLogWarning.
enum Emsg_stat : std::uint32_t {
  EMSG_STAT_E_NO_MSG_NODE = 0,        ///< a request returned no buffer
  EMSG_STAT_E_NO_TINY_MSG_NODE = 1,   ///< the chosen class was empty ...
  EMSG_STAT_E_NO_SMALL_MSG_NODE = 2,
  EMSG_STAT_E_NO_COMM_MSG_NODE = 3,
  EMSG_STAT_E_NO_BIG_MSG_NODE = 4,
  EMSG_STAT_E_NO_MSG_BUF = 5,         ///< never counted
  EMSG_STAT_N_ALLOC_MSG = 6,          ///< a request returned a buffer
  EMSG_STAT_N_ALLOC_TINY_MSG = 7,     ///< a request chose the class ...
  EMSG_STAT_N_ALLOC_SMALL_MSG = 8,
  EMSG_STAT_N_ALLOC_COMM_MSG = 9,
  EMSG_STAT_N_ALLOC_BIG_MSG = 10,
  EMSG_STAT_N_FREE_MSG = 11,          ///< a buffer went back to its class
  /// A message for a task id that names no registered task was freed (routing
  /// thread, SendMsgToTask).
  EMSG_STAT_E_NO_TASK = 12,
  /// A message for a factory id that no factory of the task has, and that the
  /// task's _fsm_not_found did not take, was freed.
  EMSG_STAT_E_NO_FACTORY = 13,
  /// A message whose dstFsmId names no busy machine of the factory (a stale or
  /// wrong id) was left unprocessed by _routeMsgErr and freed.
  EMSG_STAT_E_NO_FSM = 14,
  /// A message naming no machine reached the default Cfactory::_facMsgPrc with a
  /// type it does not know, and was freed.
  EMSG_STAT_E_UNKNOWN_MSG = 15,
  EMSG_STAT_NUM = 16,
};

/// @cond VLK_INTERNAL
/// The process's message buffers in four fixed size classes, the routing queue
/// and the routing thread that moves queued buffers to their destination task.
/// Internal: applications reach it through Cvlk_task_mgr and Cvlk_task.
/// Thread-safety: any thread allocates, frees and queues; m_lock guards the
/// classes. The statistics of allocation and freeing are stepped under m_lock;
/// every step is atomic, so the counts are exact.
/// The routing queue takes no lock: a sender pushes its buffer onto a stack
/// with one compare-and-swap, and the routing thread takes the whole stack
/// with one exchange and turns it round, so each sender's buffers come out in
/// the order sent. Only the sender that finds the stack empty wakes the
/// routing thread; it drains until it finds the stack empty again.
/// Lock order: never holds m_lock while taking a task's queue lock.
/// A handler's send may skip the routing thread (Post); m_inFlight keeps each
/// sender's order.
/// Shutdown: Close() (the manager's Stop) stops and joins the routing thread, then
/// returns every still queued buffer to its class; later sends free the buffer.
class Cvlk_msg_pool : public Cvlk_thread {
  friend class Cvlk_timer_pool;  ///< names m_lock in its lock order

 public:
  explicit Cvlk_msg_pool(Cvlk_task_mgr* mgr);
  ~Cvlk_msg_pool() override;

  /// Creates one class: bufSize bytes (plus 4) per buffer, nodeCnt buffers.
  /// ERR_OUT_OF_MEMORY when a pool or buffer could not be made; ERR_INVALID_OPR
  /// when the class exists already.
  EerrNo InitClass(unsigned int cls, unsigned int bufSize, unsigned int nodeCnt);
  /// A buffer of the first class whose size is at least size, or null. The
  /// caller owns the buffer.
  Cvlk_msg_buf* Alloc(unsigned int size) VLK_EXCLUDES(m_lock);
  /// Returns a buffer to its class. ERR_INVALID_PARAM for null or a buffer of no
  /// class of this pool; ERR_INVALID_OPR for one that is idle or still queued.
  EerrNo Free(Cvlk_msg_buf* buf) VLK_EXCLUDES(m_lock);
  /// Free for n buffers (none null) under one lock hold; what Free refuses is
  /// left alone, as Free leaves it.
  void FreeBatch(Cvlk_msg_buf* const* bufs, unsigned int n) VLK_EXCLUDES(m_lock);
  /// FreeBatch(bufs, n), then Alloc(size), under one lock hold.
  Cvlk_msg_buf* FreeBatchAlloc(Cvlk_msg_buf* const* bufs, unsigned int n, unsigned int size) VLK_EXCLUDES(m_lock);
  /// Returns a buffer to the class of whichever pool made it (for callers that
  /// have no manager at hand). ERR_INVALID_PARAM for null or a buffer of no pool.
  static EerrNo FreeToOwner(Cvlk_msg_buf* buf);
  /// Hands a buffer to the routing side; the pool owns it from now on. A send
  /// of a handler allowed to (Cvlk_task::m_mayDeliver) while the routing
  /// thread runs and holds no buffer goes straight to the task's queue
  /// (deliverDirect); any other is queued for the routing thread.
  EerrNo Post(Cvlk_msg_buf* buf) VLK_EXCLUDES(m_lock);
  /// Stops the routing thread, joins it, frees what is still queued. Idempotent.
  void Close() VLK_EXCLUDES(m_lock);

  void requestStop() override;

  unsigned int GetClassSize(unsigned int cls) const { return cls < EMSG_CLASS_NUM ? m_size[cls] : 0u; }
  unsigned int GetRealNum(unsigned int cls) VLK_EXCLUDES(m_lock);
  unsigned int GetIdleNum(unsigned int cls) VLK_EXCLUDES(m_lock);
  unsigned int GetStat(unsigned int idx) const;
  void ClearStat();
  void IncStat(unsigned int idx);
  /// The status block ("Message pool::" and one line per class) through the
  /// manager's Display.
  void PrintStatus() VLK_EXCLUDES(m_lock);
  /// The status block, then the statistics that are not 0.
  void PrintStat() VLK_EXCLUDES(m_lock);

 protected:
  void run() override;

 private:
  static constexpr unsigned int kRouteBatch = 32;

  /// Takes every buffer queued so far, oldest first, as a chain through
  /// m_routeNext (null when none), their m_routing cleared; m_inFlight still
  /// counts them.
  Cvlk_msg_buf* takeQueue();
  /// Routes a chain from takeQueue, kRouteBatch buffers at a time.
  void routeChain(Cvlk_msg_buf* chain) VLK_EXCLUDES(m_lock);
  /// Delivers n buffers in queue order; a run of buffers for one task goes to
  /// its queue under one lock hold, and each task is woken once, after the
  /// whole batch is placed and m_inFlight lowered.
  void route(Cvlk_msg_buf** bufs, unsigned int n) VLK_EXCLUDES(m_lock);
  /// Appends n buffers for task dst to its queue without waking it and returns
  /// the task; when there is no such task (counted in EMSG_STAT_E_NO_TASK) or
  /// it is closed, frees them and returns null.
  Cvlk_task* place(unsigned int dst, Cvlk_msg_buf* const* bufs, unsigned int n) VLK_EXCLUDES(m_lock);
  /// Post's way around the routing thread: the buffer is placed as route
  /// places it, and its task woken.
  void deliverDirect(Cvlk_msg_buf* buf) VLK_EXCLUDES(m_lock);
  EerrNo freeLocked(Cvlk_msg_buf* buf) VLK_REQUIRES(m_lock);
  Cvlk_msg_buf* allocLocked(unsigned int size) VLK_REQUIRES(m_lock);
  void freeBatchLocked(Cvlk_msg_buf* const* bufs, unsigned int n) VLK_REQUIRES(m_lock);

  Cvlk_task_mgr* m_mgr;
  Cvlk_fast_mutex m_lock;
  Cvlk_resource* m_class[EMSG_CLASS_NUM] VLK_GUARDED_BY(m_lock);
  unsigned int m_size[EMSG_CLASS_NUM];  ///< written by InitClass before any traffic
  Cvlk_counter* m_stat;
  /// The routing side on a cache line of its own: senders and the routing
  /// thread meet here, allocation and freeing meet at m_lock.
  /// The routing queue: the newest buffer, linked to older ones through
  /// m_routeNext. Senders push with a compare-and-swap; the routing thread
  /// (Close once it is gone) takes everything with one exchange.
  alignas(64) std::atomic<Cvlk_msg_buf*> m_routeHead{nullptr};
  /// Set once by Close; a sender that sees it frees its buffer.
  std::atomic<bool> m_closed{false};
  /// Buffers the routing thread holds: queued, or taken and not yet placed in a
  /// task's queue (or freed). Raised by a sender before it pushes, lowered
  /// (release) by the routing thread once its batch is placed. A handler's send
  /// skips the routing thread only when it reads 0: then every earlier buffer
  /// of its sender is in a task's queue already. Close also waits on it for
  /// senders that raised it before they saw m_closed.
  std::atomic<unsigned int> m_inFlight{0};
  /// Released by a sender that found the routing queue empty; releases coalesce.
  Cvlk_semaphore m_wake;
};
/// @endcond


// (section end: Message pool)

// ===========================================================================
// Task manager and task: owned by the framework core
// ===========================================================================

class Cvlk_task;
class Cfactory;
class Cvlk_timer_pool;

/// One task's queue metrics, as Cvlk_task_mgr::GetQueueMetrics and
/// Cvlk_task::TakeQueueMetrics hand them out: a copy taken under the task's
/// queue lock, so the figures are consistent with one another.
/// Times in queue run from when a buffer was put on the task's queue (by a
/// sender, the routing thread or the timer pool) to when the task thread took
/// it; they are read from the coarse monotonic clock (CLOCK_MONOTONIC_COARSE,
/// whose resolution is the kernel tick, typically 1 to 4 ms), once per send
/// and once per batch taken, so that keeping them costs no more than a memory
/// read per message. Over many messages the mean is sound to well below that
/// resolution; a maximum is exact only to it (0 means "under one tick").
struct Cvlk_queue_metrics {
  /// Buffers waiting in the queue when the copy was taken.
  unsigned int depth = 0;
  /// The most buffers the queue has held at once since the task was made.
  unsigned int highWater = 0;
  /// Messages the task thread has taken from its queue and processed since the
  /// task was made.
  std::uint64_t handled = 0;
  /// Messages taken from the queue since the previous read: the ones that the
  /// two times below describe (0: no time to report).
  std::uint64_t timed = 0;
  /// Mean time in queue of those messages, in nanoseconds.
  std::uint64_t meanQueueNs = 0;
  /// Longest time in queue of those messages, in nanoseconds.
  std::uint64_t maxQueueNs = 0;
};

/// The root of an application: owns the message pool, a table of up to 32 tasks,
/// the global trace switch and the five signals through which every log, trace
/// and display line of the framework leaves the library.
/// Use: derive, create the tasks with the manager as Qt parent, regTask them,
/// initMessagePool, Run; the calling thread then runs a Qt event loop (the timer
/// pools tick there).
/// Event loop: the timer pools are created on the thread that calls Run and
/// advance on its Qt event loop. That thread needs a QCoreApplication and an
/// event dispatcher (the main thread once QCoreApplication exists, or a QThread),
/// and must then run exec() (or process events regularly): otherwise no timer
/// fires, self-checking never runs and nothing else reports it. Run logs a
/// warning when it finds no QCoreApplication or no dispatcher; a loop that is
/// never run cannot be detected.
/// Thread-safety: SendMsg, SendMsgToTask, TransferMsg, GetMsgBuf, FreeMsgBuf, the
/// trace switch and the output functions may be called from any thread. regTask
/// and initMessagePool are called before Run, on one thread; the task table is
/// read-only afterwards.
/// Shutdown: Stop() (also run by the destructor) stops and joins the routing
/// thread, then every registered task's thread, and returns every buffer still
/// queued to the pool. A derived manager that owns tasks as members calls Stop()
/// in its own destructor. The destructor then deletes the tasks it is the Qt
/// parent of, then the pool.
class VLK_EXPORT Cvlk_task_mgr : public QObject {
  Q_OBJECT
 public:
  /// A manager without tasks or message pool; seeds the runtime's random generator.
  explicit Cvlk_task_mgr(QObject* parent = nullptr);
  ~Cvlk_task_mgr() override;

  Cvlk_task_mgr(const Cvlk_task_mgr&) = delete;
  Cvlk_task_mgr& operator=(const Cvlk_task_mgr&) = delete;

  /// Starts the routing thread, then each registered task in slot order (timer
  /// pool, OnCreate, thread), then afterRun(). ERR_NOT_INITIAL without a message
  /// pool, ERR_INVALID_OPR when already run or stopped. Logs a warning through
  /// sigLogWarning when the calling thread has no QCoreApplication or no Qt
  /// event dispatcher, since the timer pools could then never tick.
  /// REQUIRES: the calling thread runs a Qt event loop afterwards.
  EerrNo Run();
  /// Stops and joins the routing thread and every registered task thread and
  /// gives every buffer still queued back to the pool; buffers sent afterwards are
  /// freed at once. Idempotent; a stopped manager cannot run again.
  /// REQUIRES: not called from a task thread or the routing thread.
  void Stop();

  /// Queues the buffer for the routing thread, which hands it to the task named
  /// by dstTaskId (or frees it when no task has that id). The first send of a
  /// handler (on a task thread of this manager) whose task had nothing else
  /// queued goes straight to the task's queue instead while the routing thread
  /// runs and holds no buffer: a request and its answer then wake one thread
  /// each, not two. Either way each sender's buffers reach a task in the order
  /// sent. The buffer belongs to the framework from now on.
  /// ERR_INVALID_PARAM for null.
  EerrNo SendMsg(Cvlk_msg_buf* buf);
  /// Delivers on the caller's thread: appends the buffer to the queue of the task
  /// named by dstTaskId. When no task has that id the buffer is freed, counted in
  /// EMSG_STAT_E_NO_TASK and ERR_OBJ_NOT_FOUND returned. Owned as SendMsg in
  /// every case. ERR_INVALID_PARAM for null.
  EerrNo SendMsgToTask(Cvlk_msg_buf* buf);
  /// Does nothing and returns ERR_OK: the buffer stays with the caller, who
  /// still sends or frees it. (The replay of saved messages, which hands
  /// PRC_TRANSFER buffers here, frees them itself afterwards.)
  EerrNo TransferMsg(Cvlk_msg_buf* buf);

  /// A buffer from the first size class of at least size bytes (header included),
  /// or null. The first failure of the process emits sigErrorNoMsgBuf().
  /// The caller owns the buffer until it sends or frees it.
  Cvlk_msg_buf* GetMsgBuf(unsigned int size);
  /// Returns the buffer to its class. ERR_INVALID_PARAM for null or a foreign
  /// buffer, ERR_INVALID_OPR for one already free or still queued.
  EerrNo FreeMsgBuf(Cvlk_msg_buf* buf);

  /// Turns the trace switch on: trace lines of traced factories and machines are emitted.
  void TraceOn() { m_trace.store(VLK_TRUE, std::memory_order_relaxed); }
  /// Turns the trace switch off.
  void TraceOff() { m_trace.store(VLK_FALSE, std::memory_order_relaxed); }
  /// Whether the trace switch is on. Any thread.
  Ebool HasTraceOn() const { return static_cast<Ebool>(m_trace.load(std::memory_order_relaxed)); }

  /// sigOutputTraceInfo(text) unless text is null or empty.
  void Display(const char* text);
  /// Display(text) while the trace switch is on.
  void TraceInfo(const char* text);
  /// sigLogInfo, sigLogWarning, sigLogError with the text (also an empty one).
  void LogInfo(const char* text);
  /// Emits sigLogWarning(text), also for an empty text. Any thread.
  void LogWarning(const char* text);
  /// Emits sigLogError(text), also for an empty text. Any thread.
  void LogError(const char* text);

  /// Diagnostics: the pool's counts and statistics (0 before initMessagePool),
  /// the number of failed buffer requests, the number of registered tasks.
  unsigned int GetMsgRealNum(unsigned int cls) const;
  /// Idle buffers of the class cls (an Emsg_class); 0 before initMessagePool.
  unsigned int GetMsgIdleNum(unsigned int cls) const;
  /// Buffer size of the class cls; 0 before initMessagePool.
  unsigned int GetMsgBufSize(unsigned int cls) const;
  /// The statistic idx (an Emsg_stat) of the message pool.
  unsigned int GetMsgStat(unsigned int idx) const;
  /// Buffer requests that found no buffer, since the start.
  unsigned int GetNoMsgBufCount() const { return m_noBufCount.load(std::memory_order_relaxed); }
  /// Number of successful regTask calls.
  unsigned int GetTaskCount() const { return m_taskCount; }
  /// The queue metrics of the task filed under id into *out, and a new window
  /// for the times in queue (each read, Print's included, starts one).
  /// ERR_INVALID_PARAM for a null out, ERR_OBJ_NOT_FOUND when no task has that
  /// id. Any thread; takes the task's queue lock briefly.
  EerrNo GetQueueMetrics(unsigned int id, Cvlk_queue_metrics* out);

 protected:
  /// Called at the end of Run; the result is ignored.
  virtual EerrNo afterRun();

 public:
  /// The pool status, then each task's Print followed by a one-blank line, all
  /// on the calling thread while the tasks run. So every Print it reaches (the
  /// task's, the factories') reads only what any thread may read: names, ids and
  /// pool counts; an override that shows a machine's state prints it on the task
  /// thread instead (for example from selfChecking).
  virtual void Print();

 Q_SIGNALS:
  /// Display and trace lines; emitted on the thread that produced them.
  void sigOutputTraceInfo(QString info);
  /// Information log lines; emitted on the thread that produced them.
  void sigLogInfo(QString info);
  /// Warning log lines; emitted on the thread that produced them.
  void sigLogWarning(QString info);
  /// Error log lines; emitted on the thread that produced them.
  void sigLogError(QString info);
  /// The first buffer request of the process that found no buffer; emitted on the requesting thread.
  void sigErrorNoMsgBuf();

 protected:
  /// Files the task under its id (a task whose id is 0 is filed but never
  /// addressed). ERR_INVALID_PARAM for null or an id of 32 or more;
  /// ERR_INVALID_OPR once Run (or Stop) was called, since the routing thread
  /// then reads the table without a lock; ERR_OBJ_EXISTED when another task
  /// holds that id; ERR_OUT_OF_MEMORY with 32 tasks registered. Registering the
  /// same task again changes nothing and returns ERR_OK. A task that is deleted
  /// leaves the table and frees its slot. The manager does not own the task (its
  /// Qt parent does). REQUIRES: the thread that calls Run.
  EerrNo regTask(Cvlk_task* task);
  /// Creates the message pool with its four classes (ascending sizes expected).
  /// ERR_INVALID_OPR when called twice, ERR_OUT_OF_MEMORY when a class could not
  /// be made in full.
  EerrNo initMessagePool(unsigned int tinyBufSize, unsigned int tinyNodeCnt, unsigned int smallBufSize,
                         unsigned int smallNodeCnt, unsigned int commBufSize, unsigned int commNodeCnt,
                         unsigned int bigBufSize, unsigned int bigNodeCnt);
  /// Sets every statistic of the message pool to 0.
  void clearMessageStat();
  /// Displays the pool's status and its statistics that are not 0.
  void showMessageStat();

 private:
  friend class Cvlk_msg_pool;
  friend class Cvlk_task;
  friend class Cfactory;
  friend class Cvlk_timer_pool;  ///< takes expiry buffers under its lock, reports failures after

  Cvlk_task* getTask(unsigned int id) const;
  /// Counts a message that reached nobody under `kind` (EMSG_STAT_E_NO_TASK ..
  /// EMSG_STAT_E_UNKNOWN_MSG) and logs the first of each kind. Any thread; call
  /// it holding no library lock (it may emit sigLogWarning).
  void noteMisaddressed(unsigned int kind, const Cmsg* msg);
  void startTasks();
  void startMsgPool();
  void unregTask(Cvlk_task* task);
  /// GetMsgBuf without the failure report: for callers that hold a lock and
  /// report with noteNoMsgBuf once they have let it go.
  Cvlk_msg_buf* allocMsgBuf(unsigned int size);
  /// Counts n failed buffer requests; the first of the process emits
  /// sigErrorNoMsgBuf. REQUIRES: no library lock held (a receiver may call back).
  void noteNoMsgBuf(unsigned int n = 1);
  /// One line of a task's queue metrics (Print), after the task's own block.
  void printQueueMetrics(Cvlk_task* task);

  unsigned int m_taskCount;
  Cvlk_task* m_tasks[32];  ///< filled before Run, read-only afterwards
  Cvlk_msg_pool* m_pool;   ///< made by initMessagePool before Run
  std::atomic<unsigned int> m_trace;
  std::atomic<unsigned int> m_noBufCount;
  std::atomic<unsigned int> m_misaddressedLogged;  ///< one bit per kind already logged
  bool m_running;
  bool m_stopped;
};

/// One worker thread with its own message queue, up to eight factories and one
/// timer pool. Factories and state machines run only on the task's thread.
/// Use: derive, create with the manager as Qt parent, regFactory, setTimer, then
/// the manager's regTask and Run (or start() for a single task).
/// Thread-safety: SendMsg, PumpMsgBuf, GetPumpMsgBuf, GetMsgBuf, FreeMsgBuf and
/// the output functions from any thread; m_queueLock guards the queue.
/// processPumpMsg, selfChecking and midnightChecking run on the task thread only.
/// Shutdown: the manager's Stop (or the destructor) stops and joins the thread and
/// frees the queued buffers; buffers put on a stopped task's queue are freed.
class VLK_EXPORT Cvlk_task : public Cvlk_thread {
  Q_OBJECT
 public:
  /// The most timers a task's pool can hold (a resource pool's capacity).
  static constexpr unsigned int kMaxTimers = 65535;

  /// name: at most 31 characters are kept.
  Cvlk_task(Cvlk_task_mgr* mgr, unsigned int id, const char* name);
  /// Stops and joins the thread, frees the queued buffers and leaves the
  /// manager's table. REQUIRES: the manager is stopped (Stop) or was never run,
  /// since its routing thread reads the table without a lock.
  ~Cvlk_task() override;

  /// The task's id (1..31 to be addressable).
  unsigned int GetModId() const { return m_id; }
  /// The manager (the task's Qt parent).
  Cvlk_task_mgr* GetTaskMgr() const { return m_mgr; }
  /// The task's name.
  const char* GetName() const { return m_name; }

  /// Creates the timer pool on the calling thread (which must run a Qt event
  /// loop for it to tick), runs OnCreate() there, then starts the thread, which
  /// takes no message before OnCreate has returned. Once only.
  void start();

  /// To this task's own queue when dstTaskId is this task's id, else as the
  /// manager's SendMsg. The buffer belongs to the framework from now on, also on
  /// failure: a task without a manager frees it and returns ERR_NOT_INITIAL.
  EerrNo SendMsg(Cvlk_msg_buf* buf);
  /// Appends the buffer to this task's queue and wakes the thread; a stopped
  /// task frees it instead. ERR_INVALID_PARAM for null.
  EerrNo PumpMsgBuf(Cvlk_msg_buf* buf);
  /// PumpMsgBuf for n buffers (none null), in order, under one lock hold and
  /// with one wake-up. A timer pool calls it under its own lock: it emits no
  /// signal and calls no virtual hook.
  void PumpMsgBufs(Cvlk_msg_buf* const* bufs, unsigned int n);
  /// Removes and returns the head of the queue (the caller owns it), or null.
  Cvlk_msg_buf* GetPumpMsgBuf();
  /// The queue metrics (see Cvlk_queue_metrics), and a new window for the
  /// times in queue. Any thread; takes the queue lock briefly.
  Cvlk_queue_metrics TakeQueueMetrics();
  /// As Cvlk_task_mgr::TransferMsg: does nothing, returns ERR_OK; the buffer
  /// stays the caller's.
  EerrNo TransferMsg(Cvlk_msg_buf* buf);
  /// As Cvlk_task_mgr::GetMsgBuf: a buffer of at least size bytes or null; the caller owns it.
  Cvlk_msg_buf* GetMsgBuf(unsigned int size);
  /// Returns the buffer to its class through the manager; a task without a
  /// manager returns it to the pool that made it.
  EerrNo FreeMsgBuf(Cvlk_msg_buf* buf);

  /// Timers of this task's timer pool (created by start); ids are never 0.
  /// CreateTimer returns the id of a stopped timer, or 0 (and logs the error).
  unsigned int CreateTimer(unsigned int factoryId, unsigned int fsmId, unsigned int dataLen, unsigned char* data);
  /// Frees the timer if it is busy; id becomes 0 in any case.
  void FreeTimer(unsigned int& id);
  /// (Re)starts a busy timer with a period of seconds (> 0).
  void StartTimer(unsigned int id, unsigned int seconds);
  /// Stops a running timer; it keeps its period and can be started again. Nothing for 0 or a free id.
  void StopTimer(unsigned int id);
  /// Seconds since the task was started (the timer pool's tick count); 0 before.
  unsigned int GetCurrSeconds() const;
  /// The task's timer pool; null before the task is started.
  Cvlk_timer_pool* GetTimerPool() const { return m_timerPool; }

  /// Output through the manager: Display always (non-empty text), TraceInfo only
  /// while its trace switch is on, the log functions always.
  void Display(const char* text);
  /// Display(text) while the manager's trace switch is on.
  void TraceInfo(const char* text);
  /// The manager's LogInfo.
  void LogInfo(const char* text);
  /// Emits sigLogWarning(text), also for an empty text. Any thread.
  void LogWarning(const char* text);
  /// Emits sigLogError(text), also for an empty text. Any thread.
  void LogError(const char* text);

  /// Number of registered factories (0..8).
  unsigned int GetFactoryCount() const { return m_facCount; }
  /// The factory registered in position idx, or null.
  Cfactory* GetFactory(unsigned int idx) const { return idx < m_facCount ? m_factories[idx] : nullptr; }
  /// Capacity of the timer pool: 1 (the self-check timer) plus the setTimer counts.
  unsigned int GetTimerCount() const { return m_timerCount; }
  /// Id of the self-check timer; 0 before OnCreate.
  unsigned int GetSelfChkTimerId() const { return m_selfChkTimerId.load(std::memory_order_relaxed); }

  void requestStop() override;

 protected:
  /// The thread: waits for the semaphore, then drains the queue message by message.
  void run() override;

 public:
  /// Every factory's OnCreate in registration order, then the self-check timer
  /// (5400 seconds). Runs on the thread that starts the task, before the task's
  /// thread takes its first message.
  virtual EerrNo OnCreate();
  /// The header lines and every factory's Print. Any thread, also while the
  /// task runs (the manager's Print calls it on its own caller's thread).
  virtual void Print();

  /// For a message that names no registered factory, and for the self-check
  /// timer's expiry (which comes here even if a factory has id 0). The default
  /// runs selfChecking for that expiry (PRC_PROCESSED) and leaves everything
  /// else (PRC_NOT_PROCESSED). PRC_FSM_FOUND asks for another factory lookup,
  /// whose factory then processes the message. After any other result the task
  /// frees the buffer: a result of PRC_SAVE_MSG or more is taken as PRC_ERROR,
  /// since no machine's queue holds the buffer, and PRC_NOT_PROCESSED (also
  /// from a second lookup that finds no factory) is counted in
  /// EMSG_STAT_E_NO_FACTORY.
  /// Thread: the task thread.
  virtual Eprc_result _fsm_not_found(Cmsg* msg);
  /// Every factory's selfChecking, last registered first; between 03:00 and 04:59
  /// local time (GetLocalHour) also midnightChecking. Returns ERR_OK.
  /// Thread: the task thread (the self-check timer's expiry).
  virtual EerrNo selfChecking();
  /// Every factory's midnightChecking, last registered first. Returns ERR_OK.
  /// Thread: the task thread.
  virtual EerrNo midnightChecking();

 protected:
  /// The local hour (0..23) that selfChecking tests; replaceable for tests.
  virtual int GetLocalHour();

 Q_SIGNALS:
  /// A traced line of this task; the manager re-emits it as sigOutputTraceInfo.
  void sigTracedInfo(QString info);

 public Q_SLOTS:
  /// Re-emits info as sigTracedInfo while the manager's trace switch is on.
  void slotTracedInfo(QString info);

 protected:
  /// Appends a factory; ERR_OUT_OF_MEMORY with eight registered. The task does
  /// not own it (its Qt parent does). REQUIRES: before the task starts.
  EerrNo regFactory(Cfactory* factory);
  /// Reserves n more timers for the timer pool that start() makes (the task
  /// reserves one itself, for its self-check timer, taken before any factory's
  /// OnCreate). ERR_INVALID_OPR once the task is started; ERR_OUT_OF_MEMORY when
  /// the total would exceed kMaxTimers. The count is unchanged on failure.
  EerrNo setTimer(unsigned int n);

 private:
  friend class Cvlk_task_mgr;
  friend class Cvlk_timer_pool;  ///< names m_queueLock in its lock order
  friend class Cvlk_msg_pool;    ///< places buffers (appendBufs), then wakes (wakeUp)

  void init();
  /// Appends n buffers in order under one hold of the queue lock, without a
  /// wake-up; false (nothing appended, the caller keeps them) when closed.
  bool appendBufs(Cvlk_msg_buf* const* bufs, unsigned int n) VLK_EXCLUDES(m_queueLock);
  void wakeUp() { m_wake.release(); }
  void startTimerPool();
  void startSelfChkingTimer();
  void processPumpMsg(Cvlk_msg_buf* buf);
  bool isSelfChkExpiry(const Cmsg* msg) const;
  /// Removes up to max buffers from the head of the queue under one lock hold,
  /// and adds their times in queue to the metrics.
  unsigned int takeBatch(Cvlk_msg_buf** out, unsigned int max);
  /// Frees a processed buffer: kept in m_freeCache and handed back with the
  /// rest of its batch under one pool lock hold. Task thread only.
  void freeLater(Cvlk_msg_buf* buf);
  void flushFrees();
  /// The task whose thread calls, or null.
  static Cvlk_task* runningTask();
  /// Hands back the cached frees and takes a buffer under one pool lock hold.
  /// REQUIRES: the task thread, m_freeCount != 0.
  Cvlk_msg_buf* allocAfterFrees(unsigned int size);
  /// Appends to the queue, stamps the buffer with now, raises the high water.
  EerrNo enqueueLocked(Cvlk_msg_buf* buf, std::int64_t now) VLK_REQUIRES(m_queueLock);
  Cfactory* findFactory(unsigned int factoryId) const;
  /// Stops and joins the thread, then frees every queued buffer; later buffers
  /// are freed on arrival.
  void close();

  static constexpr unsigned int kRunBatch = 32;
  static constexpr unsigned int kSelfChkSeconds = 5400;

  Cvlk_task_mgr* m_mgr;
  unsigned int m_id;
  char m_name[32];
  unsigned int m_facCount;
  Cfactory* m_factories[8];
  unsigned int m_timerCount;
  Cvlk_timer_pool* m_timerPool;  ///< made by start, on the starting thread
  Cvlk_link* m_queue VLK_PT_GUARDED_BY(m_queueLock);
  Cvlk_fast_mutex m_queueLock;
  Cvlk_semaphore m_wake;  ///< released once per queued buffer; releases coalesce
  std::atomic<unsigned int> m_selfChkTimerId;
  bool m_closed VLK_GUARDED_BY(m_queueLock);
  bool m_registered;  ///< filed in the manager's table
  /// Queue metrics. The times cover the buffers taken since the last read.
  unsigned int m_highWater VLK_GUARDED_BY(m_queueLock) = 0;
  std::uint64_t m_waitCount VLK_GUARDED_BY(m_queueLock) = 0;
  std::uint64_t m_waitSumNs VLK_GUARDED_BY(m_queueLock) = 0;
  std::uint64_t m_waitMaxNs VLK_GUARDED_BY(m_queueLock) = 0;
  std::atomic<std::uint64_t> m_handled{0};  ///< written by the task thread only
  /// Processed buffers on their way back to the pool: the task thread's alone.
  /// Flushed after every batch, and before any buffer request the task thread
  /// makes, so a handler never finds the pool short of its own freed buffers.
  Cvlk_msg_buf* m_freeCache[kRunBatch] = {};
  unsigned int m_freeCount = 0;
  /// The running handler may deliver one send itself (see the manager's
  /// SendMsg): set for the last message of a batch that emptied the queue,
  /// cleared by that delivery. Such a thread is about to sleep, so the
  /// destination's wake-up costs it little; a busy task's sends, and a
  /// handler's further ones, go through the routing thread, which batches
  /// them. Task thread only.
  bool m_mayDeliver = false;
};


// (section end: Task manager and task)

// ===========================================================================
// Timer pool: owned by the timers and state machines
// ===========================================================================

class Cvlk_task;
class Cvlk_task_mgr;
class Cvlk_timer_pool;

/// One timer of a task's timer pool: its period, the tick of its next expiry and
/// the address (task, factory, state machine, up to 7 bytes) of its expiry message.
/// Thread-safety: every field is guarded by the owning Cvlk_timer_pool's lock.
class VLK_EXPORT Ctimer_res_node : public Cvlk_res_node {
 public:
  /// The expiry of a stopped timer.
  static constexpr unsigned int kNotRunning = 0xFFFFFFFFu;

  /// A stopped, empty timer node of the pool owner.
  explicit Ctimer_res_node(Cvlk_resource* owner);

  /// Stopped and empty: interval 0, expiry kNotRunning, timer data reset (task id 32).
  void Init();
  /// Period in seconds; 0 until started.
  unsigned int GetInterval() const { return m_interval; }
  /// Tick of the next expiry; kNotRunning while stopped.
  unsigned int GetExpiry() const { return m_expiry; }
  /// Where the expiry message goes and the bytes it carries.
  const Ctimer_data& GetTimerData() const { return m_data; }

 private:
  friend class Cvlk_timer_pool;
  unsigned int m_interval;
  unsigned int m_expiry;
  Ctimer_data m_data;
};

/// A task's fixed set of periodic one-second timers on a 256-slot timing wheel.
/// An expired timer posts a timer-expiry message to its task's own queue and re-arms
/// itself with the same period until it is stopped or freed.
/// Thread-safety: CreateTimer, StartTimer, StopTimer, FreeTimer and Tick may be
/// called from any thread; they serialise on the pool's lock. Tick runs on the thread
/// that created the pool (a Qt timer of 1000 ms calls it from timerEvent); tests
/// call Tick directly to advance the wheel without waiting.
/// Lock order: the pool's lock is taken first; while holding it the tick takes the
/// message pool's lock and then the task's queue lock, one after the other. Nothing
/// takes this lock while holding either of those.
class VLK_EXPORT Cvlk_timer_pool : public QObject {
  Q_OBJECT
 public:
  /// Slots of the timing wheel: a timer lands in slot (now + period) mod 256.
  static constexpr unsigned int kWheelSlots = 256;

  /// Creates `capacity` timers and starts the one-second Qt timer on the calling
  /// thread. `task` is the Qt parent and owns the pool. Set-up failure is reported
  /// by GetErr().
  Cvlk_timer_pool(unsigned int capacity, Cvlk_task* task);
  ~Cvlk_timer_pool() override;

  Cvlk_timer_pool(const Cvlk_timer_pool&) = delete;
  Cvlk_timer_pool& operator=(const Cvlk_timer_pool&) = delete;

  /// ERR_OK, or why the set-up failed.
  EerrNo GetErr() const { return m_err; }

  /// Creates a stopped timer whose expiry message goes to (owning task, factoryId,
  /// fsmId) and carries min(dataLen, 7) bytes of `data` (zero bytes when `data` is
  /// null). Returns its id, or 0 after logging "Fail to create timer! Task ID is %u".
  unsigned int CreateTimer(unsigned int factoryId, unsigned int fsmId, unsigned int dataLen,
                           const unsigned char* data) VLK_EXCLUDES(m_lock);
  /// (Re)starts a created timer with a period of `seconds`; nothing for 0 seconds or an
  /// id that names no created timer.
  void StartTimer(unsigned int id, unsigned int seconds) VLK_EXCLUDES(m_lock);
  /// Stops a created timer; it keeps its period and can be started again.
  void StopTimer(unsigned int id) VLK_EXCLUDES(m_lock);
  /// Gives a created timer back to the pool. Sets `id` to 0 in any case.
  void FreeTimer(unsigned int& id) VLK_EXCLUDES(m_lock);
  /// Seconds (ticks) since the pool was created. Read without the lock.
  unsigned int GetCurrSeconds() const { return m_tickCount.load(std::memory_order_relaxed); }

  /// Advances the wheel by one second and posts the expiry message of every timer
  /// that is due. The one routine of the clock: timerEvent calls it. A lost
  /// expiry (no buffer) is reported (sigErrorNoMsgBuf) after the lock is let go,
  /// so a receiver on this thread may call back into the pool or stop the task.
  void Tick() VLK_EXCLUDES(m_lock);

  /// Observers, mainly for diagnostics and tests.
  unsigned int GetIdleNum() VLK_EXCLUDES(m_lock);
  /// Timers the pool holds (its capacity).
  unsigned int GetRealNum() VLK_EXCLUDES(m_lock);
  /// The timer's expiry tick, kNotRunning when stopped, 0 when `id` names no created timer.
  unsigned int GetTimerExpiry(unsigned int id) VLK_EXCLUDES(m_lock);

 protected:
  /// The one-second Qt timer: calls Tick.
  void timerEvent(QTimerEvent* event) override;

 private:
  /// Tick's work under the lock; lost expiries are added to *noBuf.
  void tickLocked(unsigned int* noBuf) VLK_EXCLUDES(m_lock);
  Ctimer_res_node* _busyNode(unsigned int id) VLK_REQUIRES(m_lock);
  void _unlinkFromWheel(Ctimer_res_node* node) VLK_REQUIRES(m_lock);
  /// The expiry message of the node addressed to its task, or null (no task or
  /// no buffer: this expiry is lost, the timer stays armed). A missing buffer
  /// adds 1 to *noBuf; the caller reports it once the lock is let go.
  Cvlk_msg_buf* _makeExpiry(const Ctimer_res_node* node, unsigned int* noBuf) VLK_REQUIRES(m_lock);

  static constexpr unsigned int kExpiryBatch = 32;

  Cvlk_task* m_task;
  EerrNo m_err = ERR_OK;
  /// Written under m_lock by Tick; GetCurrSeconds reads it without the lock.
  std::atomic<unsigned int> m_tickCount{0};
  /// Taken before the message pool's lock and before any task's queue lock.
  Cvlk_mutex m_lock VLK_ACQUIRED_BEFORE(Cvlk_task::m_queueLock, Cvlk_msg_pool::m_lock);
  Cvlk_resource* m_timers VLK_PT_GUARDED_BY(m_lock) = nullptr;
  /// Slot i is the list with id i + 1, so a node's link id names its slot.
  Cvlk_link m_wheel[kWheelSlots] VLK_GUARDED_BY(m_lock);
  unsigned char m_wheelPos VLK_GUARDED_BY(m_lock) = 0;
};


// (section end: Timer pool)

// ===========================================================================
// Factory: owned by the timers and state machines
// ===========================================================================

class Cfsm;
class Cev_fsm;

/// One event queued for the message being processed: two parameters and the event.
struct Cevt_rec {
  unsigned char p1;  ///< first parameter, given to _getCurrState and _getEvtEntry
  unsigned char p2;  ///< second parameter, given to _getCurrState and to the handlers
  unsigned short event;  ///< the event number
};
static_assert(sizeof(Cevt_rec) == 4, "an event record is four bytes");

/// A fixed-capacity pool of state machines of one kind inside one task. The task
/// hands it every message addressed to its id; the factory finds or allocates the
/// target machine(s), runs PrePrcMsg / ProcessMsg / PostPrcMsg, kills machines,
/// keeps saved and held messages in the machines' queues and replays saved ones
/// after a change of state.
/// The application's factory creates its machines in its constructor (with this
/// factory as their pool) and Adds them; the factory owns them from then on.
/// Thread-safety: owner task's thread only (created and registered before start),
/// except Print, which any thread may call.
class VLK_EXPORT Cfactory : public Cvlk_resource {
 public:
  /// Target machines of one message at most (regFsm).
  static constexpr unsigned int kMaxRegFsm = 500;
  /// Events of one message at most (Cev_fsm::_genEvent).
  static constexpr unsigned int kMaxEvents = 250;
  /// Bit of the trace flag in GetFlags().
  static constexpr unsigned int kFlagTrace = 0x1u;
  /// Machines allocated this long (seconds) are killed by the nightly check.
  static constexpr unsigned int kMaxBusySeconds = 8u * 3600u;

  /// A factory of task with id id (not 0) for at most maxFsm machines; the derived constructor Adds them.
  Cfactory(Cvlk_task* task, unsigned int id, unsigned int maxFsm);
  ~Cfactory() override;

  /// The task the factory belongs to (its Qt parent); may be null.
  Cvlk_task* GetFacMgr() const;

  /// Dispatches one message. A result of PRC_SAVE_MSG or more means the buffer now
  /// sits in a machine's queue; for any other result the caller (the task) frees it.
  Eprc_result ProcessMsg(Cvlk_msg_buf* buf);

  /// "%s: real=%u, idle=%u" with GetName and the machine counts. Any thread,
  /// also while the task runs: the counts are read as of some recent moment.
  void Print() override;
  /// Called when the task starts, on the thread that starts it. Default: ERR_OK.
  virtual EerrNo OnCreate();
  /// Called by the task's self-check (every 5400 s), on the task thread. Default: ERR_OK.
  virtual EerrNo selfChecking();
  /// Kills every machine allocated (without activity) for 8 hours or more.
  virtual EerrNo midnightChecking();

  /// Kills the busy machine with that id; nothing for other ids.
  void killFsm(unsigned int fsmId);

  /// Timers of the owning task addressed to this factory (nothing, or 0, without a task).
  unsigned int CreateTimer(unsigned int fsmId, unsigned int dataLen, unsigned char* data);
  /// (Re)starts a created timer with a period of seconds; nothing for 0 seconds or an id of no timer.
  void StartTimer(unsigned int id, unsigned int seconds);
  /// Stops a running timer; it keeps its period and can be started again. Nothing for 0 or a free id.
  void StopTimer(unsigned int id);
  /// Gives the timer back to the pool; id becomes 0.
  void FreeTimer(unsigned int& id);
  /// Seconds since the task started (its timer pool's ticks); 0 without a task.
  unsigned int GetCurrSeconds();

  /// Output through the task manager: Display always, TraceInfo only while the
  /// manager's trace switch is on. Text is cut at 4095 characters.
  void Display(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// As Display, only while the manager's trace switch is on.
  void TraceInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));

  /// Scratch state of the message being processed (also for diagnostics).
  unsigned int GetFlags() const { return m_flags; }
  /// Targets registered for the current message.
  unsigned int GetRegFsmNum() const { return m_fsmCnt; }
  /// Events queued for the current message.
  unsigned int GetEvtNum() const { return m_evtCnt; }
  /// The buffer whose message the factory's machines are processing (in
  /// ProcessMsg and in replays of saved messages), else null. Cfsm::MsgAs uses it.
  Cvlk_msg_buf* GetCurrMsgBuf() const { return m_currBuf; }

 protected:
  /// Chooses the machine(s) of a message whose dstFsmId is 0. Default: timer
  /// expiries go to _procTimeout, inner events to _recvInnerEvent, any other
  /// type is counted in EMSG_STAT_E_UNKNOWN_MSG and left (PRC_NOT_PROCESSED).
  /// Overrides return PRC_NEW_FSM or PRC_FSM_FOUND with *fsm set, or
  /// PRC_TARGETS_SET after regFsm. The *fsm of PRC_NEW_FSM or PRC_FSM_FOUND joins
  /// the targets registered so far; with 500 registered already it is refused
  /// (a PRC_NEW_FSM machine goes back to the idle list) and the result is PRC_ERROR.
  virtual Eprc_result _facMsgPrc(Cmsg* msg, Cfsm** fsm);
  /// Called when dstFsmId names no busy machine; the default answers relation
  /// probes (PRC_PROCESSED) and leaves anything else. A PRC_NOT_PROCESSED from
  /// here is counted in EMSG_STAT_E_NO_FSM.
  virtual Eprc_result _routeMsgErr(Cmsg* msg);
  /// An inner event sent with _sendInnerEvent, with its three words. Default: PRC_NOT_PROCESSED.
  virtual Eprc_result _recvInnerEvent(unsigned int arg1, unsigned int arg2, unsigned int arg3);

 public:
  /// The name in trace and print lines.
  virtual const char* GetName() = 0;

 protected:
  /// Adds a target of the current message; ERR_INVALID_OPR beyond 500 targets.
  EerrNo regFsm(Cfsm* fsm);
  /// Whether regFsm registered a target for the current message.
  Ebool hasRegFsm() const { return m_fsmCnt > 0 ? VLK_TRUE : VLK_FALSE; }
  /// Empties the event queue of the current message.
  void initEvtParams();

  /// _killFsm of the busy machine with that id; nothing for other ids.
  void _killFsm(unsigned int fsmId);
  /// Destroy(), then the machine's saved and held buffers go back to the message
  /// pool and the machine back to the idle list.
  void _killFsm(Cfsm* fsm);
  /// Offers every saved message of the machine to its ProcessMsg once more. A
  /// message answered PRC_TRANSFER is handed to the task's TransferMsg and then
  /// freed.
  void _saveMsgPrc(Cfsm* fsm);
  /// Answers a probe with MSG_RELATION_OFF from its destination back to its source.
  EerrNo sendRelationOff(Cmsg* msg);
  /// Sends an MSG_FAC_INNER message to this very factory; it reaches _recvInnerEvent.
  EerrNo _sendInnerEvent(unsigned int arg1, unsigned int arg2, unsigned int arg3);

  /// A buffer from the message pool, or null (the caller owns it until it sends it).
  Cvlk_msg_buf* _getMsgBuf(unsigned int size);
  /// Sends through the task; the buffer belongs to the framework afterwards. A
  /// factory without a task frees it and returns ERR_INVALID_OBJ.
  EerrNo _sendMsg(Cvlk_msg_buf* buf);

  /// "%s[%08X] %s" with GetName, the factory id and the text, only with the factory's
  /// trace flag and the manager's trace switch.
  void _trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// The manager's LogInfo.
  void _logInfo(const char* text);
  /// The manager's LogWarning.
  void _logWarning(const char* text);
  /// The manager's LogError.
  void _logError(const char* text);

 private:
  friend class Cev_fsm;  ///< the event queue is the machines' per-message scratch space

  Eprc_result _procFacInnerMsg(Csys_fac_inner_msg* msg);
  Eprc_result _procTimeout(Csys_timout_msg* msg);
  void _replay(Cfsm* fsm, unsigned int stateBefore);
  /// The manager of the machine's task, or null.
  Cvlk_task_mgr* _taskMgr() const;
  void noteMisaddressed(unsigned int kind, const Cmsg* msg);

  unsigned int m_flags = 0;  ///< bit 0: the trace flag
  Cvlk_msg_buf* m_currBuf = nullptr;  ///< the buffer being processed, else null
  Cfsm* m_fsmList[kMaxRegFsm];
  unsigned short m_fsmCnt = 0;
  unsigned short m_evtCnt = 0;
  Cevt_rec m_evtQueue[kMaxEvents];
};


// (section end: Factory)

// ===========================================================================
// State machines: owned by the timers and state machines
// ===========================================================================

/// Base of every state machine: a pooled node of its factory with a state word, a
/// save queue and a hold queue of message buffers and a trace flag. The factory
/// calls Create when it allocates the machine for a message, PrePrcMsg, ProcessMsg
/// and PostPrcMsg for each message, and Destroy when it kills the machine.
/// Thread-safety: owner task's thread only.
class VLK_EXPORT Cfsm : public Cvlk_res_node {
 public:
  /// Bit of the trace flag in GetFlags().
  static constexpr unsigned int kFlagTrace = 0x1u;

  /// A node of `factory`; the factory's owner Adds it. Queue allocation failure
  /// leaves ERR_OUT_OF_MEMORY in GetErr().
  Cfsm(Cfactory* factory, unsigned int state);
  ~Cfsm() override;

  /// The machine's factory (its pool).
  Cfactory* GetFactory() const;
  /// The factory's task, or null.
  Cvlk_task* GetFacMgr() const;
  /// The state word. The factory compares it before and after a message to see
  /// whether the state changed. A Cev_fsm keeps its table's state itself
  /// (Cev_fsm::GetCurrState) and counts its state changes here.
  unsigned int GetState() const { return m_state; }
  /// Sets the state word (see GetState).
  void SetState(unsigned int state) { m_state = state; }
  /// The machine's flags; bit 0 (kFlagTrace): it traces.
  unsigned int GetFlags() const { return m_flags; }
  /// The message being processed as a T (a record that starts with Cmsg): null
  /// when msg is not the one the factory is processing now or its buffer is
  /// smaller than T. For ProcessMsg and event handlers.
  template <typename T>
  T* MsgAs(Cmsg* msg) const;

  /// "%s[%08X] _state=%u".
  void Print() override;
  /// Marks the machine active, follows the trace flag of the message while the
  /// manager's trace switch is on, and kills the machine on MSG_RELATION_OFF
  /// (returns PRC_KILL_FSM). PRC_NOT_PROCESSED lets the factory go on to ProcessMsg.
  virtual Eprc_result PrePrcMsg(Cvlk_msg_buf* buf);
  /// Handles one message on the task thread; the result says what happens to the machine and the buffer (PRC_SAVE_MSG and PRC_HOLD_MSG keep it).
  virtual Eprc_result ProcessMsg(Cmsg* msg) = 0;
  /// Called after ProcessMsg unless it returned PRC_SAVE_MSG.
  virtual void PostPrcMsg(Cvlk_msg_buf* buf);
  /// Default: trace flag cleared, state 0, ERR_OK. Failure gives the machine back.
  virtual EerrNo Create();
  /// Called by the factory when it kills the machine, before its queues are emptied. Default: ERR_OK.
  virtual EerrNo Destroy();
  /// The name in trace and print lines.
  virtual const char* GetName() = 0;

  /// Save and hold queues. The machine owns the buffers in them; Get* hands one back
  /// to the caller, Put* takes it over.
  unsigned int GetSaveNum() const;
  /// Buffers in the hold queue.
  unsigned int GetHoldNum() const;
  /// Removes the head of the save queue and hands it to the caller, or null.
  Cvlk_msg_buf* GetSaveMsg();
  /// Removes the head of the hold queue and hands it to the caller, or null.
  Cvlk_msg_buf* GetHoldMsg();
  /// Appends buf to the save queue, which owns it from now on.
  EerrNo PutSaveMsg(Cvlk_msg_buf* buf);
  /// Appends buf to the hold queue, which owns it from now on.
  EerrNo PutHoldMsg(Cvlk_msg_buf* buf);
  /// Frees the held buffer whose header is `msg` (to the pool that made it, also
  /// for a machine whose factory has no task); ERR_OBJ_NOT_FOUND if none is.
  EerrNo FreeHoldMsg(Cmsg* msg);

  /// Timers whose expiries come back to this machine.
  unsigned int CreateTimer(unsigned int dataLen, unsigned char* data);
  /// (Re)starts a created timer with a period of seconds; nothing for 0 seconds or an id of no timer.
  void StartTimer(unsigned int id, unsigned int seconds);
  /// Stops a running timer; it keeps its period and can be started again. Nothing for 0 or a free id.
  void StopTimer(unsigned int id);
  /// Gives the timer back to the pool; id becomes 0.
  void FreeTimer(unsigned int& id);
  /// Seconds since the task started (its timer pool's ticks); 0 without a task.
  unsigned int GetCurrSeconds();

 protected:
  /// Sets the state word, as SetState.
  void _changeState(unsigned int state) { m_state = state; }
  /// A buffer of at least size bytes from the message pool, or null; the caller owns it until it sends it.
  Cvlk_msg_buf* _getMsgBuf(unsigned int size);
  /// Copies the machine's trace flag into the header and sends through the task.
  /// The buffer belongs to the framework afterwards: without a task it is freed
  /// and ERR_INVALID_OBJ returned.
  EerrNo _sendMsg(Cvlk_msg_buf* buf);

  /// Formats the text (at most 4095 characters) and displays it through the manager.
  void displayInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// "%s[%08X] %s" with GetName, the machine's id and the text, only with its trace flag and the manager's trace switch.
  void _trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// The manager's LogInfo.
  void _logInfo(const char* text);
  /// The manager's LogWarning.
  void _logWarning(const char* text);
  /// The manager's LogError.
  void _logError(const char* text);

  /// The manager of the machine's task, or null.
  Cvlk_task_mgr* _taskMgr() const;

  unsigned int m_flags = 0;  ///< bit 0: the trace flag
  Cvlk_link* m_saveQueue = nullptr;  ///< buffers kept with PRC_SAVE_MSG, offered again after a change of state
  Cvlk_link* m_holdQueue = nullptr;  ///< buffers kept with PRC_HOLD_MSG until FreeHoldMsg
  unsigned int m_state;  ///< the state word (GetState)
  /// What Cev_fsm::ProcessMsg returns; handlers set it.
  Eprc_result m_result = PRC_ERROR;
};

struct Cevt_entry;

/// A state machine driven by an event table: _parseMsg turns a message into events
/// (_genEvent), each event selects the table row of the current state, the row's
/// handlers run in order and, when all of them return EVT_NOT_PROCESSED, the
/// machine moves to the row's next state.
/// Thread-safety: owner task's thread only.
class VLK_EXPORT Cev_fsm : public Cfsm {
 public:
  /// An event handler: a member function of the machine's class. Put handlers of a
  /// derived class into a table with VLK_EVT_HANDLER(Class, function).
  typedef EevtPrc (Cev_fsm::*Fevt_handler)(Cmsg* msg, unsigned short event, unsigned char p2);
  /// Handlers of one table row at most.
  static constexpr unsigned int kMaxHandlers = 10;

  /// A machine of factory with the state word state.
  Cev_fsm(Cfactory* factory, unsigned int state);

  /// Turns the message into events (_parseMsg) and runs each event's table row; returns the pending result (PRC_PROCESSED unless a handler set another), PRC_NOT_PROCESSED for no event.
  Eprc_result ProcessMsg(Cmsg* msg) override;
  /// The Cfsm line, then "%s[%08X] currState=%u, event=%u, duration=%u".
  void Print() override;
  /// The event most recently queued by _genEvent.
  unsigned short GetLastEvent() const { return m_lastEvent; }
  /// The table's current state (_getCurrState(0, 0)); GetState() counts changes.
  unsigned int GetCurrState() { return _getCurrState(0, 0); }

 protected:
  /// The table's current state (p1, p2: the event's parameters).
  virtual unsigned int _getCurrState(unsigned char p1, unsigned char p2) = 0;
  /// Moves the table's state to state.
  virtual void _setCurrState(unsigned char p1, unsigned char p2, unsigned int state) = 0;
  /// Queues the message's events with _genEvent.
  virtual void _parseMsg(Cmsg* msg) = 0;
  /// The row for (state, event, p1), or null when the table has none.
  virtual const Cevt_entry* _getEvtEntry(unsigned int state, unsigned short event, unsigned char p1) = 0;
  /// Decides about an event without a row; EVT_STOP returns the pending result.
  virtual EevtPrc _procUnknownMsg(Cmsg* msg);

  /// Queues an event of the current message; ERR_INVALID_OPR when 250 are queued.
  EerrNo _genEvent(unsigned short event, unsigned char p1, unsigned char p2);

  /// Ready-made handlers for table rows.
  EevtPrc _procSaveMsg(Cmsg* msg, unsigned short event, unsigned char p2);
  /// Kills the machine: the pending result becomes PRC_KILL_FSM; returns EVT_STOP.
  EevtPrc _procKillFsm(Cmsg* msg, unsigned short event, unsigned char p2);
  /// Does nothing; returns EVT_NOT_PROCESSED (EVT_CONTINUE).
  EevtPrc _procNull(Cmsg* msg, unsigned short event, unsigned char p2);

 private:
  unsigned short m_lastEvent = 0;
};

/// One row of an event table (normally static const data).
struct Cevt_entry {
  unsigned int handlerCnt;  ///< 1..10; 0 or more than 10 makes the row count as missing
  unsigned int spare;       ///< not read by the framework
  Cev_fsm::Fevt_handler handlers[Cev_fsm::kMaxHandlers];  ///< the handlers, in the order they run; the first handlerCnt are set
  unsigned int nextState;  ///< the state to move to when every handler returned EVT_CONTINUE
};

/// A handler of class cls for a table row written by hand (VlkEvtRow needs none).
#define VLK_EVT_HANDLER(cls, fn) static_cast<Cev_fsm::Fevt_handler>(&cls::fn)


// (section end: State machines)

// ===========================================================================
// Helpers for the common chores: typed views of message buffers, filled
// headers, event-table rows. Additions on top of the interfaces above.
// ===========================================================================

#include <climits>

/// A handler result named for what it does: go on along the row. The next
/// handler runs, and when the last one has returned it too, the machine moves to
/// the row's next state. The same value as EVT_NOT_PROCESSED.
constexpr EevtPrc EVT_CONTINUE = EVT_NOT_PROCESSED;
/// A handler result named for what it does: the event is dealt with; the rest
/// of the row is skipped, the machine stays in its state, and the message's next
/// event is still handled. The same value as EVT_PROCESSED. (EVT_STOP also skips
/// the message's remaining events.)
constexpr EevtPrc EVT_STAY = EVT_PROCESSED;

/// The message in buf seen as a T, a plain record that starts with the Cmsg
/// header: null when buf is null or holds fewer than sizeof(T) bytes. The
/// pointer is valid while the caller owns the buffer.
template <typename T>
T* MsgCast(Cvlk_msg_buf* buf) {
  static_assert(std::is_base_of<Cmsg, T>::value, "a message record starts with the Cmsg header");
  static_assert(std::is_trivially_copyable<T>::value, "a message record is a plain record");
  if (buf == nullptr || buf->GetMsgPointer() == nullptr || buf->GetBufLen() < sizeof(T)) return nullptr;
  return static_cast<T*>(buf->GetMsgPointer());
}

template <typename T>
T* Cfsm::MsgAs(Cmsg* msg) const {
  const Cfactory* factory = GetFactory();
  Cvlk_msg_buf* buf = factory != nullptr ? factory->GetCurrMsgBuf() : nullptr;
  if (msg == nullptr || buf == nullptr || buf->GetMsgPointer() != msg) return nullptr;
  return MsgCast<T>(buf);
}

/// One end of a message: the four words of the header's source (words 0..3) or
/// destination (words 4..7). fsmId 0 in a destination lets the factory choose.
struct Cmsg_addr {
  std::uint32_t taskId;  ///< task id (1..31)
  std::uint32_t factoryId;  ///< factory id
  std::uint32_t fsmId;  ///< state-machine id; 0 in a destination: the factory chooses
  std::uint32_t extra;  ///< the fourth word, only carried
};

/// A task's factory, and optionally one of its machines.
inline Cmsg_addr VlkMsgAddr(unsigned int taskId, unsigned int factoryId, unsigned int fsmId = 0) {
  return Cmsg_addr{taskId, factoryId, fsmId, 0};
}
/// The address of a machine: its task, its factory and itself (0 for a part it
/// lacks), so that replies come back to this very machine.
inline Cmsg_addr VlkMsgAddr(const Cfsm* fsm) {
  const Cfactory* factory = fsm->GetFactory();
  const Cvlk_task* task = factory != nullptr ? factory->GetFacMgr() : nullptr;
  return Cmsg_addr{task != nullptr ? task->GetModId() : 0u, factory != nullptr ? factory->GetId() : 0u,
                   fsm->GetId(), 0};
}
/// The sender of a message: where a reply goes.
inline Cmsg_addr VlkMsgSource(const Cmsg* msg) {
  return Cmsg_addr{msg->srcTaskId, msg->srcFactoryId, msg->srcFsmId, msg->srcExtra};
}

/// Zeroes the header, then writes source, destination and type.
inline void VlkFillHeader(Cmsg* msg, const Cmsg_addr& src, const Cmsg_addr& dst, std::uint32_t type) {
  msg->Init();
  msg->srcTaskId = src.taskId;
  msg->srcFactoryId = src.factoryId;
  msg->srcFsmId = src.fsmId;
  msg->srcExtra = src.extra;
  msg->dstTaskId = dst.taskId;
  msg->dstFactoryId = dst.factoryId;
  msg->dstFsmId = dst.fsmId;
  msg->dstExtra = dst.extra;
  msg->msgType = type;
}

/// Takes a buffer for a T followed by extraBytes more (a variable body) from
/// mgr's pool, zeroes the T, fills its header and returns it; *buf receives the
/// buffer, which the caller owns until it sends or frees it. Null, with *buf
/// null, when the pool has no buffer that large free (the manager counts the
/// failure and emits sigErrorNoMsgBuf at the first). Any thread.
template <typename T>
T* VlkNewMsg(Cvlk_task_mgr* mgr, Cvlk_msg_buf** buf, const Cmsg_addr& src, const Cmsg_addr& dst,
             std::uint32_t type, unsigned int extraBytes = 0) {
  static_assert(std::is_base_of<Cmsg, T>::value, "a message record starts with the Cmsg header");
  static_assert(std::is_trivially_copyable<T>::value, "a message record is a plain record");
  *buf = nullptr;
  if (mgr == nullptr || extraBytes > UINT_MAX - sizeof(T)) return nullptr;
  Cvlk_msg_buf* b = mgr->GetMsgBuf(static_cast<unsigned int>(sizeof(T)) + extraBytes);
  T* msg = MsgCast<T>(b);
  if (msg == nullptr) {
    if (b != nullptr) mgr->FreeMsgBuf(b);
    return nullptr;
  }
  std::memset(static_cast<void*>(msg), 0, sizeof(T));
  VlkFillHeader(msg, src, dst, type);
  *buf = b;
  return msg;
}
/// The same from inside a machine: the source is the machine (VlkMsgAddr), the
/// buffer comes from its task's manager. Send it with the machine's _sendMsg.
template <typename T>
T* VlkNewMsg(const Cfsm* from, Cvlk_msg_buf** buf, const Cmsg_addr& dst, std::uint32_t type,
             unsigned int extraBytes = 0) {
  const Cvlk_task* task = from->GetFacMgr();
  *buf = nullptr;
  if (task == nullptr) return nullptr;
  return VlkNewMsg<T>(task->GetTaskMgr(), buf, VlkMsgAddr(from), dst, type, extraBytes);
}

/// One event-table row: the handlers in the order they run (1 to 10 member
/// functions of the machine's class, taking (Cmsg*, unsigned short, unsigned
/// char) and returning EevtPrc), then the state to move to when every one of
/// them returned EVT_CONTINUE. Usable in constant tables:
///   static constexpr Cevt_entry kRows[] = {VlkEvtRow(S_OPEN, &Me::onOpen, &Me::onData)};
template <typename... H>
constexpr Cevt_entry VlkEvtRow(unsigned int nextState, H... handlers) {
  static_assert(sizeof...(H) >= 1 && sizeof...(H) <= Cev_fsm::kMaxHandlers, "a row runs 1 to 10 handlers");
  Cevt_entry row{};
  const Cev_fsm::Fevt_handler list[] = {static_cast<Cev_fsm::Fevt_handler>(handlers)...};
  row.handlerCnt = sizeof...(H);
  for (unsigned int i = 0; i < sizeof...(H); ++i) row.handlers[i] = list[i];
  row.nextState = nextState;
  return row;
}

// (section end: Helpers for the common chores)

#endif  // VLK_TASK_H
