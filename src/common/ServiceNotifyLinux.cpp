#include "common/ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace gw {

bool NotifyServiceManager(std::string_view state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return false;
  const size_t length = std::strlen(path);
  sockaddr_un addr{};
  if ((path[0] != '/' && path[0] != '@') || length >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path, length);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // an abstract socket
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&addr), size);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace gw
