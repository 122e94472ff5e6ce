#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/EDcode.h"
#include "config/ConfigTestSupport.h"
#include "config/GateShare.h"
#include "config/LaunchParams.h"

namespace gw {
namespace {

using config_test::PutFile;
using config_test::TLogCapture;

// Lays a block out byte by byte, as a controlling program does.
class TBlockWriter {
 public:
  TBlockWriter& Byte(size_t offset, uint8_t value) {
    FBytes[offset] = value;
    return *this;
  }
  TBlockWriter& Int(size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) FBytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    return *this;
  }
  // Length byte and ANSI text (GBK bytes as given).
  TBlockWriter& Addr(size_t offset, const std::string& ansi) {
    FBytes[offset] = static_cast<uint8_t>(ansi.size());
    std::memcpy(&FBytes[offset + 1], ansi.data(), ansi.size());
    return *this;
  }
  std::vector<uint8_t> Bytes(size_t size = 400) const {
    std::vector<uint8_t> out(FBytes.begin(), FBytes.end());
    out.resize(size, 0xEE);
    return out;
  }
  std::string Argument(size_t size = 400) const { return EncodeSourceData(Bytes(size)); }

 private:
  std::vector<uint8_t> FBytes = std::vector<uint8_t>(400, 0);
};

// The block of the tests: gate 0.0.0.0:7300, logic server port 5001.
TBlockWriter LaunchBlock() {
  TBlockWriter w;
  w.Byte(1, 7)
      .Int(4, 0x89ABCDEFu)
      .Addr(8, "0.0.0.0")
      .Int(76, 7300)
      .Addr(80, "10.0.0.2")
      .Int(148, 5001)
      .Addr(152, "10.0.0.3")
      .Int(220, 5501)
      .Addr(224, "\xCA\xFD\xBE\xDD\xBF\xE2")  // "数据库" in GBK
      .Int(292, 5101);
  return w;
}

TEST(LaunchParams, DecodesEveryField) {
  TLaunchParams params;
  ASSERT_TRUE(LoadLaunchParams(LaunchBlock().Byte(0, 1).Byte(397, 1).Argument(), params));
  EXPECT_TRUE(params.PerformanceMark());
  EXPECT_TRUE(params.PressureTestMark());
  EXPECT_EQ(params.GateNumber(), 7);
  EXPECT_EQ(params.ControlHandle(), 0x89ABCDEFu);
  EXPECT_TRUE(params.HasAddresses());
  EXPECT_EQ(params.GateAddr(), "0.0.0.0");
  EXPECT_EQ(params.GatePort(), 7300);
  EXPECT_EQ(params.ServerAddr(), "10.0.0.2");
  EXPECT_EQ(params.ServerPort(), 5001);
  EXPECT_EQ(params.LoginSrvAddr(), "10.0.0.3");
  EXPECT_EQ(params.LoginSrvPort(), 5501);
  EXPECT_EQ(params.DBSrvAddr(), "数据库");
  EXPECT_EQ(params.DBSrvPort(), 5101);

  TLaunchParams plain;
  ASSERT_TRUE(LoadLaunchParams(LaunchBlock().Argument(), plain));
  EXPECT_FALSE(plain.PerformanceMark());
  EXPECT_FALSE(plain.PressureTestMark());
}

TEST(LaunchParams, LongerBlockGivesItsFirst400Bytes) {
  TLaunchParams params;
  ASSERT_TRUE(LoadLaunchParams(LaunchBlock().Argument(523), params));
  EXPECT_EQ(params.GatePort(), 7300);
  EXPECT_EQ(params.Block()[399], 0);
}

TEST(LaunchParams, OverridesApplyAfterEveryLoadAndStayOutOfTheFile) {
  TTempFolder folder;
  const std::string file = folder.File("GateWay.xml");
  const std::string xml =
      "<TGateWayConfigure><Title>kept</Title><GatePort>9999</GatePort><GateAddr>1.1.1.1</GateAddr>"
      "<ServerPort>1234</ServerPort><LoginSrvPort>1</LoginSrvPort><DBSrvAddr>x</DBSrvAddr>"
      "<WokerCount>16</WokerCount></TGateWayConfigure>";
  PutFile(file, xml);
  TLaunchParams params;
  ASSERT_TRUE(LoadLaunchParams(LaunchBlock().Argument(), params));

  TGateWayConfigure config;
  for (int load = 0; load < 2; ++load) {
    config.LoadFromXMLFile(file);
    EXPECT_EQ(config.GatePort, "9999");
    EXPECT_TRUE(params.ApplyTo(config));
    EXPECT_EQ(config.GateAddr, "0.0.0.0");
    EXPECT_EQ(config.GatePort, "7300");
    EXPECT_EQ(config.ServerAddr, "10.0.0.2");
    EXPECT_EQ(config.ServerPort, "5001");
    EXPECT_EQ(config.LoginSrvAddr, "10.0.0.3");
    EXPECT_EQ(config.LoginSrvPort, 5501);
    EXPECT_EQ(config.DBSrvAddr, "数据库");
    EXPECT_EQ(config.DBSrvPort, 5101);
    EXPECT_EQ(config.WokerCount, 4);
    EXPECT_EQ(config.Title, "kept");
  }
  EXPECT_EQ(ReadFileBytes(file), xml);
}

TEST(LaunchParams, EmptyGateAddressChangesNothing) {
  TBlockWriter w;
  w.Int(76, 7300).Addr(80, "10.0.0.2").Int(148, 5001).Int(220, 5501);
  TLaunchParams params;
  ASSERT_TRUE(LoadLaunchParams(w.Argument(), params));
  EXPECT_FALSE(params.HasAddresses());
  TGateWayConfigure config;
  config.WokerCount = 9;
  const std::string before = config.SaveToText();
  EXPECT_FALSE(params.ApplyTo(config));
  EXPECT_EQ(config.SaveToText(), before);
}

TEST(LaunchParams, PortsAreSignedAndLengthBytesStayInsideTheirField) {
  TBlockWriter w = LaunchBlock();
  w.Int(76, 0xFFFFFFFFu);
  w.Addr(80, std::string(67, 'a'));
  w.Byte(80, 255);  // the length byte claims more than the field holds
  w.Byte(148, 'X');
  TLaunchParams params;
  ASSERT_TRUE(LoadLaunchParams(w.Argument(), params));
  EXPECT_EQ(params.GatePort(), -1);
  EXPECT_EQ(params.ServerAddr(), std::string(67, 'a'));
  TGateWayConfigure config;
  params.ApplyTo(config);
  EXPECT_EQ(config.GatePort, "-1");
}

struct TBadArgument {
  const char* Name;
  std::string Argument;
  bool Logged;
};

class LaunchArgument : public testing::TestWithParam<TBadArgument> {};

// An argument that is no launch block leaves the block all 0 and the process running.
TEST_P(LaunchArgument, IsIgnoredAndTheGatewayRunsOn) {
  TLogCapture log;
  TLaunchParams params(TLaunchParams::TBlock{1, 2, 3});
  EXPECT_FALSE(LoadLaunchParams(GetParam().Argument, params));
  EXPECT_EQ(params.Block(), TLaunchParams::TBlock{});
  TGateWayConfigure config;
  EXPECT_FALSE(params.ApplyTo(config));
  EXPECT_EQ(config.SaveToText(), TGateWayConfigure().SaveToText());

  const auto lines = log.Lines();
  if (GetParam().Logged) {
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].Level, llError);
    EXPECT_NE(lines[0].Text.find("启动参数无效"), std::string::npos) << lines[0].Text;
  } else {
    EXPECT_TRUE(lines.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, LaunchArgument,
    testing::Values(TBadArgument{"Truncated", LaunchBlock().Argument(399), true},
                    TBadArgument{"Short", LaunchBlock().Argument(8), true},
                    TBadArgument{"NotCipherText", "hello world", true},
                    TBadArgument{"CutCipherText", LaunchBlock().Argument().substr(0, 300), true},
                    TBadArgument{"ProfilerOption", "-profile", false},
                    TBadArgument{"Empty", "", false}),
    [](const testing::TestParamInfo<TBadArgument>& i) { return i.param.Name; });

TEST(LaunchParams, ProcessWideBlockComesFromTheFirstArgument) {
  const std::string argument = LaunchBlock().Argument();
  const char* noArgument[] = {"gateway", nullptr};
  EXPECT_FALSE(LoadLaunchParams(1, noArgument));
  EXPECT_EQ(LaunchParams().Block(), TLaunchParams::TBlock{});

  const char* withBlock[] = {"gateway", argument.c_str(), "-profile", nullptr};
  EXPECT_TRUE(LoadLaunchParams(3, withBlock));
  EXPECT_EQ(LaunchParams().GatePort(), 7300);
  EXPECT_EQ(LaunchParams().GateNumber(), 7);
}

}  // namespace
}  // namespace gw
