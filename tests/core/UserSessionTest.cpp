#include "core/UserSession.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "common/PeerLimits.h"
#include "core/FakeWebSocketConnection.h"

namespace gw {
namespace {

std::shared_ptr<TFakeWebSocketConnection> NewConnection() {
  // Sends stay unfinished until the test completes them.
  auto connection = std::make_shared<TFakeWebSocketConnection>("192.168.7.9");
  connection->SetAutoComplete(false);
  return connection;
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
    EXPECT_FALSE(session->TokenChecked());
    EXPECT_FALSE(session->SendInFlight());
    EXPECT_EQ(session->MergeClientBufferSize, 32768u);
    EXPECT_EQ(session->QueuedMessages(), 0u);
    EXPECT_FALSE(session->Closing());
    EXPECT_TRUE(session->BeginClose());
    EXPECT_FALSE(session->BeginClose()) << "the close work runs once";
    session->DetachFromConnection();
    EXPECT_EQ(connection->GetUserObject(), nullptr);
  }
  // The last owner lets it go.
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(connection.use_count(), 1);  // the session dropped its reference
}

// A connection that already names another session keeps it.
TEST(UserSession, DetachLeavesAnotherSessionAttached) {
  auto connection = NewConnection();
  PUserSession first = TUserSession::Create(connection);
  PUserSession second = TUserSession::Create(connection);
  first->DetachFromConnection();
  EXPECT_EQ(TUserSession::FromConnection(*connection), second.get());
}

// Run under ASan: every queued record and block must be freed with the session.
TEST(UserSession, DestroyFreesQueuedMessages) {
  auto connection = NewConnection();
  PUserSession session = TUserSession::Create(connection);
  for (uint32_t len : {1u, 100u, 40000u}) {
    TSessionMessagePtr msg = MakeSessionMessage(0, 0, 0, len);
    std::memset(msg->MutableData(), 1, len);
    session->AddMessage(std::move(msg));
  }
  TSessionMessagePtr consumed = MakeSessionMessageCopy(0, 0, 0, "0123456789012345678901234", 25);
  consumed->Consume(20);
  session->AddMessage(std::move(consumed));
  EXPECT_EQ(session->QueuedMessages(), 4u);
  EXPECT_EQ(session->QueuedBytes(), 1u + 100u + 40000u + 5u);
  session->DetachFromConnection();
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

    ASSERT_EQ(session->QueuedMessages(), 1u);
    const TSessionMessage* queued = session->PeekMessage();
    EXPECT_EQ(queued->SessionHandle, 0u);
    EXPECT_EQ(queued->Ident, 0);
    ASSERT_EQ(queued->DataLen(), 33u);
    EXPECT_EQ(queued->Data()[0], mtDefault);
    uint8_t expected[32];
    WriteDefaultMessage(msg, expected);
    EXPECT_EQ(0, std::memcmp(queued->Data() + 1, expected, 32));
    session->DetachFromConnection();
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
  session->DetachFromConnection();
}

// The queue keeps a running count of its bytes, and refuses the record that would take
// it past either bound: many small records or a few huge ones alike.
TEST(UserSession, QueueCountsItsBytesAndRefusesPastItsBounds) {
  const struct {
    const char* Name;
    uint32_t RecordSize;
    size_t Accepted;  // records taken before the first refusal
    TLimitBreach Breach;
  } cases[] = {
      {"many small records", 2, limits::kMaxSessionQueuedMessages,
       TLimitBreach::lbSessionQueuedMessages},
      {"a few huge records", 4u << 20, limits::kMaxSessionQueuedBytes / (4u << 20),
       TLimitBreach::lbSessionQueuedBytes},
      {"one record over the bound", static_cast<uint32_t>(limits::kMaxSessionQueuedBytes) + 1, 0,
       TLimitBreach::lbSessionQueuedBytes},
  };
  for (const auto& c : cases) {
    PUserSession session = TUserSession::Create(nullptr);
    TGateWayStats stats;
    session->SetStats(&stats);
    auto record = [&] { return MakeSessionMessage(0, 0, 0, c.RecordSize); };
    for (size_t i = 0; i < c.Accepted; ++i) ASSERT_TRUE(session->AddMessage(record())) << c.Name;
    EXPECT_EQ(session->QueuedBytes(), uint64_t{c.RecordSize} * c.Accepted) << c.Name;
    EXPECT_LE(session->QueuedBytes(), limits::kMaxSessionQueuedBytes) << c.Name;
    EXPECT_FALSE(session->QueueLimitHit()) << c.Name;

    EXPECT_FALSE(session->AddMessage(record())) << c.Name;
    EXPECT_FALSE(session->AddMessage(record())) << c.Name;
    EXPECT_TRUE(session->QueueLimitHit()) << c.Name;
    EXPECT_EQ(stats.Breaches(c.Breach), 1u) << c.Name << ": counted once per session";
    EXPECT_EQ(session->QueuedMessages(), c.Accepted) << c.Name;

    // Taking records off gives their bytes back.
    while (session->TakeMessage()) {
    }
    EXPECT_EQ(session->QueuedBytes(), 0u) << c.Name;
  }
}

// A send still in flight when the connection's close event lets the session go: the
// completion callback, run later on another thread, finds the session and its in-flight
// mark intact; the session goes after it.
TEST(UserSession, SendInFlightKeepsTheSessionUntilItsCompletion) {
  auto connection = NewConnection();
  PUserSession table = TUserSession::Create(connection);  // the worker table's reference
  std::weak_ptr<TUserSession> weak = table;

  // The worker's send of a batch: the batch's buffer belongs to the send.
  std::shared_ptr<uint8_t[]> batch(new uint8_t[16]);
  std::memset(batch.get(), 0x80, 16);
  table->BeginSend();
  PUserSession keep = table;
  connection->WsSend(batch.get(), 16, [keep, batch](const PWebSocketConnection&, bool) {
    EXPECT_FALSE(keep->FinishSend()) << "nothing was parked behind it";
  });
  keep.reset();
  batch.reset();

  // The close event takes the session out of its table while the send is unfinished.
  table->DetachFromConnection();
  table.reset();
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(connection->GetUserObject(), nullptr);

  std::thread transport([&] { EXPECT_TRUE(connection->CompleteOldestSend(false)); });
  transport.join();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace gw
