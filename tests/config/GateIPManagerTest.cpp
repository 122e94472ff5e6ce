#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigTestSupport.h"
#include "config/GateIPManager.h"
#include "config/TextFile.h"

namespace gw {
namespace {

using config_test::PutFile;

// A manager on a scratch file with a clock the test moves.
struct TManagerFixture {
  TTempFolder Folder;
  std::shared_ptr<std::atomic<uint32_t>> Tick = std::make_shared<std::atomic<uint32_t>>(1000);
  TGateIPManager Manager{Folder.File("BlockIPList.txt"), [t = Tick] { return t->load(); }};

  std::string File() const { return Folder.File("BlockIPList.txt"); }
};

std::vector<TSockaddr> Entries(TGateIPManager& m, bool temp) {
  std::vector<TSockaddr> out;
  TIPEarchProc collect = [&](int index, const TSockaddr* entry) {
    EXPECT_EQ(index, static_cast<int>(out.size()));
    out.push_back(*entry);
  };
  temp ? m.EarchTempBlockIPs(collect) : m.EarchBlockIPs(collect);
  return out;
}

std::vector<std::string> Addresses(TGateIPManager& m, bool temp) {
  std::vector<std::string> out;
  for (const TSockaddr& e : Entries(m, temp)) out.push_back(e.IPaddr);
  return out;
}

// The add, refresh and remove rules hold for both lists.
class BlockListRules : public testing::TestWithParam<bool> {
 protected:
  int Add(const std::string& a) {
    return GetParam() ? F.Manager.AddTempBlockIP(a) : F.Manager.AddBlockIP(a);
  }
  void Remove(const std::string& a) {
    GetParam() ? F.Manager.RemoveTempBlockIP(a) : F.Manager.RemoveBlockIP(a);
  }
  std::vector<TSockaddr> List() { return Entries(F.Manager, GetParam()); }

  TManagerFixture F;
};

TEST_P(BlockListRules, AddingAgainRefreshesTheTimeStamp) {
  EXPECT_EQ(Add("10.0.0.1"), 1);
  *F.Tick = 5000;
  EXPECT_EQ(Add("10.0.0.1"), 1);
  ASSERT_EQ(List().size(), 1u);
  EXPECT_EQ(List()[0].StartAttackTick, 5000u);
  EXPECT_EQ(List()[0].SocketHandle, 0u);
  EXPECT_EQ(Add("10.0.0.2"), 2);
  // The other list is untouched.
  EXPECT_TRUE(Entries(F.Manager, !GetParam()).empty());
}

TEST_P(BlockListRules, AddAndRemoveTakeAnySpellingOfTheSameEntry) {
  Add("2001:db8::a");
  EXPECT_EQ(Add("2001:DB8:0::A"), 1);
  ASSERT_EQ(List().size(), 1u);
  EXPECT_EQ(List()[0].IPaddr, "2001:db8::a");
  Remove("2001:db8::b");
  EXPECT_EQ(List().size(), 1u);
  Remove("2001:DB8::A");
  EXPECT_TRUE(List().empty());
  Remove("2001:db8::a");  // absent: nothing happens
  EXPECT_TRUE(List().empty());
}

TEST_P(BlockListRules, TextThatIsNoEntryIsNotAdded) {
  for (const char* text : {"", "abc", "*", "::/0", "主机"}) EXPECT_EQ(Add(text), 0) << text;
  EXPECT_EQ(Add("1.1.1.1"), 1);
  EXPECT_EQ(List()[0].IPaddr, "1.1.1.1");
}

INSTANTIATE_TEST_SUITE_P(Lists, BlockListRules, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) {
                           return i.param ? "Temporary" : "Permanent";
                         });

TEST(GateIPManager, RemoveTakesEveryEqualEntryAndKeepsTheOrder) {
  TManagerFixture f;
  PutFile(f.File(), "1.2.3.4\r\n5.6.7.8\r\n1.2.3.4\r\n9.9.9.9\r\n");
  f.Manager.LoadBlockIPFile();
  f.Manager.RemoveBlockIP("1.2.3.4");
  EXPECT_EQ(Addresses(f.Manager, false), (std::vector<std::string>{"5.6.7.8", "9.9.9.9"}));
}

struct TFileCase {
  const char* Name;
  std::string Bytes;
};

class BlockListFile : public testing::TestWithParam<TFileCase> {};

TEST_P(BlockListFile, LinesAreTrimmedAndEmptyOnesSkipped) {
  TManagerFixture f;
  f.Manager.AddBlockIP("9.9.9.9");
  PutFile(f.File(), GetParam().Bytes);
  *f.Tick = 777;
  f.Manager.LoadBlockIPFile();
  const std::vector<TSockaddr> list = Entries(f.Manager, false);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].IPaddr, "1.2.3.4");
  EXPECT_EQ(list[1].IPaddr, "5.6.7.8");
  EXPECT_EQ(list[2].IPaddr, "1.2.3.4");
  for (const TSockaddr& e : list) EXPECT_EQ(e.StartAttackTick, 777u);
}

std::string Utf16(const std::string& ascii, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

const std::string kThreeEntries = "1.2.3.4\r\n\r\n \t5.6.7.8  \r\n1.2.3.4\r\n";

INSTANTIATE_TEST_SUITE_P(Encodings, BlockListFile,
                         testing::Values(TFileCase{"Ansi", kThreeEntries},
                                         TFileCase{"LineFeeds", "1.2.3.4\n\n 5.6.7.8 \n1.2.3.4"},
                                         TFileCase{"CarriageReturns",
                                                   "1.2.3.4\r\r5.6.7.8\x01\r  \r1.2.3.4\r"},
                                         TFileCase{"Utf8Mark", "\xEF\xBB\xBF" + kThreeEntries},
                                         TFileCase{"Utf16LeMark", Utf16(kThreeEntries, false)},
                                         TFileCase{"Utf16BeMark", Utf16(kThreeEntries, true)}),
                         [](const testing::TestParamInfo<TFileCase>& i) { return i.param.Name; });

TEST(GateIPManager, LoadWithoutFileKeepsTheListWithFileReplacesIt) {
  TManagerFixture f;
  f.Manager.AddBlockIP("9.9.9.9");
  f.Manager.LoadBlockIPFile();
  EXPECT_EQ(Addresses(f.Manager, false), std::vector<std::string>{"9.9.9.9"});
  PutFile(f.File(), "8.8.8.8\r\n");
  f.Manager.LoadBlockIPFile();
  EXPECT_EQ(Addresses(f.Manager, false), std::vector<std::string>{"8.8.8.8"});
}

TEST(GateIPManager, AdditionsReachTheFileOnlyWithASave) {
  TManagerFixture f;
  PutFile(f.File(), "8.8.8.8\r\n");
  f.Manager.LoadBlockIPFile();
  f.Manager.AddBlockIP("7.7.7.7");
  f.Manager.AddTempBlockIP("6.6.6.6");
  f.Manager.LoadBlockIPFile();  // a reload before the save drops the addition
  EXPECT_EQ(Addresses(f.Manager, false), std::vector<std::string>{"8.8.8.8"});
  EXPECT_EQ(Addresses(f.Manager, true), std::vector<std::string>{"6.6.6.6"});
  f.Manager.AddBlockIP("7.7.7.7");
  EXPECT_TRUE(f.Manager.SaveBlockIPList());
  EXPECT_EQ(ReadFileBytes(f.File()), "8.8.8.8\r\n7.7.7.7\r\n");
}

TEST(GateIPManager, SavingAnEmptyListWritesAnEmptyFile) {
  TManagerFixture f;
  PutFile(f.File(), "1.1.1.1\r\n");
  EXPECT_TRUE(f.Manager.SaveBlockIPList());
  EXPECT_TRUE(std::filesystem::exists(f.File()));
  EXPECT_EQ(ReadFileBytes(f.File()), "");
}

// A save that cannot create its file reports false (and an error line, see SettingsFileTest);
// memory keeps the list.
TEST(GateIPManager, SaveFailureKeepsTheListInMemory) {
  TTempFolder folder;
  TGateIPManager manager(folder.File("missing/BlockIPList.txt"));
  manager.AddBlockIP("1.1.1.1");
  EXPECT_FALSE(manager.SaveBlockIPList());
  EXPECT_EQ(Addresses(manager, false), std::vector<std::string>{"1.1.1.1"});
}

TEST(GateIPManager, UnreadableFileFailsTheLoadAndKeepsTheList) {
  TManagerFixture f;
  f.Manager.AddBlockIP("1.1.1.1");
  std::filesystem::create_directory(f.File());
  EXPECT_THROW(f.Manager.LoadBlockIPFile(), ESettingsFileError);
  EXPECT_EQ(Addresses(f.Manager, false), std::vector<std::string>{"1.1.1.1"});
}

TEST(GateIPManager, ClearEmptiesEveryList) {
  TManagerFixture f;
  f.Manager.AddBlockIP("1.1.1.1");
  f.Manager.AddTempBlockIP("2.2.2.2");
  EXPECT_FALSE(f.Manager.IsConnLimited("3.3.3.3", 1));
  f.Manager.Clear();
  EXPECT_TRUE(Addresses(f.Manager, false).empty());
  EXPECT_TRUE(Addresses(f.Manager, true).empty());
  EXPECT_EQ(f.Manager.IPCount("3.3.3.3"), 0);
}

struct TBlockCase {
  const char* Address;
  bool Blocked;
};

TEST(GateIPManager, IsBlockIPMatchesAddressesPrefixesAndRangesOfBothLists) {
  TManagerFixture f;
  f.Manager.AddBlockIP("10.0.0.1");
  f.Manager.AddBlockIP("192.168.*");
  f.Manager.AddTempBlockIP("2001:DB8::1");
  f.Manager.AddTempBlockIP("172.16.*.9*");
  f.Manager.AddTempBlockIP("100.64.0.0/10");
  const TBlockCase cases[] = {
      {"10.0.0.1", true},     {"10.0.0.10", false},  {"10.0.0", false},      {"192.168.1.1", true},
      {"192.169.1.1", false}, {"2001:db8::1", true}, {"2001:db8::2", false}, {"172.16.5.5", true},
      {"172.1.0.1", false},   {"100.127.0.1", true}, {"100.128.0.1", false}, {"", false},
  };
  for (const TBlockCase& c : cases)
    EXPECT_EQ(f.Manager.IsBlockIP(c.Address), c.Blocked) << c.Address;

  // A temporary block that ends stops matching.
  *f.Tick += 60000;
  f.Manager.RemoveTempBlockIP(uint64_t{1000});
  EXPECT_FALSE(f.Manager.IsBlockIP("2001:db8::1"));
  EXPECT_FALSE(f.Manager.IsBlockIP("100.127.0.1"));
  EXPECT_TRUE(f.Manager.IsBlockIP("10.0.0.1"));
}

TEST(GateIPManager, ConnectionLimitHoldsPerAddress) {
  TManagerFixture f;
  EXPECT_EQ(f.Manager.MaxConnections(), 10);
  f.Manager.SetMaxConnections(2);
  EXPECT_FALSE(f.Manager.IsConnLimited("1.1.1.1", 11));
  EXPECT_FALSE(f.Manager.IsConnLimited("1.1.1.1", 12));
  EXPECT_TRUE(f.Manager.IsConnLimited("1.1.1.1", 13));  // a third one is refused, not recorded
  EXPECT_FALSE(f.Manager.IsConnLimited("2.2.2.2", 21));
  EXPECT_EQ(f.Manager.IPCount("1.1.1.1"), 2);
  EXPECT_EQ(f.Manager.IPCount("2.2.2.2"), 1);
  EXPECT_EQ(f.Manager.IPCount("3.3.3.3"), 0);

  f.Manager.RemoveCurrIP("1.1.1.1", 13);  // never recorded
  f.Manager.RemoveCurrIP("1.1.1.1", 21);  // another address's handle
  EXPECT_EQ(f.Manager.IPCount("1.1.1.1"), 2);
  f.Manager.RemoveCurrIP("1.1.1.1", 11);
  EXPECT_EQ(f.Manager.IPCount("1.1.1.1"), 1);
  EXPECT_FALSE(f.Manager.IsConnLimited("1.1.1.1", 14));
  f.Manager.RemoveCurrIP("1.1.1.1", 12);
  f.Manager.RemoveCurrIP("1.1.1.1", 14);
  EXPECT_EQ(f.Manager.IPCount("1.1.1.1"), 0);
  EXPECT_FALSE(f.Manager.IsConnLimited("1.1.1.1", 15));
  EXPECT_EQ(f.Manager.IPCount("1.1.1.1"), 1);
}

TEST(GateIPManager, ConnectionGroupsIgnoreLetterCase) {
  TManagerFixture f;
  f.Manager.SetMaxConnections(2);
  EXPECT_FALSE(f.Manager.IsConnLimited("host", 1));
  EXPECT_FALSE(f.Manager.IsConnLimited("HOST", 2));
  EXPECT_TRUE(f.Manager.IsConnLimited("Host", 3));
  EXPECT_EQ(f.Manager.IPCount("hOsT"), 2);
  f.Manager.RemoveCurrIP("host", 2);  // recorded as "HOST": the address must match exactly
  EXPECT_EQ(f.Manager.IPCount("host"), 2);
  f.Manager.RemoveCurrIP("HOST", 2);
  EXPECT_EQ(f.Manager.IPCount("host"), 1);
}

TEST(GateIPManager, ZeroLimitRefusesEveryConnection) {
  TManagerFixture f;
  f.Manager.SetMaxConnections(0);
  EXPECT_TRUE(f.Manager.IsConnLimited("1.1.1.1", 1));
  EXPECT_EQ(f.Manager.IPCount("1.1.1.1"), 0);
}

TEST(GateIPManager, TemporaryBlocksExpireByAge) {
  TManagerFixture f;
  *f.Tick = 1000;
  f.Manager.AddTempBlockIP("10.0.0.1");
  *f.Tick = 5000;
  f.Manager.AddTempBlockIP("10.0.0.2");
  f.Manager.AddBlockIP("10.0.0.3");
  *f.Tick = 12000;  // ages: .1 11000, .2 7000
  f.Manager.RemoveTempBlockIP(uint64_t{11001});
  EXPECT_EQ(Addresses(f.Manager, true), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  f.Manager.RemoveTempBlockIP(uint64_t{11000});
  EXPECT_EQ(Addresses(f.Manager, true), std::vector<std::string>{"10.0.0.2"});
  // Refreshing restarts the age.
  f.Manager.AddTempBlockIP("10.0.0.2");
  *f.Tick = 12500;
  f.Manager.RemoveTempBlockIP(uint64_t{1000});
  EXPECT_EQ(Addresses(f.Manager, true), std::vector<std::string>{"10.0.0.2"});
  f.Manager.RemoveTempBlockIP(uint64_t{0});
  EXPECT_TRUE(Addresses(f.Manager, true).empty());
  EXPECT_EQ(Addresses(f.Manager, false), std::vector<std::string>{"10.0.0.3"});
}

TEST(GateIPManager, ExpiryAgesSurviveTickWrapAndLongTimes) {
  TManagerFixture f;
  *f.Tick = 0xFFFFFF00u;
  f.Manager.AddTempBlockIP("10.0.0.4");
  *f.Tick = 0x100;  // age 0x200 across the wrap
  f.Manager.AddTempBlockIP("10.0.0.5");
  // Times of 2^31 ms and more are longer than any entry here has lived: nothing expires.
  f.Manager.RemoveTempBlockIP(uint64_t{2147483648u});
  f.Manager.RemoveTempBlockIP(uint64_t{1} << 40);
  EXPECT_EQ(Addresses(f.Manager, true), (std::vector<std::string>{"10.0.0.4", "10.0.0.5"}));
  f.Manager.RemoveTempBlockIP(uint64_t{0x200});
  EXPECT_EQ(Addresses(f.Manager, true), std::vector<std::string>{"10.0.0.5"});
}

}  // namespace
}  // namespace gw
