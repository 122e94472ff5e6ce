#include "common/AnonymousThreadEx.h"

#include <chrono>
#include <cstdio>
#include <exception>

namespace gw {

TAnonymousThreadEx::TAnonymousThreadEx(TThreadProc AProc, void* Data)
    : FProc(std::move(AProc)), FData(Data) {}

TAnonymousThreadEx::~TAnonymousThreadEx() {
  Terminate();
  WaitFor();
}

std::unique_ptr<TAnonymousThreadEx> TAnonymousThreadEx::CreateAnonymousThreadEx(TThreadProc AProc,
                                                                                void* Data) {
  return std::make_unique<TAnonymousThreadEx>(std::move(AProc), Data);
}

void TAnonymousThreadEx::Start() {
  if (FThread.joinable()) return;
  FThread = std::thread([this] { Execute(); });
}

void TAnonymousThreadEx::Terminate() {
  {
    std::lock_guard<std::mutex> guard(FWakeLock);
    FTerminated.store(true, std::memory_order_release);
  }
  FWake.notify_all();
}

void TAnonymousThreadEx::WaitFor() {
  if (!FThread.joinable()) return;
  if (FThread.get_id() == std::this_thread::get_id()) {
    FThread.detach();  // freed from inside its own procedure: nothing to wait for
  } else {
    FThread.join();
  }
}

bool TAnonymousThreadEx::Sleep(uint32_t Ms) {
  std::unique_lock<std::mutex> lock(FWakeLock);
  FWake.wait_for(lock, std::chrono::milliseconds(Ms), [this] { return Terminated(); });
  return !Terminated();
}

void TAnonymousThreadEx::Execute() {
  // The procedure is expected to catch its own errors; one that escapes must not
  // take the whole process down with std::terminate.
  try {
    if (FProc) FProc(*this, FData);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TAnonymousThreadEx: procedure ended with an error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "TAnonymousThreadEx: procedure ended with an unknown error\n");
  }
}

}  // namespace gw
