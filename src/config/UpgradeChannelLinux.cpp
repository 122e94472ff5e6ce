#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "common/PeerLimits.h"
#include "config/ControlChannel.h"
#include "config/UpgradeChannel.h"

namespace gw {

bool TUpgradeChannel::Supported(std::string*) { return true; }

std::unique_ptr<TUpgradeChannel> TUpgradeChannel::Connect(const std::string& AWorkFolder,
                                                          std::string& AError) {
  std::string path;
  try {
    path = ControlFolderSocketPath(UpgradeSocketName(AWorkFolder), /*ACreateFolder=*/false);
  } catch (const std::exception& e) {
    AError = e.what();
    return nullptr;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    AError = "socket path " + path + " is too long";
    return nullptr;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    AError = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int error = errno;
    ::close(fd);
    AError = (error == ENOENT || error == ECONNREFUSED)
                 ? "no gateway serves this work folder (nothing listens on " + path + ")"
                 : path + ": " + std::strerror(error);
    return nullptr;
  }
  auto channel = std::make_unique<TUpgradeChannel>(fd);
  if (!channel->PeerIsTrusted()) {
    AError = path + " belongs to a process of another user";
    return nullptr;
  }
  return channel;
}

TUpgradeChannel::TUpgradeChannel(int ASocket, int AWakeFd) : FSocket(ASocket), FWakeFd(AWakeFd) {}

TUpgradeChannel::~TUpgradeChannel() {
  if (FSocket >= 0) ::close(FSocket);
}

bool TUpgradeChannel::PeerIsTrusted() const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(FSocket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == ::geteuid() || peer.uid == 0;
}

bool TUpgradeChannel::Send(std::string_view AText, const std::vector<int>& ASockets) {
  if (AText.size() > limits::kMaxControlText || ASockets.size() > limits::kMaxHandedOverSockets) {
    return false;
  }
  iovec iov{const_cast<char*>(AText.data()), AText.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * limits::kMaxHandedOverSockets)];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (!ASockets.empty()) {
    const size_t bytes = sizeof(int) * ASockets.size();
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(bytes);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(bytes);
    std::memcpy(CMSG_DATA(c), ASockets.data(), bytes);
  }
  ssize_t n;
  do {
    n = ::sendmsg(FSocket, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(AText.size());
}

std::optional<TUpgradeMessage> TUpgradeChannel::Receive(int ATimeoutMs, bool* ATimedOut) {
  if (ATimedOut) *ATimedOut = false;
  pollfd fds[2] = {{FSocket, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(fds, FWakeFd >= 0 ? 2 : 1, ATimeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    if (ATimedOut) *ATimedOut = true;
    return std::nullopt;
  }
  if (ready < 0 || (FWakeFd >= 0 && fds[1].revents != 0)) return std::nullopt;
  std::string buffer(limits::kMaxControlText + 1, '\0');
  iovec iov{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * limits::kMaxHandedOverSockets)];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(FSocket, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;  // the peer's end, or an error
  TUpgradeMessage message;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      message.Sockets.push_back(fd);
    }
  }
  if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
    // Longer than any message of the hand-over, or more descriptors than it carries.
    CountLimitBreach(TLimitBreach::lbControlTextTooLong);
    CloseSockets(message.Sockets);
    return std::nullopt;
  }
  message.Text.assign(buffer.data(), static_cast<size_t>(n));
  return message;
}

void TUpgradeChannel::CloseSockets(std::vector<int>& ASockets) {
  for (int fd : ASockets) ::close(fd);
  ASockets.clear();
}

}  // namespace gw
