// TTlsContext: one server certificate (with its chain) and private key, loaded from PEM
// files into an OpenSSL server context: TLS 1.2 and 1.3, ALPN "http/1.1", no
// renegotiation, no resumption (no session cache, no tickets: every client does a full
// handshake). TLS 1.2 offers only forward-secret AEAD suites (ECDHE with AES-GCM or
// ChaCha20-Poly1305), in the server's order of preference; TLS 1.3 suites are all AEAD.
// A certificate outside its validity period is refused, a key that needs a passphrase is
// a load error (never a prompt), and a key readable by other users gives a warning.
// A loaded context never changes; a new certificate is a new context, which the socket
// server hands to the connections accepted after it (live ones keep theirs).
//
// Thread safety: Load is a pure function; a loaded context may be shared by any number
// of threads (sessions are made from it with SSL_new, which OpenSSL allows concurrently).
#pragma once

#include <memory>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace gw {

class TTlsContext;
using PTlsContext = std::shared_ptr<const TTlsContext>;

class TTlsContext {
 public:
  // Loads `certFile` (PEM, the server certificate first, then its chain, sent whole) and
  // `keyFile` (PEM private key matching it). On failure: null, and `error` says which
  // file and why, with OpenSSL's own reason.
  static PTlsContext Load(const std::string& certFile, const std::string& keyFile,
                          std::string& error);

  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  SSL_CTX* Native() const { return FContext; }
  // The certificate's subject (one line, RFC 2253) and its expiry ("notAfter", as
  // "2027-03-01 12:00:00 UTC"), for the log.
  const std::string& Subject() const { return FSubject; }
  const std::string& NotAfter() const { return FNotAfter; }
  // Doubts about a pair that still loaded (a key file readable by others), one line each,
  // for the caller's log.
  const std::vector<std::string>& Warnings() const { return FWarnings; }

 private:
  TTlsContext(SSL_CTX* context, std::string subject, std::string notAfter,
              std::vector<std::string> warnings)
      : FContext(context),
        FSubject(std::move(subject)),
        FNotAfter(std::move(notAfter)),
        FWarnings(std::move(warnings)) {}

  SSL_CTX* const FContext;  // owned
  const std::string FSubject;
  const std::string FNotAfter;
  const std::vector<std::string> FWarnings;
};

}  // namespace gw
