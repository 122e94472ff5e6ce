#include "net/TlsContext.h"

#include "net/KeyFileAccess.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <ctime>

namespace gw {

namespace {

// The reasons OpenSSL queued for the failure just seen, oldest first; clears the queue.
std::string TakeOpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text.empty() ? "unknown error" : text;
}

// A client offering ALPN must be able to speak HTTP/1.1, the only protocol served here;
// one that offers none is served too (RFC 7301 §3.2 leaves that to the server).
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outLen, const unsigned char* in,
               unsigned int inLen, void*) {
  unsigned char* selected = nullptr;
  static const unsigned char kOffer[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  if (SSL_select_next_proto(&selected, outLen, kOffer, sizeof(kOffer), in, inLen) !=
      OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;  // no_application_protocol
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

std::string SubjectOf(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string text(data != nullptr && len > 0 ? data : "", len > 0 ? static_cast<size_t>(len) : 0);
  BIO_free(bio);
  return text;
}

std::string TimeText(const ASN1_TIME* time) {
  tm when{};
  if (ASN1_TIME_to_tm(time, &when) != 1) return "unknown";
  char buf[64];
  std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S UTC", &when);
  return buf;
}

std::string NotAfterOf(X509* cert) { return TimeText(X509_get0_notAfter(cert)); }

// TLS 1.2 suites offered, best first: forward secrecy and AEAD only (no CBC, no SHA-1
// MACs, no static RSA key exchange). ECDSA first, for an ECDSA certificate; OpenSSL skips
// whatever the certificate cannot serve.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";

// The key is read without a terminal: a key that needs a passphrase would otherwise make
// OpenSSL prompt on it, blocking the start (or a reload on the main loop) for good.
int RefusePassphrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

}  // namespace

TTlsContext::~TTlsContext() { SSL_CTX_free(FContext); }

PTlsContext TTlsContext::Load(const std::string& certFile, const std::string& keyFile,
                              std::string& error) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    error = "cannot create a TLS context: " + TakeOpenSslErrors();
    return nullptr;
  }
  auto fail = [&](std::string what) {
    error = std::move(what) + ": " + TakeOpenSslErrors();
    SSL_CTX_free(ctx);
    return nullptr;
  };
  // A refusal of this program's own, with no reason of OpenSSL's to add.
  auto refuse = [&](std::string what) {
    ERR_clear_error();
    error = std::move(what);
    SSL_CTX_free(ctx);
    return nullptr;
  };
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
    return fail("cannot require TLS 1.2 or later");
  }
  // Renegotiation would let a client make the server redo its costliest work at will
  // on an established connection; nothing here needs it.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // No resumption: every client is new to this process after a restart anyway, a cache
  // would only hold memory for clients that reconnect within its lifetime, and a ticket
  // key living as long as the process would undo forward secrecy for every session it
  // sealed. TLS 1.2 tickets need their own option; TLS 1.3 sends none with 0.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(ctx, 0);
  // The server's order wins: a client cannot talk it down to its weakest common suite.
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1) {
    return fail("cannot set the TLS 1.2 cipher suites");
  }
  // The written-out ciphertext is taken from a memory buffer; a record never has to be
  // resent from the same address.
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, nullptr);
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    return fail("cannot read the TLS certificate (chain) file '" + certFile + "'");
  }
  bool passphraseAsked = false;
  SSL_CTX_set_default_passwd_cb(ctx, RefusePassphrase);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, &passphraseAsked);
  const int keyLoaded = SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM);
  // The callback must not outlive this call's local flag.
  SSL_CTX_set_default_passwd_cb(ctx, nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (keyLoaded != 1 && passphraseAsked) {
    return refuse("the TLS private key '" + keyFile +
                  "' is protected by a passphrase, which cannot be entered here: store it "
                  "without one (e.g. openssl pkey -in KEY -out KEY.plain), readable only by "
                  "the gateway's user");
  }
  if (keyLoaded != 1) {
    // The most likely slip of a renewal: the key of another certificate.
    if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
      return fail("the TLS private key '" + keyFile + "' does not belong to the certificate '" +
                  certFile + "'");
    }
    return fail("cannot read the TLS private key file '" + keyFile + "'");
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    return fail("the TLS private key '" + keyFile + "' does not belong to the certificate '" +
                certFile + "'");
  }
  X509* cert = SSL_CTX_get0_certificate(ctx);
  if (cert == nullptr) return fail("no certificate in '" + certFile + "'");
  // Every client would refuse it: better a clear error now than a port nobody can use.
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0) {
    return refuse("the TLS certificate '" + certFile + "' expired on " + NotAfterOf(cert));
  }
  if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0) {
    return refuse("the TLS certificate '" + certFile + "' is not valid before " +
                  TimeText(X509_get0_notBefore(cert)));
  }
  std::vector<std::string> warnings;
  if (std::string open = KeyFileOpenness(keyFile); !open.empty()) {
    warnings.push_back("TLS private key '" + keyFile + "' is not private (" + open +
                       "): make it readable by the gateway's user only (chmod 600)");
  }
  std::string subject = SubjectOf(cert);
  std::string notAfter = NotAfterOf(cert);
  ERR_clear_error();
  return PTlsContext(
      new TTlsContext(ctx, std::move(subject), std::move(notAfter), std::move(warnings)));
}

}  // namespace gw
