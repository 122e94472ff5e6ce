#include "core/UserSession.h"

#include <cstring>

namespace gw {

PUserSession TUserSession::Create(PWebSocketConnection connection) {
  PUserSession session = std::make_shared<TUserSession>(TCreateKey{}, std::move(connection));
  session->FSelf = session;
  if (session->FConnection) session->FConnection->SetUserObject(session.get());
  return session;
}

TUserSession* TUserSession::FromConnection(const IWebSocketConnection& connection) {
  return static_cast<TUserSession*>(connection.GetUserObject());
}

TUserSession::TUserSession(TCreateKey, PWebSocketConnection connection)
    : FConnection(std::move(connection)), FIP(FConnection ? FConnection->PeerAddr() : "") {}

TUserSession::~TUserSession() {
  for (PTSessionMessage msg : FMessageQueue) FreeSessionMessage(msg);
  FMessageQueue.clear();
}

void TUserSession::Free() {
  PUserSession self;  // released after the lock, possibly destroying this session
  {
    std::lock_guard<std::mutex> guard(FSelfLock);
    self = std::move(FSelf);
  }
  if (!self) return;
  // The connection may outlive the session (a send still in flight): it must not
  // hand out a pointer to a session that is going. Done here, on the thread of
  // the close event, rather than in the destructor, which may run inside a
  // transport's completion callback.
  if (FConnection && FConnection->GetUserObject() == this) FConnection->SetUserObject(nullptr);
}

void TUserSession::AddMessage(PTSessionMessage msg) {
  if (msg != nullptr) FMessageQueue.push_back(msg);
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
  AddMessage(NewSessionMessage(0, 0, 0, block, 1 + kDefaultMessageSize));
}

uint8_t* TUserSession::AcquireMergeBuffer() {
  if (!MergeClientBuffer) MergeClientBuffer = std::make_unique<uint8_t[]>(MergeClientBufferSize);
  return MergeClientBuffer.get();
}

}  // namespace gw
