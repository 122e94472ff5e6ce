// TServiceDrain: one drain of a running gateway server, from its start to the moment the
// owner must stop the server. From the start the health check fails ("draining") and every
// session goes on being relayed; after the notice the client listener closes (later
// connection attempts are refused at once, which a balancer takes as "try another server");
// the drain ends as soon as no client connection is left (not before the notice has passed),
// or at its deadline, or at once when hurried (a second stop request). Its end is handed to
// the owner through `OnEnd`; the owner's stop closes whoever is left with 1001.
//
// Times: Seconds is the whole drain; the last kDrainGraceMs of it (all of it when shorter)
// are the stop's wait for the close frames' answers, so sessions are relayed for the rest.
// The log says when the drain starts, every kReportSeconds how many sessions remain, and how
// it ended.
//
// Thread safety: Hurry and Ended are safe from any thread. Construction starts the drain's
// thread, which waits on events and deadlines (never in a sleep loop); destruction ends it
// without calling OnEnd (the owner must destroy it before it stops the server).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "logging/LogLevel.h"

namespace gw {

class TGateWaySocketServer;

struct TDrainOptions {
  // The drain's whole length (--drain-seconds): default 2, the close frames' grace alone.
  uint32_t Seconds = 2;
  // How long the client port still accepts after the start (--drain-notice-seconds).
  uint32_t NoticeSeconds = 0;
  static constexpr uint32_t kMaxSeconds = 86400;
  // The part of Seconds left to the stop's wait for the close frames' answers.
  uint32_t CloseGraceMs() const;
  // The part before it, in which sessions are relayed as usual.
  uint32_t RelayMs() const;
};

class TServiceDrain {
 public:
  static constexpr int kReportSeconds = 10;

  // `AcceptingStopped`: the listeners are gone already (handed to another process), so no
  // notice is kept. `OnEnd` runs once on the drain's thread.
  TServiceDrain(TGateWaySocketServer& Server, TDrainOptions Options, std::string Reason,
                bool AcceptingStopped, TLogProc Log, std::function<void()> OnEnd);
  ~TServiceDrain();
  TServiceDrain(const TServiceDrain&) = delete;
  TServiceDrain& operator=(const TServiceDrain&) = delete;

  // Ends the drain at once (OnEnd follows on the drain's thread).
  void Hurry();
  // Whether OnEnd has been called.
  bool Ended() const;

 private:
  void Execute();
  void Wake();
  void Log(const std::string& Text) const {
    if (FLog) FLog(Text, llMessage);
  }

  TGateWaySocketServer& FServer;
  const TDrainOptions FOptions;
  const std::string FReason;
  const TLogProc FLog;
  const std::function<void()> FOnEnd;
  const std::chrono::steady_clock::time_point FStart;
  bool FAcceptingStopped;  // the drain's thread

  mutable std::mutex FLock;  // guards the flags below
  std::condition_variable FWakeUp;
  bool FWoken = false;
  bool FHurry = false;
  bool FCancel = false;
  bool FEnded = false;
  std::thread FThread;
};

}  // namespace gw
