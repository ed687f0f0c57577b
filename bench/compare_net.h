// Loopback echo comparison of the network servers: the echo servers of each
// contestant, the child process that runs one of them, and the load clients
// that drive it the same way whoever serves.
#ifndef COMPARE_NET_H
#define COMPARE_NET_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace netbench {

// ---------------------------------------------------------------------------
// Echo servers (run inside the server process)
// ---------------------------------------------------------------------------

// A running echo server: TCP (type SOCK_STREAM) echoes every read back,
// UDP (SOCK_DGRAM) every datagram to its sender. Stops when destroyed.
class EchoServer {
 public:
  virtual ~EchoServer() = default;
  virtual unsigned short Port() const = 0;
  // After the clients have gone: true when the server holds nothing of theirs
  // any more (vlk2: its connection pool is back to full); detail says what is left.
  virtual bool Drained(std::string& detail) = 0;
};

// Null without Boost (vlk2's servers are the server process's own). With a
// non-empty tls (a directory holding cert.pem and key.pem) the TCP server
// speaks TLS.
std::unique_ptr<EchoServer> StartAsioEcho(int type, const std::string& tls);
bool HaveAsio();

// ---------------------------------------------------------------------------
// The server process
// ---------------------------------------------------------------------------

// One echo server in a forked child, so that the CPU time and the heap
// allocations sampled are the server's alone, for both contestants alike.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // contestant "vlk2" or "asio"; maxConns sizes vlk2's connection pool; tls as
  // for StartAsioEcho. False (with Error()) when the server did not start.
  bool Start(const std::string& contestant, int type, unsigned maxConns, const std::string& tls = std::string());
  unsigned short Port() const { return m_port; }
  // The server's CPU seconds (user + system, every thread) and heap allocations
  // so far, and its resident size now.
  bool Sample(double& cpuSeconds, std::uint64_t& allocations, double* rssKiB = nullptr);
  // Asks the server to wait until it has let go of every client (up to a few
  // seconds), stop and exit. True when it did all that; detail says what it found.
  bool Finish(std::string& detail);
  const std::string& Error() const { return m_error; }

 private:
  pid_t m_pid = -1;
  int m_ctl = -1;  // our end of the control socket pair
  unsigned short m_port = 0;
  std::string m_error;
};

// ---------------------------------------------------------------------------
// Load clients (run in the bench process, one thread, epoll)
// ---------------------------------------------------------------------------

struct LoadShape {
  unsigned sockets = 64;    // busy TCP connections, or UDP sockets
  unsigned idle = 0;        // TCP connections opened and left silent
  unsigned window = 1;      // UDP datagrams in flight per socket (TCP: always 1)
  std::size_t size = 64;    // bytes per message
  double warmSeconds = 0.3;
  double seconds = 2.0;     // measured stretch
  double probeRate = 0;     // TCP: requests/s of one more, paced connection (0: none)
};

struct LoadResult {
  bool ok = false;
  std::string check;        // what was verified, or what went wrong
  double elapsed = 0;       // seconds measured
  std::uint64_t echoes = 0; // complete echoes in the measured stretch
  double p99Micros = 0;
  std::uint64_t sent = 0, lost = 0;  // UDP: every datagram of the run
  double serverCpu = 0;     // server CPU seconds over the measured stretch
  double clientCpu = 0;     // this (the client's) process's CPU seconds over the measured stretch
  std::uint64_t serverAllocs = 0;    // server heap allocations over the measured stretch
  std::uint64_t probes = 0;  // answers to the paced connection in the measured stretch
  double probeP50Micros = 0, probeP99Micros = 0, probeP999Micros = 0;  // from when each was due
  double serverRssKiB = 0;  // the server's resident size at the end of the measured stretch
};

// One message in flight per busy connection; every echo byte-checked; TCP loses nothing.
LoadResult DriveTcp(ServerProcess& server, const LoadShape& shape);
// One connection at a time: connect, one echo of shape.size bytes, close (with
// a reset); `echoes` counts the connections. The server must let go of every one.
LoadResult DriveConnect(ServerProcess& server, const LoadShape& shape);
// `window` datagrams in flight per socket; one unanswered for 200 ms counts as
// lost and is replaced; at the end whatever is still unanswered is lost too.
LoadResult DriveUdp(ServerProcess& server, const LoadShape& shape);

// TLS over loopback, the client on OpenSSL with one thread per connection:
// `shape.sockets` connections each with one message in flight, or, with
// `handshakes`, one connection after the other (connect, full handshake, one
// echo, close) and `echoes` counting the connections.
LoadResult DriveTls(ServerProcess& server, const LoadShape& shape, bool handshakes);

// A directory with a fresh self-signed certificate (cert.pem) and its key
// (key.pem), made with the openssl command; removed when destroyed.
class TlsFiles {
 public:
  TlsFiles();
  ~TlsFiles();
  const std::string& Dir() const { return m_dir; }  // empty when making them failed

 private:
  std::string m_dir;
};

// Raises the descriptor limit to at least n (as far as the hard limit allows).
bool RaiseFileLimit(unsigned n);

}  // namespace netbench

#endif  // COMPARE_NET_H
