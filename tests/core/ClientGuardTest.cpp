// The client guard's parts without sockets: the connection-flood window, the log rate
// limit, and the admission and message rules on the guard itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/LogRateLimiter.h"
#include "common/PeerLimits.h"
#include "config/GateWayConfigure.h"
#include "core/ClientGuard.h"
#include "core/FakeWebSocketConnection.h"
#include "core/FloodWindow.h"

namespace gw {
namespace {

TEST(FloodWindow, CountsConnectionsOfEachAddressWithinItsWindow) {
  struct THit {
    const char* Addr;
    uint64_t At;
    bool Flood;
  };
  struct TCase {
    const char* Name;
    uint64_t WindowMs;
    uint32_t Limit;
    std::vector<THit> Hits;
  };
  const TCase cases[] = {
      {"the fifth within 2 s of the first is a flood",
       2000,
       4,
       {{"a", 0, false},
        {"a", 100, false},
        {"a", 200, false},
        {"a", 300, false},
        {"a", 400, true},
        {"a", 500, true}}},
      {"addresses are counted apart",
       2000,
       2,
       {{"a", 0, false},
        {"b", 0, false},
        {"a", 10, false},
        {"b", 10, false},
        {"a", 20, true},
        {"c", 20, false}}},
      {"a new window starts after the old one ended",
       1000,
       2,
       {{"a", 0, false},
        {"a", 500, false},
        {"a", 999, true},
        {"a", 1000, false},
        {"a", 1500, false},
        {"a", 1999, true}}},
      {"window 0: no limit", 0, 1, {{"a", 0, false}, {"a", 0, false}, {"a", 0, false}}},
      {"count 0: no limit", 1000, 0, {{"a", 0, false}, {"a", 0, false}, {"a", 0, false}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFloodWindow window;
    for (const THit& hit : c.Hits) {
      EXPECT_EQ(window.Hit(hit.Addr, hit.At, c.WindowMs, c.Limit), hit.Flood)
          << hit.Addr << " at " << hit.At;
    }
  }
}

TEST(FloodWindow, PrunesEndedWindowsAndForgetsTheOldestWhenFull) {
  TFloodWindow window(2);
  TGateWayStats stats;
  window.SetStats(&stats);
  EXPECT_FALSE(window.Hit("a", 0, 1000, 1));
  EXPECT_FALSE(window.Hit("b", 5, 1000, 1));
  // Full: a third address takes the place of the oldest window (a's), counted; the new
  // address is tracked at once, so its second connection within the window is a flood.
  const uint64_t before = stats.Breaches(TLimitBreach::lbFloodTableFull);
  EXPECT_FALSE(window.Hit("c", 10, 1000, 1));
  EXPECT_TRUE(window.Hit("c", 20, 1000, 1));
  EXPECT_EQ(window.Size(), 2u);
  EXPECT_EQ(stats.Breaches(TLimitBreach::lbFloodTableFull), before + 1);
  EXPECT_FALSE(window.Tracks("a"));
  EXPECT_TRUE(window.Tracks("b"));
  // A window that starts again becomes the youngest: b restarted, so c goes next.
  EXPECT_FALSE(window.Hit("b", 1100, 1000, 1));
  EXPECT_FALSE(window.Hit("d", 1105, 1000, 1));  // c's window ended: pruned, nothing evicted
  EXPECT_EQ(stats.Breaches(TLimitBreach::lbFloodTableFull), before + 1);
  EXPECT_TRUE(window.Tracks("b"));
  EXPECT_FALSE(window.Tracks("c"));
  EXPECT_FALSE(window.Hit("e", 1110, 1000, 1));  // both still run: the oldest (b) goes
  EXPECT_FALSE(window.Tracks("b"));
  EXPECT_TRUE(window.Tracks("d"));
  EXPECT_EQ(stats.Breaches(TLimitBreach::lbFloodTableFull), before + 2);
  window.Prune(5000, 1000);
  EXPECT_EQ(window.Size(), 0u);
}

TEST(LogRateLimiter, OneLinePerCausePerIntervalAndTheRestCounted) {
  TLogRateLimiter limiter(2, 1000);
  uint64_t suppressed = 99;
  EXPECT_TRUE(limiter.Allow(0, 0, suppressed));
  EXPECT_EQ(suppressed, 0u);
  EXPECT_FALSE(limiter.Allow(0, 10, suppressed));
  EXPECT_FALSE(limiter.Allow(0, 999, suppressed));
  EXPECT_TRUE(limiter.Allow(1, 500, suppressed));  // another cause has its own second
  EXPECT_TRUE(limiter.Allow(0, 1000, suppressed));
  EXPECT_EQ(suppressed, 2u);
  // Held-back lines of a cause that went quiet are reported once its interval passed.
  EXPECT_FALSE(limiter.Allow(0, 1100, suppressed));
  EXPECT_FALSE(limiter.Allow(0, 1200, suppressed));
  EXPECT_TRUE(limiter.TakeSuppressed(1500).empty());
  auto reported = limiter.TakeSuppressed(2000);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], (std::pair<size_t, uint64_t>{0, 2}));
  EXPECT_TRUE(limiter.TakeSuppressed(5000).empty());
  // The report was the cause's line: the next one within the interval is held back.
  EXPECT_FALSE(limiter.Allow(0, 2500, suppressed));
}

class ClientGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFile = (std::filesystem::temp_directory_path() /
             ("guard-test-" + std::to_string(::getpid()) + ".txt"))
                .string();
    FManager = std::make_unique<TGateIPManager>(FFile);
    FGuard = std::make_shared<TClientGuard>(*FManager);
    FGuard->SetStats(&FStats);
    FGuard->SetLogger([this](const std::string& line, TLogLevel) { FLines.push_back(line); });
  }
  void TearDown() override {
    FGuard.reset();  // its last pass may still save the list
    std::filesystem::remove(FFile);
  }

  void Apply(const std::function<void(TGateWayConfigure&)>& change) {
    TGateWayConfigure config;
    change(config);
    FGuard->ApplySettings(config);
  }

  std::string FFile;
  TGateWayStats FStats;  // the guard counts here; outlives it
  std::unique_ptr<TGateIPManager> FManager;
  std::shared_ptr<TClientGuard> FGuard;
  std::vector<std::string> FLines;
};

TEST_F(ClientGuardTest, RefusesBlockedAddressesExactlyAndByPrefix) {
  FManager->AddBlockIP("10.0.0.1");
  FManager->AddTempBlockIP("192.168.*");
  const uint64_t before = FGuard->Count(TGuardCause::gcRefusedBlocked);
  for (const char* addr : {"10.0.0.1", "192.168.1.7", "192.168.200.1"}) {
    EXPECT_FALSE(FGuard->AdmitConnection(addr)) << addr;
  }
  for (const char* addr : {"10.0.0.10", "192.169.1.1", "10.0.0.2"}) {
    EXPECT_TRUE(FGuard->AdmitConnection(addr)) << addr;
  }
  EXPECT_EQ(FGuard->Count(TGuardCause::gcRefusedBlocked), before + 3);
  EXPECT_EQ(FLines.at(0), "Refused 10.0.0.1: the address is blocked");
}

TEST_F(ClientGuardTest, PerAddressLimitCountsLiveConnectionsUntilTheyClose) {
  FManager->SetMaxConnections(2);
  EXPECT_TRUE(FGuard->AdmitConnection("1.1.1.1"));
  EXPECT_TRUE(FGuard->AdmitConnection("1.1.1.1"));
  EXPECT_FALSE(FGuard->AdmitConnection("1.1.1.1"));
  EXPECT_TRUE(FGuard->AdmitConnection("1.1.1.2"));
  EXPECT_EQ(FGuard->LiveConnections("1.1.1.1"), 2);
  FGuard->ConnectionClosed("1.1.1.1", 1);
  EXPECT_EQ(FGuard->LiveConnections("1.1.1.1"), 1);
  EXPECT_TRUE(FGuard->AdmitConnection("1.1.1.1"));
  FManager->SetMaxConnections(0);  // no limit
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(FGuard->AdmitConnection("1.1.1.1"));
}

TEST_F(ClientGuardTest, MessageRulesFollowTheSettingsAndBlockMethod) {
  struct TCase {
    const char* Name;
    TBlockIPMethod Method;
    bool Kick;
    size_t Size;
    bool Passes;
    bool TempBlocked;
    bool Blocked;
  };
  const TCase cases[] = {
      {"at the limit", mDisconnect, true, 300, true, false, false},
      {"over it, disconnect", mDisconnect, true, 301, false, false, false},
      {"over it, not kicked", mDisconnect, false, 100000, true, false, false},
      {"over it, temporary list", mBlock, true, 301, false, true, false},
      {"over it, permanent list", mBlockList, true, 301, false, false, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FManager->Clear();
    Apply([&](TGateWayConfigure& config) {
      config.MaxClientPacketSize = 300;
      config.KickOverPacketSize = c.Kick;
      config.BlockMethod = c.Method;
    });
    TFakeWebSocketConnection connection("7.7.7.7");
    EXPECT_EQ(FGuard->CheckMessage(connection, c.Size), c.Passes);
    EXPECT_EQ(connection.CloseCount(), c.Passes ? 0 : 1);
    bool temp = false, permanent = false;
    FManager->EarchTempBlockIPs([&](int, const TSockaddr* e) { temp |= e->IPaddr == "7.7.7.7"; });
    FManager->EarchBlockIPs([&](int, const TSockaddr* e) { permanent |= e->IPaddr == "7.7.7.7"; });
    EXPECT_EQ(temp, c.TempBlocked);
    EXPECT_EQ(permanent, c.Blocked);
  }
}

// IPv6 clients count per /64 for the per-address limit and the flood window; IPv4 clients
// per address.
TEST_F(ClientGuardTest, IPv6ClientsAreCountedPerSlash64) {
  struct TCase {
    const char* Name;
    int MaxConn;
    uint32_t FloodSec, FloodCount;
    std::vector<std::pair<const char*, bool>> Admissions;
  };
  const TCase cases[] = {
      {"per-address limit",
       2,
       0,
       0,
       {{"2001:db8::1", true},
        {"2001:DB8::2", true},
        {"2001:db8::ffff:3", false},
        {"2001:db8:0:1::1", true},
        {"10.0.0.1", true},
        {"10.0.0.2", true},
        {"10.0.0.3", true}}},
      {"flood window",
       0,
       60,
       2,
       {{"2001:db8:5::1", true},
        {"2001:db8:5::2", true},
        {"2001:db8:5::3", false},
        {"2001:db8:6::1", true},
        {"10.0.1.1", true},
        {"10.0.1.2", true},
        {"10.0.1.3", true}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FManager->SetMaxConnections(c.MaxConn);
    Apply([&](TGateWayConfigure& config) {
      config.ConnectionATKSec = static_cast<int32_t>(c.FloodSec);
      config.ConnectionATKCount = static_cast<int32_t>(c.FloodCount);
    });
    for (const auto& [address, admitted] : c.Admissions) {
      EXPECT_EQ(FGuard->AdmitConnection(address), admitted) << address;
    }
  }
  EXPECT_EQ(FGuard->LiveConnections("2001:db8::abcd"), 2);
  EXPECT_EQ(FGuard->LiveConnections("2001:db8:0:1::9"), 1);
  FGuard->ConnectionClosed("2001:db8::2", 1);
  EXPECT_EQ(FGuard->LiveConnections("2001:db8::1"), 1);
}

// A client's malformed messages are counted on its connection: the lines are rate-limited,
// and at the bound it is closed once.
TEST_F(ClientGuardTest, MalformedMessagesAreLimitedPerConnectionAndTheirLinesPerSecond) {
  auto connection = std::make_shared<TFakeWebSocketConnection>("8.8.8.8");
  std::atomic<uint32_t> counter{0};
  for (uint32_t i = 1; i < limits::kMaxMalformedMessages; ++i) {
    EXPECT_TRUE(FGuard->MalformedMessage(*connection, counter, TClientLine::clTooShort, "short"));
  }
  EXPECT_EQ(connection->CloseCount(), 0);
  EXPECT_FALSE(FGuard->MalformedMessage(*connection, counter, TClientLine::clTooShort, "short"));
  EXPECT_FALSE(FGuard->MalformedMessage(*connection, counter, TClientLine::clTooShort, "short"));
  EXPECT_EQ(connection->CloseCount(), 1);
  EXPECT_EQ(FGuard->Count(TGuardCause::gcMalformedClosed), 1u);
  EXPECT_EQ(FStats.Breaches(TLimitBreach::lbMalformedMessages), 1u);
  // One "short" line (the rest held back within the second) and the closing line.
  ASSERT_EQ(FLines.size(), 2u);
  EXPECT_EQ(FLines[0], "short");
  EXPECT_EQ(FLines[1], "Closed 8.8.8.8: 16 malformed messages (last: short)");
  // Another connection has its own count.
  auto other = std::make_shared<TFakeWebSocketConnection>("8.8.8.9");
  std::atomic<uint32_t> otherCounter{0};
  EXPECT_TRUE(FGuard->MalformedMessage(*other, otherCounter, TClientLine::clTooShort, "short"));
}

}  // namespace
}  // namespace gw
