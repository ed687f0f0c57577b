// Host utilities: the URL fetch against a loopback HTTP server, the host name,
// the application directory, and the process test with a second instance of a
// helper program.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "vlk_sys.h"

namespace {

// Answers every request on 127.0.0.1 (an ephemeral port) with the response set
// last, and counts the requests that named our agent.
class TinyHttpServer {
 public:
  TinyHttpServer() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(m_listen, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    listen(m_listen, 8);
    m_thread = std::thread([this] { Serve(); });
  }
  ~TinyHttpServer() {
    shutdown(m_listen, SHUT_RDWR);
    m_thread.join();
    close(m_listen);
  }
  void Respond(int status, const std::string& body, const std::string& headers = "") {
    std::lock_guard<std::mutex> lock(m_lock);
    m_response = "HTTP/1.0 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\n" + headers + "\r\n" + body;
  }
  const char* Url() const { return m_url.c_str(); }
  int AgentRequests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_agentRequests;
  }

 private:
  void Serve() {
    for (int c; (c = accept(m_listen, nullptr, nullptr)) >= 0; close(c)) {
      std::string head;
      char buf[1024];
      for (ssize_t n; head.find("\r\n\r\n") == std::string::npos && (n = recv(c, buf, sizeof buf, 0)) > 0;)
        head.append(buf, static_cast<std::size_t>(n));
      std::lock_guard<std::mutex> lock(m_lock);
      if (head.find("\r\nUser-Agent: InetURL/1.0\r\n") != std::string::npos) ++m_agentRequests;
      send(c, m_response.data(), m_response.size(), MSG_NOSIGNAL);
    }
  }

  int m_listen = -1;
  std::string m_url;
  std::thread m_thread;
  std::mutex m_lock;
  std::string m_response;  // guarded by m_lock
  int m_agentRequests = 0;  // guarded by m_lock
};

class UrlFetch : public ::testing::Test {
 protected:
  // A proxy configured for the machine must not take our loopback requests.
  void SetUp() override { setenv("no_proxy", "127.0.0.1", 1); }
  TinyHttpServer m_server;
  Cvlk_tmp_str m_reply;
};

TEST_F(UrlFetch, TheFirstNonEmptyPieceComesBackAsTextAndNumber) {
  m_server.Respond(200, "42");
  EXPECT_EQ(VlkGetURL(m_server.Url(), m_reply), ERR_OK);
  EXPECT_STREQ(m_reply.c_str(), "42");
  EXPECT_EQ(VlkGetURL(m_server.Url()), 42);
  m_server.Respond(200, "0x1F");
  EXPECT_EQ(VlkGetURL(m_server.Url()), 31);
  EXPECT_EQ(m_server.AgentRequests(), 3);
  // Only the first 63 bytes of longer content.
  m_server.Respond(200, std::string(62, 'a') + "bcd");
  ASSERT_EQ(VlkGetURL(m_server.Url(), m_reply), ERR_OK);
  EXPECT_EQ(std::string(m_reply.c_str()), std::string(62, 'a') + "b");
  // A piece that starts with NUL is skipped; a piece ends at its first NUL.
  m_server.Respond(200, std::string(63, '\0') + std::string("77\0zz", 5));
  ASSERT_EQ(VlkGetURL(m_server.Url(), m_reply), ERR_OK);
  EXPECT_STREQ(m_reply.c_str(), "77");
  // Redirects are followed.
  TinyHttpServer target;
  target.Respond(200, "7");
  m_server.Respond(302, "", std::string("Location: ") + target.Url() + "\r\n");
  EXPECT_EQ(VlkGetURL(m_server.Url()), 7);
}

TEST_F(UrlFetch, FailuresAreReportedAndLeaveTheReplyAlone) {
  m_reply.init("kept");
  EXPECT_EQ(VlkGetURL("", m_reply), ERR_INVALID_PARAM);
  EXPECT_EQ(VlkGetURL(nullptr, m_reply), ERR_INVALID_PARAM);
  for (const std::string& body : {std::string(), std::string(10, '\0')}) {  // nothing arrived
    m_server.Respond(200, body);
    EXPECT_EQ(VlkGetURL(m_server.Url(), m_reply), ERR_FAIL);
  }
  m_server.Respond(404, "42");  // an error page is not the number asked for
  EXPECT_EQ(VlkGetURL(m_server.Url(), m_reply), ERR_FAIL);
  EXPECT_EQ(VlkGetURL(m_server.Url()), -268435458);
  EXPECT_STREQ(m_reply.c_str(), "kept");
  // A port nobody listens on.
  std::string closed = m_server.Url();
  { TinyHttpServer gone; closed = gone.Url(); }
  EXPECT_EQ(VlkGetURL(closed.c_str()), -268435458);
}

TEST(HostName, IsTheHostsNameAlwaysTerminatedIn60Bytes) {
  char name[60], expected[256] = {};
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(VlkGetComputerName(name), ERR_OK);
  ASSERT_NE(std::memchr(name, '\0', sizeof name), nullptr);
  gethostname(expected, sizeof expected - 1);
  EXPECT_EQ(std::string(expected).substr(0, 59), name);
  // Injected names, in a child with a host name of its own (needs the right to
  // make a UTS namespace): 60 characters or more come back cut to 59.
  for (std::size_t len : {59u, 60u, 64u}) {
    const std::string injected = std::string(len - 2, 'h') + "-z";
    pid_t pid = fork();
    if (pid == 0) {
      if (unshare(CLONE_NEWUTS) != 0 || sethostname(injected.data(), injected.size()) != 0) _exit(77);
      std::memset(name, 'x', sizeof name);
      VlkGetComputerName(name);
      _exit(std::memchr(name, '\0', sizeof name) != nullptr && injected.substr(0, 59) == name ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no UTS namespace for an injected host name";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a host name of " << len << " characters";
  }
}

TEST(AppDirectory, IsTheExecutablesDirectoryCutToTheBuffer) {
  char buf[16] = "garbage";
  EXPECT_EQ(VlkGetCurrDir(buf, sizeof buf), 0);  // no application object: an empty text
  EXPECT_STREQ(buf, "");
  int argc = 1;
  char arg0[] = "test_sys_host";
  char* argv[] = {arg0, nullptr};
  QCoreApplication app(argc, argv);
  std::string dir = std::filesystem::canonical("/proc/self/exe").parent_path().string();
  Cvlk_tmp_str t;
  EXPECT_EQ(VlkGetCurrDir(&t), 1);
  EXPECT_EQ(dir, t.c_str());
  EXPECT_EQ(VlkGetCurrDir(buf, 5), 4);
  EXPECT_EQ(dir.substr(0, 4), buf);
  VlkGetTempPath(t);
  EXPECT_EQ(dir + "/.tmp/", t.c_str());
}

// Starts the helper copy in mode; its stdin and stdout are pipes.
struct Child {
  explicit Child(const std::string& exe, const char* mode) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in) | pipe(out), 0);
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      execl(exe.c_str(), exe.c_str(), mode, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]), close(out[1]);
    toChild = in[1], fromChild = out[0];
  }
  int Finish() {
    close(toChild), close(fromChild);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid;
  int toChild, fromChild;
};

TEST(HasProcess, SeesASecondInstanceButNeverItself) {
  char dir[] = "/tmp/vlk_proc_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string name = "vlkhp" + std::to_string(getpid());  // no other test's processes match
  std::string exe = std::string(dir) + "/" + name;
  std::filesystem::copy_file(VLK_SYS_HELPER, exe);

  EXPECT_EQ(VlkHasProcess(name.c_str()), VLK_FALSE);
  EXPECT_EQ(Child(exe, "hasself").Finish(), 0);  // alone, it does not see itself
  Child second(exe, "wait");
  char ready[6];
  ASSERT_EQ(read(second.fromChild, ready, 6), 6);
  EXPECT_EQ(VlkHasProcess(name.c_str()), VLK_TRUE);
  EXPECT_EQ(Child(exe, "hasself").Finish(), 1);
  std::string upper = name;
  upper[0] = 'V';
  EXPECT_EQ(VlkHasProcess(upper.c_str()), VLK_FALSE);  // case matters
  EXPECT_EQ(VlkHasProcess(name.substr(0, 4).c_str()), VLK_FALSE);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_EQ(VlkHasProcess(name.c_str()), VLK_FALSE);
  EXPECT_EQ(VlkHasProcess(""), VLK_FALSE);
  std::filesystem::remove_all(dir);
}

}  // namespace
