// Self-signed certificate generation for the relay's TLS port.
#include "relay_cert.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

std::string OpenSslError(const char* what) {
  std::string text = what;
  unsigned long code = ERR_get_error();
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    text += ": ";
    text += buf;
  }
  ERR_clear_error();
  return text;
}

// True when the two files load and the key matches the certificate.
bool PairLoads(const std::string& cert, const std::string& key) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return false;
  bool ok = SSL_CTX_use_certificate_file(ctx, cert.c_str(), SSL_FILETYPE_PEM) > 0 &&
            SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) > 0 &&
            SSL_CTX_check_private_key(ctx) == 1;
  SSL_CTX_free(ctx);
  ERR_clear_error();
  return ok;
}

bool WritePem(const std::string& path, EVP_PKEY* key, X509* cert, std::string& err) {
  BIO* bio = BIO_new_file(path.c_str(), "w");
  if (bio == nullptr) {
    err = OpenSslError(("cannot write " + path).c_str());
    return false;
  }
  bool ok = key ? PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                : PEM_write_bio_X509(bio, cert) == 1;
  BIO_free(bio);
  if (!ok) err = OpenSslError(("cannot write " + path).c_str());
  return ok;
}

bool MakePair(const std::string& certPath, const std::string& keyPath, std::string& err) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) {
    err = OpenSslError("cannot generate a key");
    return false;
  }
  X509* cert = X509_new();
  bool ok = cert != nullptr;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("vlk-relay"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    ok = X509_set_pubkey(cert, key) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
    if (!ok) err = OpenSslError("cannot sign the certificate");
  } else {
    err = OpenSslError("cannot create a certificate");
  }
  if (ok) {
    // The key file is private to the user from its creation on.
    mode_t old = umask(077);
    ok = WritePem(keyPath, key, nullptr, err);
    umask(old);
  }
  if (ok) ok = WritePem(certPath, nullptr, cert, err);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace

std::string RelayDefaultCertDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
  dir += "/vlk-relay-" + std::to_string(static_cast<unsigned long>(getuid()));
  return dir;
}

bool RelayEnsureSelfSignedCert(const std::string& dir, std::string& certPath, std::string& keyPath,
                               std::string& err) {
  if (dir.empty()) {
    err = "no directory for the certificate";
    return false;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    err = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    err = dir + " is not a directory";
    return false;
  }
  certPath = dir + "/relay-cert.pem";
  keyPath = dir + "/relay-key.pem";
  if (PairLoads(certPath, keyPath)) return true;
  if (!MakePair(certPath, keyPath, err)) return false;
  if (!PairLoads(certPath, keyPath)) {
    err = "the new certificate does not load";
    return false;
  }
  return true;
}
