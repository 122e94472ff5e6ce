#include "core/UserSession.h"

#include <algorithm>
#include <cstring>

#include "common/PeerLimits.h"

namespace gw {

static_assert(limits::kMaxSessionQueuedBytes <= UINT32_MAX &&
                  limits::kMaxSessionQueuedMessages <= UINT32_MAX,
              "a session's queue counts fit 32 bits");

PUserSession TUserSession::Create(PWebSocketConnection connection) {
  PUserSession session = std::make_shared<TUserSession>(TCreateKey{}, std::move(connection));
  if (session->FConnection) session->FConnection->SetUserObject(session.get());
  return session;
}

TUserSession* TUserSession::FromConnection(const IWebSocketConnection& connection) {
  return static_cast<TUserSession*>(connection.GetUserObject());
}

TUserSession::TUserSession(TCreateKey, PWebSocketConnection connection)
    : FConnection(std::move(connection)), FIP(FConnection ? FConnection->PeerAddr() : "") {}

TUserSession::~TUserSession() = default;  // the queued records free themselves

void TUserSession::DetachFromConnection() {
  if (FConnection && FConnection->GetUserObject() == this) FConnection->SetUserObject(nullptr);
}

bool TUserSession::AddMessage(TSessionMessagePtr msg) {
  AssertOwner();
  if (!msg) return false;
  const bool tooMany = FMessageQueue.size() >= limits::kMaxSessionQueuedMessages;
  if (tooMany || uint64_t{FQueuedBytes} + msg->DataLen() > limits::kMaxSessionQueuedBytes) {
    // Counted once per session: the first refusal is what disconnects it.
    if (!FQueueLimitHit && FStats) {
      FStats->Count(tooMany ? TLimitBreach::lbSessionQueuedMessages
                            : TLimitBreach::lbSessionQueuedBytes);
    }
    FQueueLimitHit = true;
    return false;
  }
  FQueuedBytes += msg->DataLen();
  FMessageQueue.push_back(std::move(msg));
  return true;
}

namespace {

// FCountedStep's values: not counted yet, counted under one of the three gauges, out.
enum : uint8_t { kStepUncounted, kStepToken, kStepLogin, kStepGame, kStepCountedOut };

std::atomic<uint64_t>& StepGauge(TGateWayStats& Stats, uint8_t Step) {
  switch (Step) {
    case kStepToken:
      return Stats.SessionsToken;
    case kStepLogin:
      return Stats.SessionsLogin;
    default:
      return Stats.SessionsGame;
  }
}

}  // namespace

void TUserSession::RecountStep() {
  if (FStats == nullptr) return;
  const auto stepNow = [this]() -> uint8_t {
    if (!FTokenChecked.load(std::memory_order_relaxed)) return kStepToken;
    return SessionStep() == ssGame ? kStepGame : kStepLogin;
  };
  // Another thread may change the step meanwhile: the gauges move once per change of the
  // counted step, and the loop ends only when what is counted is the step as it stands.
  for (uint8_t now = stepNow();; now = stepNow()) {
    uint8_t old = FCountedStep.load(std::memory_order_relaxed);
    do {
      if (old == kStepCountedOut) return;
      if (old == now) break;
    } while (!FCountedStep.compare_exchange_weak(old, now, std::memory_order_relaxed));
    if (old != now) {
      if (old != kStepUncounted) TGateWayStats::Move(StepGauge(*FStats, old), -1);
      TGateWayStats::Move(StepGauge(*FStats, now), 1);
    }
    if (stepNow() == now) return;
  }
}

void TUserSession::CountOut() {
  const uint8_t old = FCountedStep.exchange(kStepCountedOut, std::memory_order_relaxed);
  if (FStats != nullptr && old != kStepUncounted && old != kStepCountedOut) {
    TGateWayStats::Move(StepGauge(*FStats, old), -1);
  }
}

TSessionMessagePtr TUserSession::TakeMessage() {
  AssertOwner();
  if (FQueueHead >= FMessageQueue.size()) return nullptr;
  TSessionMessagePtr msg = std::move(FMessageQueue[FQueueHead++]);
  FQueuedBytes -= msg->DataLen();
  if (FQueueHead == FMessageQueue.size()) {
    // Drained: an idle session keeps no queue storage.
    std::vector<TSessionMessagePtr>().swap(FMessageQueue);
    FQueueHead = 0;
  } else if (FQueueHead >= 32 && FQueueHead * 2 >= FMessageQueue.size()) {
    // A queue that never quite drains must not keep the taken slots in front of it.
    FMessageQueue.erase(FMessageQueue.begin(), FMessageQueue.begin() + FQueueHead);
    FQueueHead = 0;
  }
  return msg;
}

void TUserSession::SetInfo(const std::string& account, const std::string& playerName) {
  AssertOwner();
  if (!FInfo) FInfo = std::make_unique<TInfo>();
  FInfo->Account = account;
  FInfo->PlayerName = playerName;
}

void TUserSession::SetToken(std::string_view token) {
  FTokenLen = static_cast<uint8_t>(std::min(token.size(), kTokenMaxLen));
  if (FTokenLen > 0) std::memcpy(FTokenID, token.data(), FTokenLen);
}

void TUserSession::SetSessionTime(const TDefaultMessage& AMessage) {
  AssertOwner();
  FHitTime = static_cast<uint16_t>(AMessage.Series);
  FSpellTime = static_cast<uint16_t>(AMessage.nSessionID);
  FRunTime = static_cast<uint16_t>(AMessage.Param);
  FWalkTime = static_cast<uint16_t>(AMessage.Tag);
  FboSpeedLoaded = true;

  TSessionMessagePtr msg = MakeSessionMessage(0, 0, 0, 1 + kDefaultMessageSize);
  uint8_t* bytes = msg->MutableData();
  bytes[0] = mtDefault;
  WriteDefaultMessage(AMessage, bytes + 1);
  AddMessage(std::move(msg));
}

}  // namespace gw
