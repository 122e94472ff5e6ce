#include "SocketIo.h"

#include <cerrno>
#include <cstring>

#include "net/SocketApi.h"

namespace gw {

TIoStatus SendPending(int Fd, std::string& Out, size_t& Head, std::string& Error) {
  while (Head < Out.size()) {
    ssize_t n = SocketSend(Fd, Out.data() + Head, Out.size() - Head);
    if (n > 0) {
      Head += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Error = std::string("send: ") + (n == 0 ? "nothing sent" : std::strerror(errno));
    return TIoStatus::ioClosed;
  }
  if (Head == Out.size()) {
    Out.clear();
    Head = 0;
  } else if (Head > (1u << 20)) {
    Out.erase(0, Head);
    Head = 0;
  }
  return TIoStatus::ioOpen;
}

TIoStatus ReadAvailable(int Fd, const std::function<bool(std::string_view)>& OnData,
                        std::string& Error) {
  char buf[65536];
  for (;;) {
    ssize_t n = SocketRecv(Fd, buf, sizeof(buf));
    if (n > 0) {
      if (!OnData(std::string_view(buf, static_cast<size_t>(n)))) return TIoStatus::ioOpen;
      continue;
    }
    if (n == 0) {
      Error = "peer closed";
      return TIoStatus::ioClosed;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return TIoStatus::ioOpen;
    Error = std::string("recv: ") + std::strerror(errno);
    return TIoStatus::ioClosed;
  }
}

}  // namespace gw
