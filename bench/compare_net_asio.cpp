// Single-thread Boost.Asio echo servers: one io_context on one thread. TCP is
// the usual read→write→read chain per connection (TLS: asio::ssl::stream,
// handshake first); UDP waits for readiness and
// then drains the socket with non-blocking receive/send until it is empty, as
// an Asio user who cares about datagram rates writes it (a receive→send→receive
// chain pays a reactor round per datagram).
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "compare_net.h"

#ifdef VLK_BENCH_HAVE_ASIO
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

namespace netbench {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

// One echo connection: the read→write chain on a plain socket or, after the
// server handshake, on an asio::ssl::stream.
template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
 public:
  template <class... Args>
  explicit Session(Args&&... args) : m_stream(std::forward<Args>(args)...) {}
  void Start() {
    if constexpr (std::is_same<Stream, tcp::socket>::value) {
      Read();
    } else {
      auto self = this->shared_from_this();
      m_stream.async_handshake(asio::ssl::stream_base::server, [self](boost::system::error_code ec) {
        if (!ec) self->Read();
      });
    }
  }

 private:
  void Read() {
    auto self = this->shared_from_this();
    m_stream.async_read_some(asio::buffer(m_buf), [self](boost::system::error_code ec, std::size_t n) {
      if (ec) return;
      asio::async_write(self->m_stream, asio::buffer(self->m_buf, n),
                        [self](boost::system::error_code wec, std::size_t) {
                          if (!wec) self->Read();
                        });
    });
  }

  Stream m_stream;
  char m_buf[4096];
};

class AsioEcho : public EchoServer {
 public:
  AsioEcho(int type, const std::string& tls)
      : m_acceptor(m_io), m_udp(m_io), m_guard(asio::make_work_guard(m_io)) {
    if (!tls.empty()) {
      m_tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
      m_tls->set_options(asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                         asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
      m_tls->use_certificate_chain_file(tls + "/cert.pem");
      m_tls->use_private_key_file(tls + "/key.pem", asio::ssl::context::pem);
    }
    if (type == SOCK_STREAM) {
      tcp::endpoint ep(asio::ip::address_v4::loopback(), 0);
      m_acceptor.open(ep.protocol());
      m_acceptor.set_option(tcp::acceptor::reuse_address(true));
      m_acceptor.bind(ep);
      m_acceptor.listen(asio::socket_base::max_listen_connections);
      m_port = m_acceptor.local_endpoint().port();
      Accept();
    } else {
      udp::endpoint ep(asio::ip::address_v4::loopback(), 0);
      m_udp.open(ep.protocol());
      m_udp.bind(ep);
      m_udp.non_blocking(true);
      m_port = m_udp.local_endpoint().port();
      Receive();
    }
    m_thread = std::thread([this] { m_io.run(); });
  }
  ~AsioEcho() override {
    m_io.stop();
    m_thread.join();
  }
  unsigned short Port() const override { return m_port; }
  bool Drained(std::string& detail) override {
    detail = "asio: no pool to inspect";
    return true;
  }

 private:
  void Accept() {
    m_acceptor.async_accept([this](boost::system::error_code ec, tcp::socket s) {
      if (ec) return;
      if (m_tls) {
        std::make_shared<Session<asio::ssl::stream<tcp::socket>>>(std::move(s), *m_tls)->Start();
      } else {
        std::make_shared<Session<tcp::socket>>(std::move(s))->Start();
      }
      Accept();
    });
  }
  void Receive() {
    m_udp.async_wait(udp::socket::wait_read, [this](boost::system::error_code ec) {
      if (ec) return;
      for (;;) {
        boost::system::error_code rec;
        const std::size_t n = m_udp.receive_from(asio::buffer(m_buf), m_sender, 0, rec);
        if (rec) break;  // would_block: drained
        // A datagram the socket refuses (buffer full) is lost, as on a wire.
        m_udp.send_to(asio::buffer(m_buf, n), m_sender, 0, rec);
      }
      Receive();
    });
  }

  asio::io_context m_io{1};
  std::unique_ptr<asio::ssl::context> m_tls;  // TLS server when set
  tcp::acceptor m_acceptor;
  udp::socket m_udp;
  asio::executor_work_guard<asio::io_context::executor_type> m_guard;
  udp::endpoint m_sender;
  char m_buf[4096];
  unsigned short m_port = 0;
  std::thread m_thread;
};

}  // namespace

std::unique_ptr<EchoServer> StartAsioEcho(int type, const std::string& tls) {
  return std::unique_ptr<EchoServer>(new AsioEcho(type, tls));
}
bool HaveAsio() { return true; }

}  // namespace netbench

#else

namespace netbench {
std::unique_ptr<EchoServer> StartAsioEcho(int, const std::string&) { return nullptr; }
bool HaveAsio() { return false; }
}  // namespace netbench

#endif
