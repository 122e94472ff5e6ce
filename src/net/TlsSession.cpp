#include "net/TlsSession.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>

namespace gw {

namespace {

std::string TakeErrors(int sslError) {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    if (!text.empty()) text += "; ";
    text += buf;
  }
  if (text.empty()) text = "SSL error " + std::to_string(sslError);
  return text;
}

}  // namespace

BIO* TTlsSession::NewBio() {
  BIO* bio = BIO_new(BIO_s_mem());
  // An empty buffer means "no data yet", not end of file.
  if (bio != nullptr) BIO_set_mem_eof_return(bio, -1);
  return bio;
}

TTlsSession::TTlsSession(PTlsContext context) : FContext(std::move(context)) {
  if (!FContext) return;
  SSL* ssl = SSL_new(FContext->Native());
  if (ssl == nullptr) {
    FFailure = TakeErrors(0);
    return;
  }
  BIO* in = NewBio();
  BIO* out = NewBio();
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl);
    FFailure = TakeErrors(0);
    return;
  }
  SSL_set_bio(ssl, in, out);
  SSL_set_accept_state(ssl);
  FSsl = ssl;
  FIn = in;
  FOut = out;
}

TTlsSession::~TTlsSession() { SSL_free(FSsl); }

bool TTlsSession::HandshakeDone() const { return FSsl != nullptr && SSL_is_init_finished(FSsl); }

bool TTlsSession::Feed(const uint8_t* data, size_t size) {
  while (size > 0) {
    int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    int n = BIO_write(FIn, data, chunk);
    if (n <= 0) {
      FFailure = "out of memory for received TLS records";
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  FInPeak = std::max(FInPeak, BIO_ctrl_pending(FIn));
  return true;
}

TTlsReadResult TTlsSession::Read(uint8_t* out, size_t capacity, size_t& got) {
  got = 0;
  ERR_clear_error();
  int chunk = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  int n = SSL_read(FSsl, out, chunk);
  if (n > 0) {
    got = static_cast<size_t>(n);
    return trData;
  }
  int error = SSL_get_error(FSsl, n);
  switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:  // the output buffer grows without bound: not a real wait
      if (FInPeak > kBioKept && BIO_ctrl_pending(FIn) == 0) {
        if (BIO* fresh = NewBio()) {
          SSL_set0_rbio(FSsl, fresh);  // frees the old one
          FIn = fresh;
          FInPeak = 0;
        }
      }
      return trNeedMore;
    case SSL_ERROR_ZERO_RETURN:
      return trClosed;
    default:
      FFailure = TakeErrors(error);
      FFailed = true;
      return trFailed;
  }
}

bool TTlsSession::Write(const uint8_t* data, size_t size) {
  while (size > 0) {
    ERR_clear_error();
    int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    int n = SSL_write(FSsl, data, chunk);
    if (n <= 0) {
      FFailure = TakeErrors(SSL_get_error(FSsl, n));
      FFailed = true;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void TTlsSession::Shutdown() {
  if (!HandshakeDone() || FFailed) return;
  ERR_clear_error();
  SSL_shutdown(FSsl);
  ERR_clear_error();
}

size_t TTlsSession::PendingOutput() const { return FOut != nullptr ? BIO_ctrl_pending(FOut) : 0; }

void TTlsSession::TakeOutput(std::vector<uint8_t>& out) {
  size_t pending = PendingOutput();
  if (pending == 0) return;
  size_t at = out.size();
  out.resize(at + pending);
  int n = BIO_read(FOut, out.data() + at, static_cast<int>(pending));
  out.resize(at + (n > 0 ? static_cast<size_t>(n) : 0));
  if (pending > kBioKept && BIO_ctrl_pending(FOut) == 0) {
    if (BIO* fresh = NewBio()) {
      SSL_set0_wbio(FSsl, fresh);  // frees the old one
      FOut = fresh;
    }
  }
}

}  // namespace gw
