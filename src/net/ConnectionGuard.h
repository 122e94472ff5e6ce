// IConnectionGuard: what the socket server asks of a protection layer above it. The
// server consults it right after accept, before the connection object exists and before
// any byte is read; tells it when an admitted connection is built and when it closes
// (whatever its step); and enforces the admission deadline it names: a connection that
// has not been cleared (TAbstractConnection::ClearAdmissionDeadline) when its deadline
// passes is reported here and then closed by its I/O thread. The guard sees an admitted
// connection only as an IAdmittedConnection: which one, from where, and how to end it.
//
// Thread safety: every operation may be called from any I/O thread at the same time, and
// ConnectionClosed also from any thread that closes a connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace gw {

// An admitted connection as a guard holds it (to close it when its address is blocked
// later). Every operation is safe from any thread.
class IAdmittedConnection {
 public:
  virtual ~IAdmittedConnection() = default;
  virtual uint64_t AdmittedUID() const = 0;
  // The peer's address as text (as AdmitConnection was given it).
  virtual const std::string& AdmittedAddr() const = 0;
  // Closes the connection unless it is closed already; true when it was open.
  virtual bool CloseAdmitted() = 0;
};

// How far a connection got when its admission deadline passed.
enum TAdmissionStage : uint8_t {
  asNothingSent,   // not a byte since the accept
  asHeader,        // its HTTP request (the upgrade) is still arriving
  asUnanswered,    // upgraded, but the gateway's check was not passed
  asProxyHeader,   // from a balancer, and its PROXY header is still arriving
  asTlsHandshake,  // on a TLS port: bytes came, the TLS handshake did not finish
};

class IConnectionGuard {
 public:
  virtual ~IConnectionGuard() = default;

  // False refuses the connection: its socket is closed at once. True holds a place for
  // the address that ConnectionClosed gives back.
  virtual bool AdmitConnection(const std::string& PeerAddr) = 0;
  // The admitted connection exists (so it can be closed when its address is blocked).
  virtual void ConnectionOpened(const std::shared_ptr<IAdmittedConnection>& Connection) = 0;
  // Once per admitted connection, on the thread that closed it.
  virtual void ConnectionClosed(const std::string& PeerAddr, uint64_t UID) = 0;
  // Milliseconds from the accept within which the connection must be cleared; 0: none.
  virtual uint32_t AdmissionTimeoutMs() const = 0;
  // The deadline passed; on the connection's I/O thread, which closes it right after.
  virtual void AdmissionTimedOut(const std::string& PeerAddr, TAdmissionStage Stage) = 0;
};

using PConnectionGuard = std::shared_ptr<IConnectionGuard>;

}  // namespace gw
