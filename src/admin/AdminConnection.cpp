#include "admin/AdminConnection.h"

#include "common/PeerLimits.h"

namespace gw {

TAdminConnection::TAdminConnection(THttpServer& owner, int socket, size_t maxHeaderSize,
                                   uint64_t maxPostDataSize)
    : THttpConnection(owner, socket, maxHeaderSize, maxPostDataSize) {}

TAdminAnswer TAdminConnection::Defer(
    std::function<void(TAdminConnection&, const TAdminReply&)> send) {
  FPending = true;
  auto self = std::static_pointer_cast<TAdminConnection>(shared_from_this());
  return [self, send = std::move(send)](TAdminReply reply) {
    TIoEventThread* thread = self->Thread();
    auto task = [self, send, reply = std::move(reply)] {
      if (self->IsClosed()) return;
      send(*self, reply);
      self->Finish();
    };
    if (thread == nullptr || thread->IsCurrent()) {
      task();
    } else {
      thread->Post(std::move(task));
    }
  };
}

void TAdminConnection::HoldBytes(const uint8_t* data, size_t size) {
  if (FHeld.size() + size > limits::kMaxAdminHeldBytes) {
    CountLimitBreach(TLimitBreach::lbAdminHeldBytes);
    CloseConnection();
    return;
  }
  FHeld.insert(FHeld.end(), data, data + size);
}

void TAdminConnection::HandleReceived(const uint8_t* data, size_t size) {
  if (FPending) {
    HoldBytes(data, size);
    return;
  }
  THttpConnection::HandleReceived(data, size);
}

void TAdminConnection::Finish() {
  FPending = false;
  if (FHeld.empty() || IsClosed()) return;
  std::vector<uint8_t> held;
  held.swap(FHeld);
  THttpConnection::HandleReceived(held.data(), held.size());
}

}  // namespace gw
