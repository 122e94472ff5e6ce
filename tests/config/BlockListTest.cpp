// Block list entries: the parser's forms, the address normalisation behind them, the matcher
// the IP manager answers IsBlockIP with, and a file read through the IP manager.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/PeerLimits.h"
#include "config/BlockListEntry.h"
#include "config/BlockListMatcher.h"
#include "config/ConfigTestSupport.h"
#include "config/GateIPManager.h"
#include "config/IPAddress.h"

namespace gw {
namespace {

using K = TBlockEntryKind;

// Whether a line holding `text` was logged (waited for: the logger may hand lines over later).
bool Logged(config_test::TLogCapture& log, const std::string& text) {
  return config_test::WaitUntil([&] {
    for (const auto& line : log.Lines()) {
      if (line.Text.find(text) != std::string::npos) return true;
    }
    return false;
  });
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct TEntryCase {
  const char* Line;
  K Kind;
  const char* Text;      // the stored form ("" for none)
  bool Warning = false;  // taken, with a line for the operator
};

TEST(BlockListEntry, EveryFormIsReadNormalisedOrRefused) {
  const TEntryCase cases[] = {
      // Addresses, in any spelling, stored canonically.
      {"1.2.3.4", K::bkAddress, "1.2.3.4"},
      {"  1.2.3.4\t", K::bkAddress, "1.2.3.4"},
      {"1.2.3.6 # a comment", K::bkAddress, "1.2.3.6"},
      {"2001:db8:0:0::5", K::bkAddress, "2001:db8::5"},
      {"2001:DB8::5", K::bkAddress, "2001:db8::5"},
      {"2001:0db8:0000:0000:0000:0000:0000:0005", K::bkAddress, "2001:db8::5"},
      {"::ffff:10.0.0.1", K::bkAddress, "10.0.0.1"},
      {"::1", K::bkAddress, "::1"},
      {"1:0:0:2:0:0:0:3", K::bkAddress, "1:0:0:2::3"},
      {"::", K::bkAddress, "::"},
      // Prefixes keep their textual meaning, in lower case; one not ending at a boundary warns.
      {"192.168.*", K::bkPrefix, "192.168.*"},
      {"2001:DB8:AAAA::*", K::bkPrefix, "2001:db8:aaaa::*"},
      {"11.0.0.1*", K::bkPrefix, "11.0.0.1*", true},
      {"172.16.*.9*", K::bkPrefix, "172.16.*", true},
      // Ranges, host bits cleared (with a warning).
      {"1.2.4.0/24", K::bkRange, "1.2.4.0/24"},
      {"1.2.4.9/24", K::bkRange, "1.2.4.0/24", true},
      {"2001:DB8::/32", K::bkRange, "2001:db8::/32"},
      {"10.0.0.1/32", K::bkRange, "10.0.0.1/32"},
      {"::ffff:10.1.0.0/112", K::bkRange, "10.1.0.0/16"},
      // Nothing to add.
      {"", K::bkNone, ""},
      {"   # whole-line comment", K::bkNone, ""},
      // Refused: matches every client.
      {"*", K::bkInvalid, ""},
      {"0.0.0.0/0", K::bkInvalid, ""},
      {"::/0", K::bkInvalid, ""},
      {"* # everyone", K::bkInvalid, ""},
      // Refused: not an entry.
      {"abc", K::bkInvalid, ""},
      {"1.2.3", K::bkInvalid, ""},
      {"1.2.3.256", K::bkInvalid, ""},
      {"01.2.3.4", K::bkInvalid, ""},
      {"1.2.3.4.5", K::bkInvalid, ""},
      {"1::2::3", K::bkInvalid, ""},
      {"1:2:3:4:5:6:7:8:9", K::bkInvalid, ""},
      {"12345::", K::bkInvalid, ""},
      {"fe80::1%eth0", K::bkInvalid, ""},
      {"1.2.3.0/33", K::bkInvalid, ""},
      {"1.2.3.0/", K::bkInvalid, ""},
      {"1.2.3.0/x", K::bkInvalid, ""},
      {"10.0.0.0/8123456789123456789", K::bkInvalid, ""},  // a bit count that never ends
      {"host-a*", K::bkInvalid, ""},
      {"1.2.3.4 5.6.7.8", K::bkInvalid, ""},
  };
  for (const TEntryCase& c : cases) {
    SCOPED_TRACE(c.Line);
    const TBlockListEntry e = ParseBlockListEntry(c.Line);
    EXPECT_EQ(e.Kind, c.Kind);
    EXPECT_EQ(e.Text, c.Text);
    if (c.Kind == K::bkInvalid) {
      EXPECT_FALSE(e.Problem.empty());
    } else {
      EXPECT_EQ(!e.Problem.empty(), c.Warning) << e.Problem;
    }
  }
  // Control characters of a refused line are escaped in its problem text.
  EXPECT_EQ(ParseBlockListEntry("x\x1b[2J").Problem.find('\x1b'), std::string::npos);
}

TEST(BlockListEntry, CanonicalTextsReadBackAsThemselves) {
  for (const char* text : {"0.0.0.0", "255.255.255.255", "::", "::1", "1::", "2001:db8::5",
                           "2001:db8:0:1:1:1:1:1", "1:0:0:2::3", "fe80::1:2", "::102:304"}) {
    const auto a = TIPAddress::Parse(text);
    ASSERT_TRUE(a) << text;
    EXPECT_EQ(a->Text(), text);
  }
}

TEST(BlockListEntry, FileLinesGiveEntriesCountsAndNumberedProblems) {
  const TBlockListText list = ParseBlockListLines({
      "# blocked by the operator",  // 1
      "1.2.3.4",                    // 2
      "",                           // 3
      "10.0.0.0/8   # a range",     // 4
      "11.0.0.1*",                  // 5: taken, warned
      "*",                          // 6: refused
      "nonsense",                   // 7: refused
      "2001:db8::*",                // 8
  });
  EXPECT_EQ(list.Entries.size(), 4u);
  EXPECT_EQ(list.Addresses, 1u);
  EXPECT_EQ(list.Prefixes, 2u);
  EXPECT_EQ(list.Ranges, 1u);
  ASSERT_EQ(list.Problems.size(), 3u);
  EXPECT_EQ(list.Problems[0].Line, 5u);
  EXPECT_FALSE(list.Problems[0].Error);
  EXPECT_EQ(list.Problems[1].Line, 6u);
  EXPECT_TRUE(list.Problems[1].Error);
  EXPECT_EQ(list.Problems[1].Text, "'*' would block every client; skipped");
  EXPECT_EQ(list.Problems[2].Line, 7u);
  EXPECT_TRUE(list.Problems[2].Error);
}

struct TMatchCase {
  const char* Address;
  bool Blocked;
};

TEST(BlockListMatcher, AddressesPrefixesAndRangesMatchAsWritten) {
  TBlockListMatcher m;
  for (const char* entry : {"10.0.0.1", "2001:db8:0:0::5", "192.168.*", "2001:DB8:AAAA::*",
                            "11.0.0.1*", "1.2.4.0/24", "2001:db8:1::/48", "172.16.0.0/12"}) {
    m.Add(ParseBlockListEntry(entry));
  }
  const TMatchCase cases[] = {
      {"10.0.0.1", true},
      {"::ffff:10.0.0.1", true},
      {"10.0.0.2", false},
      {"2001:db8::5", true},
      {"2001:DB8::5", true},
      {"2001:db8::6", false},
      {"192.168.7.7", true},
      {"192.169.0.1", false},
      {"2001:db8:aaaa::1", true},
      {"2001:db8:aaab::1", false},
      {"11.0.0.1", true},
      {"11.0.0.10", true},
      {"11.0.0.199", true},
      {"11.0.0.2", false},
      {"1.2.4.0", true},
      {"1.2.4.255", true},
      {"1.2.5.0", false},
      {"2001:db8:1:ffff::1", true},
      {"2001:db8:2::1", false},
      {"172.31.255.255", true},
      {"172.32.0.0", false},
      {"not an address", false},
      {"", false},
  };
  for (const TMatchCase& c : cases)
    EXPECT_EQ(m.Matches(std::string(c.Address)), c.Blocked) << c.Address;

  // Entries are counted: one removal of an entry added twice leaves it matching.
  m.Add(ParseBlockListEntry("1.2.4.0/24"));
  m.Remove(ParseBlockListEntry("1.2.4.0/24"));
  EXPECT_TRUE(m.Matches(std::string("1.2.4.1")));
  m.Remove(ParseBlockListEntry("1.2.4.9/24"));  // the same range, spelt otherwise
  EXPECT_FALSE(m.Matches(std::string("1.2.4.1")));
  m.Remove(ParseBlockListEntry("192.168.*"));
  m.Remove(ParseBlockListEntry("2001:db8::5"));
  EXPECT_FALSE(m.Matches(std::string("192.168.7.7")));
  EXPECT_FALSE(m.Matches(std::string("2001:db8::5")));
}

TEST(BlockListMatcher, IPv6ClientsAreGroupedPerSlash64) {
  const struct {
    const char* Address;
    const char* Key;
  } cases[] = {
      {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
      {"2001:DB8:1:2:bbbb:cccc:dddd:eeee", "2001:db8:1:2::/64"},
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
      {"::1", "::/64"},
      {"127.0.0.5", "127.0.0.5"},
      {"::ffff:127.0.0.5", "127.0.0.5"},
      {"weird", "weird"},
  };
  static_assert(limits::kIPv6GroupPrefixBits == 64);
  for (const auto& c : cases) EXPECT_EQ(AddressGroupKey(c.Address), c.Key) << c.Address;
}

TEST(GateIPManager, FileIsValidatedAndAdditionsGoThroughTheSameRules) {
  TTempFolder folder;
  const std::string file = folder.File("BlockIPList.txt");
  config_test::PutFile(file,
                       "# comment\r\n2001:DB8:0:0::5\r\n1.2.4.0/24 # office\r\n*\r\n"
                       "11.0.0.1*\r\nbad line\r\n");
  TGateIPManager manager(file);
  config_test::TLogCapture log;
  manager.LoadBlockIPFile();
  std::vector<std::string> entries;
  manager.EarchBlockIPs([&](int, const TSockaddr* e) { entries.push_back(e->IPaddr); });
  EXPECT_EQ(entries, (std::vector<std::string>{"2001:db8::5", "1.2.4.0/24", "11.0.0.1*"}));
  EXPECT_TRUE(Logged(log, "BlockIPList.txt line 4: '*' would block every client; skipped"));
  EXPECT_TRUE(Logged(log, "BlockIPList.txt line 6: 'bad line' is not an address"));
  EXPECT_TRUE(Logged(log, "BlockIPList.txt line 5: '11.0.0.1*' matches every address"));
  EXPECT_TRUE(Logged(
      log, "BlockIPList.txt: 3 entries read (1 addresses, 1 prefixes, 1 ranges), 2 lines skipped"));
  EXPECT_TRUE(manager.IsBlockIP("2001:db8::5"));
  EXPECT_TRUE(manager.IsBlockIP("1.2.4.77"));

  // The console's and the login server's additions: refused the same way, stored canonically.
  const int count = manager.AddBlockIP("0.0.0.0/0");
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(Logged(log, "Block list: '0.0.0.0/0' would block every client; not added"));
  EXPECT_FALSE(manager.IsBlockIP("8.8.8.8"));
  EXPECT_EQ(manager.AddTempBlockIP("2001:DB8::7"), 1);
  EXPECT_TRUE(manager.IsBlockIP("2001:db8:0::7"));
  manager.RemoveTempBlockIP("2001:db8:0:0:0:0:0:7");  // any spelling removes it
  EXPECT_FALSE(manager.IsBlockIP("2001:db8::7"));

  // What is written back stays one entry per line, readable by older versions.
  ASSERT_TRUE(manager.SaveBlockIPList());
  EXPECT_EQ(ReadAll(file), "2001:db8::5\r\n1.2.4.0/24\r\n11.0.0.1*\r\n");
}

}  // namespace
}  // namespace gw
