// A real redis-server for tests: started on a free loopback port with a
// temporary directory and no persistence, stopped by its process id. It can be
// stopped and started again on the same port to play an outage.
#ifndef TEST_REDIS_SERVER_H
#define TEST_REDIS_SERVER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

// A TCP connection to 127.0.0.1:port whose reads give up after timeoutSeconds;
// -1 when it cannot be made.
inline int ConnectLoopback(unsigned port, int timeoutSeconds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{timeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class RedisServer {
 public:
  explicit RedisServer(std::string password = std::string()) : m_password(std::move(password)) {
    char tmpl[] = "/tmp/vlk-redis-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) m_dir = tmpl;
  }
  ~RedisServer() {
    Stop();
    if (!m_dir.empty()) {
      std::string cmd = "rm -rf " + m_dir;
      if (std::system(cmd.c_str()) != 0) {
      }
    }
  }
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  // Starts the server (on its earlier port when it ran before) and waits until
  // it answers; false when it did not come up within the deadline.
  bool Start() {
    if (m_pid > 0) return true;
    bool keepPort = m_started;  // a restart comes back where the relays look for it
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (!keepPort) m_port = FreePort();
      if (m_port != 0 && Spawn() && WaitReady()) return true;
      Stop();
    }
    return false;
  }
  // Stops the server (SIGTERM, then waits for it); harmless when not running.
  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = 0;
  }
  unsigned Port() const { return m_port; }
  bool Running() const { return m_pid > 0; }
  const std::string& Dir() const { return m_dir; }

  // Sends one command in inline form and returns the first reply line ("" on failure).
  std::string Command(const std::string& line) const {
    int fd = ConnectLoopback(m_port, 5);
    if (fd < 0) return std::string();
    std::string out;
    if (!m_password.empty()) {
      Send(fd, "AUTH " + m_password + "\r\n");
      ReadLine(fd);
    }
    Send(fd, line + "\r\n");
    out = ReadLine(fd);
    close(fd);
    return out;
  }

 private:
  static unsigned FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    unsigned port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
  }

  bool Spawn() {
    std::string port = std::to_string(m_port);
    std::string log = m_dir + "/redis.log";
    std::vector<std::string> args = {"redis-server", "--port",      port,       "--bind", "127.0.0.1",
                                     "--save",       "",            "--appendonly", "no",  "--dir",
                                     m_dir,          "--logfile",   log,        "--daemonize", "no"};
    if (!m_password.empty()) {
      args.push_back("--requirepass");
      args.push_back(m_password);
    }
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
      }
      execvp("redis-server", argv.data());
      _exit(127);
    }
    m_pid = pid;
    m_started = true;
    return true;
  }

  static void Send(int fd, const std::string& s) {
    ssize_t ignored = send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    (void)ignored;
  }
  static std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (recv(fd, &c, 1, 0) == 1) {
      if (c == '\n') break;
      if (c != '\r') line += c;
    }
    return line;
  }

  // Polls until the server answers PING, or it died, or 20 s passed.
  bool WaitReady() {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = 0;  // it exited (port taken, most likely)
        return false;
      }
      if (Command("PING") == "+PONG") return true;
      poll(nullptr, 0, 20);
    }
    return false;
  }

  std::string m_password;
  std::string m_dir;
  unsigned m_port = 0;
  pid_t m_pid = 0;
  bool m_started = false;
};

#endif  // TEST_REDIS_SERVER_H
