#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "EventPoller.h"

namespace gw {

static_assert(pfIn == EPOLLIN && pfOut == EPOLLOUT && pfErr == EPOLLERR && pfHup == EPOLLHUP &&
              pfRdHup == EPOLLRDHUP && pfEdge == EPOLLET);

struct TEventPoller::TImpl {
  int Epoll = -1;
  int WakeFd = -1;
};

TEventPoller::TEventPoller() : FImpl(std::make_unique<TImpl>()) {
  FImpl->Epoll = epoll_create1(EPOLL_CLOEXEC);
  FImpl->WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FImpl->Epoll >= 0 && FImpl->WakeFd >= 0) Add(FImpl->WakeFd, kWakeTag, pfIn);
}

TEventPoller::~TEventPoller() {
  for (int fd : {FImpl->Epoll, FImpl->WakeFd}) {
    if (fd >= 0) close(fd);
  }
}

bool TEventPoller::Ok() const { return FImpl->Epoll >= 0 && FImpl->WakeFd >= 0; }

void TEventPoller::Add(int Fd, uint64_t Tag, uint32_t Events) {
  epoll_event ev{};
  ev.events = Events;
  ev.data.u64 = Tag;
  epoll_ctl(FImpl->Epoll, EPOLL_CTL_ADD, Fd, &ev);
}

void TEventPoller::Modify(int Fd, uint64_t Tag, uint32_t Events) {
  epoll_event ev{};
  ev.events = Events;
  ev.data.u64 = Tag;
  epoll_ctl(FImpl->Epoll, EPOLL_CTL_MOD, Fd, &ev);
}

void TEventPoller::Remove(int Fd) { epoll_ctl(FImpl->Epoll, EPOLL_CTL_DEL, Fd, nullptr); }

// epoll reports the next edge by itself.
void TEventPoller::WantWriteAgain(int) {}

int TEventPoller::Wait(TPollEvent* Events, int Max, int TimeoutMs) {
  epoll_event ready[256];
  int n = epoll_wait(FImpl->Epoll, ready, std::min(Max, 256), TimeoutMs);
  for (int i = 0; i < n; ++i) {
    Events[i].Tag = ready[i].data.u64;
    Events[i].Events = ready[i].events;
    if (Events[i].Tag == kWakeTag) {
      uint64_t count;
      [[maybe_unused]] ssize_t r = read(FImpl->WakeFd, &count, sizeof(count));
    }
  }
  return std::max(n, 0);
}

void TEventPoller::Wake() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(FImpl->WakeFd, &one, sizeof(one));
}

}  // namespace gw
