#include "links/LinkWake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace gw {

TLinkWake::TLinkWake() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    FError = std::string("eventfd: ") + std::strerror(errno);
    return;
  }
  FHandle = fd;
}

TLinkWake::~TLinkWake() {
  if (FHandle != links::kNoSocket) ::close(static_cast<int>(FHandle));
}

void TLinkWake::Signal() {
  const uint64_t one = 1;
  // Only fails when the counter is about to overflow, i.e. a wake-up is pending anyway.
  [[maybe_unused]] ssize_t n = ::write(static_cast<int>(FHandle), &one, sizeof(one));
}

void TLinkWake::Drain() {
  uint64_t count;
  while (::read(static_cast<int>(FHandle), &count, sizeof(count)) ==
         static_cast<ssize_t>(sizeof(count))) {
  }
}

}  // namespace gw
