#include "core/UserSession.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "core/FakeWebSocketConnection.h"

namespace gw {
namespace {

std::shared_ptr<TFakeWebSocketConnection> NewConnection() {
  return std::make_shared<TFakeWebSocketConnection>("192.168.7.9");
}

TEST(UserSession, CreateAttachesToTheConnection) {
  auto connection = NewConnection();
  std::weak_ptr<TUserSession> weak;
  {
    PUserSession session = TUserSession::Create(connection);
    weak = session;
    EXPECT_EQ(TUserSession::FromConnection(*connection), session.get());
    EXPECT_EQ(session->SessionStep(), ssLogin);
    EXPECT_EQ(session->Handle(), kNoSessionHandle);
    EXPECT_EQ(session->LastSessionHandle(), kNoSessionHandle);
    EXPECT_EQ(session->IP(), "192.168.7.9");
    EXPECT_EQ(session->Connection(), connection);
    EXPECT_FALSE(session->TokenChecked.load());
    EXPECT_EQ(session->InSend.load(), 0);
    EXPECT_EQ(session->MergeClientBufferSize, 32768u);
    EXPECT_EQ(session->MergeClientBuffer, nullptr);  // idle sessions hold no batch buffer
    EXPECT_TRUE(session->MessageQueue().empty());
  }
  // Only Free() lets it go.
  ASSERT_FALSE(weak.expired());
  weak.lock()->Free();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(connection->GetUserObject(), nullptr);
  EXPECT_EQ(connection.use_count(), 1);  // the session dropped its reference
}

// Run under ASan: every queued record and block must be freed with the session.
TEST(UserSession, DestroyFreesQueuedMessages) {
  auto connection = NewConnection();
  TUserSession* session = TUserSession::Create(connection).get();
  for (uint32_t len : {1u, 100u, 40000u}) {
    uint8_t* block = AllocSessionData(len);
    std::memset(block, 1, len);
    session->AddMessage(NewSessionMessage(0, 0, 0, block, len));
  }
  PTSessionMessage moved = NewSessionMessageCopy(0, 0, 0, "0123456789012345678901234", 25);
  moved->Data += 20;
  moved->DataLen = 5;
  moved->DataOffset = -20;
  session->AddMessage(moved);
  EXPECT_EQ(session->MessageQueue().size(), 4u);
  session->Free();
}

TEST(UserSession, SetSessionTimeStoresLow16BitsAndQueuesTheMessage) {
  const struct {
    int32_t param, tag, series, sessionID;
    uint16_t run, walk, hit, spell;
  } cases[] = {
      {600, 500, 900, 1200, 600, 500, 900, 1200},
      {0, 0, 70000, 0, 0, 0, 4464, 0},
      {-1, 65536, 65535, 131073, 65535, 0, 65535, 1},
  };
  for (const auto& c : cases) {
    auto connection = NewConnection();
    PUserSession session = TUserSession::Create(connection);
    TDefaultMessage msg;
    msg.Ident = 0x55AA;
    msg.Recog = 42;
    msg.Param = c.param;
    msg.Tag = c.tag;
    msg.Series = c.series;
    msg.nSessionID = c.sessionID;
    msg.dwCRC = 77;
    EXPECT_FALSE(session->SpeedLoaded());
    session->SetSessionTime(msg);
    EXPECT_TRUE(session->SpeedLoaded());
    EXPECT_EQ(session->RunTime(), c.run);
    EXPECT_EQ(session->WalkTime(), c.walk);
    EXPECT_EQ(session->HitTime(), c.hit);
    EXPECT_EQ(session->SpellTime(), c.spell);

    ASSERT_EQ(session->MessageQueue().size(), 1u);
    PTSessionMessage queued = session->MessageQueue().front();
    EXPECT_EQ(queued->SessionHandle, 0u);
    EXPECT_EQ(queued->Ident, 0);
    ASSERT_EQ(queued->DataLen, 33u);
    EXPECT_EQ(queued->Data[0], mtDefault);
    uint8_t expected[32];
    WriteDefaultMessage(msg, expected);
    EXPECT_EQ(0, std::memcmp(queued->Data + 1, expected, 32));
    session->Free();
  }
}

TEST(UserSession, SettersAndProperties) {
  auto connection = NewConnection();
  PUserSession session = TUserSession::Create(connection);
  session->SetHandle(MakeSessionHandle(1, 2, 3));
  session->SetLastSessionHandle(MakeSessionHandle(1, 1, 3));
  session->SetInfo("account", "玩家");
  session->SetToken("{TOKEN}");
  session->SetSessionStep(ssGame);
  session->SetLogicUserIndex(-5);
  EXPECT_EQ(session->Handle(), MakeSessionHandle(1, 2, 3));
  EXPECT_EQ(session->LastSessionHandle(), MakeSessionHandle(1, 1, 3));
  EXPECT_EQ(session->Account(), "account");
  EXPECT_EQ(session->PlayerName(), "玩家");
  EXPECT_EQ(session->TokenID(), "{TOKEN}");
  EXPECT_EQ(session->SessionStep(), ssGame);
  EXPECT_EQ(session->LogicUserIndex(), -5);
  session->Free();
  session->Free();  // a second call does nothing
}

// A batch send still in flight when the connection's close event frees the
// session: the completion callback, run later on another thread, finds the
// session, its buffer and its InSend counter intact; the session goes after it.
TEST(UserSession, SendInFlightKeepsTheSessionUntilItsCompletion) {
  auto connection = NewConnection();
  std::weak_ptr<TUserSession> weak;
  {
    PUserSession created = TUserSession::Create(connection);
    weak = created;
  }
  TUserSession* session = TUserSession::FromConnection(*connection);
  ASSERT_NE(session, nullptr);

  // The worker's send of a batch.
  uint8_t* buffer = session->AcquireMergeBuffer();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(session->AcquireMergeBuffer(), buffer);  // allocated once per batch
  std::memset(buffer, 0x80, 16);
  session->InSend.store(1);
  PUserSession keep = session->KeepAlive();
  connection->WsSend(buffer, 16, [keep](const PWebSocketConnection&, bool) {
    keep->ReleaseMergeBuffer();
    keep->InSend.store(0);
  });
  keep.reset();

  // The close event frees the session while the send is unfinished.
  session->Free();
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(connection->GetUserObject(), nullptr);

  std::thread transport([&] { EXPECT_TRUE(connection->CompleteOldestSend(false)); });
  transport.join();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace gw
