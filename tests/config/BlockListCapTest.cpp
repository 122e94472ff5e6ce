// The cap on each block list's entries: every way in (the file, the console, the login
// server, the guard's automatic blocks) is refused past it, counted and logged, at most one
// line a second per list, and what the list held stays.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/PeerLimits.h"
#include "config/ConfigTestSupport.h"
#include "config/GateIPManager.h"

namespace gw {
namespace {

constexpr size_t kCap = 3;

size_t CountLines(config_test::TLogCapture& log, const std::string& text) {
  size_t n = 0;
  for (const auto& line : log.Lines()) n += line.Text.find(text) != std::string::npos ? 1 : 0;
  return n;
}

std::vector<std::string> Listed(TGateIPManager& manager, bool temp) {
  std::vector<std::string> out;
  TIPEarchProc collect = [&](int, const TSockaddr* entry) { out.push_back(entry->IPaddr); };
  temp ? manager.EarchTempBlockIPs(collect) : manager.EarchBlockIPs(collect);
  return out;
}

// A manager with a cap of three entries per list and a clock the test moves.
struct TCappedManager {
  TTempFolder Folder;
  std::shared_ptr<std::atomic<uint32_t>> Tick = std::make_shared<std::atomic<uint32_t>>(5000);
  TGateIPManager Manager{Folder.File("BlockIPList.txt"), [t = Tick] { return t->load(); }, kCap};
};

TEST(BlockListCap, EveryWayInIsRefusedPastTheCapCountedAndLogged) {
  struct TCase {
    const char* Name;
    bool Temp;  // which list the way fills
    std::function<void(TGateIPManager&, const std::string&)> Add;
  };
  const TCase cases[] = {
      {"console or login server, permanent", false,
       [](TGateIPManager& m, const std::string& a) { m.AddBlockIP(a); }},
      {"guard's automatic block, permanent (saved later)", false,
       [](TGateIPManager& m, const std::string& a) { m.AddBlockIP(a, /*SaveHere=*/false); }},
      {"guard's automatic block or console, temporary", true,
       [](TGateIPManager& m, const std::string& a) { m.AddTempBlockIP(a); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TCappedManager f;
    config_test::TLogCapture log;
    for (const char* a : {"10.0.0.1", "10.0.1.*", "10.2.0.0/16"}) c.Add(f.Manager, a);
    const uint64_t before = LimitBreaches(TLimitBreach::lbBlockListFull);
    c.Add(f.Manager, "10.0.0.9");
    EXPECT_EQ(LimitBreaches(TLimitBreach::lbBlockListFull), before + 1);
    EXPECT_TRUE(config_test::WaitUntil([&] {
      return CountLines(log, "Block list: '10.0.0.9': the list is full (3 entries); not added") ==
             1;
    }));
    EXPECT_FALSE(f.Manager.IsBlockIP("10.0.0.9"));
    EXPECT_FALSE(c.Temp ? f.Manager.HasTempBlockIP("10.0.0.9") : f.Manager.HasBlockIP("10.0.0.9"));
    // What the list held stays and still matches; an entry it holds may be added again.
    c.Add(f.Manager, "10.0.0.1");
    EXPECT_EQ(LimitBreaches(TLimitBreach::lbBlockListFull), before + 1);
    EXPECT_EQ(Listed(f.Manager, c.Temp),
              (std::vector<std::string>{"10.0.0.1", "10.0.1.*", "10.2.0.0/16"}));
    EXPECT_TRUE(f.Manager.IsBlockIP("10.0.1.77"));
    EXPECT_TRUE(f.Manager.IsBlockIP("10.2.3.4"));
    // A removal makes room again.
    f.Manager.RemoveBlockIP("10.0.0.1");
    f.Manager.RemoveTempBlockIP("10.0.0.1");
    c.Add(f.Manager, "10.0.0.9");
    EXPECT_TRUE(f.Manager.IsBlockIP("10.0.0.9"));
  }
}

TEST(BlockListCap, TheFileKeepsItsFirstEntriesAndCountsTheRest) {
  TCappedManager f;
  config_test::PutFile(f.Folder.File("BlockIPList.txt"),
                       "1.1.1.1\r\n2.2.2.*\r\n3.3.0.0/16\r\n4.4.4.4\r\n5.5.5.5\r\n");
  config_test::TLogCapture log;
  const uint64_t before = LimitBreaches(TLimitBreach::lbBlockListFull);
  f.Manager.LoadBlockIPFile();
  EXPECT_EQ(LimitBreaches(TLimitBreach::lbBlockListFull), before + 2);
  EXPECT_EQ(Listed(f.Manager, false),
            (std::vector<std::string>{"1.1.1.1", "2.2.2.*", "3.3.0.0/16"}));
  EXPECT_TRUE(config_test::WaitUntil([&] {
    return CountLines(log,
                      "BlockIPList.txt: only the first 3 of 5 entries were taken (a list "
                      "holds at most 3)") == 1;
  }));
  EXPECT_FALSE(f.Manager.IsBlockIP("4.4.4.4"));
  EXPECT_TRUE(f.Manager.IsBlockIP("2.2.2.200"));
}

TEST(BlockListCap, AFloodOfRefusalsWritesOneLineASecondAndCountsEach) {
  TCappedManager f;
  for (const char* a : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) f.Manager.AddTempBlockIP(a);
  config_test::TLogCapture log;
  const uint64_t before = LimitBreaches(TLimitBreach::lbBlockListFull);
  for (int i = 0; i < 100; ++i) f.Manager.AddTempBlockIP("10.1.0." + std::to_string(i));
  // The permanent list has a line of its own.
  for (const char* a : {"20.0.0.1", "20.0.0.2", "20.0.0.3", "20.0.0.4"}) f.Manager.AddBlockIP(a);
  EXPECT_EQ(LimitBreaches(TLimitBreach::lbBlockListFull), before + 101);
  f.Tick->fetch_add(1000);
  f.Manager.AddTempBlockIP("10.2.0.1");
  EXPECT_TRUE(config_test::WaitUntil([&] {
    return CountLines(log, "the list is full") == 3 &&
           CountLines(log,
                      "'10.2.0.1': the list is full (3 entries) (99 more refused since the "
                      "last such line); not added") == 1;
  }));
  EXPECT_EQ(CountLines(log, "'10.1.0.0': the list is full"), 1u);
  EXPECT_EQ(CountLines(log, "'20.0.0.4': the list is full"), 1u);
}

}  // namespace
}  // namespace gw
