/// @file vlk_net.h
/// Socket addresses and name resolution, the I/O server core, the TCP
/// server (plain or TLS), outgoing TCP connections and the UDP server.
#ifndef VLK_NET_H
#define VLK_NET_H

#include "vlk_base.h"
#include "vlk_container.h"
#include "vlk_sys.h"
#include "vlk_text.h"

// ===========================================================================
// Socket addresses and name resolution: owned by the server side
// ===========================================================================

#include <netinet/in.h>
#include <sys/socket.h>

// Socket handles travel through the interfaces as unsigned 32-bit values; a
// handle with all bits set names no socket.
#ifndef INVALID_SOCKET
/// The handle value that names no socket.
#define INVALID_SOCKET 0xFFFFFFFFu
#endif

/// An IPv4 or IPv6 socket address with its port: the one address value of the
/// network layer, passed by value into every bind, connect and send-to.
/// Invariant: fresh or init()ed it is version 4, 0.0.0.0, port 0. The kind of
/// address is read from `version`, never from the family field. Port and
/// address are kept in network byte order.
/// Thread-safety: a plain value; not guarded.
class VLK_EXPORT Cvlk_uaddr {
 public:
  Cvlk_uaddr() { init(); }

  /// Back to version 4, 0.0.0.0, port 0.
  void init();
  /// The IPv4 wildcard address 0.0.0.0 with port (host order).
  void initAnyAddrV4(unsigned short port);
  /// The IPv6 wildcard address :: with port (host order).
  void initAnyAddrV6(unsigned short port);
  /// 16 for version 4, otherwise 28.
  int getAddrLen() const { return version == 4 ? static_cast<int>(sizeof(sockaddr_in)) : static_cast<int>(sizeof(sockaddr_in6)); }
  /// The address as a sockaddr, for the socket calls (getAddrLen bytes).
  sockaddr* getAddr() { return &addr.sa; }
  /// The address as a sockaddr, read-only.
  const sockaddr* getAddr() const { return &addr.sa; }
  /// The port in host order; 0 when none.
  unsigned short getPort() const { return ntohs(addr.v4.sin_port); }
  /// Stores port (host order); 0.
  int setPort(unsigned short port);
  /// Resolves host (first IPv4 answer wins, else the last IPv6 one); the port
  /// becomes 0. -1 for no host, -2 when resolution fails (address unchanged).
  int setHostName(const char* host);
  // -1 for no host or port 0, -2 when resolution fails; 0 with the port stored.
  /// Resolves host as setHostName and stores port.
  int setAddress(const char* host, unsigned short port);
  /// True when the port is not 0; nothing else is examined.
  Ebool isValid() const { return getPort() != 0 ? VLK_TRUE : VLK_FALSE; }
  /// Same version, family, non-zero equal ports and equal IP addresses.
  Ebool isSame(Cvlk_uaddr other) const;
  /// isSame(other).
  bool operator==(Cvlk_uaddr other) const { return isSame(other) == VLK_TRUE; }
  /// 0 when the versions differ; else bit 0 same port, bit 1 same address.
  Eaddr_compare_result compare(Cvlk_uaddr other) const;
  /// compare with the address host resolves to and port.
  Eaddr_compare_result compare(const char* host, unsigned short port) const;
  /// The address text without port (as VlkInetNtoP).
  void getAddrStr(Cvlk_tmp_str& out) const;
  /// The address text and the port (host order).
  void getAddress(Cvlk_tmp_str& out, unsigned short& port) const;
  /// "a.b.c.d:port" or "[v6]:port"; out is left untouched when the port is 0.
  void getURLStr(Cvlk_tmp_str& out) const;

  unsigned char version;  ///< 4 or 6
  union {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
  } addr;  ///< the socket address, in network byte order
};

/// Address text without brackets or port; an IPv6 scope suffix ("%eth0") is cut.
VLK_EXPORT void VlkInetNtoP(Cvlk_uaddr addr, Cvlk_tmp_str& out);
/// Cuts a non-empty text at its first '%'.
VLK_EXPORT void VlkRefineIPv6Addr(char* text);
/// Digits and dots only (neither dot count nor ranges are checked).
VLK_EXPORT Ebool VlkIsIPv4Format(const char* text);
/// A ':' outside double-quoted stretches.
VLK_EXPORT Ebool VlkIsIPv6Format(const char* text);
/// Digits, dots and colons only.
VLK_EXPORT Ebool VlkIsIPFormat(const char* text);
/// Splits "host:port", "[v6]:port" or "host" (port untouched when there is no
/// ':'). The port text must be a number as a whole (0x hexadecimal and a leading
/// 0 octal accepted, no blanks, sign or 0b), else the port is 0; cut to 16 bits.
VLK_EXPORT EerrNo VlkGetServerInfo(const char* text, Cvlk_tmp_str& host, unsigned short& port);
/// Text of the first address name resolves to; ERR_FAIL when it resolves to none.
VLK_EXPORT EerrNo VlkGetIPAddrByName(const char* name, Cvlk_tmp_str& out);
/// First IPv4 address of the name in network order; address 0 when none.
VLK_EXPORT in_addr VlkGetIPv4AddrByName(const char* name);
// Text of the host's first IPv4 (IPv6) address: 0, or -1 (no host name),
// -2 (no resolution), -3 (no address of that family).
/// The host's first IPv4 address as text.
VLK_EXPORT int VlkGetLocalIPv4(Cvlk_tmp_str& out);
/// The host's first IPv6 address as text.
VLK_EXPORT int VlkGetLocalIPv6(Cvlk_tmp_str& out);
/// REQUIRES: out holds at least 20 bytes.
VLK_EXPORT EerrNo VlkGetLocalIP(char* out);
/// Hardware address of the first interface whose first IPv4 address is the one
/// name resolves to. REQUIRES: mac holds 8 bytes; the MAC is in the first six.
VLK_EXPORT EerrNo VlkGetMACByName(const char* name, unsigned char* mac);
/// The same as "00-1a-2b-3c-4d-5e".
VLK_EXPORT EerrNo VlkGetMACStrByName(const char* name, Cvlk_tmp_str& out);

// (section end: Socket addresses and name resolution)

// ===========================================================================
// I/O server core: owned by the server side
// ===========================================================================

#include <poll.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

/// Switches a socket to non-blocking mode; 0 on success, else the platform's -1.
VLK_EXPORT int setnonblocking(int socket);

/// The sockets one pass of a server loop watches for reading: at most
/// MAX_SOCKETS, none twice. Filled, then waited on with Cvlk_io_server::waitRead,
/// then walked with isReady. Allocates nothing.
/// Thread-safety: owner thread only.
class VLK_EXPORT Cvlk_read_set {
 public:
  /// Sockets one set holds at most.
  static constexpr unsigned int MAX_SOCKETS = 1024;

  Cvlk_read_set() { clear(); }
  Cvlk_read_set(const Cvlk_read_set&) = delete;
  Cvlk_read_set& operator=(const Cvlk_read_set&) = delete;

  /// Empties the set.
  void clear();
  /// Adds socket unless it is INVALID_SOCKET, already present or the set is full;
  /// true when it was added.
  bool add(unsigned int socket);
  /// Whether socket was added.
  bool contains(unsigned int socket) const;
  /// Sockets in the set.
  unsigned int count() const { return m_count; }
  /// The socket at index (0..count() - 1).
  unsigned int socketAt(unsigned int index) const { return static_cast<unsigned int>(m_fds[index].fd); }
  /// After a wait: entry index has data, a closed peer or an error to read.
  bool isReady(unsigned int index) const { return (m_fds[index].revents & (POLLIN | POLLERR | POLLHUP)) != 0; }

 private:
  friend class Cvlk_io_server;
  static constexpr unsigned int HASH_SLOTS = 2 * MAX_SOCKETS;
  pollfd m_fds[MAX_SOCKETS + 1];  ///< one spare entry for the server's wake-up descriptor
  int m_hash[HASH_SLOTS];         ///< open addressing over the sockets added; -1 is empty
  unsigned int m_count;
};

/// Fixed-capacity map from socket handle to node id, sized at construction, so
/// that caching a new connection never allocates.
/// Thread-safety: none of its own; its owner's lock guards it.
class VLK_EXPORT Cvlk_sock_map {
 public:
  /// A map for at most maxEntries sockets, allocated here once.
  explicit Cvlk_sock_map(unsigned int maxEntries);
  ~Cvlk_sock_map();
  Cvlk_sock_map(const Cvlk_sock_map&) = delete;
  Cvlk_sock_map& operator=(const Cvlk_sock_map&) = delete;

  /// Maps socket to nodeId, replacing an existing entry; false when full.
  bool insert(unsigned int socket, unsigned int nodeId);
  /// The id mapped to socket, or 0.
  unsigned int find(unsigned int socket) const;
  /// Drops the entry of socket, if any.
  void remove(unsigned int socket);
  /// Entries in use.
  unsigned int size() const { return m_size; }

 private:
  unsigned int slotOf(unsigned int socket) const;
  unsigned int m_mask;
  unsigned int* m_keys;  ///< INVALID_SOCKET marks an empty slot
  unsigned int* m_vals;
  unsigned int m_size;
};

/// Output that a connection's socket has not taken yet: a chain of fixed
/// chunks from the owning server's output pool. Plain state, read and written
/// only by the library under the connection's own lock.
struct Cvlk_out_queue {
  std::uint32_t head = 0xFFFFFFFFu;  ///< first chunk, or none
  std::uint32_t tail = 0xFFFFFFFFu;  ///< last chunk, or none
  std::uint32_t headOff = 0;         ///< bytes of the first chunk already written
  std::uint32_t tailLen = 0;         ///< bytes filled in the last chunk
  std::size_t bytes = 0;             ///< bytes waiting in all
};

/// One pooled socket node of an I/O server: an open connection or a bound
/// datagram endpoint, named by its pool id. A TCP connection uses the socket of
/// its peer's IP version; a UDP endpoint may hold both.
/// Thread-safety: the fields are guarded by the owning server's ioLock.
class VLK_EXPORT Cvlk_io_node : public Cvlk_res_node {
 public:
  /// A fresh node of pool: no sockets, user values 0.
  explicit Cvlk_io_node(Cvlk_resource* pool);
  /// Both sockets INVALID_SOCKET, both user values 0.
  void init();
  /// Whether the node holds a valid IPv4 or IPv6 socket.
  Ebool hasValidHandle() const;
  /// Closes each valid socket; the fields keep their values.
  void closeHandle();

  unsigned int ipv4Socket;  ///< the IPv4 socket, or INVALID_SOCKET
  unsigned int ipv6Socket;  ///< the IPv6 socket, or INVALID_SOCKET
  unsigned int userInfo1;  ///< the application's first value (setUserInfo, sigClosing)
  unsigned int userInfo2;  ///< the application's second value (setUserInfo, sigClosing)
};

/// Common base of the TCP and UDP servers: a thread running an epoll-driven loop
/// over a fixed pool of socket nodes (at most 1024), with a socket-to-node cache.
/// Every socket cached for a busy node is watched from the moment it is cached
/// until its node closes, so a pass of the loop costs the same whether 10 or
/// 1000 connections are open. Derived classes fill the pool at construction and
/// implement exeProc, one pass of the loop, which waits at most one second.
/// Thread-safety: public operations from any thread. ioLock (recursive) guards
/// the pool, the nodes' lifecycle fields and the cache; it is never held while a
/// hook of the application runs, a signal is emitted or anything waits on a
/// peer, so hooks may call the server's own operations. A derived server may
/// guard a node's I/O state by a lock of the node's own (Cvlk_tcp::sendLock).
/// Shutdown: stop() (or the destructor) asks the loop to end and wakes it; the
/// thread then closes every node (sigClosed for each) and returns, and stop()
/// joins it. A derived class calls stop() first in its own destructor.
class VLK_EXPORT Cvlk_io_server : public Cvlk_thread {
  Q_OBJECT
 public:
  /// Nodes one server holds at most.
  static constexpr unsigned int MAX_NODES = 1024;

  /// A server for min(maxNodes, 1024) nodes; the derived class fills the pool.
  Cvlk_io_server(unsigned int maxNodes, QObject* parent);
  ~Cvlk_io_server() override;

  /// The pool's capacity, nodes added and nodes busy. Any thread.
  unsigned int getMaxNodes();
  /// Nodes the pool holds.
  unsigned int getRealNodes();
  /// Nodes in use (open connections or bound endpoints).
  unsigned int getBusyNodes();
  /// nodeId names a busy node. Any thread.
  Ebool hasNode(unsigned int nodeId);
  /// Stores both values in a busy node; does nothing otherwise. Any thread.
  void setUserInfo(unsigned int nodeId, int userInfo1, int userInfo2);
  /// Ends the loop at its next wake-up and wakes it now. Any thread.
  void requestStop() override;

 Q_SIGNALS:
  /// A trace line; emitted on the thread that wrote it.
  void sigTracedInfo(QString info);
  /// A refused or failed connection (pool full, TLS handshake failed or too slow); emitted on the server thread.
  void sigErrorInfo(QString errInfo);
  /// The peer closed a connection (its user values); sigClosed follows. Emitted on the server thread.
  void sigClosing(uint userInfo1, uint userInfo2);
  /// A node was closed, for whatever reason; emitted on the thread that closed it, after ioClosed.
  void sigClosed(uint tcpNodeID);

 protected:
  /// Calls exeProc until a stop is requested, then closes every node.
  void run() override;
  /// One pass of the loop; waits at most one second.
  virtual void exeProc() = 0;
  /// Whether traceInfo lines are emitted.
  virtual Ebool isTraced() { return VLK_TRUE; }
  /// Called by close after the node has gone back to the pool.
  virtual void ioClosed(unsigned int nodeId);

  /// The pool owns node from now on. REQUIRES: node was created with this
  /// server's pool as owner.
  EerrNo addNode(Cvlk_io_node* node);
  /// The pointers below stay valid for the server's life, but the node they
  /// name may be freed by another thread: hold ioLock while using them.
  Cvlk_io_node* allocNode();
  /// The node nodeId names, or null.
  Cvlk_io_node* getNode(unsigned int nodeId);
  /// The node in slot index, or null.
  Cvlk_io_node* getNodeByIndex(unsigned int index);
  /// The id of the node socket is cached for, or 0.
  unsigned int getNodeID(unsigned int socket);
  /// Maps socket to nodeId and watches it for the loop.
  void cache(unsigned int socket, unsigned int nodeId);
  /// Drops the cache entries of the node's sockets and stops watching them.
  void delCache(unsigned int nodeId);
  /// Stops watching the busy node's sockets, closes them, drops its cache
  /// entries, frees it, then calls ioClosed and emits sigClosed. Does nothing
  /// for an id not busy.
  void close(unsigned int nodeId);
  /// close() on every busy node.
  void closeAllNodes();
  /// Adds the sockets of all busy nodes (IPv4 first) to set.
  void setAllReadSet(Cvlk_read_set& set);
  /// Waits up to timeoutMs (negative: no limit) for a socket of set to become
  /// readable or for wakeUp(); the number of ready sockets, 0 on time-out or
  /// wake-up, -1 on error.
  int waitRead(Cvlk_read_set& set, int timeoutMs);
  /// Ends the current or next waitRead at once (new sockets to watch, stop).
  void wakeUp();

  /// A socket that waitReady found readable (data, a closed peer or an error),
  /// with the node it is watched for (0: one of the derived server's own).
  struct ReadySocket {
    unsigned int socket;  ///< the ready socket
    unsigned int nodeId;  ///< the node it is watched for; 0 for the derived server's own
    unsigned int events;  ///< READY_READ and/or READY_WRITE
  };
  /// ReadySocket::events: data, a closed peer or an error to read.
  static constexpr unsigned int READY_READ = 1;
  /// ReadySocket::events: room to write (reported only while write interest is on).
  static constexpr unsigned int READY_WRITE = 2;
  /// The most sockets one waitReady reports.
  static constexpr int MAX_READY = 128;
  /// Watches socket for reading on behalf of nodeId (0 for a socket of the
  /// derived server's own, such as a listener); cache() does it for a node's
  /// sockets and close() undoes it. False when the system refuses.
  bool watch(unsigned int socket, unsigned int nodeId);
  /// Stops watching socket; call before closing a socket watch() was given.
  void unwatch(unsigned int socket);
  /// Changes what a watched socket is reported for: readable (read), writable
  /// (write), or neither (errors and hang-ups only). Any thread; false when the
  /// system refuses.
  bool watchEvents(unsigned int socket, unsigned int nodeId, bool read, bool write);
  /// Waits up to timeoutMs (negative: no limit) for watched sockets to become
  /// readable or for wakeUp(); fills at most min(max, MAX_READY) entries and
  /// returns their number, 0 on time-out or wake-up, -1 on error. A socket whose
  /// node closed meanwhile may still be reported once: its nodeId no longer
  /// names a busy node. Allocates nothing.
  int waitReady(ReadySocket* ready, int max, int timeoutMs);
  /// Formats a line and emits it as sigTracedInfo while isTraced().
  void traceInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// Emits text as sigErrorInfo.
  void displayErrorInfo(Cvlk_tmp_str text);

  Cvlk_mutex ioLock;  ///< guards the pool, every node's fields and the cache (recursive)
  Cvlk_resource* nodePool;  ///< contents guarded by ioLock; owned (Qt child)
  Cvlk_sock_map nodeCache VLK_GUARDED_BY(ioLock);  ///< socket handle to node id

 private:
  int m_wakeFd;   ///< eventfd; written by wakeUp, drained by waitRead and waitReady
  int m_epollFd;  ///< the watched sockets and m_wakeFd; epoll calls are thread-safe
};

// (section end: I/O server core)

// ===========================================================================
// TCP server and TLS: owned by the server side
// ===========================================================================

#include <atomic>

struct ssl_st;
struct ssl_ctx_st;

/// What a server does with a connection whose send it refused because the
/// connection's output queue would pass its limit (a slow consumer).
enum Eslow_consumer_policy : std::uint32_t {
  SLOW_CONSUMER_CLOSE = 0,   ///< close the connection (the default); logged and counted
  SLOW_CONSUMER_REFUSE = 1,  ///< refuse that send only; the connection and its queue stay
};

/// Counters of a TCP server's output side, as getOutputStats() reads them.
struct Cvlk_out_stats {
  std::uint64_t refusedSends = 0;        ///< sends refused with ERR_BUSY (limit or budget)
  std::uint64_t slowConsumerCloses = 0;  ///< connections closed for a refused send
  std::uint64_t queuedBytes = 0;         ///< output pool in use now (whole chunks)
  std::uint64_t budgetBytes = 0;         ///< output pool capacity
};

class VlkOutPool;

/// One TCP connection of a Cvlk_tcp_server's pool.
/// Thread-safety: the lifecycle fields (sockets, user values, peerAddr,
/// handshakeDeadline, ioUsers, closePending) are guarded by the
/// owning server's ioLock; the connection's I/O state (the TLS object's use,
/// outQueue and the flags after it) by sendLock, which is taken only by a
/// thread that holds the node busy (ioUsers) and never while waiting for ioLock.
class VLK_EXPORT Cvlk_tcp : public Cvlk_io_node {
 public:
  /// A fresh connection node of pool.
  explicit Cvlk_tcp(Cvlk_resource* pool);
  /// Sockets INVALID_SOCKET, user values 0, peerAddr init()ed, no ssl, never active.
  void init();
  /// ipv4Socket for an IPv4 peer, ipv6Socket otherwise.
  unsigned int getHandle() const;
  /// Seconds since the last receive (since 1970 when there was none).
  unsigned int getIdleDuration() const;
  /// Whether the connection speaks TLS.
  Ebool hasTLS() const { return ssl != nullptr ? VLK_TRUE : VLK_FALSE; }
  /// Writes all len bytes directly, waiting at most sendWaitMs in all for room
  /// in the socket's buffer; never raises SIGPIPE. ERR_FAIL when not all could
  /// go. The server itself never calls it (its sends never wait).
  /// REQUIRES: the caller holds the owning server's ioLock.
  EerrNo sendData(const void* data, unsigned int len);
  /// One read of up to len bytes. readLen 0 with ERR_OK when nothing is there
  /// yet; ERR_OBJ_NOT_FOUND when the peer closed; ERR_FAIL on an error.
  EerrNo readData(char* buf, unsigned int len, unsigned int& readLen);
  /// Ends the TLS state (close_notify when the handshake had completed).
  void stopTLS();
  /// Does nothing.
  void stop() {}

  Cvlk_uaddr peerAddr;             ///< the peer's address as accepted or connected
  ssl_st* ssl;                     ///< owned; null for a plain connection
  /// Seconds since 1970 of the last receive; 0: never. Atomic: the reading
  /// thread stores it under sendLock, the idle check reads it under ioLock.
  std::atomic<std::int64_t> lastActive;
  std::int64_t handshakeDeadline;  ///< monotonic milliseconds; 0 when no TLS handshake is pending
  unsigned int sendWaitMs;         ///< bound of sendData's wait, and of a closing connection's flush
  /// Threads using this node's I/O state (sendLock). While it is not 0 the
  /// node stays busy and its socket open; a close meanwhile only shuts the
  /// socket down (closePending) and the last of them completes it.
  unsigned int ioUsers;
  /// A close waits for the last of the ioUsers to leave.
  bool closePending;

  /// Output the socket has not taken yet (guarded by sendLock).
  Cvlk_out_queue outQueue;
  /// Reading is paused by pauseReading (sendLock).
  bool readPaused;
  /// The queue passed the high-water mark and has not drained to the low-water mark since (sendLock).
  bool aboveHighWater;
  /// Read readiness is being watched (sendLock).
  bool readWatched;
  /// Write readiness is being watched (sendLock).
  bool writeWatched;
  /// The socket's watch was dropped while paused, after a hang-up or error (sendLock).
  bool watchDropped;
  /// The peer ended its side (a read gave 0) while answers were queued (sendLock).
  bool peerEnded;
  /// 0 open; 1 flushing, then close; 2 flushed and write side shut, waiting for the peer's end (sendLock).
  unsigned char closeState;
  /// Monotonic milliseconds by which a closing connection must make progress (sendLock).
  std::int64_t closeDeadline;
  /// Serialises this connection's I/O: writers, the loop's reads, the TLS
  /// state. Taken after the node is held busy, never while holding ioLock
  /// (except to free a node nobody holds).
  std::mutex sendLock;
};

/// TCP server on one port over IPv4 and IPv6 (or one address, bindAddress),
/// plain or TLS (TLS 1.2 and later), reading into procData on its own thread.
/// The application derives from it, implements procData and sends with sendTo
/// and broadcast.
/// TLS handshakes run non-blocking from the loop: a connection is announced by
/// sigNewConnection once its handshake completes, and closed with
/// "Fail to accept TLS connection: ..." when it fails or does not complete
/// within the handshake bound (10 s unless set).
/// The loop's lines that a flood of clients could repeat ("No enough TCP node
/// to process current connection" for a full pool, "Fail to accept TLS
/// connection:", "Fail to accept TCP connection: out of descriptors" when
/// accept fails with EMFILE or ENFILE and the client is dropped) name the peer
/// and come at most once in 10 s per kind; the lines held back are summed up
/// as "<the line's start> ... and N more in the last 10 s".
/// Cost model of a send: no call waits on a peer. A send writes what the
/// socket takes at once and copies the rest, whole, into the connection's
/// output queue (chunks of a pool reserved when the server is built, never the
/// heap); the loop writes the queue while the socket is writable, watching for
/// writability only while something is queued. Messages never interleave. A
/// send that would take the queue past its limit (4 MiB unless set), or that
/// the server-wide budget (64 MiB unless set) cannot hold, is refused with
/// ERR_BUSY, and by default the connection is closed as a slow consumer (one
/// sigErrorInfo line, counted). procHighWater and procDrained tell the
/// application when a queue passes the high-water mark and when it drains.
/// Thread-safety: public operations from any thread, also from inside the
/// hooks; each hook states its thread. No lock of the server is held while a
/// hook runs or across a wait for a peer.
/// Shutdown: stop() or the destructor ends the loop, closes every connection and
/// both listeners and joins the thread.
class VLK_EXPORT Cvlk_tcp_server : public Cvlk_io_server {
  Q_OBJECT
 public:
  /// Default limit of one connection's output queue (bytes).
  static constexpr unsigned int DEFAULT_MAX_QUEUED = 4u << 20;
  /// Default high-water mark (procHighWater) of one connection's queue.
  static constexpr unsigned int DEFAULT_HIGH_WATER = 1u << 20;
  /// Default low-water mark (procDrained) of one connection's queue.
  static constexpr unsigned int DEFAULT_LOW_WATER = 256u << 10;
  /// Default server-wide budget of queued output (bytes).
  static constexpr std::size_t DEFAULT_OUTPUT_BUDGET = std::size_t{64} << 20;

  /// A server of maxConnections nodes (at most 1024) with its output pool
  /// reserved; bind, then start.
  Cvlk_tcp_server(unsigned int maxConnections, QObject* parent);
  ~Cvlk_tcp_server() override;

  /// Opens the IPv6 listener, then the IPv4 one, on port. ERR_INVALID_PARAM for
  /// port 0. Both families must open: when one fails, neither stays open and
  /// the result is ERR_OBJ_EXISTED (the port is in use: errno EADDRINUSE) or
  /// ERR_FAIL (any other reason), with the system's reason on sigErrorInfo.
  /// A host without IPv6 listens on IPv4 alone. ERR_INVALID_OPR when the
  /// server already listens. Any thread.
  EerrNo bind(unsigned short port);
  /// As bind on a port the system picks (free for both families when it can);
  /// the port chosen is stored into port. Any thread.
  EerrNo bindAnyPort(unsigned short& port);
  /// Opens one listener on local alone (its family only, e.g. 127.0.0.1 or
  /// ::1; the other family is not served). Port 0 lets the system pick one;
  /// the port bound is stored into boundPort when given. Errors as bind:
  /// ERR_OBJ_EXISTED when the address is in use, ERR_FAIL for any other
  /// reason (an address not on this host: EADDRNOTAVAIL), with the system's
  /// reason on sigErrorInfo; ERR_INVALID_OPR when the server already listens.
  /// Any thread.
  EerrNo bindAddress(Cvlk_uaddr local, unsigned short* boundPort = nullptr);
  /// Server TLS context from PEM files (TLS 1.2 and later, no renegotiation).
  /// ERR_INVALID_PARAM for an empty name, ERR_OBJ_NOT_FOUND when a file cannot
  /// be read, ERR_FAIL when a file is no certificate or key or the key does not
  /// match the certificate (the reason on sigErrorInfo), ERR_INVALID_OPR once
  /// the server listens (call it before bind). Any thread.
  EerrNo startTLS(const char* certFile, const char* keyFile);
  /// Bound of a TLS handshake, in seconds (0 restores the 10 s default; at
  /// most a day). Any thread.
  void setHandshakeTimeout(unsigned int seconds);
  /// Bound of a closing connection's flush (flushAndClose, or a peer that ended
  /// its side with answers queued) without progress, in milliseconds (default
  /// 2000). Sends never wait. Any thread.
  void setSendTimeout(unsigned int milliseconds);
  /// Limits of each connection's output queue, for sends from now on: a send
  /// that would take the queue past maxQueued bytes is refused; passing
  /// highWater calls procHighWater, draining to lowWater then calls
  /// procDrained. ERR_INVALID_PARAM unless 0 < lowWater <= highWater <=
  /// maxQueued. Any thread.
  EerrNo setOutputLimits(unsigned int maxQueued, unsigned int highWater, unsigned int lowWater);
  /// Server-wide budget of queued output, reserved now (address space; pages
  /// are committed on first use). ERR_INVALID_OPR once the thread runs,
  /// ERR_INVALID_PARAM for 0, ERR_OUT_OF_MEMORY when it cannot be reserved
  /// (the old budget stays). Call before start().
  EerrNo setOutputBudget(std::size_t bytes);
  /// TCP_NODELAY on connections accepted or connected from now on (default
  /// on): small answers go at once instead of waiting behind Nagle's
  /// algorithm for the peer's delayed ACK (a TLS handshake's session-ticket
  /// writes would otherwise hold the first answer back ~40 ms). Any thread.
  void setNoDelay(bool on);
  /// What a refused send does to its connection (default SLOW_CONSUMER_CLOSE). Any thread.
  void setSlowConsumerPolicy(Eslow_consumer_policy policy);
  /// Counters of the output side. Any thread.
  Cvlk_out_stats getOutputStats();
  /// Bytes waiting in the connection's output queue; 0 for an id not busy. Any thread.
  std::size_t getQueuedBytes(unsigned int nodeId);
  /// Stops reading the connection: nothing more reaches procData and the
  /// peer's sends are held back by TCP's window, nothing is dropped. Queued
  /// output still goes. Idempotent. ERR_INVALID_OPR for an id not busy. Any thread.
  EerrNo pauseReading(unsigned int nodeId);
  /// Reads the connection again, including bytes TLS had already decrypted.
  /// Idempotent. ERR_INVALID_OPR for an id not busy. Any thread.
  EerrNo resumeReading(unsigned int nodeId);
  /// Closes after the queued output has gone: reading stops, the queue is
  /// written, then the write side is shut (TLS: close_notify) and the node
  /// closes once the peer ends its side, or when the flush or the wait makes
  /// no progress within the send timeout. sigClosed follows. ERR_INVALID_OPR
  /// for an id not busy. Any thread; returns at once.
  EerrNo flushAndClose(unsigned int nodeId);
  /// The connection's peer; an init()ed address for an id not busy. Any thread.
  Cvlk_uaddr getPeerAddr(unsigned int nodeId);
  /// Connects to peer, waiting on the caller's thread as a blocking connect
  /// does, and adds the plain connection to the pool; the loop watches it at
  /// once. ERR_INVALID_PARAM for port 0, ERR_OUT_OF_MEMORY for no socket or a
  /// full pool, ERR_FAIL when connect fails. Any thread but the server's.
  EerrNo prepareConnect(Cvlk_uaddr peer, unsigned int& nodeId);
  /// Closes at once; queued output is dropped (flushAndClose keeps it).
  /// sigClosed follows. Any thread.
  void closeConnect(unsigned int nodeId);
  /// closeConnect on the connection that owns socket. Any thread.
  void closeSocket(unsigned int socket);
  /// "\r\n" to every connection, as broadcast. Any thread.
  void keepAlive();
  /// Closes every connection idle for maxIdleSeconds or more; one that never
  /// received anything counts as idle since 1970. Any thread.
  void selfCheck(unsigned int maxIdleSeconds);

 Q_SIGNALS:
  /// A TLS connection finished its handshake; emitted on the server thread.
  /// Plain connections are announced by no signal: the application first hears
  /// of one through procData.
  void sigNewConnection(int tcpNodeID);

 protected:
  /// The set's thread: reads the connections until stopped.
  void run() override;
  void exeProc() override;
  /// Called on the server thread for every read: len bytes (at most 4096, or 0
  /// when a TLS read gave no application data yet) followed by a zero byte.
  /// data belongs to the server and is valid during the call only.
  virtual void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) = 0;
  /// The connection's queue passed the high-water mark (queued bytes now).
  /// Called once per crossing, on the thread whose send crossed it, with no
  /// lock held. Does nothing unless overridden.
  virtual void procHighWater(unsigned int nodeId, std::size_t queued);
  /// The connection's queue, having passed the high-water mark, drained to the
  /// low-water mark. Called on the server thread with no lock held. Does
  /// nothing unless overridden.
  virtual void procDrained(unsigned int nodeId);

  /// TLS is on for connections accepted from now on. Any thread.
  Ebool hasTLS();
  /// Sends to one connection without waiting: ERR_OK when the message went or
  /// is queued whole; ERR_BUSY when it was refused (queue limit or budget;
  /// nothing of it goes, except under SLOW_CONSUMER_CLOSE, where the
  /// connection is closed); ERR_FAIL when the connection failed (it is
  /// closed); ERR_INVALID_OPR for an id not busy, a TLS connection still in
  /// its handshake, or one that is closing; ERR_INVALID_PARAM for id 0, no
  /// data or len 0. Any thread.
  EerrNo sendTo(unsigned int nodeId, const void* data, unsigned int len);
  /// sendTo on every busy connection in slot order; a refusal or failure costs
  /// only that connection. ERR_OBJ_NOT_FOUND when none is busy, else ERR_OK.
  EerrNo broadcast(const void* data, unsigned int len);
  /// One listening socket on localAddr, or INVALID_SOCKET.
  unsigned int bindLocalAddr(Cvlk_uaddr localAddr);

 private:
  void initTcpResource();
  void initTLSParams();
  unsigned int allocTcpNode(unsigned int socket, Cvlk_uaddr peer);
  /// Sets the options of a new connection's socket (TCP_NODELAY unless off).
  void tuneSocket(int fd);
  EerrNo newConnection(unsigned int listenSocket);
  EerrNo readData(unsigned int socket);
  /// One read from a busy connection (the handshake's next step while it lasts).
  /// fromEvent: the loop saw the socket ready; otherwise only bytes TLS holds
  /// decrypted already are read.
  EerrNo readNode(unsigned int nodeId, bool fromEvent = true);
  /// Reads what TLS holds decrypted for connections resumed meanwhile.
  void readResumed();
  /// Writes the connection's queue while the socket takes it.
  void writeNode(unsigned int nodeId);
  /// Continues a pending TLS handshake; ERR_OK while it is pending or done.
  EerrNo continueHandshake(unsigned int nodeId);
  void checkHandshakes();
  void checkClosing();
  void closeListeners();
  /// Watches the listeners a bind opened (INVALID_SOCKET for a family not
  /// served); ERR_INVALID_OPR, closing them, when another bind won.
  EerrNo installListeners(unsigned int l4, unsigned int l6);
  /// One non-blocking listening socket on localAddr (port 0: the system
  /// picks), or INVALID_SOCKET with errno set.
  unsigned int openListener(Cvlk_uaddr localAddr);
  void handshakeFailed(unsigned int nodeId, const char* reason, const char* state);
  /// Copies the ids of all busy nodes into ids; their number.
  unsigned int busyIds(unsigned int* ids);
  /// Holds a busy, not closing node for its I/O state; null when there is none.
  Cvlk_tcp* holdNode(unsigned int nodeId);
  /// Lets go of a node holdNode gave; completes a close that waited for it.
  void releaseNode(unsigned int nodeId, Cvlk_tcp* node);
  /// Sets what the socket is watched for from the node's state. REQUIRES: node->sendLock.
  void updateWatch(unsigned int nodeId, Cvlk_tcp* node);
  /// The flush of a closing connection ended: shut the write side. True when
  /// the node can close now. REQUIRES: node->sendLock.
  bool finishFlush(Cvlk_tcp* node);
  void slowConsumer(unsigned int nodeId, std::size_t queued, unsigned int len);
  /// sigClosing with the node's user values (0 once it is gone).
  void emitClosing(unsigned int nodeId);
  void reportError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// reportError with the arguments as a va_list.
  void reportArgs(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
  /// Kinds of the loop's lines that a flood of clients could repeat.
  enum Eloop_line { LINE_REFUSED, LINE_HANDSHAKE, LINE_DESCRIPTORS, LINE_KINDS };
  /// A line of kind, written when its kind wrote none in the last 10 s, else
  /// counted for reportHeld. Server thread only.
  void reportLimited(int kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
  /// "<prefix> ... and N more in the last 10 s" for each kind whose 10 s
  /// ended with lines held back (all: whether or not it ended, as the loop
  /// ends). Server thread only.
  void reportHeld(bool all = false);
  /// One kind's window: its end (monotonic ms) and the lines held back in it.
  struct Sline_window {
    std::int64_t end;
    unsigned int held;
  };

  unsigned int ipv4Listener VLK_GUARDED_BY(ioLock);
  unsigned int ipv6Listener VLK_GUARDED_BY(ioLock);
  ssl_ctx_st* sslCtx VLK_GUARDED_BY(ioLock);
  std::atomic<unsigned int> m_handshakeMs;
  std::atomic<unsigned int> m_sendWaitMs;
  unsigned int m_pendingHandshakes VLK_GUARDED_BY(ioLock);
  int m_spareFd;  ///< given up to accept-and-drop a connection when descriptors run out
  VlkOutPool* m_outPool;  ///< replaced only before start(); its own lock guards its free list
  std::atomic<unsigned int> m_maxQueued;
  std::atomic<unsigned int> m_highWater;
  std::atomic<unsigned int> m_lowWater;
  std::atomic<unsigned int> m_policy;
  std::atomic<unsigned int> m_closing;  ///< connections in a flushing close
  std::int64_t m_nextClosingCheck;      ///< server thread only: monotonic ms of the next look at them
  std::atomic<unsigned int> m_resumed;  ///< TLS connections resumed with decrypted bytes waiting
  std::atomic<std::uint64_t> m_refusedSends;
  std::atomic<std::uint64_t> m_slowCloses;
  std::atomic<std::int64_t> m_logSecond;   ///< rate limit of the slow-consumer lines
  std::atomic<unsigned int> m_logCount;
  Sline_window m_lineWindows[LINE_KINDS];  ///< server thread only
  std::atomic<bool> m_noDelay;            ///< TCP_NODELAY on new connections
};

// (section end: TCP server and TLS)

// ===========================================================================
// TCP client connections: owned by the client side
// ===========================================================================


struct ssl_st;
struct ssl_ctx_st;

class Cvlk_tcp_clients;

/// One outgoing connection of a Cvlk_tcp_clients set: its socket, the application's
/// value and, after startTLS, its client TLS state.
/// Thread-safety: every field is guarded by the owning set's lock; the owning set is
/// the only caller of the operations below and holds that lock (or, for sendData and
/// startTLS, is the node's one writer, see Cvlk_tcp_clients).
class VLK_EXPORT Cvlk_tcp_client_node : public Cvlk_res_node {
  friend class Cvlk_tcp_clients;

 public:
  /// A fresh node of pool: no socket, no TLS.
  explicit Cvlk_tcp_client_node(Cvlk_resource* pool);
  ~Cvlk_tcp_client_node() override;

  /// Back to the fresh state: no socket, user value 0, no TLS. Closes nothing.
  void init();
  /// Whether the connection speaks TLS.
  Ebool hasTLS() const { return ssl != nullptr ? VLK_TRUE : VLK_FALSE; }
  /// Client handshake on the node's socket, on the caller's thread. With a non-empty
  /// hostName the server's certificate must chain to caFile (PEM; null or empty: the
  /// system's trust store) and name hostName (a DNS name or an IP address text);
  /// without one nothing is verified. ERR_INVALID_OPR without a socket, ERR_OK at
  /// once when TLS is already on, ERR_FAIL when the handshake or the verification
  /// fails or takes longer than timeoutMs.
  EerrNo startTLS(const char* hostName = nullptr, const char* caFile = nullptr, int timeoutMs = 10000);
  /// Ends TLS (close_notify when it can be sent) and frees its state.
  void stopTLS();
  /// One read of at most len bytes that never waits: > 0 bytes read, 0 the peer
  /// closed, -1 a socket or TLS error; nothing available yet also gives -2.
  int readData(char* buf, unsigned int len);
  /// Writes all len bytes, waiting while the socket's buffer is full; a peer that has
  /// gone gives ERR_FAIL and never raises SIGPIPE.
  EerrNo sendData(const char* data, unsigned int len);

 private:
  void initTLSInfo();
  /// Writes all len bytes; each TLS call is made holding lock (when not null) so
  /// that it never overlaps the reading thread's.
  EerrNo sendAll(const char* data, unsigned int len, Cvlk_mutex* lock);
  /// The client handshake on socket; on success ctxOut and sslOut own the state.
  static EerrNo handshake(unsigned int socket, const char* hostName, const char* caFile, int timeoutMs,
                          ssl_ctx_st*& ctxOut, ssl_st*& sslOut);

  unsigned int ipv4Socket;  ///< the IPv4 socket, or INVALID_SOCKET
  unsigned int userInfo;
  ssl_ctx_st* sslCtx;
  ssl_st* ssl;
  /// Application threads inside sendData or startTLS on this node; while it is not
  /// 0 the socket stays open and a close is left to the last of them.
  int ioUsers;
  bool closePending;
  bool tlsPending;  ///< a handshake runs: the reading thread leaves the socket alone
  bool wantWrite;   ///< output is queued: the loop watches for room (guarded by the set's lock)
  /// Output the socket has not taken yet (guarded by sendLock).
  Cvlk_out_queue outQueue;
  /// Serialises this node's I/O: writers, startTLS, the loop's reads and
  /// writes. Taken before the set's lock, never after it; the loop only tries it.
  std::mutex sendLock;
};

/// A set of outgoing TCP connections (IPv4), plain or TLS, read by one thread of
/// its own that hands what arrives to the application's procData and reports each
/// connection that breaks through procDisconnect.
/// Cost model: a send never waits on the peer; what the socket does not take is
/// queued whole (chunks of a pool reserved at construction) and written by the
/// set's thread when the socket has room. A connection whose queue would pass
/// its limit is ended and reported through procDisconnect.
/// Thread-safety: the public operations may be called from any thread, also from
/// inside the two hooks; the pool, the nodes and the socket cache are guarded by
/// m_lock. The hooks run on the set's thread with no lock held.
/// Shutdown: stop() (or the destructor) wakes the thread and joins it; the
/// destructor then closes every connection that is still open. A derived class
/// calls stop() first in its own destructor, since the hooks are its own.
class VLK_EXPORT Cvlk_tcp_clients : public Cvlk_thread {
  Q_OBJECT

 public:
  /// A set for min(maxNodes, 1024) connections.
  Cvlk_tcp_clients(unsigned int maxNodes, QObject* parent);
  ~Cvlk_tcp_clients() override;

  /// Connects to an IPv4 peer, waiting on the caller's thread at most the
  /// connect bound (10 s unless set), and adds the connection to the watched
  /// set; nodeId names it afterwards. ERR_INVALID_PARAM for port 0 or IPv6,
  /// ERR_OUT_OF_MEMORY for no socket or a full pool, ERR_FAIL when connect
  /// fails, ERR_EXPIRED when the bound passes first. Any thread.
  EerrNo prepareConnect(unsigned int userInfo, Cvlk_uaddr peer, unsigned int& nodeId);
  /// Client handshake on the connection, on the caller's thread (at most 10 s);
  /// no verification. A failed handshake closes the connection (no
  /// procDisconnect), so that the server's bytes never reach procData as plain
  /// data. Any thread except the set's own.
  EerrNo startTLS(unsigned int nodeId);
  /// The same, verifying that the server's certificate chains to caFile (PEM; null
  /// or empty: the system's trust store) and names hostName. ERR_INVALID_PARAM for an
  /// empty hostName; ERR_FAIL when the verification fails (the connection is
  /// closed). Any thread except the set's own.
  EerrNo startTLS(unsigned int nodeId, const char* hostName, const char* caFile);
  /// The connection runs TLS. Any thread.
  Ebool hasTLS(unsigned int nodeId);
  /// sendTo without a result. Any thread.
  void sendData(unsigned int nodeId, const char* data, unsigned int len);
  /// Sends without waiting on the peer: what the socket does not take now is
  /// queued whole and written by the set's thread as room appears. ERR_OK when
  /// the message went or is queued; ERR_BUSY when the queue would pass its
  /// limit or the set's budget is spent: the message is refused and the
  /// connection is ended as a slow consumer (procDisconnect follows on the
  /// set's thread); ERR_FAIL when the connection failed (the same);
  /// ERR_INVALID_OPR for an id that names no open connection;
  /// ERR_INVALID_PARAM for no data. A send while startTLS runs on the same
  /// connection waits for the handshake. Any thread, also inside the hooks.
  EerrNo sendTo(unsigned int nodeId, const void* data, unsigned int len);
  /// Limit of one connection's output queue, for sends from now on (default
  /// 4 MiB). ERR_INVALID_PARAM for 0. Any thread.
  EerrNo setOutputLimit(unsigned int maxQueued);
  /// Bound of prepareConnect's wait for the peer, in milliseconds (0 restores
  /// the 10 s default). Any thread.
  void setConnectTimeout(unsigned int milliseconds);
  /// Closes the connection and frees its node (queued output is dropped);
  /// procDisconnect is not called. Any thread.
  void closeConnect(unsigned int nodeId);
  /// The debug line of the pool's counts. Any thread.
  void print();
  /// Stops the thread: wakes its wait and asks the loop to end.
  void requestStop() override;

 protected:
  /// The connection's user value (given to prepareConnect); ERR_OBJ_NOT_FOUND for an id not in use.
  EerrNo getUserInfo(unsigned int nodeId, unsigned int& userInfo);
  /// One pass of the loop: waits until a watched socket is readable, a connection is
  /// added or the thread is asked to stop, and reads what is ready.
  EerrNo exeProc();
  /// The set's thread: reads the connections until stopped.
  void run() override;
  /// len bytes (1 to 4096) read from the connection, followed by a zero byte.
  virtual void procData(unsigned int nodeId, char* data, int len) = 0;
  /// A read failed; the node is still allocated during the call, freed right after.
  virtual void procDisconnect(unsigned int nodeId) = 0;

 private:
  void initTcpResource();
  unsigned int allocTcpNode(unsigned int userInfo, unsigned int socket) VLK_REQUIRES(m_lock);
  unsigned int getTcpNodeID(unsigned int socket) VLK_REQUIRES(m_lock);
  Cvlk_tcp_client_node* findNode(unsigned int nodeId) VLK_REQUIRES(m_lock);
  EerrNo readData(unsigned int socket);
  /// closeConnect of the connection that owns socket.
  void closeSocket(unsigned int socket);
  void closeNode(Cvlk_tcp_client_node* node) VLK_REQUIRES(m_lock);
  void closeAll();
  EerrNo startTLSOn(unsigned int nodeId, const char* hostName, const char* caFile);
  void wake();
  void endIo(Cvlk_tcp_client_node* node);
  /// Writes a node's queue while its socket takes it (the set's thread).
  void writeNode(unsigned int socket);
  /// Holds the open node named by socket for its I/O state; null when none.
  Cvlk_tcp_client_node* holdSocket(unsigned int socket, unsigned int& nodeId);

  Cvlk_mutex m_lock;
  int wakeUp;  ///< eventfd the loop watches beside the sockets
  unsigned int maxNodes;
  Cvlk_sock_map nodeCache VLK_GUARDED_BY(m_lock);  ///< socket handle to node id
  Cvlk_resource* nodePool VLK_PT_GUARDED_BY(m_lock);
  /// The loop thread's poll set, sized once: the wake-up descriptor and at most 1024
  /// sockets.
  pollfd* m_pollSet;
  VlkOutPool* m_outPool;  ///< its own lock guards its free list
  std::atomic<unsigned int> m_maxQueued;
  std::atomic<unsigned int> m_connectMs;
};

// (section end: TCP client connections)

// ===========================================================================
// UDP server: owned by the client side
// ===========================================================================


/// One UDP endpoint of a Cvlk_udp_server: an IPv4 socket, an IPv6 socket or both
/// on one port, and the two user values given to Bind.
/// Thread-safety: guarded by the owning server's ioLock.
class VLK_EXPORT Cvlk_udp_node : public Cvlk_io_node {
 public:
  /// A fresh endpoint node of pool.
  explicit Cvlk_udp_node(Cvlk_resource* pool);
  /// One datagram to dest through the socket of dest's IP version, never
  /// waiting. ERR_INVALID_PARAM for port 0, no data or len 0; ERR_BUSY when the
  /// socket's send buffer is full (the datagram is not sent); ERR_FAIL when the
  /// node has no socket of that version or the send fails.
  EerrNo sendTo(Cvlk_uaddr dest, const char* data, unsigned int len);
};

/// Receives and sends datagrams on local UDP endpoints. The server thread hands
/// every complete datagram of 1 to 4096 bytes to checkData and, when that gives 0,
/// to procData; a larger datagram is dropped whole. With a wait time-out set, a
/// quiet spell of that length calls procTimeout.
/// Thread-safety: bind, send and query operations from any thread, also from
/// inside the hooks; the hooks run on the server thread with no lock held.
/// Shutdown: stop() or the destructor ends the loop, closes every endpoint (with
/// sigClosed) and joins the thread. A derived class calls stop() first in its
/// own destructor, since the hooks are its own.
class VLK_EXPORT Cvlk_udp_server : public Cvlk_io_server {
  Q_OBJECT

 public:
  /// Datagrams taken from one socket in one read (a recvmmsg) before the other
  /// endpoints get their turn.
  static constexpr int READ_BATCH = 16;

  /// Note the order: parent first. Capacity min(maxNodes, 1024).
  Cvlk_udp_server(QObject* parent, unsigned int maxNodes);
  ~Cvlk_udp_server() override;

  /// One endpoint on port over IPv4 and IPv6; the node id, or 0 when neither could
  /// be bound. The bind operations below may be called from any thread.
  unsigned int Bind(unsigned short port, unsigned long userInfo1, unsigned long userInfo2);
  /// One endpoint on localAddr (its version picks the family); the node id or 0.
  unsigned int Bind(Cvlk_uaddr localAddr, unsigned long userInfo1, unsigned long userInfo2);
  /// As Bind(port, ...) on a port the system picks, free for both families when it
  /// can be had; the port goes to port. The node id or 0.
  unsigned int bindAnyPort(unsigned short& port, unsigned long userInfo1, unsigned long userInfo2);
  /// Adds an IPv4 (IPv6) socket bound to localAddr to node nodeId, or to a new node
  /// when nodeId is 0; the new node's id is written to nodeId at once, also when the
  /// bind then fails (the caller closes that node).
  EerrNo bindIPv4Addr(unsigned int& nodeId, Cvlk_uaddr localAddr);
  /// The same for IPv6 (localAddr must be version 6).
  EerrNo bindIPv6Addr(unsigned int& nodeId, Cvlk_uaddr localAddr);
  /// One datagram, never waiting on the socket: results as Cvlk_udp_node::sendTo,
  /// ERR_INVALID_OBJ for an id not busy. Any thread, also inside the hooks.
  EerrNo SendTo(unsigned int nodeId, Cvlk_uaddr* dest, const char* data, unsigned int len);
  /// The same to host (resolved) and port; ERR_INVALID_PARAM when host does not resolve.
  EerrNo SendTo(unsigned int nodeId, const char* host, unsigned short port, char* data, unsigned int len);
  /// The endpoint holds a socket. Any thread.
  Ebool hasValidHandle(unsigned int nodeId);

 protected:
  /// Longest quiet spell before procTimeout, in seconds (at most about 24 days);
  /// 0 or less: no limit. Any thread.
  void setWaitTimeout(int seconds);
  /// A socket bound to localAddr, close-on-exec; IPv6 sockets are IPv6-only so
  /// that both families share a port. INVALID_SOCKET on failure.
  unsigned int bindLocalAddr(Cvlk_uaddr localAddr);
  /// A quiet spell of the wait time-out ended without any datagram.
  virtual void procTimeout();
  /// First look at a datagram: 0 hands it on to procData. data (len bytes, then a
  /// zero byte) belongs to the server and is valid during the call only.
  virtual int checkData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) = 0;
  /// The datagram's handler (after checkData gave 0), on the server thread; data is valid during the call only.
  virtual void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) = 0;
  void exeProc() override;
  /// Wakes the loop, which otherwise keeps a closed endpoint's sockets (and so
  /// its port) alive until its wait ends. An override calls this one.
  void ioClosed(unsigned int nodeId) override;

 private:
  /// Ends a Bind: stores the user values in a node holding a valid socket and
  /// returns its id; otherwise closes whatever node was taken and returns 0.
  unsigned int _keepBound(unsigned int nodeId, unsigned long userInfo1, unsigned long userInfo2);
  /// Back to version 4, 0.0.0.0, port 0.
  void init();
  void initNodes();
  EerrNo bindAddr(unsigned int& nodeId, Cvlk_uaddr localAddr, unsigned char version);
  /// Reads what is waiting on one ready socket of node nodeId (a bounded number
  /// of datagrams).
  void readSocket(unsigned int socket, unsigned int nodeId);

  std::atomic<int> waitTimeout;  ///< milliseconds; 0 or less: no limit
  std::int64_t m_quietDeadline;  ///< server thread only: when procTimeout is due
  int m_quietSpell;              ///< server thread only: the waitTimeout it was set for
  char* m_rxData;                ///< server thread only: READ_BATCH datagram buffers of 4097 bytes
};

// (section end: UDP server)

#endif  // VLK_NET_H
