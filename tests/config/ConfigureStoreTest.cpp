#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/ConfigTestSupport.h"
#include "config/GateWayConfigure.h"
#include "config/TextFile.h"

namespace gw {
namespace {

using config_test::PutFile;

int32_t Processors() { return static_cast<int32_t>(std::thread::hardware_concurrency()); }

// The 40 settings in file order with the text of their defaults.
std::vector<std::pair<std::string, std::string>> DefaultElements() {
  const int32_t n = Processors();
  return {
      {"Title", "游戏网关"},
      {"NetPassWord", ""},
      {"ServerAddr", "127.0.0.1"},
      {"ServerPort", "5000"},
      {"GateAddr", "127.0.0.1"},
      {"GatePort", "7200"},
      {"MaxConnOfIPaddr", "10"},
      {"BlockMethod", "mDisconnect"},
      {"MaxClientPacketSize", "7000"},
      {"NomClientPacketSize", "200"},
      {"MaxClientMsgCount", "20"},
      {"KickOverPacketSize", "True"},
      {"CheckServerTimeOutTime", "180000"},
      {"ClientSendBlockSize", "2000"},
      {"ClientTimeOut", "5000"},
      {"SayMsgMaxLen", "70"},
      {"SayMsgTime", "1000"},
      {"ClearTempList", "True"},
      {"ClearTempBlockListTime", "12000"},
      {"EnableThreads", "False"},
      {"CheckThreads", std::to_string(n)},
      {"WorkThreads", std::to_string(2 * n + 4)},
      {"PacketWarningSize", "32767"},
      {"StartWalkCheck", "False"},
      {"StartHitCheck", "False"},
      {"StartRunCheck", "False"},
      {"StartSpellCheck", "False"},
      {"StartWarning", "False"},
      {"IncErrorCount", "5"},
      {"DecErrorCount", "1"},
      {"ErrMsg", "[提示]: 请爱护游戏环境，关闭加速外挂重新登陆"},
      {"Minimize", "True"},
      {"ConnectionATKSec", "0"},
      {"ConnectionATKCount", "0"},
      {"IOCPThreadCount", "0"},
      {"LoginSrvAddr", "127.0.0.1"},
      {"LoginSrvPort", "5500"},
      {"DBSrvAddr", "127.0.0.1"},
      {"DBSrvPort", "5100"},
      {"WokerCount", "4"},
  };
}

std::string DefaultReadFileBytes() {
  std::string text = "<TGateWayConfigure>\r\n";
  for (const auto& [name, value] : DefaultElements()) {
    text += value.empty() ? "\t<" + name + "/>\r\n"
                          : "\t<" + name + ">" + value + "</" + name + ">\r\n";
  }
  return text + "</TGateWayConfigure>\r\n";
}

// A configuration whose every setting differs from its default.
TGateWayConfigure Altered() {
  TGateWayConfigure c;
  c.Title = "T";
  c.NetPassWord = "secret";
  c.ServerAddr = "10.1.1.1";
  c.ServerPort = "1";
  c.GateAddr = "10.2.2.2";
  c.GatePort = "2";
  c.MaxConnOfIPaddr = 3;
  c.BlockMethod = mBlock;
  c.MaxClientPacketSize = 4;
  c.NomClientPacketSize = 5;
  c.MaxClientMsgCount = 6;
  c.KickOverPacketSize = false;
  c.CheckServerTimeOutTime = 7;
  c.ClientSendBlockSize = 8;
  c.ClientTimeOut = 9;
  c.SayMsgMaxLen = 10;
  c.SayMsgTime = 11;
  c.ClearTempList = false;
  c.ClearTempBlockListTime = 12;
  c.EnableThreads = true;
  c.CheckThreads = 13;
  c.WorkThreads = 14;
  c.PacketWarningSize = 15;
  c.StartWalkCheck = true;
  c.StartHitCheck = true;
  c.StartRunCheck = true;
  c.StartSpellCheck = true;
  c.StartWarning = true;
  c.IncErrorCount = 16;
  c.DecErrorCount = 17;
  c.ErrMsg = "e";
  c.Minimize = false;
  c.ConnectionATKSec = 18;
  c.ConnectionATKCount = 19;
  c.IOCPThreadCount = 20;
  c.LoginSrvAddr = "10.3.3.3";
  c.LoginSrvPort = 21;
  c.DBSrvAddr = "10.4.4.4";
  c.DBSrvPort = 22;
  c.WokerCount = 23;
  return c;
}

TEST(ConfigureStore, NewObjectHoldsTheDefaultsAndWritesThemByteExact) {
  TGateWayConfigure config;
  EXPECT_EQ(config.SaveToText(), DefaultReadFileBytes());
  EXPECT_EQ(config.Properties().size(), 40u);
  // Every setting of the altered object differs from its default and is written in its place,
  // so each table line reads and writes its own field.
  const std::string altered = Altered().SaveToText();
  size_t previous = 0;
  for (const auto& [name, value] : DefaultElements()) {
    const std::string element = value.empty() ? "<" + name + "/>" : ">" + value + "</" + name;
    const size_t at = altered.find("\t<" + name + ">");
    EXPECT_GT(at, previous) << name;
    previous = at;
    EXPECT_EQ(altered.find(element), std::string::npos) << name;
  }
}

TEST(ConfigureStore, FirstLoadCreatesTheDefaultFileAndKeepsTheDefaults) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  TGateWayConfigure config;
  config.LoadFromXMLFile(file);
  EXPECT_EQ(ReadFileBytes(file), DefaultReadFileBytes());
  EXPECT_EQ(config.SaveToText(), DefaultReadFileBytes());
}

TEST(ConfigureStore, MissingFileIsCreatedWithTheCurrentValues) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  TGateWayConfigure config = Altered();
  config.LoadFromXMLFile(file);
  EXPECT_EQ(ReadFileBytes(file), Altered().SaveToText());
  EXPECT_EQ(config.SaveToText(), Altered().SaveToText());
}

TEST(ConfigureStore, SaveAndLoadRoundTripEverySetting) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  Altered().SaveToXMLFile(file);
  TGateWayConfigure config;
  config.LoadFromXMLFile(file);
  EXPECT_EQ(config.SaveToText(), Altered().SaveToText());
  EXPECT_EQ(config.BlockMethod, mBlock);
  EXPECT_EQ(config.WokerCount, 23);

  std::stringstream stream;
  Altered().SaveToStream(stream);
  TGateWayConfigure fromStream;
  fromStream.LoadFromStream(stream);
  EXPECT_EQ(fromStream.SaveToText(), Altered().SaveToText());
}

TEST(ConfigureStore, FileWithOnlyGatePortChangesOnlyGatePort) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  PutFile(file, "<TGateWayConfigure>\r\n\t<GatePort>7300</GatePort>\r\n</TGateWayConfigure>\r\n");
  TGateWayConfigure config = Altered();
  config.LoadFromXMLFile(file);
  TGateWayConfigure expected = Altered();
  expected.GatePort = "7300";
  EXPECT_EQ(config.SaveToText(), expected.SaveToText());
  // Loading never writes an existing file.
  EXPECT_EQ(ReadFileBytes(file),
            "<TGateWayConfigure>\r\n\t<GatePort>7300</GatePort>\r\n</TGateWayConfigure>\r\n");
}

// What one document does to the altered configuration.
struct TLenientCase {
  const char* Name;
  const char* Document;
  std::function<void(TGateWayConfigure&)> Expect;  // changes the load should make
};

void PrintTo(const TLenientCase& c, std::ostream* os) { *os << c.Name; }

class LenientReading : public testing::TestWithParam<TLenientCase> {};

TEST_P(LenientReading, TakesWhatItCanAndLeavesTheRest) {
  const TLenientCase& c = GetParam();
  TGateWayConfigure config = Altered();
  config.LoadFromText(c.Document);
  TGateWayConfigure expected = Altered();
  c.Expect(expected);
  EXPECT_EQ(config.SaveToText(), expected.SaveToText());
}

INSTANTIATE_TEST_SUITE_P(
    Documents, LenientReading,
    testing::Values(
        TLenientCase{"NamesInOtherCase",
                     "<a><gateport>7300</gateport><WOKERCOUNT>2</WOKERCOUNT></a>",
                     [](TGateWayConfigure& c) {
                       c.GatePort = "7300";
                       c.WokerCount = 2;
                     }},
        TLenientCase{"FirstOfDuplicatesWins", "<a><GatePort>1</GatePort><GatePort>2</GatePort></a>",
                     [](TGateWayConfigure& c) { c.GatePort = "1"; }},
        TLenientCase{"AnyRootName", "<Settings><Title>x</Title></Settings>",
                     [](TGateWayConfigure& c) { c.Title = "x"; }},
        TLenientCase{"UnknownAndNestedElementsIgnored",
                     "<a><Colour>red</Colour><Group><Title>x</Title></Group>"
                     "<SayMsgTime attr='1'>44</SayMsgTime></a>",
                     [](TGateWayConfigure& c) { c.SayMsgTime = 44; }},
        TLenientCase{"OrderDoesNotMatter", "<a><WokerCount>9</WokerCount><Title>z</Title></a>",
                     [](TGateWayConfigure& c) {
                       c.WokerCount = 9;
                       c.Title = "z";
                     }},
        TLenientCase{"IntegerThatIsNotAWholeNumberReadsZero",
                     "<a><MaxConnOfIPaddr>abc</MaxConnOfIPaddr><SayMsgMaxLen>12x</SayMsgMaxLen>"
                     "<SayMsgTime>0x10</SayMsgTime><DBSrvPort>2147483648</DBSrvPort>"
                     "<LoginSrvPort/><IncErrorCount>+-5</IncErrorCount></a>",
                     [](TGateWayConfigure& c) {
                       c.IncErrorCount = 0;
                       c.MaxConnOfIPaddr = 0;
                       c.SayMsgMaxLen = 0;
                       c.SayMsgTime = 0;
                       c.DBSrvPort = 0;
                       c.LoginSrvPort = 0;
                     }},
        TLenientCase{"IntegerForms",
                     "<a><IncErrorCount>-5</IncErrorCount><DecErrorCount>+7</DecErrorCount>"
                     "<DBSrvPort>-2147483648</DBSrvPort><SayMsgTime> 42 </SayMsgTime></a>",
                     [](TGateWayConfigure& c) {
                       c.IncErrorCount = -5;
                       c.DecErrorCount = 7;
                       c.DBSrvPort = INT32_MIN;
                       c.SayMsgTime = 42;
                     }},
        TLenientCase{
            "BooleansMatchTheirNamesInAnyCase",
            "<a><KickOverPacketSize>yes</KickOverPacketSize><EnableThreads>FALSE</EnableThreads>"
            "<StartWalkCheck>false</StartWalkCheck><Minimize>TRUE</Minimize>"
            "<ClearTempList>1</ClearTempList></a>",
            [](TGateWayConfigure& c) {
              c.EnableThreads = false;
              c.StartWalkCheck = false;
              c.Minimize = true;
            }},
        TLenientCase{"MethodsMatchTheirNamesInAnyCase",
                     "<a><BlockMethod>MBLOCKLIST</BlockMethod></a>",
                     [](TGateWayConfigure& c) { c.BlockMethod = mBlockList; }},
        TLenientCase{"UnknownMethodKeepsTheValue", "<a><BlockMethod>2</BlockMethod></a>",
                     [](TGateWayConfigure&) {}},
        TLenientCase{"EmptyElementIsAnEmptyString", "<a><Title/><ErrMsg></ErrMsg></a>",
                     [](TGateWayConfigure& c) {
                       c.Title = "";
                       c.ErrMsg = "";
                     }},
        TLenientCase{"EntitiesAndCharacterReferencesResolved",
                     "<a><Title>&lt;&#x41;&amp;&#66;&gt;</Title><![CDATA[x]]></a>",
                     [](TGateWayConfigure& c) { c.Title = "<A&B>"; }},
        TLenientCase{"NotXmlAtAll", "GatePort=7300", [](TGateWayConfigure&) {}},
        TLenientCase{"EmptyDocument", "", [](TGateWayConfigure&) {}},
        TLenientCase{"DamagedAfterCompleteElements", "<a><Title>x</Title><GatePort>73</Gate",
                     [](TGateWayConfigure& c) { c.Title = "x"; }},
        TLenientCase{"CutInsideTheLastValue",
                     "<TGateWayConfigure>\r\n\t<Title>x</Title>\r\n\t<ServerPort>50",
                     [](TGateWayConfigure& c) { c.Title = "x"; }},
        TLenientCase{"RootNeverClosed",
                     "<TGateWayConfigure>\r\n\t<Title>x</Title>\r\n\t<WokerCount>8</WokerCount>",
                     [](TGateWayConfigure& c) {
                       c.Title = "x";
                       c.WokerCount = 8;
                     }},
        TLenientCase{"CutInsideTheLastEndTag", "<a><Title>x</Title><WokerCount>8</WokerCo",
                     [](TGateWayConfigure& c) { c.Title = "x"; }},
        TLenientCase{"MismatchedTags", "<a><Title>x</Title><WokerCount>8</Count></a>",
                     [](TGateWayConfigure& c) { c.Title = "x"; }}),
    [](const testing::TestParamInfo<TLenientCase>& info) { return info.param.Name; });

TEST(ConfigureStore, TextWithMarkupCharactersIsEscapedAndReadsBackUnchanged) {
  TGateWayConfigure config;
  config.ErrMsg = "a<b & c>'d\"e\r\n\tf";
  config.Title = "标题";
  config.ServerAddr = " ";
  config.GateAddr = "\t \r\n";
  config.NetPassWord = " x ";
  const std::string text = config.SaveToText();
  EXPECT_NE(text.find("\t<ErrMsg>a&lt;b &amp; c&gt;&apos;d&quot;e\r\n\tf</ErrMsg>\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\t<Title>标题</Title>\r\n"), std::string::npos);
  EXPECT_NE(text.find("\t<ServerAddr> </ServerAddr>\r\n"), std::string::npos);

  TGateWayConfigure back = Altered();
  back.LoadFromText(text);
  EXPECT_EQ(back.ErrMsg, config.ErrMsg);
  EXPECT_EQ(back.Title, "标题");
  // Values of blanks only are texts like any other.
  EXPECT_EQ(back.ServerAddr, " ");
  EXPECT_EQ(back.GateAddr, "\t \r\n");
  EXPECT_EQ(back.NetPassWord, " x ");
}

TEST(ConfigureStore, FileThatCannotBeReadFailsTheLoadBeforeAnyChange) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  std::filesystem::create_directory(file);  // exists, but is no readable file
  TGateWayConfigure config = Altered();
  EXPECT_THROW(config.LoadFromXMLFile(file), ESettingsFileError);
  EXPECT_EQ(config.SaveToText(), Altered().SaveToText());
}

TEST(ConfigureStore, FileThatCannotBeCreatedFailsTheSave) {
  TTempFolder folder;
  TGateWayConfigure config;
  EXPECT_THROW(config.SaveToXMLFile(folder.File("missing/GateWay.xml")), ESettingsFileError);
  EXPECT_THROW(config.LoadFromXMLFile(folder.File("missing/GateWay.xml")), ESettingsFileError);
}

TEST(ConfigureStore, SaveTruncatesALongerFile) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  PutFile(file, std::string(20000, 'x'));
  TGateWayConfigure().SaveToXMLFile(file);
  EXPECT_EQ(ReadFileBytes(file), DefaultReadFileBytes());
}

// A class that adds one setting: one table line is all it takes.
class TSampleConfigure : public TGateWayConfigure {
 public:
  TSampleConfigure() { LoadDefaults(std::span(PublishedProperties()).last(1)); }
  std::string_view ClassName() const override { return "TSampleConfigure"; }
  const TSerialPropertyList& Properties() const override { return PublishedProperties(); }
  static const TSerialPropertyList& PublishedProperties() {
    static const TSerialPropertyList list =
        ExtendProperties(TGateWayConfigure::PublishedProperties(),
                         {Published("Extra", &TSampleConfigure::Extra, 77)});
    return list;
  }
  int32_t Extra = 0;
};

TEST(ConfigureStore, DerivedClassAddsASettingWithOneTableLine) {
  TSampleConfigure sample;
  EXPECT_EQ(sample.Extra, 77);
  EXPECT_EQ(sample.Title, "游戏网关");
  const std::string text = sample.SaveToText();
  EXPECT_TRUE(text.starts_with("<TSampleConfigure>\r\n\t<Title>"));
  EXPECT_TRUE(config_test::EndsWith(
      text, "\t<WokerCount>4</WokerCount>\r\n\t<Extra>77</Extra>\r\n</TSampleConfigure>\r\n"));

  TSampleConfigure back;
  back.Extra = 1;
  back.LoadFromText("<x><extra>-3</extra></x>");
  EXPECT_EQ(back.Extra, -3);
  back.LoadDefault();
  EXPECT_EQ(back.Extra, 77);
}

TEST(ConfigureStore, LoadDefaultLeavesTheSettingsWithoutDefaultAlone) {
  TGateWayConfigure config = Altered();
  config.LoadDefault();
  TGateWayConfigure expected;
  expected.NetPassWord = "secret";
  expected.ConnectionATKSec = 18;
  expected.ConnectionATKCount = 19;
  expected.IOCPThreadCount = 20;
  EXPECT_EQ(config.SaveToText(), expected.SaveToText());
}

}  // namespace
}  // namespace gw
