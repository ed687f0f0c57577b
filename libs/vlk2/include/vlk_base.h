/// @file vlk_base.h
/// The types every part of vlk2 shares: the export macro, the lock
/// annotations, result codes, the truth type, the base object and the library's
/// heap and debug-output entry points.
#ifndef VLK_BASE_H
#define VLK_BASE_H

#include <cstddef>
#include <cstdint>

#include <QObject>

/// @cond VLK_INTERNAL
// Build machinery, not part of the interface: the export marker and clang's
// thread-safety annotations.
// One macro marks everything the shared library exports; all else is hidden.
#define VLK_EXPORT __attribute__((visibility("default")))

// Clang thread-safety annotations; they compile to nothing elsewhere.
#if defined(__clang__)
#define VLK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VLK_THREAD_ANNOTATION(x)
#endif
#define VLK_CAPABILITY(x) VLK_THREAD_ANNOTATION(capability(x))
#define VLK_SCOPED_CAPABILITY VLK_THREAD_ANNOTATION(scoped_lockable)
#define VLK_GUARDED_BY(x) VLK_THREAD_ANNOTATION(guarded_by(x))
#define VLK_PT_GUARDED_BY(x) VLK_THREAD_ANNOTATION(pt_guarded_by(x))
#define VLK_ACQUIRED_AFTER(...) VLK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define VLK_ACQUIRED_BEFORE(...) VLK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define VLK_REQUIRES(...) VLK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VLK_ACQUIRE(...) VLK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VLK_RELEASE(...) VLK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VLK_EXCLUDES(...) VLK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VLK_NO_THREAD_SAFETY_ANALYSIS VLK_THREAD_ANNOTATION(no_thread_safety_analysis)
/// @endcond

/// Result of nearly every operation. ERR_OK is the only success value.
/// ERR_OUT_OF_MEMORY also reports an exhausted fixed capacity, ERR_INVALID_OPR an
/// operation that does not fit the object's state, ERR_INVALID_PARAM an argument
/// that names nothing valid.
enum EerrNo : std::uint32_t {
  ERR_OK = 0,
  ERR_FAIL = 1,
  ERR_NOT_INITIAL = 2,
  ERR_INITIAL_FAIL = 3,
  ERR_INVALID_PARAM = 4,
  ERR_INVALID_OBJ = 5,
  ERR_INVALID_OPR = 6,
  ERR_OUT_OF_MEMORY = 7,
  ERR_OBJ_NOT_FOUND = 8,
  ERR_OBJ_EXISTED = 9,
  ERR_BUSY = 10,
  ERR_CANCEL = 11,
  ERR_UNCOMPLETE = 12,
  ERR_EXPIRED = 13,
  ERR_OBJ_FOUND = 14,
  ERR_BLOCKED = 15,
  ERR_INVALID_ADDRESS = 16,
};

/// The library's truth type. Callers compare against VLK_TRUE exactly.
enum Ebool : std::int32_t { VLK_FALSE = 0, VLK_TRUE = 1 };

/// What processing a message produced. A result of PRC_SAVE_MSG or more means the
/// buffer now belongs to a state machine and must not be freed.
enum Eprc_result : std::uint32_t {
  PRC_NOT_PROCESSED = 0,
  PRC_PROCESSED = 1,
  PRC_RESERVED_2 = 2,  ///< passed on unchanged from a routing hook
  PRC_KILL_FSM = 3,
  PRC_NEW_FSM = 4,
  PRC_FSM_FOUND = 5,
  PRC_TARGETS_SET = 6,
  PRC_RESERVED_7 = 7,  ///< passed on unchanged from a routing hook
  PRC_ERROR = 8,
  PRC_TRANSFER = 9,
  PRC_SAVE_MSG = 10,
  PRC_HOLD_MSG = 11,
};

/// What one event handler of an event-table state machine did with an event.
enum EevtPrc : std::uint32_t {
  EVT_NOT_PROCESSED = 0,
  EVT_PROCESSED = 1,
  EVT_STOP = 2,
};

/// State of a resource-pool node.
enum Evlk_res_state : std::int32_t {
  RES_INVALID = -1,
  RES_IDLE = 0,
  RES_BUSY = 1,
};

/// Comparison of two socket addresses: bit 1 same address, bit 0 same port.
enum Eaddr_compare_result : std::uint32_t {
  ADDR_DIFFERENT = 0,
  ADDR_SAME_PORT = 1,
  ADDR_SAME_IP = 2,
  ADDR_SAME = 3,
};

/// Base of nearly every library object: a Qt object (parent ownership, signals)
/// with a 32-bit identifier and the last error code.
/// Thread-safety: per object, unsynchronised; the global identifier counter that
/// SetRandId steps is atomic.
class VLK_EXPORT Cvlk_obj : public QObject {
  Q_OBJECT
 public:
  /// An object with identifier id and Qt parent parent; its error starts as ERR_OK.
  explicit Cvlk_obj(unsigned int id = 1, QObject* parent = nullptr);
  ~Cvlk_obj() override;

  Cvlk_obj(const Cvlk_obj&) = delete;
  Cvlk_obj& operator=(const Cvlk_obj&) = delete;

  /// The object's identifier.
  unsigned int GetId() const { return m_id; }
  /// Sets the object's identifier.
  void SetId(unsigned int id) { m_id = id; }
  /// Gives the object the next value of the global identifier counter.
  void SetRandId();
  /// The last error recorded (a constructor that failed leaves it here).
  EerrNo GetErr() const { return m_err; }
  /// Records err as the object's error.
  void SetErr(EerrNo err) { m_err = err; }
  /// Formats a one-line description and hands it to VlkDebug; the base does nothing.
  virtual void Print();

 private:
  unsigned int m_id;
  EerrNo m_err;
};

/// Steps the library-wide identifier counter (0x10002 first, 0x10001 after a wrap)
/// and returns the new value. Safe from any thread.
VLK_EXPORT unsigned int VlkGetGlobalObjID();
/// Test seam: sets the counter so that the next VlkGetGlobalObjID returns value + 1.
VLK_EXPORT void VlkSetGlobalObjIDCounter(unsigned int value);
/// Name text of an error code; "Unknown(%u)" for values outside the table. That
/// text lives in a per-thread buffer valid until the same thread's next call.
VLK_EXPORT const char* VlkErrNoToStr(EerrNo err);

extern "C" {
/// The library's heap: the C runtime heap. VlkMemAlloc zero-fills; every function
/// reports exhaustion only through a null result.
VLK_EXPORT void* VlkMemAlloc(std::size_t size);
/// Resizes a block from VlkMemAlloc (realloc); null on failure, the old block then stays.
VLK_EXPORT void* VlkMemReAlloc(void* block, std::size_t size);
/// Frees a block from VlkMemAlloc or VlkMemReAlloc; null does nothing.
VLK_EXPORT void VlkMemFree(void* block);
/// Sets n bytes of block to 0; null does nothing.
VLK_EXPORT void VlkMemReset(void* block, std::size_t n);
/// Copies n bytes from src to dst (the ranges must not overlap); null does nothing.
VLK_EXPORT void VlkMemCopy(void* dst, const void* src, std::size_t n);
/// Debug output sink: takes a printf-style format and drops it unformatted.
VLK_EXPORT void VlkDebug(const char* format, ...);
}

#endif  // VLK_BASE_H
