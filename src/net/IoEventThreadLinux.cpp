#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/Platform.h"
#include "net/AbstractConnection.h"
#include "net/IoEventThread.h"
#include "net/NetDiagLog.h"

namespace gw {

static_assert(uint32_t{ieReadable} == EPOLLIN && uint32_t{ieWritable} == EPOLLOUT &&
              uint32_t{ieError} == EPOLLERR && uint32_t{ieHangup} == EPOLLHUP &&
              uint32_t{iePeerClosed} == EPOLLRDHUP);

namespace {
constexpr int kMaxEvents = 256;
}

bool TIoEventThread::Open() {
  FPoll = epoll_create1(EPOLL_CLOEXEC);
  if (FPoll < 0) {
    TNetDiagLog::SystemError("TIocpSocketEngine.StartLoop.epoll_create1", errno);
    return false;
  }
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FWakeFd < 0) {
    TNetDiagLog::SystemError("TIocpSocketEngine.StartLoop.eventfd", errno);
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = static_cast<TIoTarget*>(this);
  if (epoll_ctl(static_cast<int>(FPoll), EPOLL_CTL_ADD, FWakeFd, &ev) != 0) {
    TNetDiagLog::SystemError("TIocpSocketEngine.StartLoop.epoll_ctl", errno);
    return false;
  }
  return true;
}

void TIoEventThread::CloseEventSource() {
  if (FWakeFd >= 0) ::close(FWakeFd);
  if (FPoll >= 0) ::close(static_cast<int>(FPoll));
  FWakeFd = -1;
  FPoll = -1;
}

void TIoEventThread::DrainOperations() {}  // epoll keeps no operation in flight

void TIoEventThread::Wake() {
  if (FWakeFd < 0) return;
  uint64_t one = 1;
  ssize_t r = ::write(FWakeFd, &one, sizeof(one));
  (void)r;  // a full counter already wakes the thread
}

void TIoEventThread::OnIoEvents(uint32_t events, TIoEventThread& thread) {
  (void)events;
  (void)thread;
  uint64_t value;
  while (::read(FWakeFd, &value, sizeof(value)) > 0) {
  }
}

void TIoEventThread::Run() {
  FThreadId.store(std::this_thread::get_id());
  NameCurrentThread("gw-io-" + std::to_string(FIndex));
  epoll_event events[kMaxEvents];
  TTurnPacing pacing;
  while (!FStopping.load(std::memory_order_relaxed)) {
    if (!RestBeforeTurn(pacing)) break;
    int n = epoll_wait(static_cast<int>(FPoll), events, kMaxEvents, NextWaitMs());
    if (n < 0) {
      if (errno == EINTR) continue;
      TNetDiagLog::SystemError("TIocpSocketEngine.ProcessIoEvent.epoll_wait", errno);
      break;
    }
    pacing.TurnStarted(n > 0, FMinTurnMicros);
    for (int i = 0; i < n; ++i) {
      auto* target = static_cast<TIoTarget*>(events[i].data.ptr);
      TNetDiagLog::RunGuarded("TIocpSocketEngine",
                              [&] { target->OnIoEvents(events[i].events, *this); });
    }
    FinishTurn();
  }
  EndRun();
}

}  // namespace gw
