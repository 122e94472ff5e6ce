#include "SimTcpServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "SimSocket.h"
#include "SocketIo.h"

namespace gw {

namespace {

constexpr uint64_t kListenTag = 0;
// A peer that sends more than this without the subclass consuming any of it is out of step.
constexpr size_t kMaxPendingInput = 4u << 20;
// A peer that stops reading while this much waits for it is dropped.
constexpr size_t kMaxPendingOutput = 64u << 20;

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
  if (!FPoller.Ok()) {
    Error = SocketErrorText("poller");
    return false;
  }
  FListenFd = OpenStreamSocket();
  if (FListenFd < 0) {
    Error = SocketErrorText("socket");
    return false;
  }
  if (!BindAndListen(FListenFd, sa, 128)) {
    Error = SocketErrorText("bind/listen") + " (" + Addr + ":" + std::to_string(Port) + ")";
    SocketClose(FListenFd);
    FListenFd = -1;
    return false;
  }
  sockaddr_storage bound{};
  SocketLocalAddress(FListenFd, bound);
  FPort = ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
  FPoller.Add(FListenFd, kListenTag, pfIn);
  FRunning = true;
  FThread = std::thread([this] { Run(); });
  return true;
}

void TSimTcpServer::Stop() {
  if (FThread.joinable()) {
    FRunning = false;
    FPoller.Wake();
    FThread.join();
  }
  for (auto& [id, c] : FConns) {
    FPoller.Remove(c.Fd);
    SocketClose(c.Fd);
  }
  FConns.clear();
  if (FListenFd >= 0) {
    FPoller.Remove(FListenFd);
    SocketClose(FListenFd);
  }
  FListenFd = -1;
}

void TSimTcpServer::Post(std::function<void()> Fn) {
  {
    std::lock_guard<std::mutex> guard(FPostedLock);
    FPosted.push_back(std::move(Fn));
  }
  FPoller.Wake();
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
        ssize_t n = SocketRecv(c.Fd, buf, std::min<uint64_t>(sizeof(buf), c.ReadBudget));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          CloseConnection(id, n == 0 ? "peer closed" : SocketErrorText("recv"));
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
  TPollEvent events[64];
  while (FRunning) {
    int n = FPoller.Wait(events, 64, 20);
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].Tag;
      if (tag == kListenTag) {
        Accept();
      } else if (tag == TEventPoller::kWakeTag) {
        RunPosted();
      } else {
        auto it = FConns.find(tag);
        if (it == FConns.end()) continue;
        if (!WantsRead(it->second)) {
          // Not reading (a fault): only a failed or closed connection is noticed.
          if (events[i].Events & (pfErr | pfHup)) CloseConnection(tag, "peer gone");
        } else if (events[i].Events & (pfIn | pfErr | pfHup)) {
          ReadFrom(tag);
        }
        if (events[i].Events & pfOut) Flush(tag);
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
    int fd = AcceptStream(FListenFd, peer);
    if (fd < 0) {
      if (!SocketWouldBlock()) FLog.Always(FName, SocketErrorText("accept"));
      return;
    }
    SocketSetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    TConnId id = FNextId++;
    TConn& conn = FConns[id];
    conn.Fd = fd;
    conn.OpenedMs = NowMs();
    conn.Reading = FFaults.StopReadingAfterMs != 0;
    FPoller.Add(fd, id, WantsRead(conn) ? uint32_t{pfIn} : 0u);
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
  FPoller.Modify(C.Fd, Id, (WantsRead(C) ? uint32_t{pfIn} : 0u) | (want ? uint32_t{pfOut} : 0u));
}

void TSimTcpServer::CloseConnection(TConnId Id, const std::string& Why) {
  auto it = FConns.find(Id);
  if (it == FConns.end() || it->second.Closing) return;
  it->second.Closing = true;
  FPoller.Remove(it->second.Fd);
  FLog.Event(FName, "connection " + std::to_string(Id) + " closed: " + Why);
  OnClose(Id);
  FToRemove.push_back(Id);
}

void TSimTcpServer::Remove(TConnId Id) {
  auto it = FConns.find(Id);
  if (it == FConns.end()) return;
  SocketClose(it->second.Fd);
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
