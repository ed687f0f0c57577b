// Host utilities: the URL fetch against a loopback HTTP server, the host name,
// the application directory, and the process test with a second instance of a
// helper program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "vlk_sys.h"

namespace fs = std::filesystem;

namespace {

// Answers every request on 127.0.0.1 (an ephemeral port) with the response
// set last, and keeps the request heads it saw.
class TinyHttpServer {
 public:
  TinyHttpServer() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    listen(m_listen, 8);
    m_thread = std::thread([this] { Serve(); });
  }
  ~TinyHttpServer() {
    shutdown(m_listen, SHUT_RDWR);
    m_thread.join();
    close(m_listen);
  }
  void Respond(int status, const std::string& body, const std::string& extraHeaders = "") {
    std::lock_guard<std::mutex> lock(m_lock);
    m_response = "HTTP/1.0 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\n" + extraHeaders + "\r\n" + body;
  }
  std::string Url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
  }

 private:
  void Serve() {
    for (;;) {
      int c = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      std::string head;
      char buf[1024];
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        head.append(buf, static_cast<std::size_t>(n));
      }
      std::string response;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back(head);
        response = m_response;
      }
      send(c, response.data(), response.size(), MSG_NOSIGNAL);
      close(c);
    }
  }

  int m_listen = -1;
  int m_port = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::string m_response;                // guarded by m_lock
  std::vector<std::string> m_requests;   // guarded by m_lock
};

class UrlFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    // A proxy configured for the machine must not take our loopback requests.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
  }
  TinyHttpServer m_server;
};

TEST_F(UrlFetch, ShortContentComesBackAsTextAndAsNumber) {
  m_server.Respond(200, "42");
  Cvlk_tmp_str reply;
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str(), reply), ERR_OK);
  EXPECT_STREQ(reply.c_str(), "42");
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str()), 42);
  m_server.Respond(200, "0x1F");
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str()), 31);
  m_server.Respond(200, "up");
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str()), 0);
  // The request names our agent.
  ASSERT_FALSE(m_server.Requests().empty());
  EXPECT_NE(m_server.Requests().front().find("User-Agent: InetURL/1.0\r\n"), std::string::npos);
}

TEST_F(UrlFetch, OnlyTheFirstNonEmptyPieceOf63BytesIsKept) {
  std::string long_body(100, 'a');
  long_body[62] = 'b';
  m_server.Respond(200, long_body);
  Cvlk_tmp_str reply;
  ASSERT_EQ(VlkGetURL(m_server.Url().c_str(), reply), ERR_OK);
  EXPECT_EQ(reply.getStrLen(), 63);
  EXPECT_EQ(reply.c_str()[62], 'b');
  // A piece that starts with NUL is skipped; a piece ends at its first NUL.
  std::string body(63, '\0');
  body += std::string("77\0zz", 5);
  m_server.Respond(200, body);
  ASSERT_EQ(VlkGetURL(m_server.Url().c_str(), reply), ERR_OK);
  EXPECT_STREQ(reply.c_str(), "77");
}

TEST_F(UrlFetch, FailuresAreReportedAndLeaveTheReplyAlone) {
  Cvlk_tmp_str reply;
  reply.init("kept");
  EXPECT_EQ(VlkGetURL("", reply), ERR_INVALID_PARAM);
  EXPECT_EQ(VlkGetURL(nullptr, reply), ERR_INVALID_PARAM);
  // Empty content, or content of NULs only: nothing arrived.
  m_server.Respond(200, "");
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str(), reply), ERR_FAIL);
  m_server.Respond(200, std::string(10, '\0'));
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str(), reply), ERR_FAIL);
  // An error page is not the number asked for.
  m_server.Respond(404, "42");
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str(), reply), ERR_FAIL);
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str()), -268435458);
  EXPECT_STREQ(reply.c_str(), "kept");
  EXPECT_EQ(m_server.Requests().size(), 4u);
}

TEST_F(UrlFetch, RedirectIsFollowed) {
  TinyHttpServer target;
  target.Respond(200, "7");
  m_server.Respond(302, "", "Location: " + target.Url("/n") + "\r\n");
  EXPECT_EQ(VlkGetURL(m_server.Url().c_str()), 7);
}

TEST(UrlFetchUnreachable, ClosedPortGivesFailure) {
  // Bind a port, then close it: nobody listens there.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  close(s);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
  setenv("no_proxy", "127.0.0.1", 1);
  Cvlk_tmp_str reply;
  EXPECT_EQ(VlkGetURL(url.c_str(), reply), ERR_FAIL);
  EXPECT_EQ(VlkGetURL(url.c_str()), -268435458);
}

TEST(HostName, IsTheHostsNameAlwaysTerminatedIn60Bytes) {
  char name[60];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(VlkGetComputerName(name), ERR_OK);
  ASSERT_NE(std::memchr(name, '\0', sizeof name), nullptr);
  char expected[256] = {};
  gethostname(expected, sizeof expected - 1);
  EXPECT_EQ(std::string(expected).substr(0, 59), name);
}

TEST(AppDirectory, IsTheExecutablesDirectoryAndCutsToTheBuffer) {
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  // Without an application object there is no directory: an empty text.
  EXPECT_EQ(VlkGetCurrDir(buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(VlkGetCurrDir(nullptr, 5), 0);

  int argc = 1;
  char arg0[] = "test_sys_host";
  char* argv[] = {arg0, nullptr};
  QCoreApplication app(argc, argv);
  std::string dir = fs::canonical("/proc/self/exe").parent_path().string();
  Cvlk_tmp_str t;
  EXPECT_EQ(VlkGetCurrDir(&t), 1);
  EXPECT_EQ(std::string(t.c_str()), dir);
  EXPECT_EQ(VlkGetCurrDir(static_cast<Cvlk_tmp_str*>(nullptr)), 1);
  char cut[5];
  EXPECT_EQ(VlkGetCurrDir(cut, sizeof cut), 4);
  EXPECT_EQ(std::string(cut), dir.substr(0, 4));
  Cvlk_tmp_str tmp;
  VlkGetTempPath(tmp);
  EXPECT_EQ(std::string(tmp.c_str()), dir + "/.tmp/");
}

// Runs the helper copy with args; stdin/stdout piped when keep is set.
struct Child {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
};

Child Start(const std::string& exe, const std::string& mode) {
  int in[2], out[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    execl(exe.c_str(), exe.c_str(), mode.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  c.toChild = in[1];
  c.fromChild = out[0];
  return c;
}

int Finish(Child& c) {
  close(c.toChild);
  close(c.fromChild);
  int status = 0;
  waitpid(c.pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HasProcess, SeesASecondInstanceButNeverItself) {
  char tmpl[] = "/tmp/vlk_proc_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  // A name of our own, so that no other test's processes can match.
  std::string name = "vlkhp" + std::to_string(getpid());
  std::string exe = std::string(tmpl) + "/" + name;
  fs::copy_file(VLK_SYS_HELPER, exe);

  EXPECT_EQ(VlkHasProcess(name.c_str()), VLK_FALSE);
  Child alone = Start(exe, "hasself");
  EXPECT_EQ(Finish(alone), 0);  // only itself runs under that name

  Child second = Start(exe, "wait");
  char ready[6] = {};
  ASSERT_EQ(read(second.fromChild, ready, 6), 6);  // "ready\n": it runs
  EXPECT_EQ(VlkHasProcess(name.c_str()), VLK_TRUE);
  Child again = Start(exe, "hasself");
  EXPECT_EQ(Finish(again), 1);
  std::string upper = name;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(VlkHasProcess(upper.c_str()), VLK_FALSE);
  EXPECT_EQ(VlkHasProcess(name.substr(0, 4).c_str()), VLK_FALSE);
  EXPECT_EQ(Finish(second), 0);

  EXPECT_EQ(VlkHasProcess(name.c_str()), VLK_FALSE);
  EXPECT_EQ(VlkHasProcess(""), VLK_FALSE);
  EXPECT_EQ(VlkHasProcess(nullptr), VLK_FALSE);
  fs::remove_all(tmpl);
}

}  // namespace
