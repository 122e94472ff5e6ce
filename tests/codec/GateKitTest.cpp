// gatekit, run in-process: one result line per subcommand, clear errors and exit codes, and the
// launch block's layout as the gateway deciphers it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "GateKit.h"
#include "LaunchBlock.h"
#include "codec/EDcode.h"
#include "codec/TokenHandshake.h"

namespace gw {
namespace {

struct TResult {
  int code;
  std::string out;
  std::string err;
};

TResult RunKit(std::vector<std::string> args) {
  TResult r;
  r.code = RunGateKit(args, r.out, r.err);
  return r;
}

// The result line without its line feed; fails the test when the command did not succeed.
std::string Line(std::vector<std::string> args) {
  const TResult r = RunKit(args);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(r.err.empty());
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "exactly one line";
  return r.out.substr(0, r.out.size() - 1);
}

TEST(GateKitTest, SixBitAndStoredSecretCommands) {
  EXPECT_EQ(Line({"sixbit-encode", "616263"}), "WUHh");
  EXPECT_EQ(Line({"sixbit-encode", "FFff"}), "}}?=");
  EXPECT_EQ(Line({"sixbit-encode", ""}), "");
  EXPECT_EQ(Line({"sixbit-decode", "}u=="}), "ff");
  EXPECT_EQ(Line({"sixbit-decode", "WUHh"}), "616263");

  const std::string sealed = Line({"encipher", "网关口令"});
  EXPECT_EQ(DecodeSource(sealed), "网关口令");
  EXPECT_EQ(Line({"decipher", sealed}), "网关口令");

  const std::string bf = Line({"blowfish-encrypt", "--password", "pw", "hello"});
  EXPECT_EQ(BlowfishDecryptString(bf, "pw"), "hello");
  EXPECT_EQ(Line({"blowfish-decrypt", "--password", "pw", bf}), "hello");
  // Options may follow the text.
  EXPECT_EQ(Line({"blowfish-decrypt", bf, "--password", "pw"}), "hello");
}

TEST(GateKitTest, TokenCommandsUseTheGatewayKeys) {
  const TDeploymentKeys keys = LoadDeploymentKeys(".");
  const std::string token = "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}";
  const std::string challenge = Line({"token-challenge", token});
  EXPECT_EQ(BlowfishDecryptString(DecodeMsgText(challenge), keys.ChallengeKey), token);
  const std::string answer = Line({"token-answer", challenge});
  const auto received = DecodeTokenAnswer(answer, keys);
  ASSERT_TRUE(received.has_value());
  EXPECT_TRUE(TokenAnswerMatches(*received, ExpectedTokenAnswer(token)));
}

TEST(GateKitTest, LaunchBlockLayout) {
  const std::string text =
      Line({"launch-block", "--gate", "0.0.0.0:7300", "--logic", "127.0.0.1:5001", "--login",
            "网关.example:5500", "--db", "db.local:6000", "--gate-number", "7", "--controller",
            "0x12345678", "--pressure-test"});
  TLaunchBlock block{};
  DecodeSourceData(text, block.data(), static_cast<int32_t>(block.size()));
  auto i32 = [&](size_t off) {
    int32_t v;
    std::memcpy(&v, &block[off], 4);
    return v;
  };
  auto addr = [&](size_t off) {
    return std::string(&block[off + 1], &block[off + 1] + block[off]);
  };
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[1], 7);
  EXPECT_EQ(i32(4), 0x12345678);
  EXPECT_EQ(addr(8), "0.0.0.0");
  EXPECT_EQ(i32(76), 7300);
  EXPECT_EQ(addr(80), "127.0.0.1");
  EXPECT_EQ(i32(148), 5001);
  EXPECT_EQ(addr(152), "\xCD\xF8\xB9\xD8.example");  // GBK
  EXPECT_EQ(i32(220), 5500);
  EXPECT_EQ(addr(224), "db.local");
  EXPECT_EQ(i32(292), 6000);
  EXPECT_EQ(block[397], 1);
  for (size_t off : {2u, 3u, 398u, 399u}) EXPECT_EQ(block[off], 0) << off;
  for (size_t off = 296; off < 397; ++off) ASSERT_EQ(block[off], 0) << off;

  // The gateway's own reader takes the block as written.
  TLaunchParams params;
  std::string error;
  ASSERT_TRUE(params.Decode(text, error)) << error;
  EXPECT_TRUE(params.HasAddresses());
  EXPECT_EQ(params.GateAddr(), "0.0.0.0");
  EXPECT_EQ(params.GatePort(), 7300);
  EXPECT_EQ(params.ServerPort(), 5001);
  EXPECT_EQ(params.LoginSrvAddr(), "网关.example");
  EXPECT_EQ(params.DBSrvAddr(), "db.local");
  EXPECT_EQ(params.GateNumber(), 7);
  EXPECT_EQ(params.ControlHandle(), 0x12345678u);
  EXPECT_TRUE(params.PressureTestMark());
  EXPECT_FALSE(params.PerformanceMark());

  const std::string profiled = Line({"launch-block", "--gate", "a:1", "--logic", "b:2", "--login",
                                     "c:3", "--db", "d:4", "--profiling"});
  DecodeSourceData(profiled, block.data(), static_cast<int32_t>(block.size()));
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(block[397], 0);
  EXPECT_EQ(i32(4), 0);
}

TEST(GateKitTest, BadInputGivesAnErrorAndNonZeroExit) {
  const std::vector<std::string> gate = {"--gate", "a:1", "--logic", "b:2", "--login", "c:3"};
  auto launch = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"launch-block"};
    args.insert(args.end(), gate.begin(), gate.end());
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string fault;
  };
  const Case cases[] = {
      {{}, 2, "no command"},
      {{"frobnicate"}, 2, "unknown command"},
      {{"encipher"}, 2, "expected one TEXT"},
      {{"encipher", "a", "b"}, 2, "expected one TEXT"},
      {{"decipher", "not base64!"}, 1, "not base64"},
      {{"blowfish-encrypt", "x"}, 2, "missing --password"},
      {{"blowfish-encrypt", "--password", "", "x"}, 1, "Codec.Init - No password."},
      {{"blowfish-decrypt", "--password"}, 2, "needs a value"},
      {{"blowfish-decrypt", "--password", "p", "--bogus", "x"}, 2, "unknown option"},
      {{"sixbit-encode", "abc"}, 1, "odd number"},
      {{"sixbit-encode", "zz"}, 1, "not a hex digit"},
      {{"token-answer", "!!!!"}, 1, "cannot be opened"},
      {{"token-challenge", ""}, 1, "empty token"},
      {launch({}), 2, "missing --db"},
      {launch({"--db", "d"}), 1, "ADDR:PORT"},
      {launch({"--db", "d:65536"}), 1, "0 to 65535"},
      {launch({"--db", "d:-1"}), 1, "0 to 65535"},
      {launch({"--db", std::string(68, 'x') + ":1"}), 1, "longer than 67"},
      {launch({"--db", "d:4", "--gate-number", "256"}), 1, "0 to 255"},
      {launch({"--db", "d:4", "--controller", "0x1FFFFFFFF"}), 1, "--controller"},
      {launch({"--db", "d:4", "--db", "e:5"}), 2, "given twice"},
      {launch({"--db", "d:4", "extra"}), 2, "only options"},
  };
  for (const Case& c : cases) {
    const TResult r = RunKit(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(r.err.starts_with("gatekit: ")) << r.err;
    EXPECT_NE(r.err.find(c.fault), std::string::npos) << r.err;
  }
  EXPECT_EQ(Line({"launch-block", "--gate", "a:1", "--logic", "b:2", "--login", "c:3", "--db",
                  std::string(67, 'x') + ":1"})
                .empty(),
            false);
  EXPECT_EQ(RunKit({"--help"}).code, 0);
}

}  // namespace
}  // namespace gw
