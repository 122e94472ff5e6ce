#include <winsock2.h>
#include <ws2tcpip.h>

#include <unordered_map>
#include <vector>

#include "EventPoller.h"
#include "net/SocketApi.h"

namespace gw {

namespace {

SOCKET Native(int Fd) { return static_cast<SOCKET>(static_cast<unsigned>(Fd)); }

SHORT PollBits(uint32_t Events) {
  SHORT bits = 0;
  if (Events & pfIn) bits |= POLLRDNORM;
  if (Events & pfOut) bits |= POLLWRNORM;
  return bits;
}

}  // namespace

struct TEventPoller::TImpl {
  // Entry 0 is the wake-up's receiving socket; the others are the registered sockets.
  std::vector<WSAPOLLFD> Fds;
  std::vector<uint64_t> Tags;
  std::vector<uint32_t> Interest;
  std::unordered_map<int, size_t> Index;
  SOCKET WakeIn = INVALID_SOCKET;
  SOCKET WakeOut = INVALID_SOCKET;
  size_t Next = 1;  // where the next scan starts, so that a busy socket cannot starve others

  void Set(size_t I, uint64_t Tag, uint32_t Events) {
    Tags[I] = Tag;
    Interest[I] = Events;
    Fds[I].events = PollBits(Events);
  }
};

TEventPoller::TEventPoller() : FImpl(std::make_unique<TImpl>()) {
  SocketStartup();
  // A datagram to oneself over loopback: the receiving end is polled with the sockets.
  SOCKET in = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  SOCKET out = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(addr);
  u_long on = 1;
  if (in == INVALID_SOCKET || out == INVALID_SOCKET ||
      bind(in, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(in, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      connect(out, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ioctlsocket(in, FIONBIO, &on) != 0 || ioctlsocket(out, FIONBIO, &on) != 0) {
    if (in != INVALID_SOCKET) closesocket(in);
    if (out != INVALID_SOCKET) closesocket(out);
    return;
  }
  FImpl->WakeIn = in;
  FImpl->WakeOut = out;
  FImpl->Fds.push_back(WSAPOLLFD{in, POLLRDNORM, 0});
  FImpl->Tags.push_back(kWakeTag);
  FImpl->Interest.push_back(pfIn);
}

TEventPoller::~TEventPoller() {
  for (SOCKET s : {FImpl->WakeIn, FImpl->WakeOut}) {
    if (s != INVALID_SOCKET) closesocket(s);
  }
}

bool TEventPoller::Ok() const { return FImpl->WakeIn != INVALID_SOCKET; }

void TEventPoller::Add(int Fd, uint64_t Tag, uint32_t Events) {
  if (FImpl->Index.count(Fd)) return;
  FImpl->Index[Fd] = FImpl->Fds.size();
  FImpl->Fds.push_back(WSAPOLLFD{Native(Fd), 0, 0});
  FImpl->Tags.push_back(0);
  FImpl->Interest.push_back(0);
  FImpl->Set(FImpl->Fds.size() - 1, Tag, Events);
}

void TEventPoller::Modify(int Fd, uint64_t Tag, uint32_t Events) {
  auto it = FImpl->Index.find(Fd);
  if (it != FImpl->Index.end()) FImpl->Set(it->second, Tag, Events);
}

void TEventPoller::Remove(int Fd) {
  auto it = FImpl->Index.find(Fd);
  if (it == FImpl->Index.end()) return;
  const size_t i = it->second;
  const size_t last = FImpl->Fds.size() - 1;
  FImpl->Index.erase(it);
  if (i != last) {
    FImpl->Fds[i] = FImpl->Fds[last];
    FImpl->Tags[i] = FImpl->Tags[last];
    FImpl->Interest[i] = FImpl->Interest[last];
    FImpl->Index[static_cast<int>(FImpl->Fds[i].fd)] = i;
  }
  FImpl->Fds.pop_back();
  FImpl->Tags.pop_back();
  FImpl->Interest.pop_back();
}

void TEventPoller::WantWriteAgain(int Fd) {
  auto it = FImpl->Index.find(Fd);
  if (it != FImpl->Index.end() && (FImpl->Interest[it->second] & pfOut)) {
    FImpl->Fds[it->second].events |= POLLWRNORM;
  }
}

int TEventPoller::Wait(TPollEvent* Events, int Max, int TimeoutMs) {
  TImpl& p = *FImpl;
  if (p.Fds.empty()) return 0;
  for (WSAPOLLFD& f : p.Fds) f.revents = 0;
  if (WSAPoll(p.Fds.data(), static_cast<ULONG>(p.Fds.size()), TimeoutMs) <= 0) return 0;
  int n = 0;
  if (p.Fds[0].revents != 0) {
    char drain[64];
    while (recv(p.WakeIn, drain, sizeof(drain), 0) > 0) {
    }
    Events[n++] = TPollEvent{kWakeTag, pfIn};
  }
  const size_t count = p.Fds.size() - 1;
  const size_t start = p.Next > count ? 0 : p.Next - 1;
  for (size_t k = 0; k < count && n < Max; ++k) {
    const size_t i = 1 + (start + k) % count;
    const SHORT got = p.Fds[i].revents;
    if (got == 0) continue;
    uint32_t events = 0;
    if (got & (POLLRDNORM | POLLRDBAND)) events |= pfIn;
    if (got & POLLWRNORM) events |= pfOut;
    if (got & (POLLERR | POLLNVAL)) events |= pfErr;
    if (got & POLLHUP) events |= pfHup | (p.Interest[i] & pfRdHup);
    events &= p.Interest[i] | pfErr | pfHup;
    if (events == 0) continue;
    // No edges here: write readiness, once seen, is not asked for again until a send blocks.
    if ((p.Interest[i] & pfEdge) && (events & pfOut)) p.Fds[i].events &= ~POLLWRNORM;
    Events[n++] = TPollEvent{p.Tags[i], events};
    p.Next = i + 1;
  }
  return n;
}

void TEventPoller::Wake() {
  const char one = 1;
  // A full buffer already holds a wake-up not yet taken: nothing is lost by failing.
  send(FImpl->WakeOut, &one, 1, 0);
}

}  // namespace gw
