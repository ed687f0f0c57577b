/// @file vlk_sys.h
/// System services: threads, the recursive mutex and the coalescing
/// semaphore, files, directories and INI files, host utilities, the crash reporter.
#ifndef VLK_SYS_H
#define VLK_SYS_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "vlk_base.h"
#include "vlk_text.h"

// ---------------------------------------------------------------------------
// Threads and synchronisation
// ---------------------------------------------------------------------------

/// A Qt object that owns one thread running the virtual run(). Tasks, the message
/// pool, the I/O servers and the TCP client set derive from it.
/// Thread-safety: start, requestStop and join may be called from any thread other
/// than the object's own; start is called once.
/// Shutdown: a run loop tests isStopRequested() after every wake-up. A derived class
/// whose run() sleeps overrides requestStop() to wake it (and calls the base), and
/// calls stop() in its own destructor, before its members go.
/// Destruction: the base destructor asks run() to stop and waits for it. A run()
/// still running 3 s after that request would go on using a destroyed object,
/// so the process ends with a fatal message naming the thread instead of hanging
/// or corrupting memory. A run() may end with `delete this` (its object being
/// heap-allocated and owned by nobody else): the thread then ends without
/// touching the object again.
/// Names: the thread carries the name set with setThreadName(), else the object's
/// class name (the nearest class with Q_OBJECT), cut to 15 characters as Linux
/// allows; tools such as top -H and debuggers show it.
class VLK_EXPORT Cvlk_thread : public QObject {
  Q_OBJECT
 public:
  /// A thread object, not started, with Qt parent parent.
  explicit Cvlk_thread(QObject* parent = nullptr);
  ~Cvlk_thread() override;

  Cvlk_thread(const Cvlk_thread&) = delete;
  Cvlk_thread& operator=(const Cvlk_thread&) = delete;

  /// Starts the thread and names it; once start() has returned, the thread
  /// calls mainFunc(), which calls run(). A second call, or a platform that cannot create the thread, starts
  /// nothing.
  void start();
  /// Calls run(); the body of the thread.
  void mainFunc();

  /// Asks run() to return. Overrides wake whatever run() waits on.
  virtual void requestStop();
  /// Whether requestStop was called; run() tests it after every wake-up.
  bool isStopRequested() const { return m_stop.load(std::memory_order_acquire); }
  /// Waits until run() has returned. Does nothing when the thread was never
  /// started or is already joined. REQUIRES: not called from the thread itself.
  void join();
  /// requestStop() then join().
  void stop();
  /// Whether start() started the thread.
  bool isStarted() const { return m_started; }
  /// True from start() until run() has returned.
  bool isRunning() const { return m_running.load(std::memory_order_acquire); }

  /// The name the thread takes at start(): at most 15 characters of name are
  /// kept; null or empty means the class name. Call before start().
  void setThreadName(const char* name);
  /// The name set, or after start() the name the thread took.
  const char* threadName() const { return m_threadName; }

 protected:
  /// The thread's body; returns when isStopRequested() says so.
  virtual void run() = 0;

 private:
  std::thread m_thread;
  bool m_started = false;
  char m_threadName[16] = {};  ///< set before start(), then only read
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_running{false};
};

/// A recursive lock: the holder may Take it again; each Take needs its own Give.
/// Thread-safety: any thread; Give only from the holder.
class VLK_EXPORT VLK_CAPABILITY("mutex") Cvlk_mutex {
 public:
  Cvlk_mutex() = default;
  virtual ~Cvlk_mutex() = default;

  Cvlk_mutex(const Cvlk_mutex&) = delete;
  Cvlk_mutex& operator=(const Cvlk_mutex&) = delete;

  /// Takes the lock, waiting for it; the holder may take it again.
  void Take() VLK_ACQUIRE() { m_lock.lock(); }
  /// Gives one Take back. REQUIRES: the caller holds the lock.
  void Give() VLK_RELEASE() { m_lock.unlock(); }

 private:
  std::recursive_mutex m_lock;
};

/// Scoped holder of a Cvlk_mutex: takes it on construction, gives it back on scope exit.
class VLK_SCOPED_CAPABILITY Cvlk_mutex_locker {
 public:
  /// Takes mutex; the destructor gives it back.
  explicit Cvlk_mutex_locker(Cvlk_mutex* mutex) VLK_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex->Take(); }
  ~Cvlk_mutex_locker() VLK_RELEASE() { m_mutex->Give(); }

  Cvlk_mutex_locker(const Cvlk_mutex_locker&) = delete;
  Cvlk_mutex_locker& operator=(const Cvlk_mutex_locker&) = delete;

 private:
  Cvlk_mutex* m_mutex;
};

/// A lock for short critical sections that are never re-entered (queues and
/// pools on the message path): glibc's adaptive mutex, which spins briefly on
/// a busy lock before it sleeps, so that a holder's hold of a few dozen
/// instructions seldom costs a waiter a sleep and a wake-up. Not recursive:
/// the holder must not take it again.
/// Thread-safety: any thread; Give only from the holder.
class VLK_CAPABILITY("mutex") Cvlk_fast_mutex {
 public:
  Cvlk_fast_mutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&m_lock, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~Cvlk_fast_mutex() { pthread_mutex_destroy(&m_lock); }

  Cvlk_fast_mutex(const Cvlk_fast_mutex&) = delete;
  Cvlk_fast_mutex& operator=(const Cvlk_fast_mutex&) = delete;

  /// Takes the lock, spinning briefly, then waiting for it.
  void Take() VLK_ACQUIRE() { pthread_mutex_lock(&m_lock); }
  /// Gives the lock back. REQUIRES: the caller holds the lock.
  void Give() VLK_RELEASE() { pthread_mutex_unlock(&m_lock); }

 private:
  pthread_mutex_t m_lock;
};

/// Scoped holder of a Cvlk_fast_mutex: takes it on construction, gives it back
/// on scope exit.
class VLK_SCOPED_CAPABILITY Cvlk_fast_locker {
 public:
  /// Takes mutex; the destructor gives it back.
  explicit Cvlk_fast_locker(Cvlk_fast_mutex* mutex) VLK_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex->Take(); }
  ~Cvlk_fast_locker() VLK_RELEASE() { m_mutex->Give(); }

  Cvlk_fast_locker(const Cvlk_fast_locker&) = delete;
  Cvlk_fast_locker& operator=(const Cvlk_fast_locker&) = delete;

 private:
  Cvlk_fast_mutex* m_mutex;
};

/// A binary semaphore with count 1 at creation: releases do not accumulate, so one
/// acquire consumes every release made since the last one. A consumer therefore
/// drains its whole queue after each acquire.
/// Several threads may wait in acquire at once: each release while the count is
/// 0 lets exactly one of them through (in no particular order); releases made
/// while the count is already 1 coalesce as above, so two releases with no
/// acquire between them wake one waiter, not two.
/// The count and the number of sleeping waiters live in one atomic word: a
/// release that finds the count at 1 already only reads it, and neither side
/// makes a system call unless a waiter sleeps (a futex on that word). Acquire
/// does not spin: on a machine with few cores a spinning consumer takes the
/// core its producer needs.
/// Thread-safety: release and acquire from any thread.
class VLK_EXPORT Cvlk_semaphore {
 public:
  Cvlk_semaphore() = default;
  virtual ~Cvlk_semaphore() = default;

  Cvlk_semaphore(const Cvlk_semaphore&) = delete;
  Cvlk_semaphore& operator=(const Cvlk_semaphore&) = delete;

  /// Waits without limit until the count is 1, then sets it to 0.
  void acquire();
  /// As acquire, but gives up after timeoutMs milliseconds; true when acquired.
  bool acquireFor(unsigned int timeoutMs);
  /// Sets the count to 1 (no change when it is already 1) and, when it was 0,
  /// wakes one sleeping waiter.
  void release();

 private:
  /// The word: bit 0 the count, the bits above it the number of sleeping waiters.
  static constexpr int kReleased = 1;  ///< the count bit
  static constexpr int kSleeper = 2;   ///< one sleeping waiter

  bool tryTake();
  /// Sleeps until released or until the deadline (steady-clock ns, negative:
  /// none) has passed; true when acquired.
  bool wait(std::int64_t deadlineNs);

  std::atomic<int> m_state{kReleased};
};

// ---------------------------------------------------------------------------
// Files, directories and INI files
// ---------------------------------------------------------------------------

#include <signal.h>

#include <cstdio>

#include <QString>
#include <QStringList>

/// A buffered file (a C stream) opened by path and mode. Every result is a plain
/// int as listed per operation; nothing is logged.
/// Thread-safety: owner thread only.
class VLK_EXPORT Cvlk_file : public QObject {
  Q_OBJECT
 public:
  /// The path is copied (at most 259 characters) unless empty; nothing is opened.
  explicit Cvlk_file(const char* path = nullptr, QObject* parent = nullptr);
  ~Cvlk_file() override;  ///< closes an open stream

  /// Opens the stored path with a C stream mode ("r", "w", "a", optionally with
  /// "+" and "b"). Any open stream is closed first. 1 when opened, -1 when the path
  /// or mode is empty or the open fails (the object is then closed).
  int open(const char* mode);
  /// Stores path (at most 259 characters; an empty path clears it), then
  /// open(mode). path may be getPath() itself.
  int open(const char* path, const char* mode);
  /// 1 when a stream was closed, -1 when none was open.
  int close();
  /// Whether a stream is open.
  bool isOpened() const { return m_stream != nullptr; }
  /// The stream's end-of-file indicator (non-zero at end); 1 when closed.
  int eof();
  /// The stream's flush result; when closed, flushes every output stream.
  int fflush();
  /// Bytes read (up to n); -1 when buf is null, n is negative or the file is closed.
  int read(void* buf, int n);
  /// 1 when the whole block was written as one item, 0 when not; -1 when buf is
  /// null, size is negative or the file is closed.
  int write(void* buf, int size);
  /// whence 0, 1, 2: from the start, the current position, the end. 0 on success,
  /// non-zero on failure, -1 when closed.
  int seek(long offset, int whence);
  /// The stored path.
  const char* getPath() const { return m_path; }

 private:
  char m_path[260];
  FILE* m_stream = nullptr;
};

/// ERR_OK when a directory or a file exists at path; ERR_OBJ_NOT_FOUND when not or
/// when path is empty.
VLK_EXPORT EerrNo VlkIsDirExist(const char* path);
/// Creates path and its missing parents (relative paths from the working
/// directory). ERR_INVALID_PARAM when empty, ERR_FAIL when it cannot be created.
VLK_EXPORT EerrNo VlkCreateDir(const char* path);
/// size = the file's size in bytes (low 32 bits; 0 when it does not exist).
/// ERR_INVALID_PARAM when path is null, else ERR_OK.
VLK_EXPORT EerrNo VlkGetFileSize(const char* path, int& size);
/// Removes the file unless path is empty.
VLK_EXPORT void VlkDeleteFile(const char* path);
/// out = the file name without directory and without any suffix ("archive" of
/// "/a/b/archive.tar.gz").
VLK_EXPORT void VlkGetFileBaseName(const char* path, Cvlk_tmp_str& out);
/// out = the file name without directory, suffixes kept.
VLK_EXPORT void VlkGetFileName(const char* path, Cvlk_tmp_str& out);
/// out = the name of the most recently modified regular file (symbolic links
/// excluded) of dir matching the wildcard pattern. ERR_INVALID_PARAM for an empty
/// dir or pattern, ERR_OBJ_NOT_FOUND when none matches (out unchanged).
VLK_EXPORT EerrNo VlkGetFirstFile(const char* dir, const char* pattern, QString& out);
/// As VlkGetFirstFile, but appends every matching name, newest first, to out.
VLK_EXPORT EerrNo VlkGetFiles(const char* dir, const char* pattern, QStringList& out);

/// Reads integers, strings and hexadecimal numbers from an INI file and writes
/// integers to it. The file is opened and closed within each call.
/// Layout: "[group]" lines, then "key=value" lines; a line whose first character
/// is ';' is a comment. Keys are case-sensitive.
/// Both string readers give a value as stored: the rest of the line after the
/// first '=', with the blanks around it removed and one pair of matching quotes
/// ('"' or '\'') around the whole of it taken off. Nothing else is interpreted:
/// backslashes, commas, a ';' after a value and 8-bit bytes stand as they are
/// in the file (`path=C:\data\new` reads back as `C:\data\new`), and the two
/// readers always agree. Of duplicate keys the last counts.
/// The integer reader and writer go through QSettings (its escapes and inline
/// comments apply to them).
/// Thread-safety: any thread; concurrent writers to one file are not coordinated.
class VLK_EXPORT Cvlk_ini_file {
 public:
  Cvlk_ini_file();
  /// The reader of fileName (at most 259 characters kept).
  explicit Cvlk_ini_file(const char* fileName);
  /// Copies the file name.
  Cvlk_ini_file(const Cvlk_ini_file& other) = default;
  /// Copies the file name.
  Cvlk_ini_file& operator=(const Cvlk_ini_file& other) = default;
  virtual ~Cvlk_ini_file() = default;

  /// Clears the name, then copies fileName (at most 259 characters).
  void SetFileName(const char* fileName);
  /// The file name.
  const char* GetFileName() const { return m_fileName; }

  /// The decimal value of key in group: defaultValue when the key is missing, 0
  /// when the value is not a decimal integer. An empty group reads the keys
  /// outside any section.
  int ReadInt(const char* group, const char* key, int defaultValue);
  /// The value text as stored into out, which holds at least 256 bytes: at most
  /// 255 characters and a NUL; defaultValue (likewise cut) when the section or
  /// key is missing. Nothing is written when group, key or the file name is
  /// empty or out is null.
  void ReadStr(const char* group, const char* key, char* out, const char* defaultValue);
  /// The value text as stored into out (the same text as the other ReadStr, cut
  /// at 1499); defaultValue when the value is empty or missing. out is untouched
  /// when group, key or the file name is empty.
  void ReadStr(const char* group, const char* key, Cvlk_tmp_str& out, const char* defaultValue);
  /// The value parsed as hexadecimal, with or without "0x"; defaultValue when the
  /// value is empty or missing.
  int ReadHex(const char* group, const char* key, int defaultValue);
  /// Stores value under key in group; the file is created if missing. The file is
  /// rewritten as a whole: comments in it are not kept.
  void WriteInt(const char* group, const char* key, int value);

 private:
  char m_fileName[260];
};

// ---------------------------------------------------------------------------
// Host utilities
// ---------------------------------------------------------------------------

/// The host name into name (which holds 60 bytes), always terminated: a longer
/// name is cut to its first 59 characters; an empty text when the host gives
/// none. Always ERR_OK.
VLK_EXPORT EerrNo VlkGetComputerName(char* const name);
/// Fetches url (HTTP or HTTPS GET, the proxy the environment names, redirects
/// followed, at most 30 s to connect and 60 s in all) and puts the first piece
/// of the content, at most 63 bytes up to its first NUL, into reply.
/// ERR_INVALID_PARAM for a null or empty url; ERR_FAIL when the request fails, the
/// server answers with an error status (400 or above) or no non-empty piece
/// arrives; ERR_OK otherwise. Blocks the caller for the duration of the request.
VLK_EXPORT EerrNo VlkGetURL(const char* url, Cvlk_tmp_str& reply);
/// The reply of VlkGetURL read as a number (a leading 0x selects hexadecimal, a
/// leading 0 octal; 0 for text that is no number); -268435458 (0xEFFFFFFE) when
/// the fetch fails or the reply is empty.
VLK_EXPORT int VlkGetURL(const char* url);
/// dir = the application's directory (the directory of its executable as Qt
/// reports it; empty without a Qt application object). A null dir is left alone.
/// Always 1.
VLK_EXPORT int VlkGetCurrDir(Cvlk_tmp_str* dir);
extern "C" {
/// Copies at most size - 1 characters of the application's directory and a NUL
/// into dir (an empty text when there is none); the number of characters copied.
VLK_EXPORT int VlkGetCurrDir(char* dir, int size);
}
/// path = the application's directory followed by "/.tmp/". Neither tested for
/// existence nor created.
VLK_EXPORT void VlkGetTempPath(Cvlk_tmp_str& path);
/// VLK_TRUE when another process than the caller runs an executable whose file
/// name equals exeName exactly (case-sensitive); VLK_FALSE when none does, when
/// exeName is empty or when the process list cannot be read.
VLK_EXPORT Ebool VlkHasProcess(const char* exeName);

// ---------------------------------------------------------------------------
// Crash reporter
// ---------------------------------------------------------------------------

/// Writes a plain-text crash report when the process receives a fatal signal
/// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT): the fault named with its
/// exception code, the fault address as module, segment and offset, the registers
/// and the frame-pointer chain of the faulting thread. The report goes to
/// "<application directory>/log/ovo_dump_<yyyymmdd-hhmmss>.txt"; the log directory
/// must exist. Afterwards the signal is handed to the handler installed before,
/// or the default action is restored and the signal raised again, so the process
/// ends as it would have.
/// The application creates one instance and keeps it alive while reports are
/// wanted; a second instance alive at the same time, and copies, install nothing.
/// The application directory is resolved by the constructor: Qt's when a
/// QCoreApplication exists, else the directory of the running executable, so a
/// reporter made before the application object writes below the program too.
/// The time stamp is local time by the time-zone rules in force at construction,
/// with their summer-time changes for the next 20 years (a later change of the
/// rules themselves, or of TZ, is not seen).
/// The handler runs on an alternate signal stack, so a stack overflow is still
/// reported: the constructing thread gets one, other threads call PrepareThread().
/// Thread-safety: construct and destroy on one thread, while no fault is handled.
class VLK_EXPORT Cwin_exception_handler {
 public:
  Cwin_exception_handler();
  /// A copy installs nothing.
  Cwin_exception_handler(const Cwin_exception_handler& other);
  /// Assignment installs nothing.
  Cwin_exception_handler& operator=(const Cwin_exception_handler& other);
  /// The installing instance puts back the handlers that were there before it.
  virtual ~Cwin_exception_handler();

  /// Gives the calling thread an alternate signal stack unless it has one already;
  /// it is released when the thread ends. False when none could be set up.
  static bool PrepareThread();

 private:
  static void VlkUnhandledExceptionFilter(int sig, siginfo_t* info, void* context);
  static void GenerateExceptionReport(int file, int sig, const siginfo_t* info, const void* context);
  static const char* GetExceptionString(unsigned long code);
  static int GetLogicalAddress(void* address, char* module, unsigned long moduleSize, unsigned long& section,
                               unsigned long& offset);
  static void IntelStackWalk(int file, const void* context);
  static int printf(int file, const char* format, ...) __attribute__((format(printf, 2, 3)));
};

#endif  // VLK_SYS_H
