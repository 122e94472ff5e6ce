#include "links/LinkThread.h"

#include "common/Platform.h"

namespace gw {

void TLinkThread::Start(TBody Body) {
  if (FThread) return;
  FBody = std::move(Body);
  FThread = TAnonymousThreadEx::CreateAnonymousThreadEx(
      [](TAnonymousThreadEx& Thread, void* Data) {
        static_cast<TLinkThread*>(Data)->FBody(Thread);
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
