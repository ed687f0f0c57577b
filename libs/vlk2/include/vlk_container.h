/// @file vlk_container.h
/// Fixed-capacity containers: intrusive lists, stamped-id
/// resource pools, the multi-list pool, the hash table, buffers, counters and bit sets.
///
/// None of these classes takes a lock. Each container belongs to one owner that
/// serialises access (a pool's thread, or the owner's Cvlk_mutex); the only
/// exceptions are Cvlk_counter, whose steps are atomic, and the stamp generator
/// (the process-wide rand) that every pool shares.
#ifndef VLK_CONTAINER_H
#define VLK_CONTAINER_H

#include <atomic>
#include <cstdint>

#include "vlk_base.h"

// ---------------------------------------------------------------------------
// Node clock
// ---------------------------------------------------------------------------

/// The clock that list nodes read for their alloc and active times: seconds since
/// 1970-01-01 00:00 UTC. By default the wall clock.
using VlkNodeClock = std::int64_t (*)();
/// Present time of the node clock.
VLK_EXPORT std::int64_t VlkNodeNow();
/// Test seam: replaces the node clock for the whole process; null restores the wall
/// clock. Safe from any thread, but meant to be set while no pool is in use.
VLK_EXPORT void VlkSetNodeClock(VlkNodeClock clock);

// ---------------------------------------------------------------------------
// Intrusive doubly linked list
// ---------------------------------------------------------------------------

class Cvlk_link;

/// A node of an intrusive list: it carries its own links and the identifier of the
/// one list that holds it (0 when in none), and two times from which pools measure
/// how long a handed-out node has been inactive.
/// Thread-safety: unsynchronised; guarded by whatever guards the list holding it.
class VLK_EXPORT Cvlk_link_node : public Cvlk_obj {
  Q_OBJECT
 public:
  /// A node in no list, with identifier id and Qt parent parent.
  explicit Cvlk_link_node(unsigned int id = 1, QObject* parent = nullptr);
  /// Destroying a node does not unlink it: its owner removes it from its list first.
  ~Cvlk_link_node() override;

  /// The next node of its list, or null.
  Cvlk_link_node* GetNext() const { return m_next; }
  /// The previous node of its list, or null.
  Cvlk_link_node* GetPrev() const { return m_prev; }
  /// The identifier of the list that holds the node; 0 for none.
  unsigned int GetLinkId() const { return m_linkId; }

  /// Sets alloc time and active time both to t (seconds since the epoch).
  void SetAllocTime(std::int64_t t);
  /// When the node was handed out (seconds since the epoch).
  std::int64_t GetAllocTime() const { return m_allocTime; }
  /// When the node was last marked active (seconds since the epoch).
  std::int64_t GetActiveTime() const { return m_activeTime; }
  /// Marks the node active now.
  void SetActive();
  /// Whole seconds since the node was last active, taken as an unsigned 32-bit
  /// number (a clock that went back gives 2^32 minus the gap, never a negative).
  std::uint64_t GetAllocDuration() const;

  /// @{
  /// Low-level linking steps: they touch only the nodes concerned, never a list's
  /// head, tail or count. Insert puts this node before `before`, Append after
  /// `after`; with a null neighbour the node only takes the link id.
  /// ERR_OK also when the node already carries linkId; ERR_INVALID_OPR when it is in
  /// another list or still linked; ERR_INVALID_PARAM for linkId 0.
  EerrNo Insert(unsigned int linkId, Cvlk_link_node* before);
  EerrNo Append(unsigned int linkId, Cvlk_link_node* after);
  /// @}
  /// Unlinks the node; ERR_INVALID_PARAM when it does not carry linkId.
  EerrNo Remove(unsigned int linkId);

  /// 1 when this node's identifier is greater than other's, -1 when smaller, 0 when equal.
  virtual int Compare(Cvlk_link_node* other);

 private:
  void init();

  Cvlk_link_node* m_next;
  Cvlk_link_node* m_prev;
  unsigned int m_linkId;
  std::int64_t m_allocTime;
  std::int64_t m_activeTime;
};

/// An intrusive doubly linked list of nodes owned elsewhere; it never allocates or
/// frees a node. Its identifier is what its nodes carry as their link id.
/// Thread-safety: unsynchronised; one owner serialises access (shared queues are
/// guarded by their owner's mutex). GetNum alone may be called from any thread
/// (status prints read pool counts while the owner works): it returns the count
/// as of some recent moment.
class VLK_EXPORT Cvlk_link : public Cvlk_obj {
  Q_OBJECT
 public:
  /// Identifier from VlkGetGlobalObjID, no Qt parent.
  Cvlk_link();
  /// REQUIRES: id is non-zero and no other list bears it.
  Cvlk_link(unsigned int id, QObject* parent);
  /// Destroying a list leaves its nodes as they are.
  ~Cvlk_link() override;

  /// Forgets all nodes without touching them: they still carry this list's id.
  void Init();
  /// The number of nodes. Any thread may read it (a count of some recent
  /// moment); everything else is the owner's.
  unsigned int GetNum() const { return m_num.load(std::memory_order_relaxed); }
  /// The first node, or null.
  Cvlk_link_node* GetHead() const { return m_head; }
  /// The last node, or null.
  Cvlk_link_node* GetTail() const { return m_tail; }
  /// Whether node is in this list.
  Ebool IsInLink(const Cvlk_link_node* node) const;
  /// The node whose own identifier is id, or null (always null for id 0). Linear.
  Cvlk_link_node* Search(unsigned int id) const;

  /// @{
  /// ERR_OK (also when the node already is in this list), ERR_INVALID_OPR when it is
  /// in another list or still linked, ERR_INVALID_PARAM for a null node.
  EerrNo AddToHead(Cvlk_link_node* node);
  EerrNo AddToTail(Cvlk_link_node* node);
  /// @}
  /// @{
  /// Puts node before (Insert) or after (Append) pos. ERR_INVALID_PARAM for a null
  /// argument, ERR_FAIL when pos is not in this list or node already is,
  /// ERR_INVALID_OPR when node is in another list.
  EerrNo Insert(Cvlk_link_node* pos, Cvlk_link_node* node);
  EerrNo Append(Cvlk_link_node* pos, Cvlk_link_node* node);
  /// @}
  /// ERR_INVALID_OPR for an empty list or a null node, ERR_INVALID_PARAM when the
  /// node is not in this list.
  EerrNo Remove(Cvlk_link_node* node);
  /// @{
  /// The detached first (last) node, or null. The caller owns what it took out.
  Cvlk_link_node* RemoveHead();
  Cvlk_link_node* RemoveTail();
  /// @}

 protected:
  /// @{
  /// Shared tail of Insert/Append once the arguments are checked.
  EerrNo _insert(Cvlk_link_node* pos, Cvlk_link_node* node);
  EerrNo _append(Cvlk_link_node* pos, Cvlk_link_node* node);
  /// @}

 private:
  /// Only the owner writes the count, so a load and a store step it (no locked
  /// instruction); other threads may read it through GetNum.
  unsigned int _step(int delta) {
    const unsigned int n = m_num.load(std::memory_order_relaxed) + static_cast<unsigned int>(delta);
    m_num.store(n, std::memory_order_relaxed);
    return n;
  }

  std::atomic<unsigned int> m_num;
  Cvlk_link_node* m_head;
  Cvlk_link_node* m_tail;
};

/// A list whose position inserts report every refusal as ERR_INVALID_OPR; the
/// multi-list pool uses it.
/// Thread-safety: as Cvlk_link.
class VLK_EXPORT Cvlk_linkExt : public Cvlk_link {
  Q_OBJECT
 public:
  Cvlk_linkExt();
  ~Cvlk_linkExt() override;

  /// @{
  /// ERR_INVALID_OPR when pos is not in this list, node already is, or node is in
  /// another list; ERR_INVALID_PARAM for a null argument.
  EerrNo Insert(Cvlk_link_node* pos, Cvlk_link_node* node);
  EerrNo Append(Cvlk_link_node* pos, Cvlk_link_node* node);
  /// @}
};

// ---------------------------------------------------------------------------
// Resource pool
// ---------------------------------------------------------------------------

class Cvlk_resource;

/// Base of every pooled node. Its identifier is its 1-based slot in the low 16 bits
/// and a stamp (1 to 32768) renewed at every hand-out in the high 16 bits, so an
/// identifier from an earlier busy period is refused.
/// Thread-safety: as the pool that owns it.
class VLK_EXPORT Cvlk_res_node : public Cvlk_link_node {
  Q_OBJECT
 public:
  /// The pool is both owner and Qt parent; the identifier is 1 until the pool's Add.
  explicit Cvlk_res_node(Cvlk_resource* owner);
  ~Cvlk_res_node() override;

  /// The pool the node belongs to.
  Cvlk_resource* GetRes() const { return m_owner; }
  /// The node's table index: (identifier & 0xFFFF) - 1.
  unsigned int GetIndex() const { return (GetId() & 0xFFFFu) - 1u; }
  void Print() override;

 private:
  Cvlk_resource* m_owner;
};

/// A fixed-capacity pool (at most 65535 nodes) created up front and filled with Add;
/// AllocNode hands out the node idle longest, FreeById takes it back. Nodes are
/// named by stamped identifiers and checked on every lookup.
/// Thread-safety: unsynchronised; one thread or the owner's mutex.
/// Ownership: the pool owns every node added to it and deletes them when it dies.
class VLK_EXPORT Cvlk_resource : public Cvlk_obj {
  Q_OBJECT
 public:
  /// The set-up outcome is stored in the error field; check GetErr() before use.
  Cvlk_resource(unsigned int id, unsigned int maxNum, QObject* parent = nullptr);
  /// As above with a generated identifier.
  explicit Cvlk_resource(unsigned int maxNum, QObject* parent = nullptr);
  /// Deletes every node added to the pool.
  ~Cvlk_resource() override;

  /// Puts a new node into the next free slot, idle; the pool owns it from now on.
  /// ERR_OUT_OF_MEMORY when full (the node is then not added and stays the caller's).
  EerrNo Add(Cvlk_res_node* node);
  /// Hands out the node idle longest (first freed, first reused), or null.
  Cvlk_res_node* AllocNode();
  /// Hands out the idle node with the lowest table index, or null. Linear.
  Cvlk_res_node* AllocIndexNode();
  /// Takes a busy node back. ERR_INVALID_OPR for an invalid, stale or idle id (a
  /// double free changes nothing) and for a node still held in another list.
  EerrNo FreeById(unsigned int id);
  /// The node (busy or idle) that bears exactly id, or null.
  Cvlk_res_node* GetById(unsigned int id) const;
  /// The node in slot index (0-based), idle or busy; null beyond the nodes added.
  Cvlk_res_node* GetByIndex(unsigned int index) const;
  /// The slot an identifier names: its low 16 bits minus 1.
  static unsigned int GetIndexById(unsigned int id) { return (id & 0xFFFFu) - 1u; }
  /// RES_BUSY or RES_IDLE for the node that bears exactly id; RES_INVALID for a stale or foreign id.
  Evlk_res_state GetStateById(unsigned int id) const;
  /// RES_BUSY or RES_IDLE for the node in slot index; RES_INVALID beyond the nodes added.
  Evlk_res_state GetStateByIndex(unsigned int index) const;
  /// The pool's capacity.
  unsigned int GetMaxNum() const { return m_maxNum; }
  /// Nodes added.
  unsigned int GetRealNum() const { return m_realNum; }
  /// Nodes idle (not handed out).
  unsigned int GetIdleNum() const;
  /// Nodes handed out.
  unsigned int GetBusyNum() const { return m_realNum - GetIdleNum(); }
  /// Reclaims busy nodes inactive for more than maxSeconds; exactly maxSeconds is kept.
  void Check(unsigned int maxSeconds);
  void Print() override;

 protected:
  /// True when the node is one of this pool's and sits in the idle list.
  bool _isIdle(const Cvlk_res_node* node) const;
  /// New stamp and times for a node leaving the idle list.
  void _refresh(Cvlk_res_node* node);
  /// The idle list's head node taken out and refreshed, or null.
  Cvlk_res_node* _takeIdleHead();

 private:
  EerrNo _init(unsigned int maxNum);

  unsigned int m_maxNum = 0;
  unsigned int m_realNum = 0;
  Cvlk_res_node** m_table = nullptr;
  Cvlk_link* m_idle = nullptr;
  /// The pool's own stamp generator (xorshift), seeded from the process-wide
  /// one: hand-outs run under the owner's lock and need no global lock of the C
  /// library's rand() on the message path.
  unsigned int m_stampState = 0;
};

/// A resource pool that also keeps a list of the nodes it handed out with tracking
/// on, so that Check reclaims only those.
/// Thread-safety: unsynchronised; one thread or the owner's mutex.
class VLK_EXPORT Cvlk_res_pro : public Cvlk_obj {
  Q_OBJECT
 public:
  /// The inner pool's set-up outcome is copied into the error field.
  Cvlk_res_pro(unsigned int id, unsigned int maxNum, QObject* parent = nullptr);
  ~Cvlk_res_pro() override;

  /// The inner pool.
  Cvlk_resource* GetRes() const { return m_pool; }
  /// As Cvlk_resource::Add.
  EerrNo Add(Cvlk_res_node* node) { return m_pool->Add(node); }
  /// The longest-idle node; with track VLK_TRUE it is also appended to the busy list.
  Cvlk_res_node* AllocNode(Ebool track);
  /// ERR_FAIL unless the node is in the busy list; else leaves it and is freed.
  EerrNo FreeById(unsigned int id);
  /// As Cvlk_resource::GetById.
  Cvlk_res_node* GetById(unsigned int id) const { return m_pool->GetById(id); }
  /// As Cvlk_resource::GetByIndex.
  Cvlk_res_node* GetByIndex(unsigned int index) const { return m_pool->GetByIndex(index); }
  /// As Cvlk_resource::GetIndexById.
  static unsigned int GetIndexById(unsigned int id) { return Cvlk_resource::GetIndexById(id); }
  /// As Cvlk_resource::GetStateById.
  Evlk_res_state GetStateById(unsigned int id) const { return m_pool->GetStateById(id); }
  /// As Cvlk_resource::GetStateByIndex.
  Evlk_res_state GetStateByIndex(unsigned int index) const { return m_pool->GetStateByIndex(index); }
  /// As Cvlk_resource::GetMaxNum.
  unsigned int GetMaxNum() const { return m_pool->GetMaxNum(); }
  /// As Cvlk_resource::GetRealNum.
  unsigned int GetRealNum() const { return m_pool->GetRealNum(); }
  /// As Cvlk_resource::GetIdleNum.
  unsigned int GetIdleNum() const { return m_pool->GetIdleNum(); }
  /// Tracked nodes only.
  unsigned int GetBusyNum() const { return m_busy->GetNum(); }
  /// The first tracked busy node, or null.
  Cvlk_res_node* GetBusyHead() const;
  /// The last tracked busy node, or null.
  Cvlk_res_node* GetBusyTail() const;
  /// The caller gets the node out of the busy list; it stays handed out.
  Cvlk_res_node* RemoveBusyHead();
  /// @{
  /// Busy-list operations; ERR_OUT_OF_MEMORY for a null node or pos.
  EerrNo AddToTail(Cvlk_res_node* node);
  EerrNo Insert(Cvlk_res_node* pos, Cvlk_res_node* node);
  /// @}
  /// Reclaims tracked busy nodes inactive for more than maxSeconds.
  void Check(unsigned int maxSeconds);
  void Print() override;

 private:
  Cvlk_link* m_busy;
  Cvlk_resource* m_pool;
};

// ---------------------------------------------------------------------------
// Multi-list resource pool
// ---------------------------------------------------------------------------

/// A resource pool with a fixed number of application lists (at most 2048). A
/// handed-out node can be placed in one list, moved between lists and deleted,
/// which also gives it back to the pool. Lists are named by index, nodes by their
/// pool identifier, so stale identifiers are caught by the stamp check.
/// Thread-safety: unsynchronised; one owner thread or external serialisation.
/// Ownership: as Cvlk_resource; the pool owns its nodes, the lists only link them.
class VLK_EXPORT Cvlk_resourceExt : public Cvlk_resource {
  Q_OBJECT
 public:
  /// The first set-up failure (pool, then lists) is stored in the error field.
  Cvlk_resourceExt(unsigned int id, unsigned int maxNum, unsigned int linkNum, QObject* parent = nullptr);
  ~Cvlk_resourceExt() override;

  /// Every listIdx below must be below GetLinkNum(); a larger one gives
  /// ERR_INVALID_PARAM (0, VLK_FALSE) and changes nothing.
  unsigned int GetLinkNum() const { return m_linkNum; }
  /// Nodes in application list listIdx.
  unsigned int GetNumByLinkIdx(unsigned int listIdx) const;
  /// @{
  /// Identifier of the list's first (last) node; 0 when empty.
  unsigned int GetHead(unsigned int listIdx) const;
  unsigned int GetTail(unsigned int listIdx) const;
  /// @}
  /// Whether node id is in application list listIdx.
  Ebool IsInLink(unsigned int listIdx, unsigned int id) const;
  /// @{
  /// ERR_INVALID_PARAM for an invalid id; ERR_INVALID_OPR when the node is in another
  /// list (an idle node sits in the idle list).
  EerrNo AddToHead(unsigned int listIdx, unsigned int id);
  EerrNo AddToTail(unsigned int listIdx, unsigned int id);
  /// @}
  /// @{
  /// Puts node id before (after) node posId. ERR_INVALID_OPR for an invalid posId or
  /// id, a posId not in the list, or an id already in a list.
  EerrNo Insert(unsigned int listIdx, unsigned int posId, unsigned int id);
  EerrNo Append(unsigned int listIdx, unsigned int posId, unsigned int id);
  /// @}
  /// Takes the node out of its application list; it stays handed out.
  /// ERR_INVALID_PARAM for an invalid id, ERR_INVALID_OPR when it is in no list.
  EerrNo Remove(unsigned int id);
  /// Takes the node out of its application list and gives it back to the pool.
  EerrNo Delete(unsigned int id);
  /// @{
  /// Gives the list's first (last) node back to the pool; ERR_INVALID_OPR when empty.
  EerrNo DeleteHead(unsigned int listIdx);
  EerrNo DeleteTail(unsigned int listIdx);
  /// @}
  /// @{
  /// Moves node id from list fromIdx to the head (tail) of list toIdx, or next to
  /// node posId there. ERR_INVALID_OPR for an invalid id or posId, a node not in
  /// fromIdx, or a posId not in toIdx (or equal to id); a refused transfer moves
  /// nothing.
  EerrNo TransferToHead(unsigned int fromIdx, unsigned int id, unsigned int toIdx);
  EerrNo TransferToTail(unsigned int fromIdx, unsigned int id, unsigned int toIdx);
  EerrNo TransferBefore(unsigned int fromIdx, unsigned int id, unsigned int toIdx, unsigned int posId);
  EerrNo TransferAfter(unsigned int fromIdx, unsigned int id, unsigned int toIdx, unsigned int posId);
  /// @}
  /// Reclaims busy nodes inactive for more than maxSeconds, taking them out of their
  /// lists first.
  void Check(unsigned int maxSeconds);

 private:
  enum class Where { kHead, kTail, kBefore, kAfter };

  EerrNo _init(unsigned int linkNum);
  /// The application list holding node, or null.
  Cvlk_linkExt* _listOf(const Cvlk_res_node* node) const;
  EerrNo _transfer(unsigned int fromIdx, unsigned int id, unsigned int toIdx, unsigned int posId, Where where);

  unsigned int m_linkNum = 0;
  Cvlk_linkExt* m_lists = nullptr;
};

// ---------------------------------------------------------------------------
// Hash table
// ---------------------------------------------------------------------------

/// An entry of Cvlk_hash_tbl: a key buffer of the table's maximum key length and a
/// data buffer of its fixed data length, both made once at construction.
/// Thread-safety: as its table.
class VLK_EXPORT Cvlk_hash_node : public Cvlk_res_node {
  Q_OBJECT
 public:
  /// A failed buffer allocation leaves ERR_OUT_OF_MEMORY in the error field.
  Cvlk_hash_node(Cvlk_resource* owner, unsigned int maxKeyLen, unsigned int dataLen);
  ~Cvlk_hash_node() override;

  /// Length of the data buffer.
  unsigned int GetDataLen() const { return m_dataLen; }
  /// The node's buffers; they stay the node's.
  unsigned char* GetData() const { return m_data; }
  /// Length of the stored key.
  unsigned int GetKeyLen() const { return m_keyLen; }
  /// The stored key.
  const unsigned char* GetKey() const { return m_key; }
  void Print() override;

 private:
  friend class Cvlk_hash_tbl;

  unsigned int m_dataLen;
  unsigned char* m_data;
  unsigned int m_keyLen;
  unsigned char* m_key;
};

/// A fixed-capacity hash table from byte-string keys (at most maxKeyLen bytes) to
/// fixed-length data records, built on a resource pool of Cvlk_hash_node. With
/// permitSame VLK_TRUE several entries may share a key; they are found oldest first.
/// Entries are also named by their node identifier.
/// Thread-safety: unsynchronised; one thread or a caller that serialises access.
/// Ownership: keys and data are copied in; pointers handed back through `data` point
/// into the table and stay valid until the entry is removed.
class VLK_EXPORT Cvlk_hash_tbl : public Cvlk_resource {
  Q_OBJECT
 public:
  /// The first set-up failure is stored in the error field.
  Cvlk_hash_tbl(unsigned int id, unsigned int maxNum, unsigned int maxKeyLen, unsigned int dataLen, Ebool permitSame,
                QObject* parent = nullptr);
  ~Cvlk_hash_tbl() override;

  /// Copies dataLen bytes of data and the key in. ERR_INVALID_OPR for a duplicate key
  /// when duplicates are refused, ERR_OUT_OF_MEMORY when full, ERR_INVALID_PARAM for
  /// a key longer than maxKeyLen, a null key with keyLen > 0 or null data.
  /// nodeId (may be null) receives the entry's identifier.
  EerrNo Add(unsigned int keyLen, const unsigned char* key, const unsigned char* data, unsigned int* nodeId);
  /// The oldest entry with the key. ERR_OK or ERR_OBJ_NOT_FOUND; ERR_INVALID_PARAM
  /// for a key no entry can have (too long, or null with keyLen > 0).
  EerrNo Search(unsigned int keyLen, const unsigned char* key, unsigned char** data);
  /// As Search, and nodeId (may be null) receives the entry's identifier, for FindNext.
  EerrNo FindFirst(unsigned int keyLen, const unsigned char* key, unsigned char** data, unsigned int* nodeId);
  /// The next entry after nodeId with the same key; ERR_OBJ_NOT_FOUND at the end,
  /// for a stale nodeId, or when duplicates are refused.
  EerrNo FindNext(unsigned int nodeId, unsigned char** data, unsigned int* nextId);
  /// Every entry once, bucket by bucket, each bucket in insertion order.
  EerrNo GetFirst(unsigned char** data, unsigned int* nodeId);
  /// The entry after nodeId in that order; ERR_OBJ_NOT_FOUND at the end or for a stale nodeId.
  EerrNo GetNext(unsigned int nodeId, unsigned char** data, unsigned int* nextId);
  /// Removes the oldest entry with the key; ERR_OBJ_NOT_FOUND when none.
  EerrNo Remove(unsigned int keyLen, const unsigned char* key);
  /// Removes exactly that entry; ERR_INVALID_PARAM for an id that names no node,
  /// the bucket's refusal for an idle node.
  EerrNo RemoveNode(unsigned int nodeId);
  /// The longest key accepted.
  unsigned int GetMaxKeyLen() const { return m_maxKeyLen; }
  /// Length of the data buffer.
  unsigned int GetDataLen() const { return m_dataLen; }
  /// Buckets of the table.
  unsigned int GetBucketNum() const { return m_bucketNum; }
  /// Whether entries with the same key are accepted.
  Ebool GetPermitSame() const { return m_permitSame; }
  void Print() override;

 protected:
  /// The bucket of a key: h = h * 131 + byte over the key, then (h & 0x7FFFFFFF)
  /// modulo the bucket count. Derived tables may replace either form; results at
  /// or beyond the bucket count are taken modulo it. The table calls the form
  /// with a const key, which by default calls this one, so a derived table that
  /// overrides only this one is used as well. An override must not write
  /// through key. A class that overrides one form names the other with
  /// `using Cvlk_hash_tbl::_convert;` so that neither is hidden.
  virtual unsigned int _convert(unsigned int keyLen, unsigned char* key);
  /// The form the table calls: by default _convert(keyLen, key) above.
  virtual unsigned int _convert(unsigned int keyLen, const unsigned char* key);

 private:
  EerrNo _init(unsigned int maxNum, unsigned int dataLen);
  bool _keyUsable(unsigned int keyLen, const unsigned char* key) const;
  unsigned int _bucketOf(unsigned int keyLen, const unsigned char* key);
  Cvlk_hash_node* _lookup(unsigned int keyLen, const unsigned char* key);
  /// The busy node that bears exactly nodeId, or null.
  Cvlk_hash_node* _busyNode(unsigned int nodeId) const;

  Ebool m_permitSame;
  unsigned int m_maxKeyLen;
  unsigned int m_dataLen;
  unsigned int m_bucketNum = 0;
  Cvlk_link* m_buckets = nullptr;
};

// ---------------------------------------------------------------------------
// Buffers, counters and bit sets
// ---------------------------------------------------------------------------

/// A heap block of fixed size, zero-filled at construction.
/// Thread-safety: unsynchronised.
class VLK_EXPORT Cvlk_buf {
 public:
  /// A failed allocation leaves a null block of size 0.
  explicit Cvlk_buf(unsigned int size);
  virtual ~Cvlk_buf();

  Cvlk_buf(const Cvlk_buf&) = delete;
  Cvlk_buf& operator=(const Cvlk_buf&) = delete;

  /// The block's size.
  unsigned int getSize() const { return m_size; }
  /// The length in use.
  unsigned int getLength() const { return m_length; }
  /// REQUIRES: len <= getSize(); larger values are cut to the size.
  void setLength(unsigned int len) { m_length = len < m_size ? len : m_size; }
  /// The block; it stays the buffer's.
  unsigned char* getData() const { return m_data; }

 private:
  unsigned int m_size;
  unsigned int m_length;
  unsigned char* m_data;
};

/// One queued byte string: a heap copy followed by one zero byte.
/// Thread-safety: unsynchronised.
class VLK_EXPORT Cvlk_buf_node : public Cvlk_link_node {
  Q_OBJECT
 public:
  Cvlk_buf_node();
  ~Cvlk_buf_node() override;

  /// Copies len bytes and a terminating zero into a fresh block, replacing what was
  /// saved before. ERR_INVALID_PARAM for null data with len > 0 or for len 2^32-1
  /// (no room for the zero byte); ERR_OUT_OF_MEMORY when the heap is exhausted.
  EerrNo saveToBuf(const void* data, unsigned int len);
  /// The saved bytes (null when nothing is saved); they stay the node's.
  unsigned char* getBuf() const { return m_buf; }
  /// Saved length + 1, or 0 when nothing is saved.
  unsigned int getBufSize() const { return m_bufSize; }

 private:
  void init();

  unsigned char* m_buf;
  unsigned int m_bufSize;
};

/// A first-in first-out queue of byte strings, each copied into a node of its own.
/// Thread-safety: unsynchronised.
/// Ownership: the queue owns the nodes it holds and deletes those still queued when
/// it is destroyed; getBuf hands a node over to the caller.
class VLK_EXPORT Cvlk_buf_link : public Cvlk_link {
  Q_OBJECT
 public:
  /// An empty queue.
  explicit Cvlk_buf_link(QObject* parent = nullptr);
  ~Cvlk_buf_link() override;

  /// Queues a copy of len bytes at the tail. Errors as Cvlk_buf_node::saveToBuf.
  EerrNo saveToBuf(const void* data, unsigned int len);
  /// The head node, taken out; the caller deletes it. Null when empty.
  Cvlk_buf_node* getBuf();
};

/// An array of 32-bit statistics counters addressed by index. Out-of-range indices
/// are ignored (Get gives 0).
/// Thread-safety: any thread; every step is atomic.
class VLK_EXPORT Cvlk_counter : public Cvlk_obj {
  Q_OBJECT
 public:
  /// A failed allocation leaves ERR_OUT_OF_MEMORY in the error field and no counters.
  explicit Cvlk_counter(unsigned int count, unsigned int id = 1, QObject* parent = nullptr);
  ~Cvlk_counter() override;

  /// Adds 1 to counter idx.
  void Inc(unsigned int idx);
  /// Takes 1 from counter idx.
  void Dec(unsigned int idx);
  /// Sets counter idx to 0.
  void Clear(unsigned int idx);
  /// Sets every counter to 0.
  void ClearAll();
  /// Counter idx; 0 for an index out of range.
  unsigned int Get(unsigned int idx) const;
  /// Number of counters.
  unsigned int GetCount() const { return m_count; }

 private:
  std::atomic<unsigned int>* m_counters;
  unsigned int m_count;  ///< the index limit: valid indices are below it
};

/// A current count with its high-water mark.
/// Thread-safety: unsynchronised.
class VLK_EXPORT Cvlk_resource_counter {
 public:
  Cvlk_resource_counter() = default;

  /// Adds 1 and raises the high-water mark when passed.
  void inc();
  /// Never below 0.
  void dec();
  /// The high-water mark restarts from the present level.
  void reset() { m_maxCnt = m_currCnt; }
  /// The current count.
  unsigned int getCurrCnt() const { return m_currCnt; }
  /// The highest count since the last reset.
  unsigned int getMaxCnt() const { return m_maxCnt; }

 private:
  unsigned int m_maxCnt = 0;
  unsigned int m_currCnt = 0;
};

/// 64 flags numbered 0 to 63; flag i is bit 0x80 >> (i % 8) of byte i / 8.
/// Thread-safety: unsynchronised.
class VLK_EXPORT Cvlk_bit_set {
 public:
  Cvlk_bit_set() { Init(); }

  /// Clears all 64 flags.
  void Init();
  /// ERR_OK, or ERR_OUT_OF_MEMORY (and no change) for i >= 64.
  EerrNo Set(unsigned int i);
  /// Clears flag i; ERR_OUT_OF_MEMORY (and no change) for i >= 64.
  EerrNo Clear(unsigned int i);
  /// ERR_OK when set, ERR_FAIL when clear, ERR_OUT_OF_MEMORY for i >= 64.
  EerrNo Check(unsigned int i) const;
  /// Whether any flag is set.
  Ebool HasSet() const;
  /// Bit i of the result is flag i, for i = 0 to 31.
  unsigned int ConvertToU32() const;
  /// Clears all 64 flags, then sets flag i for each set bit i of w.
  void ConvertFromU32(unsigned int w);

 private:
  static unsigned char _getByte(unsigned int i) { return static_cast<unsigned char>(i / 8); }
  static unsigned char _getBit(unsigned int i) { return static_cast<unsigned char>(7 - (i % 8)); }

  unsigned char m_bits[8];
};

/// 32 flags in one word; flag b is bit b % 32.
/// Thread-safety: unsynchronised.
class VLK_EXPORT Cvlk_bit32 {
 public:
  Cvlk_bit32() = default;

  /// Clears every flag.
  void init() { m_word = 0; }
  /// = 1u << (b % 32); }|Sets flag b.
  void set(unsigned char b) { m_word |= 1u << (b % 32); }
  /// Clears flag b.
  void clear(unsigned char b) { m_word &= ~(1u << (b % 32)); }
  /// Whether flag b is set.
  Ebool check(unsigned char b) const { return (m_word >> (b % 32)) & 1u ? VLK_TRUE : VLK_FALSE; }
  /// The flags as one word.
  unsigned int value() const { return m_word; }

 private:
  unsigned int m_word = 0;
};

#endif  // VLK_CONTAINER_H
