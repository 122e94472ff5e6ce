// winsock2.h before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <memory>

#include "net/IocpOperation.h"
#include "net/NetDiagLog.h"
#include "net/SocketApi.h"
#include "net/SocketServer.h"

namespace gw {

namespace {

// Room AcceptEx wants for each of the two addresses it reports.
constexpr DWORD kAddressSpace = sizeof(sockaddr_in6) + 16;

struct TAcceptOperation : TIocpOperation {
  int Socket = -1;  // the client's socket once the accept completes
  std::shared_ptr<TAbstractListen> Listen;
  TSocketServer* Server = nullptr;
  char Addresses[2 * kAddressSpace]{};
};

void AcceptDone(TIocpOperation* operation, DWORD bytes, DWORD error, TIoEventThread& thread,
                bool abandoned) {
  (void)bytes;
  (void)thread;
  std::unique_ptr<TAcceptOperation> accept(static_cast<TAcceptOperation*>(operation));
  if (abandoned) {
    SocketClose(accept->Socket);
    return;
  }
  accept->Server->AcceptCompleted(accept->Listen, accept->Socket, error);
}

SOCKET NewOverlappedSocket(int family, int type, int protocol) {
  return WSASocketW(family, type, protocol, nullptr, 0,
                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

void TSocketServer::PlatformStart() {
  if (!SocketStartup()) {
    TNetDiagLog::SystemError("TIocpSocketEngine.StartLoop.WSAStartup", WSAGetLastError());
  }
}

void TSocketServer::PlatformEnd() {}

int TSocketServer::OpenListenSocket(const addrinfo& ai, bool anyHost, bool& skip) {
  skip = false;
  const SOCKET s = NewOverlappedSocket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
  if (s == INVALID_SOCKET) {
    const int error = WSAGetLastError();
    // A host without IPv6 still serves IPv4 on "every local address".
    if (anyHost && error == WSAEAFNOSUPPORT) {
      skip = true;
      return -1;
    }
    TNetDiagLog::SystemError("TIocpSocketEngine.Listen.WSASocket", error);
    return -1;
  }
  const int fd = static_cast<int>(s);
  SocketSetNonBlocking(fd);
  // Windows' SO_REUSEADDR would let another program take the port over: the port is
  // this process's alone instead (a restart still binds at once: no TIME_WAIT issue).
  SocketSetOption(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
  if (ai.ai_family == AF_INET6) SocketSetOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
  if (::bind(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) != 0 || ::listen(s, SOMAXCONN) != 0) {
    const int error = WSAGetLastError();
    closesocket(s);
    if (anyHost && ai.ai_family == AF_INET6 && error == WSAEADDRNOTAVAIL) {
      skip = true;
      return -1;
    }
    TNetDiagLog::SystemError("TIocpSocketEngine.Listen.Bind", error);
    return -1;
  }
  return fd;
}

bool TSocketServer::WatchListen(const std::shared_ptr<TAbstractListen>& listen) {
  // The accepts complete on the first thread, which hands each client to its own thread.
  HANDLE port = reinterpret_cast<HANDLE>(FIoThreads.front()->PollHandle());
  if (CreateIoCompletionPort(SocketHandle(listen->Socket()), port, 0, 0) == nullptr) {
    TNetDiagLog::SystemError("TIocpSocketEngine.Listen.CreateIoCompletionPort",
                             static_cast<int>(GetLastError()));
    return false;
  }
  for (size_t i = 0; i < FIoThreads.size(); ++i) PostAccept(listen);
  return true;
}

void TSocketServer::AcceptOn(TAbstractListen& listen, TIoEventThread& thread) {
  // Listeners are not watched for readiness here: their accepts complete as operations.
  (void)listen;
  (void)thread;
}

void TSocketServer::UnwatchListen(TAbstractListen& listen) {
  // The accepts in flight complete as cancelled and are not replaced.
  CancelIoEx(SocketHandle(listen.Socket()), nullptr);
}

bool TSocketServer::PostAccept(const std::shared_ptr<TAbstractListen>& listen) {
  if (listen->IsClosed()) return false;
  const SOCKET s = NewOverlappedSocket(listen->Family(), SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    TNetDiagLog::SystemError("TIocpSocketEngine._NewAccept.WSASocket", WSAGetLastError());
    return false;
  }
  auto accept = std::make_unique<TAcceptOperation>();
  accept->Complete = &AcceptDone;
  accept->Socket = static_cast<int>(s);
  accept->Listen = listen;
  accept->Server = this;
  TIoEventThread& thread = *FIoThreads.front();
  thread.OperationStarted();
  DWORD received = 0;
  OVERLAPPED* overlapped = &accept->Overlapped;
  if (!AcceptEx(static_cast<SOCKET>(static_cast<unsigned>(listen->Socket())), s, accept->Addresses,
                0, kAddressSpace, kAddressSpace, &received, overlapped)) {
    const int error = WSAGetLastError();
    if (error != ERROR_IO_PENDING) {
      thread.OperationEnded();
      TNetDiagLog::SystemError("TIocpSocketEngine._NewAccept.AcceptEx", error);
      closesocket(s);
      return false;
    }
  }
  (void)accept.release();  // the completion owns it now
  // A close that came between the check above and the post did not see this accept.
  if (listen->IsClosed()) CancelIoEx(SocketHandle(listen->Socket()), overlapped);
  return true;
}

void TSocketServer::AcceptCompleted(const std::shared_ptr<TAbstractListen>& listen, int socket,
                                    unsigned long error) {
  if (error != 0) {
    SocketClose(socket);
    // Closing the listener cancels its accepts: those are not replaced.
    if (error != ERROR_OPERATION_ABORTED) PostAccept(listen);
    return;
  }
  PostAccept(listen);  // first: the number of accepts waiting stays the same
  const SOCKET listening = static_cast<SOCKET>(static_cast<unsigned>(listen->Socket()));
  if (setsockopt(static_cast<SOCKET>(static_cast<unsigned>(socket)), SOL_SOCKET,
                 SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listening),
                 sizeof(listening)) != 0) {
    TNetDiagLog::SystemError("TIocpSocketEngine._HandleAccept.SetSockOpt", WSAGetLastError());
    SocketClose(socket);
    return;
  }
  SocketSetNonBlocking(socket);
  AcceptOne(socket);
}

}  // namespace gw
