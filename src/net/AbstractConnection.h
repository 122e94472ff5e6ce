// TAbstractConnection: one accepted TCP connection of the socket engine. It owns the
// socket, the addresses, the status, the user slots and the send queue, and runs the
// event discipline the layers above rely on:
//  - its bytes are read and handed up (HandleReceived) only by its own I/O thread,
//    one chunk of at most 32,768 bytes at a time, in order; a connection from a load
//    balancer first passes its PROXY header stage, which replaces the peer address and
//    hands on whatever follows the header;
//  - sends go out in call order; a send is written at once on the caller's thread
//    when nothing is queued, otherwise queued and finished on write readiness; sends
//    made while the I/O thread hands bytes up are gathered and written with one
//    system call when the chunk is done; the callback runs once the last byte went;
//  - with TLS (StartTls), the bytes read are ciphertext: they are decrypted under the
//    send lock (which thus also serializes every use of the TLS session) and the
//    plaintext is handed up as above; queued sends stay plaintext and are encrypted
//    when written, a batch at a time, so the queue bound still counts what waits,
//    and a send's callback still runs once its last byte (as ciphertext) went;
//  - Close runs its work once (status exchange); the close notification runs on the
//    calling thread, or, when a handler of this connection runs at that moment (see
//    THandlerScope), on the handler's thread right after it returns, so handlers and
//    the close notification never overlap and no handler starts after it.
//
// Thread safety: Close, Disconnect, the sends and every accessor are safe from any
// thread. HandleReceived and the event callbacks run on the owning I/O thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/ConnectionGuard.h"
#include "net/IWebSocketConnection.h"
#include "net/IoEventThread.h"
#include "net/ProxyHeaderStage.h"
#include "net/SocketApi.h"
#include "net/SocketTypes.h"
#include "net/TlsSession.h"

namespace gw {

class TSocketServer;

class TAbstractConnection : public TIoTarget,
                            public IAdmittedConnection,
                            public std::enable_shared_from_this<TAbstractConnection> {
 public:
  TAbstractConnection(TSocketServer& owner, int socket, TConnectType connectType);
  virtual ~TAbstractConnection();  // closes the socket if still open
  TAbstractConnection(const TAbstractConnection&) = delete;
  TAbstractConnection& operator=(const TAbstractConnection&) = delete;

  uint64_t UID() const { return FUID; }
  const std::string& PeerAddrText() const { return FPeerAddr; }
  uint16_t PeerPort() const { return FPeerPort; }
  // The local end, asked of the socket when wanted (rarely: it is the listener's address,
  // not worth keeping per connection); empty / 0 once the socket is released.
  std::string LocalAddr() const;
  uint16_t LocalPort() const;
  TConnectType ConnectType() const { return FConnectType; }
  // The socket while the connection is open (for socket options); -1 once released.
  int Socket() const {
    std::lock_guard<std::mutex> guard(FSendLock);
    return FSocket;
  }
  TConnectStatus ConnectStatus() const { return FConnectStatus.load(); }
  bool IsClosed() const { return FConnectStatus.load() == csClosed; }

  // IAdmittedConnection: what a connection guard sees of it.
  uint64_t AdmittedUID() const override { return FUID; }
  const std::string& AdmittedAddr() const override { return FPeerAddr; }
  bool CloseAdmitted() override {
    if (IsClosed()) return false;
    CloseConnection();
    return true;
  }

  void* UserData() const { return FUserData.load(); }
  void SetUserData(void* data) { FUserData.store(data); }

  // Closes now: pending sends report false, the socket is released, the layer above
  // is told once. Safe from any thread, any number of times.
  void CloseConnection();
  // Shuts the socket down both ways; the read then ends and closes the connection on
  // its I/O thread.
  void Disconnect();

  // One send: `head` (copied, at most 14 bytes) then `count` bytes at `data` (kept by
  // the caller until the callback) or the bytes of `owned` when `data` is null. `last`:
  // nothing may follow it (a WebSocket close frame); later sends fail. A send that
  // would take the queued bytes past MaxQueuedBytes fails (its callback reports false
  // and nothing of it is written) and SendQueueFull runs; a last send is exempt.
  void Send(const uint8_t* head, size_t headLen, const uint8_t* data, size_t count,
            std::vector<uint8_t> owned, TWsSendCallback callback, bool last = false);
  // Bound on bytes waiting in the send queue (0: none); set before the connection is
  // registered.
  void SetMaxQueuedBytes(size_t bytes) { FMaxQueuedBytes = bytes; }
  size_t MaxQueuedBytes() const { return FMaxQueuedBytes; }
  // Writes `bytes` at once if nothing is queued and the socket takes them all; false
  // otherwise (nothing written then only when the queue was busy).
  bool SendNow(const std::string& bytes);

  // Engine internals, called by the server and the I/O thread.
  void Attach(TIoEventThread* thread);
  // Makes the connection speak TLS as the server; before it is registered.
  void StartTls(std::unique_ptr<TTlsSession> session) {
    FTls = std::make_unique<TTlsState>();
    FTls->Session = std::move(session);
  }
  bool IsTls() const { return FTls != nullptr; }
  TIoEventThread* Thread() const { return FThread; }
  // Starts watching the socket on its I/O thread (epoll ADD; on Windows: joins the thread's
  // completion port and arms the first zero-length receive) unless already closed.
  bool RegisterWithThread();
  void ReadAddresses();
  // The connection comes from a load balancer: its first bytes are a PROXY header, and
  // the client's address it carries replaces the peer address. Before registration.
  void ExpectProxyHeader() { FProxyStage = std::make_unique<TProxyHeaderStage>(); }
  // Whether the PROXY header is still awaited; owning I/O thread.
  bool AwaitingProxyHeader() const { return FProxyStage != nullptr; }
  void MarkConnected() {
    TConnectStatus expected = csConnecting;
    FConnectStatus.compare_exchange_strong(expected, csConnected);
  }
  void ReleaseSocket();  // on the owning thread, after the close

  // The admission deadline (see IConnectionGuard): armed at accept, cleared once the
  // layer above has admitted the client; a cleared deadline never fires. Any thread.
  void ArmAdmissionDeadline(uint64_t dueMs) {
    FAdmissionDueMs.store(dueMs);
    FDeadlineArmed.store(true);
  }
  void ClearAdmissionDeadline() { FDeadlineArmed.store(false); }
  bool AdmissionDeadlineArmed() const { return FDeadlineArmed.load(); }
  // The step deadline: the PROXY header, the TLS handshake and the HTTP request each have
  // a fixed time (whatever the admission deadline says, which may be none): the next step's
  // is armed when one ends, and the protocol switch clears it. Any thread.
  void ArmStepDeadline(uint32_t ms);
  void ClearStepDeadline() { FStepDueMs.store(0); }
  // On the owning I/O thread when one of its deadlines comes due: reports and closes, if
  // that deadline is still armed and due.
  void AdmissionDeadlinePassed();
  // A TLS connection whose handshake finished; owning I/O thread.
  bool TlsEstablished() const { return FTls != nullptr && FTls->Established.load(); }
  // How far the connection got; on the owning I/O thread.
  virtual TAdmissionStage AdmissionStage() const {
    if (FProxyStage) return asProxyHeader;
    if (!FReceivedAny) return asNothingSent;
    return FTls && !FTls->Established.load() ? asTlsHandshake : asHeader;
  }
  // The guard admitted it, so it must hear of its close (see TakeGuardRelease). False
  // when the connection was removed first (a proxied connection is admitted on its I/O
  // thread while another thread may close it): the caller then gives the place back.
  bool SetGuardAdmitted() {
    uint8_t expected = gsNone;
    return FGuardState.compare_exchange_strong(expected, gsAdmitted);
  }
  // At removal: true exactly once for an admitted connection (report it to the guard).
  bool TakeGuardRelease() { return FGuardState.exchange(gsReleased) == gsAdmitted; }
  // Sends a close frame saying the server is going away where the protocol has one,
  // otherwise closes; the server's graceful stop. Any thread.
  virtual void CloseGoingAway() { CloseConnection(); }
  void ReadReady(TIoEventThread& thread);
  void OnIoEvents(uint32_t events, TIoEventThread& thread) override;
  // Windows: the overlapped send completed (`ok`: every byte went); the queue goes on.
  void WriteCompleted(bool ok, TIoEventThread& thread);

 protected:
  // Bytes read from the socket, past the first-bytes stages, on the owning I/O thread.
  virtual void HandleReceived(const uint8_t* data, size_t size);
  // The connection as send callbacks see it (null for a plain engine connection).
  virtual PWebSocketConnection CallbackTarget() { return nullptr; }
  // A send was refused at MaxQueuedBytes; runs on the sender's thread, no lock held.
  // The engine closes the connection.
  virtual void SendQueueFull() { CloseConnection(); }
  // The admission deadline passed: the connection is refused by policy.
  virtual void CloseRefused() { CloseConnection(); }
  // Runs `task` on the connection's I/O thread after `delay` (not at all when the
  // connection was never given a thread or the thread ends first).
  void PostAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    if (FThread != nullptr) FThread->PostAfter(delay, std::move(task));
  }

  TSocketServer& Owner() const { return FOwner; }
  // Messages handed up from the current read of the socket (one drain); owning I/O thread.
  uint32_t CountDrainMessage() { return ++FDrainMessages; }
  uint32_t DrainMessages() const { return FDrainMessages; }
  // True on the I/O thread the connection is pinned to (or before it is pinned, as
  // in tests that drive a connection by hand); checked by assertions only.
  bool OnOwnThread() const { return FThread == nullptr || FThread->IsCurrent(); }

  // Marks a handler of the layer above as running on this thread for its lifetime.
  // Entered() is false when the connection is already closed: the handler must not run.
  class THandlerScope {
   public:
    explicit THandlerScope(TAbstractConnection& connection)
        : FConnection(connection), FEntered(connection.BeginHandler()) {}
    ~THandlerScope() {
      if (FEntered) FConnection.EndHandler();
    }
    THandlerScope(const THandlerScope&) = delete;
    THandlerScope& operator=(const THandlerScope&) = delete;
    bool Entered() const { return FEntered; }

   private:
    TAbstractConnection& FConnection;
    const bool FEntered;
  };

 private:
  struct TSendItem {
    uint8_t Head[14];
    uint8_t HeadLen = 0;
    uint8_t HeadDone = 0;
    const uint8_t* Data = nullptr;
    size_t Count = 0;
    size_t DataDone = 0;
    std::vector<uint8_t> Owned;
    TWsSendCallback Callback;
  };

  // Writes queued items; completed callbacks and a close on failure run after the lock.
  void FlushSends();
  // The first-bytes path: the PROXY header stage when one is expected, then TLS on a TLS
  // port, then HandleReceived. `scratch` takes decrypted bytes (it may be the buffer
  // `data` lies in). False: close the connection. Owning I/O thread.
  bool DeliverReceived(const uint8_t* data, size_t size, uint8_t* scratch, size_t scratchSize);
  void SetPeerAddress(const sockaddr_storage& addr);
  // Writes from `iov` (with FSendLock held): straight to the socket, or through TLS.
  // Returns the plaintext bytes that went, or -1 with errno (EAGAIN: nothing went).
  ssize_t WriteOut(TIoVec* iov, int count, size_t total);
  ssize_t WriteTls(const TIoVec* iov, int count, size_t total);
  // One gathered write to the socket (FSendLock held): the bytes that went, or -1 with
  // errno (EAGAIN: nothing went; the rest waits for write readiness). On Windows what the
  // socket does not take at once goes out as one overlapped send of a copy, whose
  // completion stands for write readiness; while it is in flight nothing else is written.
  ssize_t WriteVector(TIoVec* iov, int count);
  // After a drain: watch for the next bytes (Windows: a new zero-length receive; Linux:
  // nothing, the registration is edge-triggered). False: the connection must close.
  bool RearmRead();
  enum TTlsDrain : uint8_t { tdDrained, tdBlocked, tdFailed };
  // Writes what FTls->Out holds (FSendLock held).
  TTlsDrain DrainTlsOut();
  // Decrypts `size` bytes read from the socket (any bytes of the stream, e.g. the rest of
  // a chunk after a PROXY header) and hands the plaintext up, decrypted into `scratch`
  // (which may be the buffer `data` lies in: the ciphertext is copied in first); false:
  // close the connection. Owning I/O thread.
  bool ReceiveTls(const uint8_t* data, size_t size, uint8_t* scratch, size_t scratchSize);
  // Queues close_notify and writes what it can without waiting (FSendLock held).
  void SayTlsGoodbye();
  bool BeginHandler();
  void EndHandler();
  void FireCloseNotification();
  void NotifyDisconnected();  // the layer above's close notification, exceptions logged

  // TLS state, apart so a plain connection pays one pointer for it.
  struct TTlsState {
    std::unique_ptr<TTlsSession> Session;
    // Records the session produced that the socket has not taken yet. OutPlain counts the
    // plaintext at the head of the send queue those records carry; it is reported written
    // once they all went. New plaintext is encrypted only when Out is empty, so Out stays
    // within one batch (plus handshake and alert records).
    std::vector<uint8_t> Out;
    size_t OutDone = 0;
    size_t OutPlain = 0;
    std::atomic<bool> Established{false};  // the handshake finished (read without the lock)
  };
  enum : uint8_t { gsNone, gsAdmitted, gsReleased };

  // Wide members first and the small ones packed together at the end: an idle server
  // holds one of these per client.
  TSocketServer& FOwner;
  const uint64_t FUID;
  TIoEventThread* FThread = nullptr;  // set before the connection is registered
  std::string FPeerAddr;
  std::atomic<void*> FUserData{nullptr};

  // Guards FSocket's use for writing/closing, the send queue, FTls, FHandlerThread and
  // FCloseNotifyPending. One lock per connection is enough: it is held only briefly and
  // never while a callback or a handler of the layer above runs.
  mutable std::mutex FSendLock;
  size_t FQueuedBytes = 0;     // bytes of FSendQueue not yet written
  size_t FMaxQueuedBytes = 0;  // 0: no bound
  std::vector<TSendItem> FSendQueue;
  size_t FSendHead = 0;
  std::unique_ptr<TTlsState> FTls;  // null on a plain connection
  // I/O thread only (set before registration): the PROXY header still awaited.
  std::unique_ptr<TProxyHeaderStage> FProxyStage;
  std::thread::id FHandlerThread{};  // where a handler runs now, if any

  int FSocket;
  uint32_t FDrainMessages = 0;  // I/O thread only: see CountDrainMessage
  uint16_t FPeerPort = 0;
  const TConnectType FConnectType;
  std::atomic<TConnectStatus> FConnectStatus{csConnecting};
  bool FClosedForSend = false;
  bool FSendSealed = false;               // a last send was queued or written: nothing may follow
  std::atomic<bool> FSendPending{false};  // queue or TLS records waiting (hint for write readiness)
  std::atomic<bool> FCorked{false};       // the I/O thread is handing bytes up
  // I/O thread only: the peer's end of stream (or an error) was signalled, so reads go
  // on to the end instead of stopping at a short read: no further edge will come.
  bool FPeerHangup = false;
  bool FReceivedAny = false;  // I/O thread only: a byte has arrived
  std::atomic<bool> FDeadlineArmed{false};
  std::atomic<uint64_t> FAdmissionDueMs{0};
  std::atomic<uint64_t> FStepDueMs{0};  // 0: no step deadline
  std::atomic<uint8_t> FGuardState{gsNone};
  bool FCloseNotifyPending = false;
  bool FWriteInFlight = false;  // Windows, under FSendLock: an overlapped send is pending
};

using PAbstractConnection = std::shared_ptr<TAbstractConnection>;

}  // namespace gw
