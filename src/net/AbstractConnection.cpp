#include "net/AbstractConnection.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <exception>
#include <span>

#include "common/PeerLimits.h"
#include "net/NetDiagLog.h"
#include "net/SockAddrText.h"
#include "net/SocketApi.h"
#include "net/SocketServer.h"

namespace gw {

namespace {

// A flooding peer yields its thread to the others after this many full chunks.
constexpr int kMaxChunksPerTurn = 8;
constexpr int kMaxIov = 64;
// Plaintext encrypted in one go: four full records. Small enough that the records
// waiting for the socket stay a short buffer, large enough for few system calls.
constexpr size_t kTlsBatch = 4 * 16384;
// Capacity of the pending-records buffer a connection keeps once it is empty: enough for
// game-sized messages; a connection that once sent a big batch gives the rest back, so
// thousands of quiet clients do not each hold a batch's worth.
constexpr size_t kTlsOutKept = 4096;

bool IsTransient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// The callbacks of finished sends, kept until the send lock is released.
class TFinishedCallbacks {
 public:
  void Add(TWsSendCallback callback) {
    if (FCount < FInline.size()) {
      FInline[FCount++] = std::move(callback);
    } else {
      FMore.push_back(std::move(callback));
    }
  }
  bool Empty() const { return FCount == 0; }
  void Run(const PWebSocketConnection& target, bool ok) {
    for (size_t i = 0; i < FCount; ++i) FInline[i](target, ok);
    for (TWsSendCallback& callback : FMore) callback(target, ok);
  }

 private:
  std::array<TWsSendCallback, 8> FInline;
  size_t FCount = 0;
  std::vector<TWsSendCallback> FMore;
};

}  // namespace

TAbstractConnection::TAbstractConnection(TSocketServer& owner, int socket, TConnectType connectType)
    : FOwner(owner), FUID(NewSocketUID(skConnection)), FSocket(socket), FConnectType(connectType) {}

TAbstractConnection::~TAbstractConnection() {
  if (FSocket >= 0) SocketClose(FSocket);
}

void TAbstractConnection::Attach(TIoEventThread* thread) { FThread = thread; }

void TAbstractConnection::ReadAddresses() {
  sockaddr_storage addr{};
  if (SocketPeerAddress(FSocket, addr)) SockAddrText(addr, FPeerAddr, FPeerPort);
}

namespace {

void LocalAddress(int socket, std::string& text, uint16_t& port) {
  sockaddr_storage addr{};
  if (SocketLocalAddress(socket, addr)) SockAddrText(addr, text, port);
}

}  // namespace

std::string TAbstractConnection::LocalAddr() const {
  std::lock_guard<std::mutex> guard(FSendLock);
  std::string text;
  uint16_t port = 0;
  LocalAddress(FSocket, text, port);
  return text;
}

uint16_t TAbstractConnection::LocalPort() const {
  std::lock_guard<std::mutex> guard(FSendLock);
  std::string text;
  uint16_t port = 0;
  LocalAddress(FSocket, text, port);
  return port;
}

void TAbstractConnection::ReleaseSocket() {
  std::lock_guard<std::mutex> guard(FSendLock);
  if (FSocket >= 0) {
    SocketClose(FSocket);  // also leaves the epoll instance, or cancels what is in flight
    FSocket = -1;
  }
}

void TAbstractConnection::HandleReceived(const uint8_t* data, size_t size) {
  (void)data;
  (void)size;
}

bool TAbstractConnection::DeliverReceived(const uint8_t* data, size_t size, uint8_t* scratch,
                                          size_t scratchSize) {
  if (FProxyStage) {
    std::span<const uint8_t> rest;
    const TProxyHeaderStage::TResult result = FProxyStage->Feed({data, size}, rest);
    if (result == TProxyHeaderStage::prsWaiting) return true;
    if (result == TProxyHeaderStage::prsRelayed) SetPeerAddress(FProxyStage->Source());
    FProxyStage.reset();
    if (!FOwner.ProxyHeaderDone(*this, result)) return true;  // closed already
    ArmStepDeadline(FTls ? limits::kTlsHandshakeWaitMs : FOwner.RequestWaitMs());
    // The client's first bytes (its TLS hello, or its request) may have come in the
    // same read as the header.
    data = rest.data();
    size = rest.size();
    if (size == 0) return true;
  }
  FReceivedAny = true;
  if (FTls) return ReceiveTls(data, size, scratch, scratchSize);
  HandleReceived(data, size);
  return true;
}

void TAbstractConnection::SetPeerAddress(const sockaddr_storage& addr) {
  // An IPv4 client relayed by a balancer listening on IPv6 arrives as ::ffff:a.b.c.d;
  // block lists and per-address limits know it by its IPv4 text.
  sockaddr_storage plain = addr;
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
  if (addr.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
    plain = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&plain);
    v4->sin_family = AF_INET;
    v4->sin_port = v6->sin6_port;
    std::memcpy(&v4->sin_addr, v6->sin6_addr.s6_addr + 12, 4);
  }
  SockAddrText(plain, FPeerAddr, FPeerPort);
}

bool TAbstractConnection::BeginHandler() {
  std::lock_guard<std::mutex> guard(FSendLock);
  if (IsClosed()) return false;
  FHandlerThread = std::this_thread::get_id();
  return true;
}

void TAbstractConnection::EndHandler() {
  bool notify;
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    FHandlerThread = std::thread::id{};
    notify = FCloseNotifyPending;
    FCloseNotifyPending = false;
  }
  if (notify) NotifyDisconnected();
}

void TAbstractConnection::FireCloseNotification() {
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    if (FHandlerThread != std::thread::id{} && FHandlerThread != std::this_thread::get_id()) {
      FCloseNotifyPending = true;  // the handler's thread runs it when the handler returns
      return;
    }
  }
  NotifyDisconnected();
}

void TAbstractConnection::NotifyDisconnected() {
  // Runs inside a handler scope's destructor, inside Stop's bulk close or on a worker:
  // a close handler's exception must neither end the process nor skip the closes of
  // the other connections.
  TNetDiagLog::RunGuarded("TIocpSocketEngine", [this] { FOwner.NotifyDisconnected(*this); });
}

void TAbstractConnection::CloseConnection() {
  if (FConnectStatus.exchange(csClosed) == csClosed) return;
  PAbstractConnection self = shared_from_this();
  std::vector<TSendItem> unfinished;
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    FClosedForSend = true;
    if (FSendHead < FSendQueue.size()) {
      unfinished.reserve(FSendQueue.size() - FSendHead);
      for (size_t i = FSendHead; i < FSendQueue.size(); ++i) {
        unfinished.push_back(std::move(FSendQueue[i]));
      }
    }
    FSendQueue.clear();
    FSendQueue.shrink_to_fit();
    FSendHead = 0;
    FQueuedBytes = 0;
    FSendPending.store(false);
    if (FSocket >= 0) {
      if (FTls) SayTlsGoodbye();
      SocketShutdown(FSocket);  // the peer learns at once
    }
  }
  // The socket is closed on its own I/O thread, which may still hold its pointer.
  if (FThread != nullptr) {
    FThread->Retire(self);
  } else {
    ReleaseSocket();
  }
  FOwner.ConnectionRemoved(*this);
  if (!unfinished.empty()) {
    PWebSocketConnection target = CallbackTarget();
    for (TSendItem& item : unfinished) {
      if (item.Callback) item.Callback(target, false);
    }
  }
  FireCloseNotification();
}

void TAbstractConnection::ArmStepDeadline(uint32_t ms) {
  if (ms == 0 || FThread == nullptr) {
    FStepDueMs.store(0);
    return;
  }
  const uint64_t due = TIoEventThread::MonotonicMs() + ms;
  FStepDueMs.store(due);
  FThread->AddDeadline(due, UID());
}

void TAbstractConnection::AdmissionDeadlinePassed() {
  if (IsClosed()) return;
  // Both deadlines share the thread's heap; a due entry may belong to either, or to one
  // re-armed since (which is then not due yet).
  const uint64_t now = TIoEventThread::MonotonicMs();
  uint64_t step = FStepDueMs.load();
  if (step != 0 && now >= step && FStepDueMs.compare_exchange_strong(step, 0)) {
    FOwner.StepTimedOut(*this);
    CloseRefused();
    return;
  }
  if (now < FAdmissionDueMs.load() || !FDeadlineArmed.exchange(false)) return;
  FOwner.AdmissionTimedOut(*this);
  CloseRefused();
}

void TAbstractConnection::Disconnect() {
  TConnectStatus expected = csConnected;
  if (!FConnectStatus.compare_exchange_strong(expected, csDisconnected)) {
    expected = csConnecting;
    if (!FConnectStatus.compare_exchange_strong(expected, csDisconnected)) return;
  }
  std::lock_guard<std::mutex> guard(FSendLock);
  if (!FClosedForSend && FSocket >= 0) {
    if (FTls) SayTlsGoodbye();
    SocketShutdown(FSocket);
  }
}

void TAbstractConnection::Send(const uint8_t* head, size_t headLen, const uint8_t* data,
                               size_t count, std::vector<uint8_t> owned, TWsSendCallback callback,
                               bool last) {
  std::unique_lock<std::mutex> guard(FSendLock);
  if (FClosedForSend || FSendSealed) {
    guard.unlock();
    if (callback) callback(CallbackTarget(), false);
    return;
  }
  if (data == nullptr) {
    data = owned.data();
    count = owned.size();
  }
  if (!last && FMaxQueuedBytes > 0 && FQueuedBytes + headLen + count > FMaxQueuedBytes) {
    // Refused before a byte of it is written, so the stream stays whole.
    guard.unlock();
    if (callback) callback(CallbackTarget(), false);
    SendQueueFull();
    return;
  }
  if (last) FSendSealed = true;
  size_t headDone = 0, dataDone = 0;
  if (FSendHead == FSendQueue.size() && !FCorked.load(std::memory_order_relaxed)) {
    // Nothing queued: write now, on the caller's thread.
    TIoVec iov[2];
    int n = 0;
    if (headLen > 0) iov[n++] = {const_cast<uint8_t*>(head), headLen};
    if (count > 0) iov[n++] = {const_cast<uint8_t*>(data), count};
    ssize_t written = n == 0 ? 0 : WriteOut(iov, n, headLen + count);
    while (written < 0 && errno == EINTR) written = WriteOut(iov, n, headLen + count);
    if (written < 0 && !IsTransient(errno)) {
      guard.unlock();
      if (callback) callback(CallbackTarget(), false);
      CloseConnection();
      return;
    }
    size_t done = written < 0 ? 0 : static_cast<size_t>(written);
    if (done == headLen + count) {
      guard.unlock();
      if (callback) callback(CallbackTarget(), true);
      return;
    }
    headDone = std::min(done, headLen);
    dataDone = done - headDone;
  }
  TSendItem& item = FSendQueue.emplace_back();
  if (headLen > 0) std::memcpy(item.Head, head, headLen);
  item.HeadLen = static_cast<uint8_t>(headLen);
  item.HeadDone = static_cast<uint8_t>(headDone);
  bool ownsData = !owned.empty() && data == owned.data();
  item.Owned = std::move(owned);
  item.Data = ownsData ? item.Owned.data() : data;
  item.Count = count;
  item.DataDone = dataDone;
  item.Callback = std::move(callback);
  FQueuedBytes += (headLen - headDone) + (count - dataDone);
  FSendPending.store(true);
  // Written when the I/O thread finishes its chunk or on write readiness.
}

bool TAbstractConnection::SendNow(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(FSendLock);
  if (FClosedForSend || FSendHead != FSendQueue.size()) return false;
  if (FTls) {
    // Encrypted now and written in order before anything sent later; what the socket
    // does not take yet goes on write readiness.
    if (!FTls->Session->HandshakeDone() ||
        !FTls->Session->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) {
      return false;
    }
    FTls->Session->TakeOutput(FTls->Out);
    if (DrainTlsOut() == tdFailed) return false;
    if (FTls->OutDone < FTls->Out.size()) FSendPending.store(true);
    return true;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    TIoVec iov{const_cast<char*>(bytes.data()) + done, bytes.size() - done};
    ssize_t n = WriteVector(&iov, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

ssize_t TAbstractConnection::WriteOut(TIoVec* iov, int count, size_t total) {
  return FTls ? WriteTls(iov, count, total) : WriteVector(iov, count);
}

ssize_t TAbstractConnection::WriteTls(const TIoVec* iov, int count, size_t total) {
  // The first FTls->OutPlain bytes of `iov` are already in FTls->Out; they count as written
  // only when all of FTls->Out went. The batch buffer is the I/O thread's own when it writes
  // (no thread-local object: their destructors are not reliable on every platform's thread
  // exit); another thread's write makes its own.
  std::vector<uint8_t> ownBatch;
  std::vector<uint8_t>& batch =
      FThread != nullptr && FThread->IsCurrent() ? FThread->ScratchBytes() : ownBatch;
  size_t confirmed = 0;
  for (;;) {
    TTlsDrain drain = DrainTlsOut();
    if (drain == tdFailed) return -1;  // errno set by the write
    if (drain == tdBlocked) break;
    confirmed += FTls->OutPlain;
    FTls->OutPlain = 0;
    // Before the handshake finished, plaintext waits in the queue.
    if (confirmed >= total || !FTls->Session->HandshakeDone()) break;
    batch.clear();
    size_t skip = confirmed;
    for (int i = 0; i < count && batch.size() < kTlsBatch; ++i) {
      size_t len = iov[i].iov_len;
      if (skip >= len) {
        skip -= len;
        continue;
      }
      const auto* base = static_cast<const uint8_t*>(iov[i].iov_base) + skip;
      size_t take = std::min(len - skip, kTlsBatch - batch.size());
      batch.insert(batch.end(), base, base + take);
      skip = 0;
    }
    if (!FTls->Session->Write(batch.data(), batch.size())) {
      TNetDiagLog::Write("TLS write to " + FPeerAddr + " failed: " + FTls->Session->FailureText());
      errno = EPROTO;
      return -1;
    }
    FTls->Session->TakeOutput(FTls->Out);
    FTls->OutPlain = batch.size();
  }
  if (confirmed == 0 && total > 0) {
    errno = EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(confirmed);
}

TAbstractConnection::TTlsDrain TAbstractConnection::DrainTlsOut() {
  while (FTls->OutDone < FTls->Out.size()) {
    TIoVec iov{FTls->Out.data() + FTls->OutDone, FTls->Out.size() - FTls->OutDone};
    ssize_t n = WriteVector(&iov, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return IsTransient(errno) ? tdBlocked : tdFailed;
    FTls->OutDone += static_cast<size_t>(n);
  }
  if (FTls->Out.capacity() > kTlsOutKept) {
    std::vector<uint8_t>().swap(FTls->Out);
  } else {
    FTls->Out.clear();
  }
  FTls->OutDone = 0;
  return tdDrained;
}

bool TAbstractConnection::ReceiveTls(const uint8_t* data, size_t size, uint8_t* scratch,
                                     size_t scratchSize) {
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    if (FClosedForSend) return true;
    if (!FTls->Session->Feed(data, size)) return false;
  }
  // The ciphertext is in the session now: the scratch buffer may overlap it.
  for (;;) {
    size_t got = 0;
    TTlsReadResult result;
    bool overflow = false;
    bool established = false;
    {
      std::lock_guard<std::mutex> guard(FSendLock);
      if (FClosedForSend) return true;
      result = FTls->Session->Read(scratch, scratchSize, got);
      if (FTls->Session->HandshakeDone() && !FTls->Established.exchange(true)) {
        established = true;
      }
      // Handshake records, alerts, key updates: written by the flush after this read.
      if (FTls->Session->PendingOutput() > 0) {
        FTls->Session->TakeOutput(FTls->Out);
        FSendPending.store(true);
        overflow = FTls->Out.size() - FTls->OutDone > limits::kMaxTlsPendingRecords;
      }
    }
    // The handshake's time ends, the request's begins.
    if (established) ArmStepDeadline(FOwner.RequestWaitMs());
    if (overflow) {
      FOwner.Stats().Count(TLimitBreach::lbTlsPendingRecords);
      return false;
    }
    switch (result) {
      case trData:
        HandleReceived(scratch, got);
        if (IsClosed()) return true;
        continue;
      case trNeedMore:
        return true;
      case trClosed:
        return false;
      case trFailed:
        // Scanners and plain-text clients end here all the time: no line per connection.
        return false;
    }
  }
}

void TAbstractConnection::SayTlsGoodbye() {
  // Best effort: the socket is shut down right after, whatever it took.
  FTls->Session->Shutdown();
  FTls->Session->TakeOutput(FTls->Out);
  DrainTlsOut();
}

void TAbstractConnection::FlushSends() {
  // Callbacks of the sends that went, run after the lock; the usual few need no allocation.
  TFinishedCallbacks finished;
  bool failed = false;
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    if (FClosedForSend) return;
    while (FSendHead < FSendQueue.size()) {
      TIoVec iov[kMaxIov];
      int n = 0;
      size_t total = 0;
      for (size_t i = FSendHead; i < FSendQueue.size() && n + 2 <= kMaxIov; ++i) {
        TSendItem& item = FSendQueue[i];
        if (item.HeadDone < item.HeadLen) {
          iov[n++] = {item.Head + item.HeadDone, static_cast<size_t>(item.HeadLen - item.HeadDone)};
          total += item.HeadLen - item.HeadDone;
        }
        if (item.DataDone < item.Count) {
          iov[n++] = {const_cast<uint8_t*>(item.Data) + item.DataDone, item.Count - item.DataDone};
          total += item.Count - item.DataDone;
        }
      }
      ssize_t written = n == 0 ? 0 : WriteOut(iov, n, total);
      if (written < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) failed = true;
        break;
      }
      size_t left = static_cast<size_t>(written);
      FQueuedBytes -= std::min(FQueuedBytes, left);
      while (FSendHead < FSendQueue.size()) {
        TSendItem& item = FSendQueue[FSendHead];
        size_t h = std::min<size_t>(left, item.HeadLen - item.HeadDone);
        item.HeadDone = static_cast<uint8_t>(item.HeadDone + h);
        left -= h;
        size_t d = std::min(left, item.Count - item.DataDone);
        item.DataDone += d;
        left -= d;
        if (item.HeadDone < item.HeadLen || item.DataDone < item.Count) break;
        if (item.Callback) finished.Add(std::move(item.Callback));
        std::vector<uint8_t>().swap(item.Owned);  // every byte went: the copy is not needed
        ++FSendHead;
      }
      if (static_cast<size_t>(written) < total) break;  // the socket is full
    }
    if (FSendHead == FSendQueue.size()) {
      FSendQueue.clear();
      FSendHead = 0;
      FQueuedBytes = 0;
      // Records of the handshake or an alert may wait with no plaintext queued.
      if (!failed && FTls && DrainTlsOut() == tdFailed) failed = true;
      FSendPending.store(FTls != nullptr && FTls->OutDone < FTls->Out.size());
    }
  }
  if (!finished.Empty()) finished.Run(CallbackTarget(), true);
  if (failed) CloseConnection();
}

void TAbstractConnection::OnIoEvents(uint32_t events, TIoEventThread& thread) {
  assert(thread.IsCurrent() && &thread == FThread);
  if (IsClosed()) return;
  constexpr uint32_t kReadEvents = ieReadable | iePeerClosed | ieHangup | ieError;
  // The pending flag is only a hint: a sender that wrote part of its bytes sets it
  // after its write, so the write-readiness edge may arrive before the flag does.
  // Without a read to follow (which flushes under the lock anyway), look under the
  // lock, or that edge is lost and the send waits for an event that never comes.
  if ((events & ieWritable) != 0 && (FSendPending.load() || (events & kReadEvents) == 0)) {
    FlushSends();
  }
  if ((events & (iePeerClosed | ieHangup | ieError)) != 0) FPeerHangup = true;
  if ((events & kReadEvents) != 0) ReadReady(thread);
}

void TAbstractConnection::ReadReady(TIoEventThread& thread) {
  assert(thread.IsCurrent() && &thread == FThread);
  if (IsClosed()) return;
  PAbstractConnection self = shared_from_this();
  FDrainMessages = 0;
  FCorked.store(true, std::memory_order_relaxed);
  uint8_t* buffer = thread.DrainBuffer();
  bool closeAfter = false;
  bool more = false;
  int chunks = 0;
  for (;;) {
    ssize_t n = SocketRecv(FSocket, buffer, TIoEventThread::kDrainBufferSize);
    if (n > 0) {
      try {
        if (!DeliverReceived(buffer, static_cast<size_t>(n), buffer,
                             TIoEventThread::kDrainBufferSize)) {
          closeAfter = true;
          break;
        }
      } catch (const std::exception& e) {
        TNetDiagLog::HandlerException("TIocpSocketEngine", &e);
        closeAfter = true;
        break;
      } catch (...) {
        TNetDiagLog::HandlerException("TIocpSocketEngine", nullptr);
        closeAfter = true;
        break;
      }
      if (IsClosed()) break;
      if (static_cast<size_t>(n) < TIoEventThread::kDrainBufferSize && !FPeerHangup) break;
      if (++chunks >= kMaxChunksPerTurn) {
        more = true;
        break;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    closeAfter = true;  // orderly shutdown by the peer, or a failure
    break;
  }
  FCorked.store(false, std::memory_order_relaxed);
  // Always under the send lock: a send from another thread that saw the cork has
  // queued its bytes, and only this flush will write them.
  if (!IsClosed()) FlushSends();
  if (closeAfter) {
    CloseConnection();
  } else if (more && !IsClosed()) {
    thread.AddPendingRead(std::move(self));
  } else if (!IsClosed() && !RearmRead()) {
    CloseConnection();
  }
}

}  // namespace gw
