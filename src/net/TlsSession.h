// TTlsSession: the server side of one TLS connection as a byte transformer, with no
// socket of its own: ciphertext read from the socket is fed in, plaintext comes out
// (driving the handshake on the way), plaintext to send goes in and the records to
// write come out. So the connection decides when bytes are read and written (on its
// epoll thread, never blocking), and bytes it has already read (after a PROXY header,
// say) can be fed in like any others.
//
// Thread safety: none; the connection serializes every call with its send lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/TlsContext.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace gw {

enum TTlsReadResult : uint8_t {
  trData,      // plaintext was produced
  trNeedMore,  // nothing (more) to hand up until more ciphertext arrives
  trClosed,    // the peer sent close_notify
  trFailed,    // handshake or record failure (a plain-text client, a bad record, ...)
};

class TTlsSession {
 public:
  // A server session of `context`; Valid() is false when OpenSSL could not make one.
  explicit TTlsSession(PTlsContext context);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  bool Valid() const { return FSsl != nullptr; }
  bool HandshakeDone() const;

  // Ciphertext from the peer; false only when memory runs out.
  bool Feed(const uint8_t* data, size_t size);
  // At most `capacity` bytes of plaintext into `out` (`got` set on trData). Call again
  // until it stops returning trData: one fed chunk may hold several records.
  TTlsReadResult Read(uint8_t* out, size_t capacity, size_t& got);
  // Encrypts `size` bytes of plaintext (after the handshake) into records waiting in the
  // output; false on failure.
  bool Write(const uint8_t* data, size_t size);
  // Queues close_notify (after the handshake; nothing otherwise).
  void Shutdown();

  // Bytes of records waiting to be written to the socket.
  size_t PendingOutput() const;
  // Appends the waiting records to `out` and forgets them.
  void TakeOutput(std::vector<uint8_t>& out);

  // Why the last call failed (OpenSSL's reasons), for a diagnostic line.
  const std::string& FailureText() const { return FFailure; }

 private:
  // A memory buffer keeps the largest size it ever had; one that held more than
  // kBioKept is replaced by a fresh one once empty, so a quiet connection does not keep
  // the memory of its biggest burst.
  static constexpr size_t kBioKept = 16 * 1024 + 512;
  static BIO* NewBio();

  PTlsContext FContext;  // kept while the session lives
  SSL* FSsl = nullptr;
  BIO* FIn = nullptr;   // owned by FSsl
  BIO* FOut = nullptr;  // owned by FSsl
  size_t FInPeak = 0;   // most bytes FIn held at once since it was made
  std::string FFailure;
  bool FFailed = false;  // a fatal error was met: no close_notify may follow
};

}  // namespace gw
