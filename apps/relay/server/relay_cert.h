// relay_cert.h: a self-signed certificate for the relay's TLS port, made with
// OpenSSL when the configuration names none.
#ifndef RELAY_CERT_H
#define RELAY_CERT_H

#include <string>

// Makes sure dir holds "relay-cert.pem" and "relay-key.pem" that belong together:
// keeps a pair that is already there and loads, else creates dir (mode 0700) and
// writes a new EC P-256 key and a self-signed certificate for CN=localhost, valid
// for one year. On success certPath and keyPath name the files; on failure err
// says why.
bool RelayEnsureSelfSignedCert(const std::string& dir, std::string& certPath, std::string& keyPath,
                               std::string& err);

// The directory used when the configuration names none: $TMPDIR (or /tmp)
// followed by "/vlk-relay-<uid>".
std::string RelayDefaultCertDir();

#endif  // RELAY_CERT_H
