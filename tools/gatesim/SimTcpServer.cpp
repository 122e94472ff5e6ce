#include "SimTcpServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "SocketIo.h"

namespace gw {

namespace {

constexpr uint64_t kListenTag = 0;
constexpr uint64_t kWakeTag = ~uint64_t{0};
// A peer that sends more than this without the subclass consuming any of it is out of step.
constexpr size_t kMaxPendingInput = 4u << 20;
// A peer that stops reading while this much waits for it is dropped.
constexpr size_t kMaxPendingOutput = 64u << 20;

std::string ErrnoText(const char* What) { return std::string(What) + ": " + std::strerror(errno); }

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

TSimTcpServer::TSimTcpServer(std::string Name, TSimLog& Log) : FName(std::move(Name)), FLog(Log) {}

TSimTcpServer::~TSimTcpServer() { Stop(); }

bool TSimTcpServer::Start(const std::string& Addr, uint16_t Port, std::string& Error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(Port);
  if (inet_pton(AF_INET, Addr.c_str(), &sa.sin_addr) != 1) {
    Error = "not an IPv4 address: " + Addr;
    return false;
  }
  FListenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (FListenFd < 0) {
    Error = ErrnoText("socket");
    return false;
  }
  int one = 1;
  setsockopt(FListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(FListenFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
      listen(FListenFd, 128) != 0) {
    Error = ErrnoText("bind/listen") + " (" + Addr + ":" + std::to_string(Port) + ")";
    close(FListenFd);
    FListenFd = -1;
    return false;
  }
  socklen_t len = sizeof(sa);
  getsockname(FListenFd, reinterpret_cast<sockaddr*>(&sa), &len);
  FPort = ntohs(sa.sin_port);
  FEpollFd = epoll_create1(EPOLL_CLOEXEC);
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenTag;
  epoll_ctl(FEpollFd, EPOLL_CTL_ADD, FListenFd, &ev);
  ev.data.u64 = kWakeTag;
  epoll_ctl(FEpollFd, EPOLL_CTL_ADD, FWakeFd, &ev);
  FRunning = true;
  FThread = std::thread([this] { Run(); });
  return true;
}

void TSimTcpServer::Stop() {
  if (FThread.joinable()) {
    FRunning = false;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(FWakeFd, &one, sizeof(one));
    FThread.join();
  }
  for (auto& [id, c] : FConns) close(c.Fd);
  FConns.clear();
  for (int* fd : {&FListenFd, &FEpollFd, &FWakeFd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void TSimTcpServer::Post(std::function<void()> Fn) {
  {
    std::lock_guard<std::mutex> guard(FPostedLock);
    FPosted.push_back(std::move(Fn));
  }
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(FWakeFd, &one, sizeof(one));
}

void TSimTcpServer::SetReading(bool On) {
  Post([this, On] {
    FReadingOn = On;
    for (auto& [id, c] : FConns) {
      if (!c.Closing) UpdateInterest(id, c);
    }
  });
}

void TSimTcpServer::ApplyFaults() {
  const uint64_t now = NowMs();
  for (TConnId id : Connections()) {
    TConn& c = FConns.find(id)->second;
    const uint64_t age = now - c.OpenedMs;
    if (FFaults.DropEveryMs != 0 && age >= FFaults.DropEveryMs) {
      FFaultDrops.fetch_add(1);
      FLog.Always(FName, "fault: dropping connection " + std::to_string(id));
      CloseConnection(id, "fault: dropped");
      continue;
    }
    if (c.Reading && FFaults.StopReadingAfterMs >= 0 &&
        age >= static_cast<uint64_t>(FFaults.StopReadingAfterMs)) {
      c.Reading = false;
      FLog.Always(FName, "fault: no longer reading connection " + std::to_string(id));
      UpdateInterest(id, c);
    }
    if (FFaults.ReadBytesPerSec != 0 && c.Reading && FReadingOn) {
      // A slow reader: a tenth of the rate per timer turn, taken in small reads.
      c.ReadBudget = std::max<uint64_t>(FFaults.ReadBytesPerSec / 10, 1);
      char buf[4096];
      while (c.ReadBudget > 0) {
        ssize_t n = recv(c.Fd, buf, std::min<uint64_t>(sizeof(buf), c.ReadBudget), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          CloseConnection(id, n == 0 ? "peer closed" : ErrnoText("recv"));
          break;
        }
        if (n < 0) break;
        c.ReadBudget -= static_cast<uint64_t>(n);
        c.In.append(buf, static_cast<size_t>(n));
        size_t used = OnReceive(id, c.In);
        if (c.Closing) break;
        c.In.erase(0, used);
      }
    }
  }
}

void TSimTcpServer::RunPosted() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> guard(FPostedLock);
    batch.swap(FPosted);
  }
  for (auto& fn : batch) fn();
}

void TSimTcpServer::Run() {
  using Clock = std::chrono::steady_clock;
  auto nextTimer = Clock::now() + std::chrono::milliseconds(100);
  epoll_event events[64];
  while (FRunning) {
    int n = epoll_wait(FEpollFd, events, 64, 20);
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kListenTag) {
        Accept();
      } else if (tag == kWakeTag) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(FWakeFd, &count, sizeof(count));
        RunPosted();
      } else {
        auto it = FConns.find(tag);
        if (it == FConns.end()) continue;
        if (!WantsRead(it->second)) {
          // Not reading (a fault): only a failed or closed connection is noticed.
          if (events[i].events & (EPOLLERR | EPOLLHUP)) CloseConnection(tag, "peer gone");
        } else if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
          ReadFrom(tag);
        }
        if (events[i].events & EPOLLOUT) Flush(tag);
      }
    }
    if (Clock::now() >= nextTimer) {
      nextTimer += std::chrono::milliseconds(100);
      ApplyFaults();
      OnTimer();
    }
    auto dirty = std::move(FDirty);
    FDirty.clear();
    for (TConnId id : dirty) {
      auto it = FConns.find(id);
      if (it == FConns.end()) continue;
      it->second.Dirty = false;
      Flush(id);
    }
    // Removal waits until the events of this turn are handled, so that a connection id seen
    // in this turn's event list is never reused or dangling.
    auto removing = std::move(FToRemove);
    FToRemove.clear();
    for (TConnId id : removing) Remove(id);
  }
}

void TSimTcpServer::Accept() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    int fd =
        accept4(FListenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        FLog.Always(FName, ErrnoText("accept"));
      }
      return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    TConnId id = FNextId++;
    TConn& conn = FConns[id];
    conn.Fd = fd;
    conn.OpenedMs = NowMs();
    conn.Reading = FFaults.StopReadingAfterMs != 0;
    epoll_event ev{};
    ev.events = WantsRead(conn) ? uint32_t{EPOLLIN} : 0u;
    ev.data.u64 = id;
    epoll_ctl(FEpollFd, EPOLL_CTL_ADD, fd, &ev);
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof(addr));
    OnOpen(id, std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port)));
  }
}

void TSimTcpServer::ReadFrom(TConnId Id) {
  auto it = FConns.find(Id);
  if (it == FConns.end() || it->second.Closing) return;
  std::string error;
  auto onData = [&](std::string_view Chunk) {
    TConn& c = FConns.find(Id)->second;
    c.In.append(Chunk);
    size_t used = OnReceive(Id, c.In);
    // The hook may have closed the connection; it stays in the table until the turn ends.
    if (c.Closing) return false;
    c.In.erase(0, used);
    if (c.In.size() > kMaxPendingInput) {
      CloseConnection(Id, "too much unconsumed input");
      return false;
    }
    return true;
  };
  if (ReadAvailable(it->second.Fd, onData, error) == TIoStatus::ioClosed) {
    CloseConnection(Id, error);
  }
}

void TSimTcpServer::Send(TConnId Id, std::string_view Bytes) {
  auto it = FConns.find(Id);
  if (it == FConns.end() || it->second.Closing) return;
  TConn& c = it->second;
  if (c.Out.size() - c.OutHead + Bytes.size() > kMaxPendingOutput) {
    CloseConnection(Id, "peer does not read");
    return;
  }
  c.Out.append(Bytes);
  // Written at the end of this turn: one system call carries every reply of the turn.
  if (!c.Dirty) {
    c.Dirty = true;
    FDirty.push_back(Id);
  }
}

void TSimTcpServer::Flush(TConnId Id) {
  auto it = FConns.find(Id);
  if (it == FConns.end() || it->second.Closing) return;
  TConn& c = it->second;
  std::string error;
  if (SendPending(c.Fd, c.Out, c.OutHead, error) == TIoStatus::ioClosed) {
    CloseConnection(Id, error);
    return;
  }
  UpdateInterest(Id, c);
}

void TSimTcpServer::UpdateInterest(TConnId Id, TConn& C) {
  bool want = C.OutHead < C.Out.size();
  C.WantWrite = want;
  epoll_event ev{};
  ev.events = (WantsRead(C) ? uint32_t{EPOLLIN} : 0u) | (want ? uint32_t{EPOLLOUT} : 0u);
  ev.data.u64 = Id;
  epoll_ctl(FEpollFd, EPOLL_CTL_MOD, C.Fd, &ev);
}

void TSimTcpServer::CloseConnection(TConnId Id, const std::string& Why) {
  auto it = FConns.find(Id);
  if (it == FConns.end() || it->second.Closing) return;
  it->second.Closing = true;
  epoll_ctl(FEpollFd, EPOLL_CTL_DEL, it->second.Fd, nullptr);
  FLog.Event(FName, "connection " + std::to_string(Id) + " closed: " + Why);
  OnClose(Id);
  FToRemove.push_back(Id);
}

void TSimTcpServer::Remove(TConnId Id) {
  auto it = FConns.find(Id);
  if (it == FConns.end()) return;
  close(it->second.Fd);
  FConns.erase(it);
}

std::vector<TSimTcpServer::TConnId> TSimTcpServer::Connections() const {
  std::vector<TConnId> ids;
  for (const auto& [id, c] : FConns) {
    if (!c.Closing) ids.push_back(id);
  }
  return ids;
}

}  // namespace gw
