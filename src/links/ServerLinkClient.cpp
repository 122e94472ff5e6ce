#include "links/ServerLinkClient.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/Platform.h"
#include "links/LinkSocket.h"

namespace gw {

namespace {

// Longest single wait with a hand-driven tick source (tests): such a clock moves
// without waking anybody.
constexpr uint32_t kHandDrivenTickWait = 50;
// Longest single wait otherwise; every deadline is far below it.
constexpr uint32_t kLongestWait = 60000;

}  // namespace

TServerLinkClient::TServerLinkClient(std::string Name, std::string Host, int32_t Port,
                                     int64_t SendCacheCapacity, int64_t SendBacklogLimit,
                                     bool KeepSendCacheWhileDown)
    : FName(std::move(Name)),
      FHost(std::move(Host)),
      FPort(Port),
      FTickSource(GetTickCount32),
      FSendCache(SendCacheCapacity),
      FSendBacklogLimit(SendBacklogLimit),
      FKeepSendCacheWhileDown(KeepSendCacheWhileDown) {
  if (!FWake.Valid()) throw std::runtime_error(FName + " " + FWake.Error());
  SetAbortCheck([this] { return Stopping(); });
}

TServerLinkClient::~TServerLinkClient() { Stop(); }

void TServerLinkClient::SetTickSource(std::function<uint32_t()> Source) {
  FTickSource = std::move(Source);
  FHandDrivenTicks = true;
}

void TServerLinkClient::Start() {
  if (FRunThread.Running()) return;
  FStopping.store(false, std::memory_order_release);
  FPaused = false;
  FRunThread.Start([this](TAnonymousThreadEx& Thread) { RunLoop(Thread); });
}

void TServerLinkClient::BeginStop() {
  FStopping.store(true, std::memory_order_release);
  Wake();
}

void TServerLinkClient::Stop() {
  if (!FRunThread.Running()) return;
  BeginStop();
  FRunThread.Stop();
  // Closing the clients just before (the listener stops first) appended their close
  // packets; the server must still get them. The link's thread has ended, so its socket
  // and buffers are this thread's now. The socket stays open.
  if (!IsConnected()) return;
  try {
    MoveSendCache();
  } catch (const std::bad_alloc&) {
    Stats().Count(TLimitBreach::lbSendCacheOutOfMemory);
    Log(FName + " send buffer cannot grow, the last packets are dropped", llError);
  }
  const int64_t pending = SendStream().Size();
  if (!FlushSendStream(StopFlushTimeLimit())) {
    Log(FName + " stopped with " + std::to_string(SendStream().Size()) + " of " +
            std::to_string(pending) + " bytes unsent",
        llWarning);
  }
  PublishSendBacklog();
}

void TServerLinkClient::Wake() { FWake.Signal(); }

int64_t TServerLinkClient::SendBacklog() {
  std::lock_guard<std::mutex> guard(FSendLock);
  return FSendCache.Size() + FSendStreamBacklog.load(std::memory_order_relaxed);
}

std::string TServerLinkClient::LocalAddress() {
  std::lock_guard<std::mutex> guard(FSendLock);
  return FLocalAddress;
}

TServerLinkClient::TAppendResult TServerLinkClient::AppendToSendCache(const void* Head,
                                                                      int64_t HeadSize,
                                                                      const void* Body,
                                                                      int64_t BodySize) {
  TAppendResult result;
  const int64_t total = HeadSize + BodySize;
  if (total <= 0) return result;
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    if (!FKeepSendCacheWhileDown && !IsConnected()) return result;
    if (FSendCache.Size() + FSendStreamBacklog.load(std::memory_order_relaxed) + total >
        FSendBacklogLimit) {
      // The server is not taking what was sent: drop rather than grow without end.
      result.Full = true;
      result.FirstDrop = FDroppedAppends++ == 0;
      return result;
    }
    uint8_t* p;
    try {
      p = FSendCache.GetWritePointer(total);
    } catch (const std::bad_alloc&) {
      Stats().Count(TLimitBreach::lbSendCacheOutOfMemory);
      result.NoMemory = true;
      return result;
    }
    if (HeadSize > 0) std::memcpy(p, Head, static_cast<size_t>(HeadSize));
    if (BodySize > 0) std::memcpy(p + HeadSize, Body, static_cast<size_t>(BodySize));
    result.Queued = true;
    result.DroppedBefore = FDroppedAppends;
    FDroppedAppends = 0;
    if (!FWakePending) {
      FWakePending = true;
      wake = true;
    }
  }
  if (wake) Wake();
  return result;
}

int64_t TServerLinkClient::MoveSendCache() {
  std::lock_guard<std::mutex> guard(FSendLock);
  // Appends after this point send a wake-up of their own.
  FWakePending = false;
  const int64_t moved = FSendCache.Size();
  if (moved == 0) return 0;
  SendStream().CheckCompactionMemory();
  SendStream().WriteBuf(FSendCache.Memory(), FSendCache.Size());
  FSendCache.Trunc();
  PublishSendBacklog();
  return moved;
}

void TServerLinkClient::GatherBeforeTurn() {
  const auto until = FTurnStart + std::chrono::microseconds(FMinTurnMicros);
  if (std::chrono::steady_clock::now() >= until) return;
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    FWakePending = true;  // cleared when the turn takes the cache
  }
  // A wake-up already written is for bytes this turn takes anyway; only a stop is waited for.
  FWake.Drain();
  if (Stopping()) return;
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
      until - std::chrono::steady_clock::now());
  if (left.count() <= 0) return;
  links::TPollEntry wake{FWake.Handle(), links::kPollIn, 0};
  if (links::PollSocketsFor(&wake, 1, left) > 0) FWake.Drain();
}

void TServerLinkClient::PauseTurns(uint32_t Ms) {
  FPaused = true;
  FPauseStart = GetTickCount32();
  FPauseMs = Ms;
}

void TServerLinkClient::ConnectTurn() {
  // Both buffers start empty on every connection. They are emptied before the connection
  // is made, not after: once it is up, other threads append for it, and that must not be
  // thrown away.
  if (!FKeepSendCacheWhileDown) {
    std::lock_guard<std::mutex> guard(FSendLock);
    FSendCache.Trunc();
    FDroppedAppends = 0;
  }
  SendStream().Clear();
  RecvStream().Clear();
  PublishSendBacklog();
  std::string error;
  if (!Connect(FHost, FPort, error, &FWake)) {
    if (!Stopping()) OnConnectFailed(error);
    return;
  }
  std::string local = GetLocalAddress();
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    FLocalAddress = std::move(local);
  }
  FLastRecvTick = Now();
  FLastSendProgressTick = FLastRecvTick;
  FUpSince.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                 std::memory_order_relaxed);
  OnConnected();
}

void TServerLinkClient::RunTurn() {
  assert(OnLinkThread());
  if (Stopping()) return;
  if (FPaused) {
    const uint32_t spent = TicksSince(GetTickCount32(), FPauseStart);
    if (spent < FPauseMs) {
      links::TPollEntry wake{FWake.Handle(), links::kPollIn, 0};
      if (links::PollSockets(&wake, 1, static_cast<int>(FPauseMs - spent)) > 0) FWake.Drain();
      return;
    }
    FPaused = false;
    OnPauseEnded();
    return;
  }
  if (!IsConnected()) {
    ConnectTurn();
    return;
  }
  if (FMinTurnMicros > 0 && FLastTurnBusy) {
    GatherBeforeTurn();
    if (Stopping()) return;
  }
  // Resting pays only while turns come closer together than the gathering time: a link
  // woken now and then would spend a second wake-up on the rest after each turn.
  const auto previousStart = FTurnStart;
  FTurnStart = std::chrono::steady_clock::now();
  FLastTurnBusy = false;
  const bool frequent = FTurnStart - previousStart < 2 * std::chrono::microseconds(FMinTurnMicros);
  uint32_t waitMs = OnTimer(Now());
  if (!IsConnected() || Stopping()) return;
  if (MoveSendCache() > 0) FLastTurnBusy = frequent;
  if (SendStream().Size() > 0 && SendData() > 0) FLastSendProgressTick = Now();
  if (SendStream().Size() == 0) FLastSendProgressTick = Now();
  PublishSendBacklog();
  if (!IsConnected()) return;

  waitMs = std::min(waitMs, FHandDrivenTicks ? kHandDrivenTickWait : kLongestWait);
  const short sendInterest = SendStream().Size() > 0 ? links::kPollOut : 0;
  links::TPollEntry p[2] = {{SocketHandle(), static_cast<short>(links::kPollIn | sendInterest), 0},
                            {FWake.Handle(), links::kPollIn, 0}};
  int ready = links::PollSockets(p, 2, static_cast<int>(waitMs));
  if (ready < 0) {
    const int err = links::LastSocketError();
    if (links::IsInterruptedError(err)) return;
    throw std::runtime_error(std::string("poll: ") + links::SocketErrorText(err));
  }
  if ((p[1].REvents & links::kPollIn) != 0) FWake.Drain();
  if (ready > 0 && (p[0].REvents & links::kPollOut) != 0) {
    if (SendData() > 0) FLastSendProgressTick = Now();
    PublishSendBacklog();
  }
  if (ready > 0 && IsConnected() &&
      (p[0].REvents & (links::kPollIn | links::kPollHup | links::kPollErr)) != 0) {
    if (RecvData() > 0) {
      FLastRecvTick = Now();
      FLastTurnBusy = frequent;
    } else if (IsConnected()) {
      CheckPeerClosed();
    }
  }
  // Bytes may also wait from an earlier turn (a packet cut short): look every turn.
  if (IsConnected()) ProcessPackets();
}

void TServerLinkClient::RunLoop(TAnonymousThreadEx& Thread) {
  NameCurrentThread("gw-" + FName);
  while (!Stopping() && !Thread.Terminated()) {
    try {
      RunTurn();
    } catch (const std::exception& e) {
      OnTurnError(e.what());
    } catch (...) {
      OnTurnError("unknown error");
    }
  }
}

void TServerLinkClient::Disconnect(int32_t ErrorCode, const std::string& Desc) {
  assert(OnLinkThread());
  TSocketClient::Disconnect(ErrorCode, Desc);
  {
    std::lock_guard<std::mutex> guard(FSendLock);
    FLocalAddress.clear();
    if (!FKeepSendCacheWhileDown) FSendCache.Trunc();
  }
  PublishSendBacklog();
}

}  // namespace gw
