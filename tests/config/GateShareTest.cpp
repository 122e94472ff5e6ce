#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "codec/EDcode.h"
#include "codec/MessageCoder.h"
#include "config/ConfigTestSupport.h"
#include "config/GateShare.h"

namespace gw {
namespace {

using config_test::EndsWith;
using config_test::PutFile;
using config_test::TLogCapture;

// The process-wide objects' stand-ins on a scratch folder.
struct TShareFixture {
  TTempFolder Folder;
  TGateWayConfigure Config;
  TWordList Words;
  TGateIPManager Manager{Folder.File("BlockIPList.txt")};
  TGateWayFiles Files{Folder.File("GateWay.xml"), Folder.File("WordFilter.txt")};

  void Load(const TLaunchParams& params = {}) {
    LoadGateWayConfig(Config, params, Words, Manager, Files);
  }
  std::vector<std::string> BlockList() {
    std::vector<std::string> out;
    Manager.EarchBlockIPs([&](int, const TSockaddr* e) { out.push_back(e->IPaddr); });
    return out;
  }
};

void ExpectInfoLines(const std::vector<TLogCapture::TLine>& lines,
                     const std::vector<std::string>& texts) {
  ASSERT_EQ(lines.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(lines[i].Level, llMessage);
    EXPECT_TRUE(EndsWith(lines[i].Text, "[I] " + texts[i])) << lines[i].Text;
  }
}

TEST(LoadGateWayConfig, LoadsEverySettingsFileInOrder) {
  TLogCapture log;
  TShareFixture f;
  PutFile(f.Files.Config,
          "<TGateWayConfigure><MaxConnOfIPaddr>3</MaxConnOfIPaddr><GatePort>9999</GatePort>"
          "<NetPassWord>" +
              EncodeSource("新口令") + "</NetPassWord></TGateWayConfigure>");
  PutFile(f.Files.WordFilter, "w1\r\nw2\r\n");
  PutFile(f.Folder.File("BlockIPList.txt"), "1.1.1.1\r\n");
  const std::string previousPassWord = MessageCoder().PassWord();
  f.Load();
  EXPECT_EQ(f.Config.GatePort, "9999");
  EXPECT_EQ(f.Words.Items(), (std::vector<std::string>{"w1", "w2"}));
  EXPECT_EQ(f.BlockList(), std::vector<std::string>{"1.1.1.1"});
  EXPECT_EQ(f.Manager.MaxConnections(), 3);
  EXPECT_EQ(MessageCoder().PassWord(), "\xD0\xC2\xBF\xDA\xC1\xEE");  // GBK
  MessageCoder().SetPassWord(previousPassWord);
  ExpectInfoLines(log.Lines(), {"正在加载配置信息...", "配置信息加载完成...",
                                "正在加载文字过滤配置信息...", "文字过滤信息加载完成...",
                                "BlockIPList.txt: 1 entries read (1 addresses, 0 prefixes, "
                                "0 ranges), 0 lines skipped"});
}

TEST(LoadGateWayConfig, FirstStartCreatesTheDefaultFileAndAppliesTheLaunchBlock) {
  TShareFixture f;
  TLaunchParams::TBlock block{};
  block[TLaunchParams::kGateAddrOffset] = 1;
  block[TLaunchParams::kGateAddrOffset + 1] = '*';
  block[TLaunchParams::kGatePortOffset] = 0x34;  // 0x1234 = 4660
  block[TLaunchParams::kGatePortOffset + 1] = 0x12;
  f.Config.WokerCount = 12;
  f.Load(TLaunchParams(block));
  EXPECT_EQ(f.Config.GateAddr, "*");
  EXPECT_EQ(f.Config.GatePort, "4660");
  EXPECT_EQ(f.Config.WokerCount, 4);
  // The file holds what was loaded, not the overrides.
  TGateWayConfigure written;
  written.WokerCount = 12;
  EXPECT_EQ(ReadFileBytes(f.Files.Config), written.SaveToText());
  EXPECT_TRUE(f.Words.Items().empty());
  EXPECT_EQ(f.Manager.MaxConnections(), 10);

  // A reload applies the block again over whatever the file holds.
  PutFile(f.Files.Config,
          "<TGateWayConfigure><GatePort>9999</GatePort><GateAddr>1.1.1.1</GateAddr>"
          "<WokerCount>16</WokerCount></TGateWayConfigure>");
  f.Load(TLaunchParams(block));
  EXPECT_EQ(f.Config.GateAddr, "*");
  EXPECT_EQ(f.Config.GatePort, "4660");
  EXPECT_EQ(f.Config.WokerCount, 4);
}

TEST(LoadGateWayConfig, UnreadableFileEndsTheLoadThere) {
  TLogCapture log;
  TShareFixture f;
  std::filesystem::create_directory(f.Files.Config);
  PutFile(f.Files.WordFilter, "w\r\n");
  f.Words.Assign({"kept"});
  EXPECT_THROW(f.Load(), ESettingsInvalid);
  EXPECT_EQ(f.Words.Items(), std::vector<std::string>{"kept"});
  // The load names the file in an error line and goes no further.
  std::vector<TLogCapture::TLine> lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].Level, llError);
  EXPECT_NE(lines[1].Text.find(AbsoluteSettingsPath(f.Files.Config) + ": error: "),
            std::string::npos)
      << lines[1].Text;
  lines.pop_back();
  ExpectInfoLines(lines, {"正在加载配置信息..."});
}

}  // namespace
}  // namespace gw
