// State messages reach the socket $NOTIFY_SOCKET names, abstract or in the file
// system; without the variable nothing is sent.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ServiceNotify.h"

namespace gw {
namespace {

std::string ReceiveOne(int fd) {
  char buffer[256];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  return n < 0 ? std::string("<error>") : std::string(buffer, static_cast<size_t>(n));
}

TEST(ServiceNotifyTest, SendsToAbstractAndPathSockets) {
  const std::string abstractName = "@gw-notify-test-" + std::to_string(::getpid());
  const std::string pathName = ::testing::TempDir() + "gw-notify-" + std::to_string(::getpid());
  for (const std::string& name : {abstractName, pathName}) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    ::unlink(name.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
              0)
        << name;
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    EXPECT_TRUE(NotifyServiceManager("READY=1\nSTATUS=serving"));
    EXPECT_EQ(ReceiveOne(fd), "READY=1\nSTATUS=serving") << name;
    ::close(fd);
    if (name[0] == '/') ::unlink(name.c_str());
  }
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(NotifyServiceManager("READY=1"));
  ::setenv("NOTIFY_SOCKET", "relative/path", 1);
  EXPECT_FALSE(NotifyServiceManager("READY=1"));
  ::unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace gw
