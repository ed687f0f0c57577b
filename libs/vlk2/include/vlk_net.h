// vlk_net.h: socket addresses and name resolution, the I/O server core, the TCP
// server (plain or TLS), outgoing TCP connections and the UDP server.
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
#define INVALID_SOCKET 0xFFFFFFFFu
#endif

// An IPv4 or IPv6 socket address with its port: the one address value of the
// network layer, passed by value into every bind, connect and send-to.
// Invariant: fresh or init()ed it is version 4, 0.0.0.0, port 0. The kind of
// address is read from `version`, never from the family field. Port and
// address are kept in network byte order.
// Thread-safety: a plain value; not guarded.
class VLK_EXPORT Cvlk_uaddr {
 public:
  Cvlk_uaddr() { init(); }

  void init();
  void initAnyAddrV4(unsigned short port);
  void initAnyAddrV6(unsigned short port);
  // 16 for version 4, otherwise 28.
  int getAddrLen() const { return version == 4 ? static_cast<int>(sizeof(sockaddr_in)) : static_cast<int>(sizeof(sockaddr_in6)); }
  sockaddr* getAddr() { return &addr.sa; }
  const sockaddr* getAddr() const { return &addr.sa; }
  unsigned short getPort() const { return ntohs(addr.v4.sin_port); }
  int setPort(unsigned short port);
  // Resolves host (first IPv4 answer wins, else the last IPv6 one); the port
  // becomes 0. -1 for no host, -2 when resolution fails (address unchanged).
  int setHostName(const char* host);
  // -1 for no host or port 0, -2 when resolution fails; 0 with the port stored.
  int setAddress(const char* host, unsigned short port);
  // True when the port is not 0; nothing else is examined.
  Ebool isValid() const { return getPort() != 0 ? VLK_TRUE : VLK_FALSE; }
  // Same version, family, non-zero equal ports and equal IP addresses.
  Ebool isSame(Cvlk_uaddr other) const;
  bool operator==(Cvlk_uaddr other) const { return isSame(other) == VLK_TRUE; }
  // 0 when the versions differ; else bit 0 same port, bit 1 same address.
  Eaddr_compare_result compare(Cvlk_uaddr other) const;
  Eaddr_compare_result compare(const char* host, unsigned short port) const;
  void getAddrStr(Cvlk_tmp_str& out) const;
  void getAddress(Cvlk_tmp_str& out, unsigned short& port) const;
  // "a.b.c.d:port" or "[v6]:port"; out is left untouched when the port is 0.
  void getURLStr(Cvlk_tmp_str& out) const;

  unsigned char version;  // 4 or 6
  union {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
  } addr;
};

// Address text without brackets or port; an IPv6 scope suffix ("%eth0") is cut.
VLK_EXPORT void VlkInetNtoP(Cvlk_uaddr addr, Cvlk_tmp_str& out);
// Cuts a non-empty text at its first '%'.
VLK_EXPORT void VlkRefineIPv6Addr(char* text);
// Digits and dots only (neither dot count nor ranges are checked).
VLK_EXPORT Ebool VlkIsIPv4Format(const char* text);
// A ':' outside double-quoted stretches.
VLK_EXPORT Ebool VlkIsIPv6Format(const char* text);
// Digits, dots and colons only.
VLK_EXPORT Ebool VlkIsIPFormat(const char* text);
// Splits "host:port", "[v6]:port" or "host" (port untouched when there is no ':').
VLK_EXPORT EerrNo VlkGetServerInfo(const char* text, Cvlk_tmp_str& host, unsigned short& port);
VLK_EXPORT EerrNo VlkGetIPAddrByName(const char* name, Cvlk_tmp_str& out);
// First IPv4 address of the name in network order; address 0 when none.
VLK_EXPORT in_addr VlkGetIPv4AddrByName(const char* name);
// Text of the host's first IPv4 (IPv6) address: 0, or -1 (no host name),
// -2 (no resolution), -3 (no address of that family).
VLK_EXPORT int VlkGetLocalIPv4(Cvlk_tmp_str& out);
VLK_EXPORT int VlkGetLocalIPv6(Cvlk_tmp_str& out);
// REQUIRES: out holds at least 20 bytes.
VLK_EXPORT EerrNo VlkGetLocalIP(char* out);
// Hardware address of the first interface whose first IPv4 address is the one
// name resolves to. REQUIRES: mac holds 8 bytes; the MAC is in the first six.
VLK_EXPORT EerrNo VlkGetMACByName(const char* name, unsigned char* mac);
// The same as "00-1a-2b-3c-4d-5e".
VLK_EXPORT EerrNo VlkGetMACStrByName(const char* name, Cvlk_tmp_str& out);

// (section end: Socket addresses and name resolution)

// ===========================================================================
// I/O server core: owned by the server side
// ===========================================================================

#include <poll.h>

// Switches a socket to non-blocking mode; 0 on success, else the platform's -1.
VLK_EXPORT int setnonblocking(int socket);

// The sockets one pass of a server loop watches for reading: at most
// MAX_SOCKETS, none twice. Filled, then waited on with Cvlk_io_server::waitRead,
// then walked with isReady. Allocates nothing.
// Thread-safety: owner thread only.
class VLK_EXPORT Cvlk_read_set {
 public:
  static constexpr unsigned int MAX_SOCKETS = 1024;

  Cvlk_read_set() { clear(); }
  Cvlk_read_set(const Cvlk_read_set&) = delete;
  Cvlk_read_set& operator=(const Cvlk_read_set&) = delete;

  void clear();
  // Adds socket unless it is INVALID_SOCKET, already present or the set is full;
  // true when it was added.
  bool add(unsigned int socket);
  bool contains(unsigned int socket) const;
  unsigned int count() const { return m_count; }
  unsigned int socketAt(unsigned int index) const { return static_cast<unsigned int>(m_fds[index].fd); }
  // After a wait: entry index has data, a closed peer or an error to read.
  bool isReady(unsigned int index) const { return (m_fds[index].revents & (POLLIN | POLLERR | POLLHUP)) != 0; }

 private:
  friend class Cvlk_io_server;
  static constexpr unsigned int HASH_SLOTS = 2 * MAX_SOCKETS;
  pollfd m_fds[MAX_SOCKETS + 1];  // one spare entry for the server's wake-up descriptor
  int m_hash[HASH_SLOTS];         // open addressing over the sockets added; -1 is empty
  unsigned int m_count;
};

// Fixed-capacity map from socket handle to node id, sized at construction, so
// that caching a new connection never allocates.
// Thread-safety: none of its own; its owner's lock guards it.
class VLK_EXPORT Cvlk_sock_map {
 public:
  explicit Cvlk_sock_map(unsigned int maxEntries);
  ~Cvlk_sock_map();
  Cvlk_sock_map(const Cvlk_sock_map&) = delete;
  Cvlk_sock_map& operator=(const Cvlk_sock_map&) = delete;

  // Maps socket to nodeId, replacing an existing entry; false when full.
  bool insert(unsigned int socket, unsigned int nodeId);
  // The id mapped to socket, or 0.
  unsigned int find(unsigned int socket) const;
  void remove(unsigned int socket);
  unsigned int size() const { return m_size; }

 private:
  unsigned int slotOf(unsigned int socket) const;
  unsigned int m_mask;
  unsigned int* m_keys;  // INVALID_SOCKET marks an empty slot
  unsigned int* m_vals;
  unsigned int m_size;
};

// One pooled socket node of an I/O server: an open connection or a bound
// datagram endpoint, named by its pool id. A TCP connection uses the socket of
// its peer's IP version; a UDP endpoint may hold both.
// Thread-safety: the fields are guarded by the owning server's ioLock.
class VLK_EXPORT Cvlk_io_node : public Cvlk_res_node {
 public:
  explicit Cvlk_io_node(Cvlk_resource* pool);
  // Both sockets INVALID_SOCKET, both user values 0.
  void init();
  Ebool hasValidHandle() const;
  // Closes each valid socket; the fields keep their values.
  void closeHandle();

  unsigned int ipv4Socket;
  unsigned int ipv6Socket;
  unsigned int userInfo1;
  unsigned int userInfo2;
};

// Common base of the TCP and UDP servers: a thread running a poll-driven loop
// over a fixed pool of socket nodes (at most 1024), with a socket-to-node cache.
// Derived classes fill the pool at construction and implement exeProc, one pass
// of the loop, which waits at most one second.
// Thread-safety: public operations from any thread. ioLock (recursive) guards
// the pool, every node's fields and the cache; it is never held while a hook of
// the application runs or a signal is emitted, so hooks may call the server's
// own operations.
// Shutdown: stop() (or the destructor) asks the loop to end and wakes it; the
// thread then closes every node (sigClosed for each) and returns, and stop()
// joins it. A derived class calls stop() first in its own destructor.
class VLK_EXPORT Cvlk_io_server : public Cvlk_thread {
  Q_OBJECT
 public:
  static constexpr unsigned int MAX_NODES = 1024;

  Cvlk_io_server(unsigned int maxNodes, QObject* parent);
  ~Cvlk_io_server() override;

  unsigned int getMaxNodes();
  unsigned int getRealNodes();
  unsigned int getBusyNodes();
  Ebool hasNode(unsigned int nodeId);
  // Stores both values in a busy node; does nothing otherwise.
  void setUserInfo(unsigned int nodeId, int userInfo1, int userInfo2);
  // Ends the loop at its next wake-up and wakes it now.
  void requestStop() override;

 Q_SIGNALS:
  void sigTracedInfo(QString info);
  void sigErrorInfo(QString errInfo);
  void sigClosing(uint userInfo1, uint userInfo2);
  void sigClosed(uint tcpNodeID);

 protected:
  // Calls exeProc until a stop is requested, then closes every node.
  void run() override;
  virtual void exeProc() = 0;
  virtual Ebool isTraced() { return VLK_TRUE; }
  // Called by close after the node has gone back to the pool.
  virtual void ioClosed(unsigned int nodeId);

  // The pool owns node from now on. REQUIRES: node was created with this
  // server's pool as owner.
  EerrNo addNode(Cvlk_io_node* node);
  // The pointers below stay valid for the server's life, but the node they
  // name may be freed by another thread: hold ioLock while using them.
  Cvlk_io_node* allocNode();
  Cvlk_io_node* getNode(unsigned int nodeId);
  Cvlk_io_node* getNodeByIndex(unsigned int index);
  unsigned int getNodeID(unsigned int socket);
  void cache(unsigned int socket, unsigned int nodeId);
  void delCache(unsigned int nodeId);
  // Closes the busy node's sockets, drops its cache entries, frees it, then
  // calls ioClosed and emits sigClosed. Does nothing for an id not busy.
  void close(unsigned int nodeId);
  // close() on every busy node.
  void closeAllNodes();
  // Adds the sockets of all busy nodes (IPv4 first) to set.
  void setAllReadSet(Cvlk_read_set& set);
  // Waits up to timeoutMs (negative: no limit) for a socket of set to become
  // readable or for wakeUp(); the number of ready sockets, 0 on time-out or
  // wake-up, -1 on error.
  int waitRead(Cvlk_read_set& set, int timeoutMs);
  // Ends the current or next waitRead at once (new sockets to watch, stop).
  void wakeUp();
  void traceInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void displayErrorInfo(Cvlk_tmp_str text);

  Cvlk_mutex ioLock;
  Cvlk_resource* nodePool;  // contents guarded by ioLock; owned (Qt child)
  Cvlk_sock_map nodeCache VLK_GUARDED_BY(ioLock);

 private:
  int m_wakeFd;  // eventfd; written by wakeUp, drained by waitRead
};

// (section end: I/O server core)

// ===========================================================================
// TCP server and TLS: owned by the server side
// ===========================================================================

#include <atomic>

struct ssl_st;
struct ssl_ctx_st;

// One TCP connection of a Cvlk_tcp_server's pool.
// Thread-safety: guarded by the owning server's ioLock.
class VLK_EXPORT Cvlk_tcp : public Cvlk_io_node {
 public:
  explicit Cvlk_tcp(Cvlk_resource* pool);
  // Sockets INVALID_SOCKET, user values 0, peerAddr init()ed, no ssl, never active.
  void init();
  // ipv4Socket for an IPv4 peer, ipv6Socket otherwise.
  unsigned int getHandle() const;
  // Seconds since the last receive (since 1970 when there was none).
  unsigned int getIdleDuration() const;
  Ebool hasTLS() const { return ssl != nullptr ? VLK_TRUE : VLK_FALSE; }
  // Sends all len bytes, waiting at most sendWaitMs in all for room in the
  // socket's buffer; never raises SIGPIPE. ERR_FAIL when not all could go.
  EerrNo sendData(const void* data, unsigned int len);
  // One read of up to len bytes. readLen 0 with ERR_OK when nothing is there
  // yet; ERR_OBJ_NOT_FOUND when the peer closed; ERR_FAIL on an error.
  EerrNo readData(char* buf, unsigned int len, unsigned int& readLen);
  // Ends the TLS state (close_notify when the handshake had completed).
  void stopTLS();
  void stop() {}

  Cvlk_uaddr peerAddr;
  ssl_st* ssl;                     // owned; null for a plain connection
  std::int64_t lastActive;         // seconds since 1970 of the last receive; 0: never
  std::int64_t handshakeDeadline;  // monotonic milliseconds; 0 when no TLS handshake is pending
  unsigned int sendWaitMs;         // bound of one sendData's wait for buffer room
};

// TCP server on one port over IPv4 and IPv6, plain or TLS (TLS 1.2 and later),
// reading into procData on its own thread. The application derives from it,
// implements procData and sends with sendTo and broadcast.
// TLS handshakes run non-blocking from the loop: a connection is announced by
// sigNewConnection once its handshake completes, and closed with
// "Fail to accept TLS connection: ..." when it fails or does not complete
// within the handshake bound (10 s unless set).
// A send goes out whole or not at all: when a peer does not take a message
// within the send bound (2 s unless set), its connection is closed rather
// than left with a cut message. The wait blocks the sending thread.
// Thread-safety: public operations from any thread, also from inside procData.
// Shutdown: stop() or the destructor ends the loop, closes every connection and
// both listeners and joins the thread.
class VLK_EXPORT Cvlk_tcp_server : public Cvlk_io_server {
  Q_OBJECT
 public:
  Cvlk_tcp_server(unsigned int maxConnections, QObject* parent);
  ~Cvlk_tcp_server() override;

  // Opens the IPv6 listener, then the IPv4 one, on port. ERR_INVALID_PARAM for
  // port 0, ERR_OUT_OF_MEMORY when neither opens, else ERR_OK.
  EerrNo bind(unsigned short port);
  // As bind on a port the system picks (free for both families when it can);
  // the port chosen is stored into port.
  EerrNo bindAnyPort(unsigned short& port);
  // Server TLS context from PEM files (TLS 1.2 and later). It applies to
  // connections accepted from then on: call it before bind.
  EerrNo startTLS(const char* certFile, const char* keyFile);
  // Bound of a TLS handshake, in seconds (0 restores the 10 s default).
  void setHandshakeTimeout(unsigned int seconds);
  // Bound of one send's wait for buffer room, in milliseconds (default 2000).
  void setSendTimeout(unsigned int milliseconds);
  Cvlk_uaddr getPeerAddr(unsigned int nodeId);
  // Connects (blocking) to peer and adds the plain connection to the pool; the
  // loop watches it at once.
  EerrNo prepareConnect(Cvlk_uaddr peer, unsigned int& nodeId);
  void closeConnect(unsigned int nodeId);
  void closeSocket(unsigned int socket);
  // "\r\n" to every connection.
  void keepAlive();
  // Closes every connection idle for maxIdleSeconds or more; one that never
  // received anything counts as idle since 1970.
  void selfCheck(unsigned int maxIdleSeconds);

 Q_SIGNALS:
  void sigNewConnection(int tcpNodeID);

 protected:
  void run() override;
  void exeProc() override;
  // Called on the server thread for every read: len bytes (at most 4096, or 0
  // when a TLS read gave no application data yet) followed by a zero byte.
  // data belongs to the server and is valid during the call only.
  virtual void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) = 0;

  Ebool hasTLS();
  // Sends to one connection; a failed send closes it.
  EerrNo sendTo(unsigned int nodeId, const void* data, unsigned int len);
  EerrNo broadcast(const void* data, unsigned int len);
  unsigned int bindLocalAddr(Cvlk_uaddr localAddr);

 private:
  void initTcpResource();
  void initTLSParams();
  unsigned int allocTcpNode(unsigned int socket, Cvlk_uaddr peer);
  EerrNo newConnection(unsigned int listenSocket);
  EerrNo readData(unsigned int socket);
  // One read from a busy connection (the handshake's next step while it lasts).
  EerrNo readNode(unsigned int nodeId);
  // Continues a pending TLS handshake; ERR_OK while it is pending or done.
  EerrNo continueHandshake(unsigned int nodeId);
  void checkHandshakes();
  void closeListeners();
  void handshakeFailed(unsigned int nodeId, unsigned long errCode);
  // Copies the ids of all busy nodes into ids; their number.
  unsigned int busyIds(unsigned int* ids);

  unsigned int ipv4Listener VLK_GUARDED_BY(ioLock);
  unsigned int ipv6Listener VLK_GUARDED_BY(ioLock);
  ssl_ctx_st* sslCtx VLK_GUARDED_BY(ioLock);
  std::atomic<unsigned int> m_handshakeMs;
  unsigned int m_sendWaitMs VLK_GUARDED_BY(ioLock);
  unsigned int m_pendingHandshakes VLK_GUARDED_BY(ioLock);
  int m_spareFd;  // given up to accept-and-drop a connection when descriptors run out
  Cvlk_read_set m_readSet;  // server thread only
};

// (section end: TCP server and TLS)

// ===========================================================================
// TCP client connections: owned by the client side
// ===========================================================================

// (section end: TCP client connections)

// ===========================================================================
// UDP server: owned by the client side
// ===========================================================================

// (section end: UDP server)

#endif  // VLK_NET_H
