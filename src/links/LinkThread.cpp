#include "links/LinkThread.h"

#include "common/Platform.h"

namespace gw {

void TLinkThread::Start(TBody Body) {
  if (FThread) return;
  FBody = std::move(Body);
  FThread = TAnonymousThreadEx::CreateAnonymousThreadEx(
      [](TAnonymousThreadEx& Thread, void* Data) {
        auto* self = static_cast<TLinkThread*>(Data);
        self->FThreadId.store(std::this_thread::get_id());
        self->FBody(Thread);
        self->FThreadId.store(std::thread::id());
      },
      this);
  FThread->Start();
}

void TLinkThread::Stop() {
  if (!FThread) return;
  FThread->Terminate();
  FThread->WaitFor();
  FThread.reset();
}

bool TLinkThread::Terminated() const { return FThread && FThread->Terminated(); }

bool TLinkThread::Sleep(uint32_t Ms) {
  if (FThread) return FThread->Sleep(Ms);
  SleepMs(Ms);
  return true;
}

}  // namespace gw
