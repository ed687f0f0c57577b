// echo: a TLS line-echo server with a UDP echo beside it. The certificate is a
// self-signed one made at start. Prints the two ports, then serves until
// SIGINT or SIGTERM. Usage: vlk-echo [TLS_PORT [UDP_PORT]] (0 or none: any free port)
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <vlk2.h>

// Writes a new key and a self-signed certificate for CN=localhost into dir.
static bool MakeSelfSignedCert(const std::string& dir) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) return false;
  X509_set_version(cert.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_set_pubkey(cert.get(), key.get()) != 1 || X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return false;
  FILE* k = std::fopen((dir + "/key.pem").c_str(), "w");
  FILE* c = std::fopen((dir + "/cert.pem").c_str(), "w");
  bool ok = k && c && PEM_write_PrivateKey(k, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
            PEM_write_X509(c, cert.get()) == 1;
  if (k) std::fclose(k);
  if (c) std::fclose(c);
  return ok;
}

// [guide:tcpserver]
// Echoes every complete line back to its connection. procData runs on the
// server's thread; the partial lines are that thread's alone.
class LineEcho : public Cvlk_tcp_server {
 public:
  static constexpr unsigned int kMaxConn = 64, kMaxLine = 1024;
  LineEcho() : Cvlk_tcp_server(kMaxConn, nullptr) {}
  ~LineEcho() override { stop(); }  // end the loop before this class's part goes
  // sendTo is protected: the derived class opens what its users need. Any thread.
  EerrNo Send(unsigned int nodeId, const char* text) { return sendTo(nodeId, text, std::strlen(text)); }

 protected:
  void procData(unsigned int nodeId, Cvlk_uaddr, int len, char* data) override {
    Line& line = m_lines[(nodeId & 0xFFFF) % kMaxConn];  // low 16 bits: the node's slot
    for (int i = 0; i < len; ++i) {
      line.text[line.len++] = data[i];
      if (data[i] == '\n' || line.len == kMaxLine) {  // a too long line goes out in pieces
        sendTo(nodeId, line.text, line.len);
        line.len = 0;
      }
    }
  }
  void ioClosed(unsigned int nodeId) override { m_lines[(nodeId & 0xFFFF) % kMaxConn].len = 0; }

 private:
  struct Line {
    char text[kMaxLine];
    unsigned int len = 0;
  };
  Line m_lines[kMaxConn];
};
// [/guide:tcpserver]

// [guide:udpserver]
class DatagramEcho : public Cvlk_udp_server {
 public:
  DatagramEcho() : Cvlk_udp_server(nullptr, 4) {}
  ~DatagramEcho() override { stop(); }

 protected:
  int checkData(unsigned int, Cvlk_uaddr, int, char*) override { return 0; }  // 0: on to procData
  void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    SendTo(nodeId, &peer, data, static_cast<unsigned int>(len));
  }
};
// [/guide:udpserver]

int main(int argc, char** argv) {
  unsigned short tlsPort = argc > 1 ? static_cast<unsigned short>(std::atoi(argv[1])) : 0;
  unsigned short udpPort = argc > 2 ? static_cast<unsigned short>(std::atoi(argv[2])) : 0;
  char dir[] = "/tmp/vlk-echo-XXXXXX";
  if (mkdtemp(dir) == nullptr || !MakeSelfSignedCert(dir)) {
    std::fprintf(stderr, "cannot make a certificate\n");
    return 1;
  }
  const std::string cert = std::string(dir) + "/cert.pem", key = std::string(dir) + "/key.pem";

  // [guide:start]
  // The signals are taken by sigwait below: block them before any thread starts.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  LineEcho tls;
  DatagramEcho udp;
  // TLS connections only, once the handshake is done; emitted on the server thread.
  QObject::connect(&tls, &Cvlk_tcp_server::sigNewConnection,
                   [&tls](int nodeId) { tls.Send(static_cast<unsigned int>(nodeId), "hello from vlk-echo\n"); });
  bool ok = tls.startTLS(cert.c_str(), key.c_str()) == ERR_OK &&  // TLS first, then bind
            (tlsPort != 0 ? tls.bind(tlsPort) : tls.bindAnyPort(tlsPort)) == ERR_OK &&
            (udpPort != 0 ? udp.Bind(udpPort, 0, 0) : udp.bindAnyPort(udpPort, 0, 0)) != 0;
  if (ok) {
    tls.start();
    udp.start();
    std::printf("tls port %u udp port %u\n", tlsPort, udpPort);
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stopSignals, &sig);
  }
  udp.stop();  // each stop ends the loop, closes every socket and joins the thread
  tls.stop();
  // [/guide:start]
  unlink(cert.c_str());
  unlink(key.c_str());
  rmdir(dir);
  return ok ? 0 : 1;
}
