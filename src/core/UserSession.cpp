#include "core/UserSession.h"

#include <cstring>

#include "common/PeerLimits.h"

namespace gw {

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
  if (!msg) return false;
  const bool tooMany = FMessageQueue.size() >= limits::kMaxSessionQueuedMessages;
  if (tooMany || FQueuedBytes + msg->DataLen > limits::kMaxSessionQueuedBytes) {
    // Counted once per session: the first refusal is what disconnects it.
    if (!FQueueLimitHit) {
      CountLimitBreach(tooMany ? TLimitBreach::lbSessionQueuedMessages
                               : TLimitBreach::lbSessionQueuedBytes);
    }
    FQueueLimitHit = true;
    return false;
  }
  FQueuedBytes += msg->DataLen;
  FMessageQueue.push_back(std::move(msg));
  return true;
}

TSessionMessagePtr TUserSession::TakeMessage() {
  if (FMessageQueue.empty()) return nullptr;
  TSessionMessagePtr msg = std::move(FMessageQueue.front());
  FMessageQueue.pop_front();
  FQueuedBytes -= msg->DataLen;
  return msg;
}

void TUserSession::SetInfo(const std::string& account, const std::string& playerName) {
  std::lock_guard<std::mutex> guard(FInfoLock);
  FAccount = account;
  FPlayerName = playerName;
}

void TUserSession::SetToken(const std::string& token) {
  std::lock_guard<std::mutex> guard(FInfoLock);
  FTokenID = token;
}

std::string TUserSession::TokenID() const {
  std::lock_guard<std::mutex> guard(FInfoLock);
  return FTokenID;
}

std::string TUserSession::Account() const {
  std::lock_guard<std::mutex> guard(FInfoLock);
  return FAccount;
}

std::string TUserSession::PlayerName() const {
  std::lock_guard<std::mutex> guard(FInfoLock);
  return FPlayerName;
}

void TUserSession::SetSessionTime(const TDefaultMessage& AMessage) {
  FHitTime = static_cast<uint16_t>(AMessage.Series);
  FSpellTime = static_cast<uint16_t>(AMessage.nSessionID);
  FRunTime = static_cast<uint16_t>(AMessage.Param);
  FWalkTime = static_cast<uint16_t>(AMessage.Tag);
  FboSpeedLoaded = true;

  uint8_t* block = AllocSessionData(1 + kDefaultMessageSize);
  block[0] = mtDefault;
  WriteDefaultMessage(AMessage, block + 1);
  AddMessage(TSessionMessagePtr(NewSessionMessage(0, 0, 0, block, 1 + kDefaultMessageSize)));
}

uint8_t* TUserSession::AcquireMergeBuffer() {
  if (!MergeClientBuffer) MergeClientBuffer = std::make_unique<uint8_t[]>(MergeClientBufferSize);
  return MergeClientBuffer.get();
}

}  // namespace gw
