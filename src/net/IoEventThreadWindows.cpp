// winsock2.h before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <chrono>

#include "common/Platform.h"
#include "net/AbstractConnection.h"
#include "net/IoEventThread.h"
#include "net/IocpOperation.h"
#include "net/NetDiagLog.h"

namespace gw {

namespace {

constexpr ULONG kMaxEntries = 256;
// How long the end of a thread waits for the completions of operations cancelled by the
// closes (they come at once; the bound only keeps a broken driver from hanging a stop).
constexpr auto kDrainLimit = std::chrono::seconds(2);

HANDLE Port(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

void Complete(const OVERLAPPED_ENTRY& entry, TIoEventThread& thread, bool abandoned) {
  auto* operation = reinterpret_cast<TIocpOperation*>(entry.lpOverlapped);
  operation->Complete(operation, entry.dwNumberOfBytesTransferred, OperationError(*operation),
                      thread, abandoned);
}

}  // namespace

bool TIoEventThread::Open() {
  // One thread per port: the connections on it are this thread's alone.
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (port == nullptr) {
    TNetDiagLog::SystemError("TIocpSocketEngine.StartLoop.CreateIoCompletionPort",
                             static_cast<int>(GetLastError()));
    return false;
  }
  FPoll = reinterpret_cast<intptr_t>(port);
  return true;
}

void TIoEventThread::CloseEventSource() {
  if (FPoll != -1) CloseHandle(Port(FPoll));
  FPoll = -1;
}

void TIoEventThread::Wake() {
  // A completion without an operation: the wait returns and the thread looks at its work.
  if (FPoll != -1) PostQueuedCompletionStatus(Port(FPoll), 0, 0, nullptr);
}

void TIoEventThread::OnIoEvents(uint32_t events, TIoEventThread& thread) {
  (void)events;
  (void)thread;  // wake-ups carry no operation: nothing to read
}

void TIoEventThread::DrainOperations() {
  if (FPoll == -1) return;
  const auto until = std::chrono::steady_clock::now() + kDrainLimit;
  while (FOperations.load() > 0 && std::chrono::steady_clock::now() < until) {
    OVERLAPPED_ENTRY entries[64];
    ULONG n = 0;
    if (!GetQueuedCompletionStatusEx(Port(FPoll), entries, 64, &n, 10, FALSE)) continue;
    for (ULONG i = 0; i < n; ++i) {
      if (entries[i].lpOverlapped == nullptr) continue;
      OperationEnded();
      Complete(entries[i], *this, true);
    }
  }
}

void TIoEventThread::Run() {
  FThreadId.store(std::this_thread::get_id());
  NameCurrentThread("gw-io-" + std::to_string(FIndex));
  OVERLAPPED_ENTRY entries[kMaxEntries];
  TTurnPacing pacing;
  while (!FStopping.load(std::memory_order_relaxed)) {
    if (!RestBeforeTurn(pacing)) break;
    const int waitMs = NextWaitMs();
    ULONG n = 0;
    if (!GetQueuedCompletionStatusEx(Port(FPoll), entries, kMaxEntries, &n,
                                     waitMs < 0 ? INFINITE : static_cast<DWORD>(waitMs), FALSE)) {
      const DWORD error = GetLastError();
      if (error != WAIT_TIMEOUT) {
        TNetDiagLog::SystemError("TIocpSocketEngine.ProcessIoEvent.GetQueuedCompletionStatus",
                                 static_cast<int>(error));
        break;
      }
      n = 0;
    }
    pacing.TurnStarted(n > 0, FMinTurnMicros);
    for (ULONG i = 0; i < n; ++i) {
      if (entries[i].lpOverlapped == nullptr) continue;  // a wake-up
      OperationEnded();
      TNetDiagLog::RunGuarded("TIocpSocketEngine", [&] { Complete(entries[i], *this, false); });
    }
    FinishTurn();
  }
  EndRun();
}

}  // namespace gw
