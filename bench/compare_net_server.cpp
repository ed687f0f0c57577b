// vlk2's echo servers and the child process that runs an echo server of
// either contestant under the bench's control.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bench_harness.h"
#include "compare_net.h"
#include "vlk_net.h"

namespace netbench {
namespace {

class VlkTcpEcho : public Cvlk_tcp_server, public EchoServer {
 public:
  explicit VlkTcpEcho(unsigned maxConns) : Cvlk_tcp_server(maxConns, nullptr) {}
  ~VlkTcpEcho() override { stop(); }
  bool Open(const std::string& tls) {
    if (!tls.empty() &&
        startTLS((tls + "/cert.pem").c_str(), (tls + "/key.pem").c_str()) != ERR_OK) {
      return false;
    }
    return bindAnyPort(m_port) == ERR_OK;
  }
  unsigned short Port() const override { return m_port; }
  bool Drained(std::string& detail) override {
    const unsigned busy = getBusyNodes();
    detail = "vlk2 connection pool " + std::to_string(getRealNodes() - busy) + "/" + std::to_string(getRealNodes()) +
             " free";
    return busy == 0;
  }

 protected:
  void procData(unsigned int nodeId, Cvlk_uaddr, int len, char* data) override {
    if (len > 0) sendTo(nodeId, data, static_cast<unsigned int>(len));
  }

 private:
  unsigned short m_port = 0;
};

class VlkUdpEcho : public Cvlk_udp_server, public EchoServer {
 public:
  VlkUdpEcho() : Cvlk_udp_server(nullptr, 4) {}
  ~VlkUdpEcho() override { stop(); }
  bool Open() { return bindAnyPort(m_port, 0, 0) != 0; }
  unsigned short Port() const override { return m_port; }
  bool Drained(std::string& detail) override {
    const unsigned busy = getBusyNodes();
    detail = "vlk2 UDP endpoints busy " + std::to_string(busy) + " (1 expected)";
    return busy == 1;
  }

 protected:
  int checkData(unsigned int, Cvlk_uaddr, int, char*) override { return 0; }
  void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    SendTo(nodeId, &peer, data, static_cast<unsigned int>(len));
  }

 private:
  unsigned short m_port = 0;
};

// What travels over the control socket pair.
struct Usage {
  double cpu;
  std::uint64_t allocs;
  double rssKiB;
};

struct Final {
  int ok;
  char detail[200];
};

bool ReadAll(int fd, void* p, std::size_t n) {
  char* c = static_cast<char*>(p);
  while (n > 0) {
    const ssize_t r = ::read(fd, c, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    c += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const void* p, std::size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    const ssize_t r = ::write(fd, c, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    c += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// The child: start the server, tell the port, answer samples until told to finish.
[[noreturn]] void ServeChild(int ctl, const std::string& contestant, int type, unsigned maxConns,
                             const std::string& tls) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::unique_ptr<EchoServer> server;
  if (contestant == "vlk2") {
    if (type == SOCK_STREAM) {
      std::unique_ptr<VlkTcpEcho> s(new VlkTcpEcho(maxConns));
      if (s->Open(tls)) {
        s->start();
        server = std::move(s);
      }
    } else {
      std::unique_ptr<VlkUdpEcho> s(new VlkUdpEcho);
      if (s->Open()) {
        s->start();
        server = std::move(s);
      }
    }
  } else if (contestant == "asio") {
    server = StartAsioEcho(type, tls);
  }
  const unsigned short port = server ? server->Port() : 0;
  if (!WriteAll(ctl, &port, sizeof port) || !server) _exit(1);
  char cmd;
  while (ReadAll(ctl, &cmd, 1) && cmd == 's') {
    const Usage s{vlkbench::ProcessCpuSeconds(), vlkbench::HeapAllocations(), vlkbench::ResidentKiB()};
    if (!WriteAll(ctl, &s, sizeof s)) _exit(1);
  }
  // Finish: the clients have closed; give the server time to notice.
  Final f{};
  std::string detail;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  bool drained = server->Drained(detail);
  while (!drained && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    drained = server->Drained(detail);
  }
  server.reset();
  f.ok = drained ? 1 : 0;
  std::snprintf(f.detail, sizeof f.detail, "%s", detail.c_str());
  WriteAll(ctl, &f, sizeof f);
  _exit(0);
}

}  // namespace

ServerProcess::~ServerProcess() {
  if (m_ctl >= 0) ::close(m_ctl);
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
}

bool ServerProcess::Start(const std::string& contestant, int type, unsigned maxConns, const std::string& tls) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    m_error = "socketpair failed";
    return false;
  }
  std::fflush(nullptr);
  m_pid = ::fork();
  if (m_pid < 0) {
    m_error = "fork failed";
    return false;
  }
  if (m_pid == 0) {
    ::close(sv[0]);
    ServeChild(sv[1], contestant, type, maxConns, tls);
  }
  ::close(sv[1]);
  m_ctl = sv[0];
  if (!ReadAll(m_ctl, &m_port, sizeof m_port) || m_port == 0) {
    m_error = contestant + " echo server did not start";
    return false;
  }
  return true;
}

bool ServerProcess::Sample(double& cpuSeconds, std::uint64_t& allocations, double* rssKiB) {
  Usage s{};
  if (!WriteAll(m_ctl, "s", 1) || !ReadAll(m_ctl, &s, sizeof s)) return false;
  cpuSeconds = s.cpu;
  allocations = s.allocs;
  if (rssKiB != nullptr) *rssKiB = s.rssKiB;
  return true;
}

bool ServerProcess::Finish(std::string& detail) {
  Final f{};
  const bool told = WriteAll(m_ctl, "f", 1) && ReadAll(m_ctl, &f, sizeof f);
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
  detail = told ? f.detail : "server process gave no final report";
  return told && f.ok == 1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TlsFiles::TlsFiles() {
  char dir[] = "/tmp/vlk-bench-tls-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return;
  const std::string d = dir;
  const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                          "-subj /CN=localhost -keyout " + d + "/key.pem -out " + d + "/cert.pem >/dev/null 2>&1";
  if (std::system(cmd.c_str()) == 0) {
    m_dir = d;
  } else {
    ::unlink((d + "/key.pem").c_str());
    ::unlink((d + "/cert.pem").c_str());
    ::rmdir(d.c_str());
  }
}

TlsFiles::~TlsFiles() {
  if (m_dir.empty()) return;
  ::unlink((m_dir + "/key.pem").c_str());
  ::unlink((m_dir + "/cert.pem").c_str());
  ::rmdir(m_dir.c_str());
}

}  // namespace netbench
