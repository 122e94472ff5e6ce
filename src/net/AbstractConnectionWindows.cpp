// winsock2.h before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "net/AbstractConnection.h"
#include "net/IocpOperation.h"
#include "net/NetDiagLog.h"

namespace gw {

namespace {

// The most a connection copies into one overlapped send when the socket is full; the rest
// stays in its send queue, where the queue bound counts it.
constexpr size_t kMaxOverlappedSend = 256 * 1024;
constexpr int kMaxBuffers = 64;

// Completes when bytes (or the peer's end of stream, or a failure) wait on the socket: the
// connection then drains it with non-blocking reads, so an idle connection holds no buffer.
struct TZeroRead : TIocpOperation {
  WSABUF Buffer{0, nullptr};
  PAbstractConnection Connection;
};

// What the socket did not take at once; its completion stands for write readiness.
struct TOverlappedSend : TIocpOperation {
  std::vector<uint8_t> Bytes;
  WSABUF Buffer{0, nullptr};
  PAbstractConnection Connection;
};

void ZeroReadDone(TIocpOperation* operation, DWORD bytes, DWORD error, TIoEventThread& thread,
                  bool abandoned) {
  (void)bytes;
  std::unique_ptr<TZeroRead> read(static_cast<TZeroRead*>(operation));
  if (abandoned) return;
  // Which of the three it is, the reads tell; a failure lets them run to the end.
  read->Connection->OnIoEvents(error == 0 ? uint32_t{ieReadable} : uint32_t{ieReadable | ieError},
                               thread);
}

void SendDone(TIocpOperation* operation, DWORD bytes, DWORD error, TIoEventThread& thread,
              bool abandoned) {
  std::unique_ptr<TOverlappedSend> send(static_cast<TOverlappedSend*>(operation));
  if (abandoned) return;
  send->Connection->WriteCompleted(error == 0 && bytes == send->Buffer.len, thread);
}

bool PostZeroRead(TAbstractConnection& connection, int socket, TIoEventThread& thread) {
  auto read = std::make_unique<TZeroRead>();
  read->Complete = &ZeroReadDone;
  read->Connection = connection.shared_from_this();
  DWORD flags = 0;
  thread.OperationStarted();
  if (WSARecv(static_cast<SOCKET>(static_cast<unsigned>(socket)), &read->Buffer, 1, nullptr, &flags,
              &read->Overlapped, nullptr) == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error != WSA_IO_PENDING) {
      thread.OperationEnded();
      TNetDiagLog::SystemError("TIocpSocketEngine._NewReadZero.WSARecv", error);
      return false;
    }
  }
  (void)read.release();  // the completion owns it now
  return true;
}

}  // namespace

bool TAbstractConnection::RegisterWithThread() {
  std::lock_guard<std::mutex> guard(FSendLock);
  if (FClosedForSend) return true;  // closed meanwhile: nothing to watch
  if (CreateIoCompletionPort(SocketHandle(FSocket), reinterpret_cast<HANDLE>(FThread->PollHandle()),
                             0, 0) == nullptr) {
    TNetDiagLog::SystemError("TIocpSocketEngine._HandleAccept.CreateIoCompletionPort",
                             static_cast<int>(GetLastError()));
    return false;
  }
  return PostZeroRead(*this, FSocket, *FThread);
}

bool TAbstractConnection::RearmRead() {
  std::lock_guard<std::mutex> guard(FSendLock);
  if (FClosedForSend || FSocket < 0 || FThread == nullptr) return true;
  return PostZeroRead(*this, FSocket, *FThread);
}

ssize_t TAbstractConnection::WriteVector(TIoVec* iov, int count) {
  if (FWriteInFlight) {
    errno = EAGAIN;  // in order: nothing overtakes the bytes already on their way
    return -1;
  }
  WSABUF buffers[kMaxBuffers];
  count = std::min(count, kMaxBuffers);
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    buffers[i].len = static_cast<ULONG>(iov[i].iov_len);
    buffers[i].buf = static_cast<char*>(iov[i].iov_base);
    total += iov[i].iov_len;
  }
  const SOCKET socket = static_cast<SOCKET>(static_cast<unsigned>(FSocket));
  DWORD sent = 0;
  if (WSASend(socket, buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) ==
      SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      errno = error == WSAEINTR ? EINTR : ECONNRESET;
      return -1;
    }
    sent = 0;
  }
  if (sent == total || FThread == nullptr) {
    if (sent > 0 || total == 0) return static_cast<ssize_t>(sent);
    errno = EAGAIN;
    return -1;
  }
  // The socket is full. Windows has no write readiness to wait for: the rest (up to a
  // bound) goes as one overlapped send of a copy, and its completion flushes what follows.
  auto send = std::make_unique<TOverlappedSend>();
  send->Complete = &SendDone;
  size_t skip = sent;
  for (int i = 0; i < count && send->Bytes.size() < kMaxOverlappedSend; ++i) {
    const size_t len = iov[i].iov_len;
    if (skip >= len) {
      skip -= len;
      continue;
    }
    const auto* base = static_cast<const uint8_t*>(iov[i].iov_base) + skip;
    const size_t take = std::min(len - skip, kMaxOverlappedSend - send->Bytes.size());
    send->Bytes.insert(send->Bytes.end(), base, base + take);
    skip = 0;
  }
  send->Buffer.len = static_cast<ULONG>(send->Bytes.size());
  send->Buffer.buf = reinterpret_cast<char*>(send->Bytes.data());
  send->Connection = shared_from_this();
  FThread->OperationStarted();
  if (WSASend(socket, &send->Buffer, 1, nullptr, 0, &send->Overlapped, nullptr) == SOCKET_ERROR &&
      WSAGetLastError() != WSA_IO_PENDING) {
    FThread->OperationEnded();
    errno = ECONNRESET;
    return -1;
  }
  const size_t posted = send->Bytes.size();
  (void)send.release();  // the completion owns it now
  FWriteInFlight = true;
  return static_cast<ssize_t>(sent + posted);
}

void TAbstractConnection::WriteCompleted(bool ok, TIoEventThread& thread) {
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    FWriteInFlight = false;
  }
  if (!ok) {
    CloseConnection();
    return;
  }
  OnIoEvents(ieWritable, thread);
}

}  // namespace gw
