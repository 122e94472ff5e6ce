#include "links/SocketClient.h"

#include "common/Platform.h"
#include "links/LinkSocket.h"

namespace gw {

TSocketClient::TSocketClient() : FSendStream(kStreamCapacity), FRecvStream(kStreamCapacity) {}

TSocketClient::~TSocketClient() { CloseSocket(); }

void TSocketClient::CloseSocket() {
  links::TSocketHandle fd = FSocket.exchange(links::kNoSocket, std::memory_order_acq_rel);
  if (fd != links::kNoSocket) links::CloseSocketHandle(fd);
}

bool TSocketClient::Connect(const std::string& Host, int32_t Port, std::string& ErrorText,
                            TLinkWake* Wake) {
  CloseSocket();
  if (Port < 0 || Port > 65535) {
    ErrorText = "Invalid port " + std::to_string(Port);
    return false;
  }
  links::TSocketHandle fd =
      links::ConnectTcpSocket(Host, Port, kSocketBufferRequest, Wake, FAbortCheck, ErrorText);
  if (fd == links::kNoSocket) return false;
  if (uint32_t granted = links::UsableSocketBufferSize(fd, true); granted > 0) FSendSize = granted;
  if (uint32_t granted = links::UsableSocketBufferSize(fd, false); granted > 0) FRecvSize = granted;
  FSocket.store(fd, std::memory_order_release);
  return true;
}

void TSocketClient::ProcessSocketLogic() {
  if (!IsConnected()) return;
  RecvData();
  if (IsConnected()) SendData();
}

std::string TSocketClient::GetLocalAddress() const {
  links::TSocketHandle fd = SocketHandle();
  if (fd == links::kNoSocket) return {};
  return links::SocketLocalAddress(fd);
}

int64_t TSocketClient::RecvData() {
  links::TSocketHandle fd = SocketHandle();
  if (fd == links::kNoSocket) return 0;
  int count = 0;
  if (!links::SocketBytesWaiting(fd, count)) {
    int err = links::LastSocketError();
    Disconnect(err, "RecvData Close");
    return 0;
  }
  FRecvStream.CheckCompactionMemory();
  if (count <= 0) return 0;
  uint8_t* p = FRecvStream.GetWritePointer(count);
  int64_t n = links::SocketRecv(fd, p, static_cast<size_t>(count));
  if (n < 0) {
    int err = links::LastSocketError();
    FRecvStream.ShrinkTail(count);
    // Nothing read; the bytes wait for the next step.
    if (links::IsInterruptedError(err) || links::IsWouldBlockError(err)) return 0;
    Disconnect(err, "RecvData Close 2");
    return 0;
  }
  // The socket announced `count` bytes; keep only what really arrived.
  if (n < count) FRecvStream.ShrinkTail(count - n);
  Count(FBytesIn, n);
  return n;
}

bool TSocketClient::CheckPeerClosed() {
  links::TSocketHandle fd = SocketHandle();
  if (fd == links::kNoSocket) return true;
  char probe;
  int64_t n = links::SocketPeek(fd, &probe, 1);
  if (n > 0) return false;
  if (n == 0) {
    Disconnect(0, "RecvData Close");
    return true;
  }
  int err = links::LastSocketError();
  if (links::IsWouldBlockError(err) || links::IsInterruptedError(err)) return false;
  Disconnect(err, "RecvData Close 2");
  return true;
}

int64_t TSocketClient::SendData() {
  links::TSocketHandle fd = SocketHandle();
  if (fd == links::kNoSocket || FSendStream.Size() == 0) return 0;
  int64_t slice = FSendStream.Size() < static_cast<int64_t>(FSendSize)
                      ? FSendStream.Size()
                      : static_cast<int64_t>(FSendSize);
  int64_t sent = 0;
  while (slice > 0) {
    int64_t n = links::SocketSend(fd, FSendStream.Memory(), static_cast<size_t>(slice));
    if (n == 0) {
      Disconnect(0, "Disconnect When SendData");
      return sent;
    }
    if (n < 0) {
      int err = links::LastSocketError();
      if (links::IsInterruptedError(err)) continue;
      // The socket is full: the rest waits until the link's wait reports it writable.
      if (links::IsWouldBlockError(err)) return sent;
      Disconnect(err, "Disconnect When SendData 2");
      return sent;
    }
    FSendStream.ForwardHeadCursor(n);
    Count(FBytesOut, n);
    slice -= n;
    sent += n;
  }
  return sent;
}

bool TSocketClient::FlushSendStream(uint32_t TimeLimitMs) {
  links::TSocketHandle fd = SocketHandle();
  if (fd == links::kNoSocket) return FSendStream.Size() == 0;
  const uint32_t start = GetTickCount32();
  auto remaining = [&]() -> int {
    uint32_t spent = TicksSince(GetTickCount32(), start);
    return spent >= TimeLimitMs ? 0 : static_cast<int>(TimeLimitMs - spent);
  };
  while (FSendStream.Size() > 0) {
    int64_t n =
        links::SocketSend(fd, FSendStream.Memory(), static_cast<size_t>(FSendStream.Size()));
    if (n > 0) {
      FSendStream.ForwardHeadCursor(n);
      Count(FBytesOut, n);
      continue;
    }
    if (n < 0) {
      int err = links::LastSocketError();
      if (!links::IsWouldBlockError(err) && !links::IsInterruptedError(err)) return false;
    }
    int left = remaining();
    if (left == 0) return false;
    links::TPollEntry p{fd, links::kPollOut, 0};
    links::PollSockets(&p, 1, left);
  }
  // Bytes handed to the socket are not yet at the peer: a close with unread received
  // bytes resets the connection and throws away what the peer has not acknowledged.
  for (;;) {
    int unacknowledged = 0;
    const links::TUnacknowledged known = links::SocketUnacknowledgedBytes(fd, unacknowledged);
    if (known == links::TUnacknowledged::uaFailed) return false;
    // Where the system keeps no count, handing every byte to the socket is all there is.
    if (known == links::TUnacknowledged::uaUncounted) return true;
    if (unacknowledged == 0) return true;
    if (remaining() == 0) return false;
    SleepMs(1);
  }
}

void TSocketClient::Disconnect(int32_t /*ErrorCode*/, const std::string& /*Desc*/) {
  FSendStream.Clear();
  FRecvStream.Clear();
  CloseSocket();
}

}  // namespace gw
