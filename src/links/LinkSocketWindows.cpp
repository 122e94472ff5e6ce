// The TCP statistics query (SIO_TCP_INFO) is declared for Windows 10 1703 and later; older
// systems refuse it at run time, which SocketUnacknowledgedBytes allows for.
#define NTDDI_VERSION 0x0A000003  // NTDDI_WIN10_RS2

#include "links/LinkSocket.h"

// In this order: winsock2.h before windows.h, which would otherwise pull in the old
// winsock.h, and mstcpip.h after both, whose types it uses.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <mstcpip.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "common/WideText.h"
#include "links/LinkWake.h"

namespace gw::links {

namespace {

constexpr int kMaxPollEntries = 4;

SOCKET AsSocket(TSocketHandle Handle) { return static_cast<SOCKET>(Handle); }

int ClampedLength(size_t Size) { return Size > INT_MAX ? INT_MAX : static_cast<int>(Size); }

// Connects the non-blocking socket to addr. While the connect is in progress, a signalled
// Wake makes it ask `aborted` whether to give up. Returns 0 or the error of the failure.
// The wait is select's, not WSAPoll's: WSAPoll did not report a refused connect before
// Windows 10 2004, select reports it in the exception set everywhere.
int ConnectWithAbort(SOCKET s, const sockaddr* addr, int len, TLinkWake* Wake,
                     const std::function<bool()>& aborted) {
  if (::connect(s, addr, len) == 0) return 0;
  int err = ::WSAGetLastError();
  if (err != WSAEWOULDBLOCK && err != WSAEINPROGRESS) return err;
  const SOCKET wake = Wake != nullptr ? AsSocket(Wake->Handle()) : INVALID_SOCKET;
  for (;;) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    if (wake != INVALID_SOCKET) FD_SET(wake, &readable);
    if (::select(0, &readable, &writable, &failed, nullptr) == SOCKET_ERROR) {
      err = ::WSAGetLastError();
      if (err == WSAEINTR) continue;
      return err;
    }
    if (FD_ISSET(s, &failed) || FD_ISSET(s, &writable)) {
      err = 0;
      int l = sizeof(err);
      if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &l) != 0) {
        err = ::WSAGetLastError();
      }
      // A failed connect always carries its error; should it not, say so rather than succeed.
      if (err == 0 && FD_ISSET(s, &failed)) err = WSAECONNREFUSED;
      return err;
    }
    if (wake != INVALID_SOCKET && FD_ISSET(wake, &readable)) {
      Wake->Drain();
      if (aborted && aborted()) return WSAECANCELLED;
    }
  }
}

short ToSystemEvents(short Events) {
  short out = 0;
  if ((Events & kPollIn) != 0) out |= POLLRDNORM;
  if ((Events & kPollOut) != 0) out |= POLLWRNORM;
  return out;
}

short FromSystemEvents(short Events) {
  short out = 0;
  if ((Events & (POLLRDNORM | POLLRDBAND)) != 0) out |= kPollIn;
  if ((Events & POLLWRNORM) != 0) out |= kPollOut;
  if ((Events & (POLLERR | POLLNVAL)) != 0) out |= kPollErr;
  if ((Events & POLLHUP) != 0) out |= kPollHup;
  return out;
}

}  // namespace

void StartSockets() {
  static const int started = [] {
    WSADATA data;
    const int err = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (err != 0) throw std::runtime_error("WSAStartup: " + SocketErrorText(err));
    return 0;
  }();
  (void)started;
}

TSocketHandle ConnectTcpSocket(const std::string& Host, int32_t Port, uint32_t BufferRequest,
                               TLinkWake* Wake, const std::function<bool()>& Aborted,
                               std::string& ErrorText) {
  StartSockets();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int gai = ::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &hints, &found);
  if (gai != 0) {
    ErrorText = SocketErrorText(gai);
    return kNoSocket;
  }
  int err = WSAEHOSTUNREACH;
  SOCKET s = INVALID_SOCKET;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    s = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
      err = ::WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
      err = ::WSAGetLastError();
      ::closesocket(s);
      s = INVALID_SOCKET;
      continue;
    }
    // Asked before connecting so the receive window is scaled for it; read back later.
    int snd = static_cast<int>(BufferRequest);
    int rcv = static_cast<int>(BufferRequest);
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&snd), sizeof(snd));
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&rcv), sizeof(rcv));
    err = ConnectWithAbort(s, a->ai_addr, static_cast<int>(a->ai_addrlen), Wake, Aborted);
    if (err == 0) break;
    ::closesocket(s);
    s = INVALID_SOCKET;
    if (err == WSAECANCELLED) break;
  }
  ::freeaddrinfo(found);
  if (s == INVALID_SOCKET) {
    ErrorText = SocketErrorText(err);
    return kNoSocket;
  }
  return static_cast<TSocketHandle>(s);
}

uint32_t UsableSocketBufferSize(TSocketHandle Socket, bool Send) {
  // Windows reports the usable size itself.
  int granted = 0;
  int len = sizeof(granted);
  if (::getsockopt(AsSocket(Socket), SOL_SOCKET, Send ? SO_SNDBUF : SO_RCVBUF,
                   reinterpret_cast<char*>(&granted), &len) == 0 &&
      granted > 0) {
    return static_cast<uint32_t>(granted);
  }
  return 0;
}

void CloseSocketHandle(TSocketHandle Socket) {
  if (Socket != kNoSocket) ::closesocket(AsSocket(Socket));
}

std::string SocketLocalAddress(TSocketHandle Socket) {
  sockaddr_in addr{};
  int len = sizeof(addr);
  if (::getsockname(AsSocket(Socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) == nullptr) return {};
  return text;
}

bool SocketBytesWaiting(TSocketHandle Socket, int& Count) {
  u_long waiting = 0;
  if (::ioctlsocket(AsSocket(Socket), FIONREAD, &waiting) != 0) {
    Count = 0;
    return false;
  }
  Count = waiting > INT_MAX ? INT_MAX : static_cast<int>(waiting);
  return true;
}

int64_t SocketRecv(TSocketHandle Socket, void* Data, size_t Size) {
  return ::recv(AsSocket(Socket), static_cast<char*>(Data), ClampedLength(Size), 0);
}

int64_t SocketPeek(TSocketHandle Socket, void* Data, size_t Size) {
  return ::recv(AsSocket(Socket), static_cast<char*>(Data), ClampedLength(Size), MSG_PEEK);
}

int64_t SocketSend(TSocketHandle Socket, const void* Data, size_t Size) {
  return ::send(AsSocket(Socket), static_cast<const char*>(Data), ClampedLength(Size), 0);
}

TUnacknowledged SocketUnacknowledgedBytes(TSocketHandle Socket, int& Count) {
  // The TCP statistics (Windows 10 1703 and later) count the bytes sent and not yet
  // acknowledged. Older systems and wine refuse the query.
  Count = 0;
  DWORD version = 0;
  TCP_INFO_v0 info{};
  DWORD returned = 0;
  if (::WSAIoctl(AsSocket(Socket), SIO_TCP_INFO, &version, sizeof(version), &info, sizeof(info),
                 &returned, nullptr, nullptr) != 0) {
    const int err = ::WSAGetLastError();
    return err == WSAEOPNOTSUPP || err == WSAEINVAL || err == WSAENOPROTOOPT
               ? TUnacknowledged::uaUncounted
               : TUnacknowledged::uaFailed;
  }
  Count = info.BytesInFlight > INT_MAX ? INT_MAX : static_cast<int>(info.BytesInFlight);
  return TUnacknowledged::uaCounted;
}

int PollSockets(TPollEntry* Entries, int Count, int TimeoutMs) {
  if (Count > kMaxPollEntries) {
    ::WSASetLastError(WSAEINVAL);
    return -1;
  }
  WSAPOLLFD p[kMaxPollEntries];
  for (int i = 0; i < Count; ++i) {
    p[i].fd = AsSocket(Entries[i].Handle);
    p[i].events = ToSystemEvents(Entries[i].Events);
    p[i].revents = 0;
  }
  const int r = ::WSAPoll(p, static_cast<ULONG>(Count), TimeoutMs);
  for (int i = 0; i < Count; ++i) Entries[i].REvents = r > 0 ? FromSystemEvents(p[i].revents) : 0;
  return r == SOCKET_ERROR ? -1 : r;
}

int PollSocketsFor(TPollEntry* Entries, int Count, std::chrono::nanoseconds Timeout) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Timeout).count();
  return PollSockets(Entries, Count, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
}

int LastSocketError() { return ::WSAGetLastError(); }

std::string SocketErrorText(int Error) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(Error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 && text != nullptr ? Utf8FromWide(text, n) : std::string();
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "socket error " + std::to_string(Error);
  return message;
}

bool IsInterruptedError(int Error) { return Error == WSAEINTR; }

bool IsWouldBlockError(int Error) { return Error == WSAEWOULDBLOCK; }

}  // namespace gw::links
