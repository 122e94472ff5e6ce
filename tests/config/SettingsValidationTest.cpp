#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/ConfigTestSupport.h"
#include "config/GateShare.h"
#include "config/SettingsValidation.h"

namespace gw {
namespace {

using config_test::PutFile;
using config_test::TLogCapture;

constexpr TSettingsSeverity E = TSettingsSeverity::Error;
constexpr TSettingsSeverity W = TSettingsSeverity::Warning;

std::string Document(const std::vector<std::string>& lines) {
  std::string out = "<TGateWayConfigure>\r\n";
  for (const std::string& line : lines) out += "\t" + line + "\r\n";
  return out + "</TGateWayConfigure>\r\n";
}

struct TExpected {
  TSettingsSeverity Severity;
  int Line;
  std::string Text;  // a part of the problem's text
};

struct TCase {
  const char* Name;
  std::string Document;
  std::vector<TExpected> Problems;
};

TEST(ReadSettingsDocument, BrokenFilesGiveTheirProblemsWithFileAndLine) {
  const std::string written = TGateWayConfigure().SaveToText();
  const std::vector<TCase> cases = {
      {"a file the program wrote", written, {}},
      {"every dialog's edge values and the documented zeros",
       Document({"<MaxConnOfIPaddr>0</MaxConnOfIPaddr>", "<ClientTimeOut>60000</ClientTimeOut>",
                 "<ConnectionATKSec>1000</ConnectionATKSec>", "<GatePort>65535</GatePort>",
                 "<ClearTempBlockListTime>10000</ClearTempBlockListTime>"}),
       {}},
      {"blanks around values",
       Document({"<MaxConnOfIPaddr> 7 </MaxConnOfIPaddr>", "<GatePort>\t7300 </GatePort>",
                 "<KickOverPacketSize> true</KickOverPacketSize>"}),
       {}},
      {"garbage", "this is not a settings file\r\n", {{E, 0, "holds no settings element"}}},
      {"empty", "", {{E, 0, "the file is empty"}}},
      {"truncated",
       written.substr(0, written.size() / 2),
       {{E,
         1 + static_cast<int>(
                 std::count(written.begin(), written.begin() + written.size() / 2, '\n')),
         "not well-formed XML"}}},
      {"markup broken on line 3",
       Document({"<GatePort>7200</GatePort>", "<MaxConnOfIPaddr>3</MaxConnOf>"}),
       {{E, 3, "not well-formed XML"}}},
      {"misspelled element",
       Document({"<Title>x</Title>", "<MaxConnOfIPadr>5</MaxConnOfIPadr>"}),
       {{W, 3, "unknown element <MaxConnOfIPadr> is ignored (did you mean <MaxConnOfIPaddr>?)"}}},
      {"a count with a word after it",
       Document({"<MaxConnOfIPaddr>3 conns</MaxConnOfIPaddr>"}),
       {{E, 2, "MaxConnOfIPaddr: \"3 conns\" is not a whole number"}}},
      {"an empty number",
       Document({"<ClientTimeOut/>"}),
       {{E, 2, "ClientTimeOut: \"\" is not a whole number"}}},
      {"beyond 32 bits",
       Document({"<SayMsgTime>99999999999</SayMsgTime>"}),
       {{E, 2, "is not a whole number within -2147483648 to 2147483647"}}},
      {"a port that is no number",
       Document({"<GatePort>72OO</GatePort>"}),
       {{E, 2, "GatePort: \"72OO\" is not a port number"}}},
      {"a port beyond 65535",
       Document({"<LoginSrvPort>70000</LoginSrvPort>"}),
       {{E, 2, "LoginSrvPort: 70000 is not a port number"}}},
      {"no workers", Document({"<WokerCount>0</WokerCount>"}), {{E, 2, "WokerCount 0 is invalid"}}},
      {"a boolean that is neither",
       Document({"<KickOverPacketSize>yes</KickOverPacketSize>"}),
       {{E, 2, "KickOverPacketSize: \"yes\" is not True or False"}}},
      {"an unknown method",
       Document({"<BlockMethod>mBan</BlockMethod>"}),
       {{E, 2, "\"mBan\" is not mDisconnect, mBlock or mBlockList"}}},
      {"out of the dialog's range",
       Document({"<MaxConnOfIPaddr>200</MaxConnOfIPaddr>", "<IncErrorCount>0</IncErrorCount>"}),
       {{W, 2, "MaxConnOfIPaddr: 200 is outside 1 to 100"}, {W, 3, "IncErrorCount: 0 is outside"}}},
      {"given twice",
       Document({"<GatePort>7300</GatePort>", "<gateport>7400</gateport>"}),
       {{W, 3, "<gateport> given again; only the first (line 2) counts"}}},
      {"text between the settings",
       Document({"<GatePort>7300</GatePort>", "stray words"}),
       {{W, 2, "text outside any setting is ignored: \"stray words\""}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TGateWayConfigure config;
    const TSettingsProblems problems = ReadSettingsDocument(config, c.Document, "/x/GateWay.xml");
    ASSERT_EQ(problems.size(), c.Problems.size());
    for (size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(problems[i].File, "/x/GateWay.xml");
      EXPECT_EQ(problems[i].Severity, c.Problems[i].Severity) << problems[i].Text;
      EXPECT_EQ(problems[i].Line, c.Problems[i].Line) << problems[i].Text;
      EXPECT_NE(problems[i].Text.find(c.Problems[i].Text), std::string::npos) << problems[i].Text;
    }
  }
}

TEST(ReadSettingsDocument, WarningsKeepTheValueAsWrittenAndBlanksAroundNumbersDoNotCount) {
  TGateWayConfigure config;
  ReadSettingsDocument(config,
                       Document({"<MaxConnOfIPaddr>200</MaxConnOfIPaddr>",
                                 "<GatePort> 7300 </GatePort>", "<WokerCount> 3</WokerCount>"}),
                       "f");
  EXPECT_EQ(config.MaxConnOfIPaddr, 200);
  EXPECT_EQ(config.GatePort, "7300");
  EXPECT_EQ(config.WokerCount, 3);
  EXPECT_EQ(FormatSettingsProblem({E, "f", 3, "t"}), "f:3: error: t");
  EXPECT_EQ(FormatSettingsProblem({W, "f", 0, "t"}), "f: warning: t");
}

// The process-wide objects' stand-ins on a scratch folder, holding a running configuration.
struct TReloadFixture {
  TTempFolder Folder;
  TGateWayConfigure Config;
  TWordList Words;
  TGateIPManager Manager{Folder.File("BlockIPList.txt")};
  TGateWayFiles Files{Folder.File("GateWay.xml"), Folder.File("WordFilter.txt")};

  TReloadFixture() {
    PutFile(Files.Config, Document({"<MaxConnOfIPaddr>2</MaxConnOfIPaddr>"}));
    PutFile(Files.WordFilter, "old\r\n");
    LoadGateWayConfig(Config, {}, Words, Manager, Files);
  }
  TConfigReloadResult Reload() { return ReloadGateWayConfig(Config, {}, Words, Manager, Files); }
};

TEST(ReloadGateWayConfig, AnInvalidFileKeepsEveryOldSettingAndSaysWhy) {
  TReloadFixture f;
  TLogCapture log;  // the reload's lines only
  PutFile(f.Files.Config,
          Document({"<GatePort>7300</GatePort>", "<MaxConnOfIPaddr>3 conns</MaxConnOfIPaddr>"}));
  PutFile(f.Files.WordFilter, "new\r\n");
  const TConfigReloadResult result = f.Reload();
  EXPECT_FALSE(result.Ok);
  EXPECT_TRUE(result.Changes.empty());
  EXPECT_EQ(f.Config.GatePort, "7200");
  EXPECT_EQ(f.Config.MaxConnOfIPaddr, 2);
  EXPECT_EQ(f.Manager.MaxConnections(), 2);
  EXPECT_EQ(f.Words.Items(), std::vector<std::string>{"old"});
  bool said = false;
  for (const TLogCapture::TLine& line : log.Lines()) {
    EXPECT_EQ(line.Text.find("配置信息加载完成"), std::string::npos) << line.Text;
    said = said || (line.Text.find("Settings not reloaded, every previous setting stays in "
                                   "force: " +
                                   AbsoluteSettingsPath(f.Files.Config) +
                                   ":3: error: MaxConnOfIPaddr") != std::string::npos);
  }
  EXPECT_TRUE(said);
}

TEST(ReloadGateWayConfig, AnUnreadableWordListKeepsTheNewSettingsOut) {
  TReloadFixture f;
  PutFile(f.Files.Config, Document({"<MaxConnOfIPaddr>5</MaxConnOfIPaddr>"}));
  std::filesystem::remove(f.Files.WordFilter);
  std::filesystem::create_directory(f.Files.WordFilter);
  const TConfigReloadResult result = f.Reload();
  EXPECT_FALSE(result.Ok);
  ASSERT_EQ(result.Problems.size(), 1u);
  EXPECT_EQ(result.Problems[0].File, AbsoluteSettingsPath(f.Files.WordFilter));
  EXPECT_EQ(f.Config.MaxConnOfIPaddr, 2);
  EXPECT_EQ(f.Manager.MaxConnections(), 2);
}

TEST(ReloadGateWayConfig, AValidFileTakesEffectAndListsWhatChanged) {
  TReloadFixture f;
  PutFile(f.Files.Config, Document({"<MaxConnOfIPaddr>150</MaxConnOfIPaddr>",
                                    "<GatePort>7300</GatePort>", "<Bogus>1</Bogus>"}));
  PutFile(f.Files.WordFilter, "new\r\n");
  const TConfigReloadResult result = f.Reload();
  EXPECT_TRUE(result.Ok);
  EXPECT_EQ(result.Problems.size(), 2u);  // the range and the unknown element: warnings
  EXPECT_EQ(result.Changes, (std::vector<TSettingChange>{{"GatePort", "7200", "7300", true},
                                                         {"MaxConnOfIPaddr", "2", "150", false}}));
  EXPECT_TRUE(result.RestartNeeded());
  EXPECT_EQ(FormatSettingChange(result.Changes[0]),
            "GatePort 7200 → 7300 (takes effect at the next start)");
  EXPECT_EQ(f.Manager.MaxConnections(), 150);
  EXPECT_EQ(f.Words.Items(), std::vector<std::string>{"new"});
}

TEST(ReadGateWaySettings, AMissingFileIsWrittenOnlyWhenAsked) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  TGateWaySettingsRead read = ReadGateWaySettings(TGateWayConfigure(), {}, file, false);
  EXPECT_TRUE(read.Missing);
  EXPECT_FALSE(FileExists(file));
  read = ReadGateWaySettings(TGateWayConfigure(), {}, file, true);
  ASSERT_EQ(read.Problems.size(), 1u);
  EXPECT_EQ(FormatSettingsProblem(read.Problems[0]),
            AbsoluteSettingsPath(file) +
                ": warning: settings file not found; written with the default settings");
  // What the program wrote reads back without a word.
  EXPECT_TRUE(ReadGateWaySettings(TGateWayConfigure(), {}, file, true).Problems.empty());
}

}  // namespace
}  // namespace gw
