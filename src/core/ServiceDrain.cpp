#include "core/ServiceDrain.h"

#include <algorithm>

#include "common/Platform.h"
#include "core/GateWayServer.h"

namespace gw {

namespace {

std::string Seconds(std::chrono::steady_clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

}  // namespace

uint32_t TDrainOptions::CloseGraceMs() const {
  return std::min(Seconds * 1000, TGateWaySocketServer::kDrainGraceMs);
}

uint32_t TDrainOptions::RelayMs() const { return Seconds * 1000 - CloseGraceMs(); }

TServiceDrain::TServiceDrain(TGateWaySocketServer& Server, TDrainOptions Options,
                             std::string Reason, bool AcceptingStopped, TLogProc Log,
                             std::function<void()> OnEnd)
    : FServer(Server),
      FOptions(Options),
      FReason(std::move(Reason)),
      FLog(std::move(Log)),
      FOnEnd(std::move(OnEnd)),
      FStart(std::chrono::steady_clock::now()),
      FAcceptingStopped(AcceptingStopped) {
  FServer.BeginDrain([this] { Wake(); });
  FThread = std::thread([this] { Execute(); });
}

TServiceDrain::~TServiceDrain() {
  FServer.BeginDrain(nullptr);  // no wake-up reaches a drain that is gone
  {
    std::lock_guard<std::mutex> guard(FLock);
    FCancel = true;
  }
  FWakeUp.notify_all();
  if (FThread.joinable()) FThread.join();
}

void TServiceDrain::Wake() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FWoken = true;
  }
  FWakeUp.notify_all();
}

void TServiceDrain::Hurry() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FHurry = true;
  }
  FWakeUp.notify_all();
}

bool TServiceDrain::Ended() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FEnded;
}

void TServiceDrain::Execute() {
  NameCurrentThread("gw-drain");
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  const auto noticeEnd = FStart + seconds(FOptions.NoticeSeconds);
  const auto relayEnd = FStart + milliseconds(FOptions.RelayMs());
  auto nextReport = FStart + seconds(kReportSeconds);
  Log("Drain started (" + FReason + "): " + std::to_string(FServer.SessionCount()) + " sessions; " +
      (FAcceptingStopped
           ? std::string("new clients go to the new process")
           : "new clients are refused after " + std::to_string(FOptions.NoticeSeconds) + " s") +
      "; the sessions left after " + std::to_string(FOptions.RelayMs() / 1000) +
      " s are closed (1001)");
  std::string ending;
  for (;;) {
    auto due = std::min(relayEnd, nextReport);
    if (!FAcceptingStopped) due = std::min(due, noticeEnd);
    bool hurry = false;
    {
      std::unique_lock<std::mutex> lock(FLock);
      FWakeUp.wait_until(lock, due, [this] { return FCancel || FHurry || FWoken; });
      if (FCancel) return;
      hurry = FHurry;
      FWoken = false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!FAcceptingStopped && (now >= noticeEnd || now >= relayEnd || hurry)) {
      FServer.StopAccepting();
      FAcceptingStopped = true;
      if (FOptions.NoticeSeconds > 0) Log("Drain: new clients are refused from now on");
    }
    const auto elapsed = now - FStart;
    if (hurry) {
      ending = "Drain ended early by a second stop request after " + Seconds(elapsed) +
               ": closing the remaining " + std::to_string(FServer.SessionCount()) +
               " sessions (1001)";
      break;
    }
    if (FAcceptingStopped && FServer.ClientConnections() == 0) {
      ending = "Drain ended: no session left after " + Seconds(elapsed);
      break;
    }
    if (now >= relayEnd) {
      ending = "Drain time over after " + Seconds(elapsed) + ": closing the remaining " +
               std::to_string(FServer.SessionCount()) + " sessions (1001)";
      break;
    }
    if (now >= nextReport) {
      nextReport += seconds(kReportSeconds);
      Log("Draining: " + std::to_string(FServer.SessionCount()) + " sessions remain, " +
          Seconds(relayEnd - now) + " left");
    }
  }
  Log(ending);
  {
    std::lock_guard<std::mutex> guard(FLock);
    FEnded = true;
  }
  if (FOnEnd) FOnEnd();
}

}  // namespace gw
