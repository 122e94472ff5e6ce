// The gateway worker with its thread running: handles and slots, logic server
// messages turned into client messages, batching with one send in flight, kicks,
// close-all, and client messages checked and relayed to a loopback logic server.
#include "core/GateWayWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <thread>

#include "common/AnsiCodePage.h"
#include "core/RelayTestUtil.h"

namespace gw {
namespace {

using test::LogicPacket;
using test::WaitUntil;

class GateWayWorkerTest : public ::testing::Test {
 protected:
  struct TClient {
    std::shared_ptr<TFakeWebSocketConnection> Connection;
    TUserSession* Session = nullptr;
    uint32_t Handle = 0;
  };

  void SetUp() override {
    FWorker = std::make_unique<TGateWayWorker>(2);
    FWorker->SetLogger(FLog.Proc());
  }
  void TearDown() override {
    // Close what is still open so every session is freed.
    for (auto& c : FClients) c.Connection->Close();
    FWorker->Stop();
  }

  // A session entered in the worker; closing its connection removes and frees it,
  // as the gateway server's close event does.
  TClient& Connect(bool autoComplete = true) {
    TClient c;
    c.Connection = std::make_shared<TFakeWebSocketConnection>();
    c.Connection->SetAutoComplete(autoComplete);
    PUserSession session = TUserSession::Create(c.Connection);
    c.Session = session.get();
    c.Connection->SetCloseHandler(CloseEvent());
    EXPECT_TRUE(FWorker->AddSession(std::move(session), c.Handle));
    FClients.push_back(c);
    return FClients.back();
  }

  // What the gateway server's close event does with the worker: takes the session
  // out of its table (the last reference but for sends in flight) and detaches it.
  TFakeWebSocketConnection::TCloseHandler CloseEvent() {
    TGateWayWorker* worker = FWorker.get();
    return [worker](const std::shared_ptr<TFakeWebSocketConnection>& conn) {
      TUserSession* found = TUserSession::FromConnection(*conn);
      if (PUserSession s = worker->RemoveSession(found->Handle(), found)) {
        s->DetachFromConnection();
      }
    };
  }

  static std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

  // The client messages a connection was sent, batches unpacked.
  static std::vector<std::string> Received(const TFakeWebSocketConnection& connection) {
    std::vector<std::string> messages;
    std::vector<std::span<const uint8_t>> entries;
    for (const std::vector<uint8_t>& sent : connection.Sent()) {
      if (!SplitBatch(sent, entries)) entries.assign(1, sent);
      for (std::span<const uint8_t> e : entries) messages.emplace_back(e.begin(), e.end());
    }
    return messages;
  }

  // The session as the worker shows it to the console (empty handle: not found).
  TGateWayWorker::TSessionView View(uint32_t Handle) {
    for (TGateWayWorker::TSessionView& view : FWorker->Sessions()) {
      if (view.Handle == Handle) return view;
    }
    return {};
  }

  test::TLogCapture FLog;
  std::unique_ptr<TGateWayWorker> FWorker;
  std::vector<TClient> FClients;
};

TEST_F(GateWayWorkerTest, HandlesNameWorkerGenerationAndFirstFreeSlot) {
  TClient a = Connect(), b = Connect(), c = Connect();
  EXPECT_EQ(a.Handle, MakeSessionHandle(2, 1, 0));
  EXPECT_EQ(b.Handle, MakeSessionHandle(2, 2, 1));
  EXPECT_EQ(c.Handle, MakeSessionHandle(2, 3, 2));
  EXPECT_EQ(FWorker->UserCount(), 3);

  b.Connection->Close();
  EXPECT_EQ(FWorker->UserCount(), 2);
  EXPECT_EQ(FWorker->GetSession(b.Handle), nullptr);
  TClient d = Connect();
  // The freed slot is taken again with its own next generation.
  EXPECT_EQ(d.Handle, MakeSessionHandle(2, 3, 1));
  EXPECT_EQ(FWorker->GetSession(d.Handle).get(), d.Session);
  EXPECT_EQ(FWorker->RemoveSession(d.Handle, a.Session), nullptr);
}

// Worker, generation and slot are compared wherever a handle comes from outside:
// a late call for a client that has gone never reaches the next one in its slot.
TEST_F(GateWayWorkerTest, AHandleReachesOnlyTheSessionItNames) {
  TClient gone = Connect();
  const uint32_t stale = gone.Handle;
  gone.Connection->Close();
  TClient now = Connect();  // the same slot, the next generation
  ASSERT_EQ(SessionIndex(now.Handle), SessionIndex(stale));
  ASSERT_NE(now.Handle, stale);
  TClient soft = Connect();
  const uint32_t before = soft.Handle;
  soft.Handle = FWorker->RegenSessionHandle(before);
  EXPECT_EQ(FWorker->RegenSessionHandle(before), 0u) << "only the current handle is regenerated";
  EXPECT_EQ(FWorker->RegenSessionHandle(stale), 0u);

  const std::string staleLine = "Stale SessionHandle Dropped (test) SessionHandle:";
  struct TCase {
    const char* Name;
    uint32_t Handle;
    TUserSession* Expected;
    bool LogsStale;
  } cases[] = {
      {"current handle", now.Handle, now.Session, false},
      {"handle of the slot's previous client", stale, nullptr, true},
      {"handle after a soft close", soft.Handle, soft.Session, false},
      {"handle before the soft close (the same client)", before, soft.Session, false},
      {"another worker's ID", MakeSessionHandle(3, SessionGeneration(now.Handle), 0), nullptr,
       true},
      {"empty slot", MakeSessionHandle(2, 1, 40), nullptr, false},
  };
  for (const TCase& tc : cases) {
    const size_t lines = FLog.CountPrefix(staleLine);
    EXPECT_EQ(FWorker->GetSession(tc.Handle).get(), tc.Expected) << tc.Name;
    EXPECT_EQ(FWorker->FindSession(tc.Handle, "test").get(), tc.Expected) << tc.Name;
    EXPECT_EQ(FLog.CountPrefix(staleLine), lines + (tc.LogsStale ? 1 : 0)) << tc.Name;
    // Output for the client, named by the case: delivered by the worker once it runs.
    const std::string message = std::string("\x05") + tc.Name;
    FWorker->AddSessionMessageDirect(tc.Handle, message.data(), message.size());
  }
  EXPECT_TRUE(FLog.Has(
      staleLine + std::to_string(stale) + " , Slot Now Holds:" + std::to_string(now.Handle),
      llDebug))
      << FLog.Dump();
  std::vector<std::string> toNow, toSoft;
  for (const TCase& tc : cases) {
    if (tc.Expected == now.Session) toNow.push_back(std::string("\x05") + tc.Name);
    if (tc.Expected == soft.Session) toSoft.push_back(std::string("\x05") + tc.Name);
  }
  FWorker->Start();
  ASSERT_TRUE(WaitUntil(
      [&] { return Received(*now.Connection) == toNow && Received(*soft.Connection) == toSoft; }));
  EXPECT_EQ(FLog.CountPrefix("Stale SessionHandle Dropped (AddSessionMessageDirect)"), 2u)
      << FLog.Dump();

  // A close for the previous client's handle leaves the newcomer alone.
  EXPECT_EQ(FWorker->BeginCloseSession(stale, "test"), nullptr);
  EXPECT_FALSE(now.Session->Closing());
  PUserSession closing = FWorker->BeginCloseSession(now.Handle, "test");
  ASSERT_EQ(closing.get(), now.Session);
  EXPECT_EQ(FWorker->BeginCloseSession(now.Handle, "test"), nullptr) << "closed once";
  EXPECT_EQ(FWorker->GetSession(now.Handle), nullptr) << "looked past while it closes";
  EXPECT_EQ(FWorker->UserCount(), 2) << "it keeps its slot until its close event";
  now.Connection->Close();
  EXPECT_EQ(FWorker->UserCount(), 1);
}

TEST_F(GateWayWorkerTest, TableHoldsAtMost65535Sessions) {
  std::vector<PUserSession> sessions;
  uint32_t handle = 0;
  for (uint32_t i = 0; i < kMaxSessionsPerWorker; ++i) {
    sessions.push_back(TUserSession::Create(nullptr));
    ASSERT_TRUE(FWorker->AddSession(sessions.back(), handle));
  }
  EXPECT_EQ(SessionIndex(handle), 65534);
  PUserSession extra = TUserSession::Create(nullptr);
  handle = 12345;
  EXPECT_FALSE(FWorker->AddSession(extra, handle));
  EXPECT_EQ(handle, 12345u);
  EXPECT_EQ(extra->Handle(), 0u);
  // An emptied slot is taken again.
  ASSERT_NE(FWorker->RemoveSession(sessions[100]->Handle(), sessions[100].get()), nullptr);
  ASSERT_TRUE(FWorker->AddSession(extra, handle));
  EXPECT_EQ(SessionIndex(handle), 100);
  EXPECT_EQ(FWorker->UserCount(), 65535);
  // Asked while the worker's thread does not run: read at once.
  EXPECT_EQ(FWorker->Sessions().size(), 65535u);
}

TEST_F(GateWayWorkerTest, RegeneratedHandleDropsOldHandleQuietlyAndLogsOthers) {
  TClient a = Connect();
  uint32_t old = a.Handle;
  uint32_t fresh = FWorker->RegenSessionHandle(old);
  EXPECT_EQ(fresh, MakeSessionHandle(2, 2, 0));
  EXPECT_EQ(a.Session->Handle(), fresh);
  EXPECT_EQ(a.Session->LastSessionHandle(), old);
  EXPECT_EQ(FWorker->RegenSessionHandle(MakeSessionHandle(2, 1, 9)), 0u);
  // The allocation counter is untouched by a regeneration.
  EXPECT_EQ(Connect().Handle, MakeSessionHandle(2, 2, 1));

  FWorker->Start();
  std::string data = LogicPacket(GM_LOGIC_GATE_DATA, old, "AB", 9);
  FWorker->AddMessage(old, GM_LOGIC_GATE_DATA, 0, data.data(), data.size());
  uint32_t stranger = MakeSessionHandle(2, 7, 0);
  FWorker->AddMessage(stranger, GM_LOGIC_GATE_DATA, 0, data.data(), data.size());
  FWorker->AddMessage(MakeSessionHandle(2, 1, 500), GM_LOGIC_GATE_DATA, 0, data.data(),
                      data.size());
  ASSERT_TRUE(WaitUntil([&] { return FLog.CountPrefix("逻辑错误1") == 1; }));
  EXPECT_TRUE(FLog.Has(
      "逻辑错误2 , Self.FID : 2 , SessionWorkerID:2 , SessionHandle: " + std::to_string(fresh) +
          " , MessageSessionHandle:" + std::to_string(stranger),
      llWarning))
      << FLog.Dump();
  EXPECT_EQ(FLog.CountPrefix("逻辑错误2"), 1u);
  EXPECT_EQ(a.Connection->SentCount(), 0u);
}

// A slot counts its own generations: however many sessions come and go in other slots,
// the next handle of a slot is the one after its last, so a handle comes back only after
// its own slot has been taken 255 times (traffic late for a player who left cannot meet
// the same handle again a few hundred allocations later).
TEST_F(GateWayWorkerTest, ASlotsHandlesFollowItsOwnGenerations) {
  TClient a = Connect();
  TClient b = Connect();
  const uint8_t first = SessionGeneration(b.Handle);
  b.Connection->Close();
  TClient c = Connect();  // slot 1 again
  ASSERT_EQ(c.Handle, MakeSessionHandle(2, NextGeneration(first), 1));
  for (int i = 0; i < 300; ++i) {  // churn in slot 2 only
    TClient d = Connect();
    ASSERT_EQ(SessionIndex(d.Handle), 2u);
    d.Connection->Close();
  }
  c.Connection->Close();
  TClient e = Connect();
  EXPECT_EQ(e.Handle, MakeSessionHandle(2, NextGeneration(NextGeneration(first)), 1));
  (void)a;
}

TEST_F(GateWayWorkerTest, RegenerationAfterGeneration255SkipsZero) {
  TClient a = Connect();
  uint32_t h = a.Handle;
  for (int i = 0; i < 254; ++i) h = FWorker->RegenSessionHandle(h);
  EXPECT_EQ(SessionGeneration(h), 255);
  h = FWorker->RegenSessionHandle(h);
  EXPECT_EQ(SessionGeneration(h), 1) << "generation 0 is skipped so no handle is ever 0";
}

TEST_F(GateWayWorkerTest, QueuedMessagesGoOutAloneOrPackedInBatches) {
  struct TCase {
    const char* Name;
    std::vector<uint32_t> Sizes;
    std::vector<size_t> Expected;  // lengths of the WebSocket messages sent
  } cases[] = {
      {"one message alone", {100}, {100}},
      {"three messages in one batch", {100, 100, 100}, {313}},
      {"a first message too big for a batch goes alone", {40000, 10, 20}, {40000, 1 + 14 + 24}},
      {"a batch stops where the buffer is full", {20000, 12000, 800}, {1 + 20004 + 12004, 800}},
  };
  // Everything is queued before the worker runs: its first turn finds all of it.
  std::vector<TClient> clients;
  for (const TCase& tc : cases) {
    clients.push_back(Connect());
    for (size_t i = 0; i < tc.Sizes.size(); ++i) {
      std::string m(tc.Sizes[i], static_cast<char>('a' + i));
      m[0] = 9;
      FWorker->AddSessionMessageDirect(clients.back().Handle, m.data(), m.size());
    }
  }
  // Batch layout: 0x80, then length and bytes of each message.
  TClient c = Connect();
  FWorker->AddSessionMessageDirect(c.Handle, "\x05xy", 3);
  FWorker->AddSessionMessageDirect(c.Handle, "\x02q", 2);
  FWorker->Start();
  for (size_t n = 0; n < std::size(cases); ++n) {
    const TCase& tc = cases[n];
    TFakeWebSocketConnection& connection = *clients[n].Connection;
    ASSERT_TRUE(WaitUntil([&] { return connection.SentCount() == tc.Expected.size(); })) << tc.Name;
    auto sent = connection.Sent();
    for (size_t i = 0; i < tc.Expected.size(); ++i) {
      EXPECT_EQ(sent[i].size(), tc.Expected[i]) << tc.Name << " message " << i;
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 1; }));
  EXPECT_EQ(Str(c.Connection->Sent()[0]), std::string("\x80\x03\0\0\0\x05xy\x02\0\0\0\x02q", 14));
}

TEST_F(GateWayWorkerTest, MessagesWaitWhileASendIsInFlightThenGoTogether) {
  FWorker->Start();
  TClient c = Connect(/*autoComplete=*/false);
  FWorker->AddSessionMessageDirect(c.Handle, "\x05one", 4);
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 1; }));
  EXPECT_TRUE(c.Session->SendInFlight());
  for (const char* m : {"\x05two", "\x05six", "\x05ten"}) {
    FWorker->AddSessionMessageDirect(c.Handle, m, 4);
  }
  // Several send passes go by; nothing more leaves while the first send is unfinished.
  std::string more = LogicPacket(GM_LOGIC_GATE_USERINDEX, c.Handle, "", 0, 77);
  FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_USERINDEX, 0, more.data(), more.size());
  ASSERT_TRUE(WaitUntil([&] { return c.Session->LogicUserIndex() == 77; }));
  EXPECT_EQ(c.Connection->SentCount(), 1u);

  ASSERT_TRUE(c.Connection->CompleteOldestSend());
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 2; }));
  EXPECT_EQ(c.Connection->Sent()[1].size(), 1u + 3 * 8);
  ASSERT_TRUE(c.Connection->CompleteOldestSend());
  EXPECT_FALSE(c.Session->SendInFlight());
}

// An idle worker sleeps with no deadline: each kind of work must wake it, or the
// work would wait for ever. Rounds apart, so the worker is asleep again each time.
TEST_F(GateWayWorkerTest, ASleepingWorkerWakesForEachKindOfWork) {
  FWorker->SetSendInterval(0);
  FWorker->Start();
  TClient c = Connect(/*autoComplete=*/false);
  for (int32_t round = 1; round <= 3; ++round) {
    // A message on the worker's queue.
    std::string index = LogicPacket(GM_LOGIC_GATE_USERINDEX, c.Handle, "", 0, round);
    FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_USERINDEX, 0, index.data(), index.size());
    ASSERT_TRUE(WaitUntil([&] { return c.Session->LogicUserIndex() == round; })) << round;
    // Output queued straight onto the session by another thread.
    const size_t sent = c.Connection->SentCount();
    FWorker->AddSessionMessageDirect(c.Handle, "\x05one", 4);
    ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == sent + 1; })) << round;
    // Output queued behind the send in flight goes when that send finishes (the
    // finished send hands the session back to a worker that may be asleep by then).
    FWorker->AddSessionMessageDirect(c.Handle, "\x05two", 4);
    std::string barrier = LogicPacket(GM_LOGIC_GATE_USERINDEX, c.Handle, "", 0, -round);
    FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_USERINDEX, 0, barrier.data(), barrier.size());
    ASSERT_TRUE(WaitUntil([&] { return c.Session->LogicUserIndex() == -round; })) << round;
    EXPECT_EQ(c.Connection->SentCount(), sent + 1) << "one send in flight per session";
    ASSERT_TRUE(c.Connection->CompleteOldestSend());
    ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == sent + 2; })) << round;
    ASSERT_TRUE(c.Connection->CompleteOldestSend());
  }
}

// With no send interval the worker sends once it has worked through its queue: what
// the queue held for a session at that moment leaves together, in one batch.
TEST_F(GateWayWorkerTest, NoSendIntervalPacksWhatTheQueueHeldIntoOneBatch) {
  FWorker->SetSendInterval(0);
  TClient c = Connect();
  // Queued before the thread runs: its first turn finds all three.
  for (const char* body : {"ab", "cde", "f"}) {
    std::string pkt = LogicPacket(GM_LOGIC_GATE_DATA, c.Handle, body, 9);
    FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_DATA, 0, pkt.data(), pkt.size());
  }
  FWorker->Start();
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 1; }));
  EXPECT_EQ(Str(c.Connection->Sent()[0]), std::string("\x80\x03\0\0\0\x09"
                                                      "ab"
                                                      "\x04\0\0\0\x09"
                                                      "cde"
                                                      "\x02\0\0\0\x09"
                                                      "f",
                                                      22));
  // A message arriving later goes on its own as soon as it has been handled.
  std::string pkt = LogicPacket(GM_LOGIC_GATE_DATA, c.Handle, "g", 9);
  FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_DATA, 0, pkt.data(), pkt.size());
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 2; }));
  EXPECT_EQ(Str(c.Connection->Sent()[1]), "\x09g");
}

// The worker sends with no lock held that another thread needs: inside a client's send,
// another thread looks a session up and a close event takes that session out of the table
// (with the table lock held across the send, both would wait for ever).
TEST_F(GateWayWorkerTest, ASendHoldsNoLockAnotherThreadNeeds) {
  FWorker->Start();
  TClient c = Connect();
  TClient other = Connect();
  std::atomic<bool> lookedUp{false};
  c.Connection->SetSendHook([&] {
    std::thread elsewhere([&] {
      lookedUp = FWorker->GetSession(other.Handle) != nullptr;
      other.Connection->Close();
    });
    elsewhere.join();
  });
  FWorker->AddSessionMessageDirect(c.Handle, "\x05x", 2);
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 1; }));
  EXPECT_TRUE(lookedUp);
  EXPECT_EQ(FWorker->UserCount(), 1);
  c.Connection->SetSendHook(nullptr);
}

TEST_F(GateWayWorkerTest, SessionOutlivesItsCloseWhileASendIsInFlight) {
  FWorker->Start();
  TClient c = Connect(/*autoComplete=*/false);
  std::weak_ptr<TUserSession> weak = FWorker->GetSession(c.Handle);
  FWorker->AddSessionMessageDirect(c.Handle, "\x05one", 4);
  FWorker->AddSessionMessageDirect(c.Handle, "\x05two", 4);
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 1; }));
  // The test connection fails unfinished sends at close, before the close event here.
  c.Connection->Close();
  EXPECT_EQ(FWorker->UserCount(), 0);
  // The worker lets go of it by the end of its turn (its send pass, the finished send).
  EXPECT_TRUE(WaitUntil([&] { return weak.expired(); }));
}

TEST_F(GateWayWorkerTest, AClientThatStopsReadingIsDisconnectedBeforeItsQueueGrowsWithoutEnd) {
  FWorker->Start();
  TClient slow = Connect(/*autoComplete=*/false);
  TClient fine = Connect(/*autoComplete=*/false);
  std::string big(64 * 1024, 'b');
  big[0] = 9;
  FWorker->AddSessionMessageDirect(slow.Handle, big.data(), big.size());
  ASSERT_TRUE(WaitUntil([&] { return slow.Connection->SentCount() == 1; }));
  // Half the limit in many messages is tolerated; past the limit the client goes.
  size_t half = TGateWayWorker::kMaxQueuedBytes / 2 / big.size();
  for (size_t i = 0; i < half; ++i) {
    FWorker->AddSessionMessageDirect(slow.Handle, big.data(), big.size());
    FWorker->AddSessionMessageDirect(fine.Handle, "\x05x", 2);
  }
  std::string line =
      "客户端接收缓慢,待发送数据超限,断开连接:10.0.0.7 , Handle:" + std::to_string(slow.Handle);
  ASSERT_TRUE(WaitUntil([&] { return fine.Connection->SentCount() == 1; }));
  EXPECT_FALSE(slow.Connection->Closed());
  for (size_t i = 0; i < half + 1; ++i) {
    FWorker->AddSessionMessageDirect(slow.Handle, big.data(), big.size());
  }
  ASSERT_TRUE(WaitUntil([&] { return slow.Connection->Closed(); }));
  EXPECT_TRUE(FLog.Has(line, llWarning)) << FLog.Dump();
  EXPECT_FALSE(fine.Connection->Closed());
  EXPECT_TRUE(WaitUntil([&] { return FWorker->UserCount() == 1; }));
}

TEST_F(GateWayWorkerTest, AClientThatStopsReadingIsDisconnectedAfterTooManySmallMessages) {
  FWorker->Start();
  TClient slow = Connect(/*autoComplete=*/false);
  FWorker->AddSessionMessageDirect(slow.Handle, "\x05first", 6);
  ASSERT_TRUE(WaitUntil([&] { return slow.Connection->SentCount() == 1; }));
  // Tiny messages stay far below the byte limit; their number alone decides.
  for (size_t i = 0; i < TGateWayWorker::kMaxQueuedMessages; ++i) {
    FWorker->AddSessionMessageDirect(slow.Handle, "\x05x", 2);
  }
  FWorker->AddSessionMessageDirect(slow.Handle, "\x05y", 2);
  ASSERT_TRUE(WaitUntil([&] { return slow.Connection->Closed(); }));
  EXPECT_TRUE(FLog.Has(
      "客户端接收缓慢,待发送数据超限,断开连接:10.0.0.7 , Handle:" + std::to_string(slow.Handle),
      llWarning))
      << FLog.Dump();
  // The connection reads as closed before its close event has taken the session out.
  EXPECT_TRUE(WaitUntil([&] { return FWorker->UserCount() == 0; }));
}

TEST_F(GateWayWorkerTest, LogicDataBecomesClientMessages) {
  FWorker->Start();
  TClient c = Connect();
  TDefaultMessage dm;
  dm.Ident = 4660;
  dm.Recog = 7;
  std::string withHeader(reinterpret_cast<const char*>(&dm), sizeof(dm));
  withHeader += "body";
  std::string shortPayload(31, 'z');
  std::string stamp(19, '\0');
  std::string shortStamp(18, 's');
  struct TCase {
    const char* Name;
    uint8_t Type;
    std::string Payload;
  } cases[] = {
      {"default message gets dwCRC = Ident", mtDefault, withHeader},
      {"31-byte default payload unchanged", mtDefault, shortPayload},
      {"other types pass through", 77, "xyz"},
      {"stamp gets the counter", mtStamp, stamp},
      {"short stamp passes unchanged", mtStamp, shortStamp},
      {"empty payload", 9, ""},
  };
  for (const TCase& tc : cases) {
    size_t before = c.Connection->SentCount();
    std::string pkt = LogicPacket(GM_LOGIC_GATE_DATA, c.Handle, tc.Payload, tc.Type);
    FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_DATA, 0, pkt.data(), pkt.size());
    ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == before + 1; })) << tc.Name;
    std::string got = Str(c.Connection->Sent()[before]);
    ASSERT_EQ(got.size(), tc.Payload.size() + 1) << tc.Name;
    EXPECT_EQ(static_cast<uint8_t>(got[0]), tc.Type) << tc.Name;
    std::string expected = tc.Payload;
    if (tc.Type == mtDefault && tc.Payload.size() >= 32) {
      uint32_t crc;
      std::memcpy(&crc, got.data() + 1 + 28, 4);
      EXPECT_EQ(crc, 4660u);
      std::memcpy(expected.data() + 28, &crc, 4);
    }
    if (tc.Type == mtStamp && tc.Payload.size() >= 19) {
      uint64_t counter;
      std::memcpy(&counter, got.data() + 1 + 11, 8);
      EXPECT_NE(counter, 0u);
      std::memcpy(expected.data() + 11, &counter, 8);
    }
    EXPECT_EQ(got.substr(1), expected) << tc.Name;
  }
}

TEST_F(GateWayWorkerTest, SpeedTimeSyncDataAndShortPacketsAreBoundsChecked) {
  FWorker->Start();
  TClient c = Connect();
  TDefaultMessage dm;
  dm.Param = 600;
  dm.Tag = 500;
  dm.Series = 70000;
  dm.nSessionID = 1200;
  std::string speed(reinterpret_cast<const char*>(&dm), sizeof(dm));
  std::string pkt = LogicPacket(GM_LOGIC_GATE_SPEEDTIME, c.Handle, speed);
  FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_SPEEDTIME, 0, pkt.data(), pkt.size());
  ASSERT_TRUE(WaitUntil([&] { return c.Connection->SentCount() == 1; }));
  EXPECT_EQ(Str(c.Connection->Sent()[0]), std::string(1, '\0') + speed);

  // A speed-time payload too short for a default message is dropped with a warning.
  pkt = LogicPacket(GM_LOGIC_GATE_SPEEDTIME, c.Handle, speed.substr(0, 20));
  FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_SPEEDTIME, 0, pkt.data(), pkt.size());
  ASSERT_TRUE(
      WaitUntil([&] { return FLog.Has("GM_LOGIC_GATE_SPEEDTIME 数据长度不一致", llWarning); }));

  // Sync data: length bytes beyond their field are clamped to it.
  std::string sync(78, '\0');
  std::string account = Utf8ToAnsi("账号abc");
  sync[0] = static_cast<char>(account.size());
  sync.replace(1, account.size(), account);
  sync[13] = static_cast<char>(200);
  std::string name(64, 'N');
  sync.replace(14, 64, name);
  pkt = LogicPacket(GM_LOGIC_GATE_SYNCDATA, c.Handle, sync);
  FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_SYNCDATA, 0, pkt.data(), pkt.size());
  // The worker's own state: read through its answer to the console's question.
  ASSERT_TRUE(WaitUntil([&] { return View(c.Handle).PlayerName == name; }));
  EXPECT_EQ(View(c.Handle).Account, "账号abc");

  pkt = LogicPacket(GM_LOGIC_GATE_SYNCDATA, c.Handle, sync.substr(0, 77));
  FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_SYNCDATA, 0, pkt.data(), pkt.size());
  ASSERT_TRUE(
      WaitUntil([&] { return FLog.Has("GM_LOGIC_GATE_SYNCDATA 数据长度不一致", llWarning); }));

  // Data shorter than a logic header is refused, not read past.
  FWorker->AddMessage(c.Handle, GM_LOGIC_GATE_DATA, 0, "short", 5);
  ASSERT_TRUE(WaitUntil([&] { return FLog.CountPrefix("逻辑服务器数据包长度不足") == 1; }));
  EXPECT_EQ(c.Connection->SentCount(), 1u);
  EXPECT_FALSE(c.Connection->Closed());

  // The intervals are the worker's own: read once its thread has ended.
  FWorker->Stop();
  EXPECT_EQ(c.Session->HitTime(), 4464);
  EXPECT_EQ(c.Session->RunTime(), 600);
}

TEST_F(GateWayWorkerTest, KickClosesWithOrWithoutReason) {
  FWorker->Start();
  TClient a = Connect(), b = Connect(), d = Connect();
  std::string reason(129, '\0');
  std::string text = Utf8ToAnsi("外挂");
  reason[0] = static_cast<char>(text.size());
  reason.replace(1, text.size(), text);
  std::string pkt = LogicPacket(GM_LOGIC_GATE_KICK, a.Handle, reason);
  FWorker->AddMessage(a.Handle, GM_LOGIC_GATE_KICK, 0, pkt.data(), pkt.size());
  ASSERT_TRUE(WaitUntil([&] { return a.Connection->Closed(); }));
  EXPECT_TRUE(FLog.Has("Qel 要求 T出 客户端连接:10.0.0.7 , 原因: Qel踢出:外挂", llWarning))
      << FLog.Dump();

  pkt = LogicPacket(GM_LOGIC_GATE_KICK, b.Handle, "");
  FWorker->AddMessage(b.Handle, GM_LOGIC_GATE_KICK, 0, pkt.data(), pkt.size());
  // A length byte above 128 is clamped to the 128 characters the field holds.
  std::string longReason(129, 'R');
  longReason[0] = static_cast<char>(255);
  pkt = LogicPacket(GM_LOGIC_GATE_KICK, d.Handle, longReason);
  FWorker->AddMessage(d.Handle, GM_LOGIC_GATE_KICK, 0, pkt.data(), pkt.size());
  ASSERT_TRUE(WaitUntil([&] { return b.Connection->Closed() && d.Connection->Closed(); }));
  EXPECT_TRUE(FLog.Has("Qel 要求 T出 客户端连接:10.0.0.7 , 原因: Qel踢出:" + std::string(128, 'R'),
                       llWarning));
  EXPECT_EQ(FLog.CountPrefix("Qel 要求"), 2u);
  EXPECT_EQ(FWorker->UserCount(), 0);
}

TEST_F(GateWayWorkerTest, CloseAllClosesEverySessionAndDropsQueuedMessages) {
  TClient a = Connect(), b = Connect();
  FWorker->AddMessage(0, GM_GATE_CLOSEALL, 0, nullptr, 0);
  std::string pkt = LogicPacket(GM_LOGIC_GATE_DATA, a.Handle, "late", 9);
  FWorker->AddMessage(a.Handle, GM_LOGIC_GATE_DATA, 0, pkt.data(), pkt.size());
  FWorker->Start();
  ASSERT_TRUE(WaitUntil([&] { return a.Connection->Closed() && b.Connection->Closed(); }));
  EXPECT_TRUE(WaitUntil([&] { return FWorker->UserCount() == 0; }));
  // The table starts afresh.
  TClient c = Connect();
  EXPECT_EQ(SessionIndex(c.Handle), 0);
  EXPECT_EQ(a.Connection->SentCount(), 0u);
}

// A soft close queued behind the client's earlier message: that message leaves under
// the old handle, then 1009, the new handle's registration and the old one's close;
// a message the client sent behind the soft close leaves under the new handle.
TEST_F(GateWayWorkerTest, SoftCloseKeepsTheOrderOfTheClientsMessages) {
  test::TTestPeer logicServer;
  test::TFakeGateWayServer gateway;
  TLogicSrvClient link("127.0.0.1", logicServer.Port(), &gateway);
  link.Start();
  FWorker->SetLogicServerClient(&link);
  TClient c = Connect();
  c.Session->SetLogicUserIndex(7);
  const uint32_t old = c.Handle;
  FWorker->AddMessage(old, GM_GATE_CLIENTMSG, 0,
                      "\x05"
                      "before",
                      7);
  FWorker->AddMessage(old, GM_GATE_SOFTCLOSE, 0, nullptr, 0);
  FWorker->AddMessage(old, GM_GATE_CLIENTMSG, 0,
                      "\x05"
                      "after",
                      6);
  FWorker->Start();

  const uint32_t fresh = MakeSessionHandle(2, NextGeneration(SessionGeneration(old)), 0);
  struct TExpected {
    int32_t Ident;
    uint32_t Handle;
    std::string Payload;
  } expected[] = {
      {GM_LOGIC_GATE_DATA, old, "before"},
      {GM_LOGIC_GATE_DATA, old, ""},  // the 1009 default message, checked below
      {GM_GATE_OPENSESSION, fresh, "10.0.0.7"},
      {GM_GATE_CLOSESESSION, old, ""},
      {GM_LOGIC_GATE_DATA, fresh, "after"},
  };
  for (const TExpected& e : expected) {
    test::TLogicPacket p;
    ASSERT_TRUE(test::NextLogicPacket(logicServer, p));
    EXPECT_EQ(p.Header.nIdent, e.Ident);
    EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), e.Handle);
    if (e.Ident == GM_LOGIC_GATE_DATA && e.Payload.empty()) {
      ASSERT_EQ(p.Payload.size(), kDefaultMessageSize);
      EXPECT_EQ(ReadDefaultMessage(reinterpret_cast<const uint8_t*>(p.Payload.data())).Ident,
                GM_CLIENT_SOFTCLOSE);
      EXPECT_EQ(p.Header.nUserListIndex, 7);
    } else {
      EXPECT_EQ(p.Payload, e.Payload);
    }
  }
  EXPECT_EQ(c.Session->Handle(), fresh);
  EXPECT_EQ(c.Session->LastSessionHandle(), old);
  EXPECT_EQ(FLog.CountPrefix("逻辑错误"), 0u);
  FWorker->Stop();
  link.Stop();
}

// Client messages of a session in the game step, checked and relayed to a
// loopback logic server through the real link.
TEST_F(GateWayWorkerTest, ClientMessagesAreCheckedAndRelayedAsIdent5) {
  test::TTestPeer logicServer;
  test::TFakeGateWayServer gateway;
  TLogicSrvClient link("127.0.0.1", logicServer.Port(), &gateway);
  link.Start();
  FWorker->SetLogicServerClient(&link);
  TClient c = Connect();
  c.Session->SetLogicUserIndex(0x12345);  // before the worker, which owns it, runs
  FWorker->Start();

  std::string move = "\x02" + std::string(9, 'm');
  std::string attack = "\x04" + std::string(18, 'a');
  std::string def = std::string(1, '\0') + std::string(32, 'd');
  struct TCase {
    std::string Message;
    bool Relayed;
  } cases[] = {
      {move, true},
      {move + "x", false},  // 11-byte move: warning
      {attack, true},
      {attack.substr(0, 5), false},    // short attack: warning
      {std::string("\x01zz"), false},  // type 1: dropped silently
      {std::string("\x03zz"), false},  // type 3: dropped silently
      {def, true},
      {std::string("\x05pass"), true},
      {std::string("\x02"), false},  // a move with no body at all
  };
  for (const TCase& tc : cases) {
    FWorker->AddMessage(c.Handle, GM_GATE_CLIENTMSG, 0, tc.Message.data(), tc.Message.size());
  }
  for (const TCase& tc : cases) {
    if (!tc.Relayed) continue;
    test::TLogicPacket p;
    ASSERT_TRUE(test::NextLogicPacket(logicServer, p));
    EXPECT_EQ(p.Header.nIdent, GM_LOGIC_GATE_DATA);
    EXPECT_EQ(static_cast<uint32_t>(p.Header.nSocket), c.Handle);
    EXPECT_EQ(p.Header.wSocketIndex, 0x2345);
    EXPECT_EQ(p.Header.nUserListIndex, 0x12345);
    EXPECT_EQ(p.Header.nMsgType, static_cast<uint8_t>(tc.Message[0]));
    EXPECT_EQ(p.Payload, tc.Message.substr(1));
  }
  EXPECT_TRUE(FLog.Has("[错误]: 不正确的MoveMsg 大小:10 ,(Ident:28013)", llWarning)) << FLog.Dump();
  EXPECT_TRUE(FLog.Has("[错误]: 不正确的AttackMsg 大小:4 ,(Ident:24929)", llWarning));
  EXPECT_TRUE(FLog.Has("[错误]: 不正确的MoveMsg 大小:0 ,(Ident:0)", llWarning));
  EXPECT_EQ(FLog.CountPrefix("[错误]"), 3u);
  EXPECT_FALSE(c.Connection->Closed());
  FWorker->Stop();
  link.Stop();
}

}  // namespace
}  // namespace gw
