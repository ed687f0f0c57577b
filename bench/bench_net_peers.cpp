// Echo servers for the network benchmark.
#include <sys/socket.h>

#include <thread>

#include "bench_net_peers.h"
#include "vlk_net.h"

#ifdef VLK_BENCH_HAVE_ASIO
#include <boost/asio.hpp>
#endif

namespace benchpeers {
namespace {

class TcpEcho : public Cvlk_tcp_server, public Running {
 public:
  TcpEcho() : Cvlk_tcp_server(256, nullptr) {}
  ~TcpEcho() override { stop(); }

 protected:
  void procData(unsigned int nodeId, Cvlk_uaddr, int len, char* data) override {
    if (len > 0) sendTo(nodeId, data, static_cast<unsigned int>(len));
  }
};

class UdpEcho : public Cvlk_udp_server, public Running {
 public:
  UdpEcho() : Cvlk_udp_server(nullptr, 4) {}
  ~UdpEcho() override { stop(); }

 protected:
  int checkData(unsigned int, Cvlk_uaddr, int, char*) override { return 0; }
  void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    SendTo(nodeId, &peer, data, static_cast<unsigned int>(len));
  }
};

#ifdef VLK_BENCH_HAVE_ASIO
namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

class TcpSession : public std::enable_shared_from_this<TcpSession> {
 public:
  explicit TcpSession(tcp::socket s) : m_socket(std::move(s)) {}
  void read() {
    auto self = shared_from_this();
    m_socket.async_read_some(asio::buffer(m_buf), [self](boost::system::error_code ec, std::size_t n) {
      if (ec) return;
      asio::async_write(self->m_socket, asio::buffer(self->m_buf, n),
                        [self](boost::system::error_code wec, std::size_t) {
                          if (!wec) self->read();
                        });
    });
  }

 private:
  tcp::socket m_socket;
  char m_buf[4096];
};

// One io_context on one thread, as a single-thread Asio server is written.
class AsioEcho : public Running {
 public:
  explicit AsioEcho(int type)
      : m_acceptor(m_io), m_udp(m_io), m_guard(asio::make_work_guard(m_io)) {
    if (type == SOCK_STREAM) {
      tcp::endpoint ep(asio::ip::address_v4::loopback(), 0);
      m_acceptor.open(ep.protocol());
      m_acceptor.bind(ep);
      m_acceptor.listen();
      port = m_acceptor.local_endpoint().port();
      accept();
    } else {
      udp::endpoint ep(asio::ip::address_v4::loopback(), 0);
      m_udp.open(ep.protocol());
      m_udp.bind(ep);
      port = m_udp.local_endpoint().port();
      receive();
    }
    m_thread = std::thread([this] { m_io.run(); });
  }
  ~AsioEcho() override {
    m_io.stop();
    m_thread.join();
  }
  unsigned short port = 0;

 private:
  void accept() {
    m_acceptor.async_accept([this](boost::system::error_code ec, tcp::socket s) {
      if (ec) return;
      std::make_shared<TcpSession>(std::move(s))->read();
      accept();
    });
  }
  void receive() {
    m_udp.async_receive_from(asio::buffer(m_buf), m_sender, [this](boost::system::error_code ec, std::size_t n) {
      if (ec) return receive();
      m_udp.async_send_to(asio::buffer(m_buf, n), m_sender, [this](boost::system::error_code, std::size_t) {
        receive();
      });
    });
  }

  asio::io_context m_io;
  tcp::acceptor m_acceptor;
  udp::socket m_udp;
  asio::executor_work_guard<asio::io_context::executor_type> m_guard;
  udp::endpoint m_sender;
  char m_buf[4096];
  std::thread m_thread;
};
#endif

}  // namespace

std::unique_ptr<Running> startOurEcho(int type, unsigned short& port) {
  if (type == SOCK_STREAM) {
    std::unique_ptr<TcpEcho> server(new TcpEcho);
    if (server->bindAnyPort(port) != ERR_OK) return nullptr;
    server->start();
    return server;
  }
  std::unique_ptr<UdpEcho> server(new UdpEcho);
  if (server->bindAnyPort(port, 0, 0) == 0) return nullptr;
  server->start();
  return server;
}

std::unique_ptr<Running> startAsioEcho(int type, unsigned short& port) {
#ifdef VLK_BENCH_HAVE_ASIO
  std::unique_ptr<AsioEcho> peer(new AsioEcho(type));
  port = peer->port;
  return peer;
#else
  (void)type;
  (void)port;
  return nullptr;
#endif
}

}  // namespace benchpeers
