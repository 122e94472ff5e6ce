// The token handshake routines as gateway and client use them: challenge, answer, check, and
// answer texts from a hostile client.
#include <gtest/gtest.h>

#include <string>

#include "codec/EDcode.h"
#include "codec/TokenHandshake.h"

namespace gw {
namespace {

const std::string kToken = "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}";

TDeploymentKeys DevKeys() { return LoadDeploymentKeys("/nonexistent-folder-for-tests"); }

TEST(TokenHandshakeTest, ExpectedAnswerIsDoubleMd5InUpperHex) {
  EXPECT_EQ(ExpectedTokenAnswer(kToken), "81C1841612CA890E593F2CBD4423422B");
  // MD5("") = D41D8CD98F00B204E9800998ECF8427E, and the MD5 of that text.
  EXPECT_EQ(ExpectedTokenAnswer(""), "80404D0C6D24E87F650FF7D1985CD762");
}

TEST(TokenHandshakeTest, ClientAnswerPassesTheGatewayCheck) {
  const TDeploymentKeys keys = DevKeys();
  const std::string challenge = ChallengeText(kToken, keys);
  // 38 code units -> 76 bytes -> 84 enciphered -> 112 base64 -> 152 six-bit characters.
  ASSERT_EQ(challenge.size(), 152u);
  EXPECT_EQ(DecodeMsgText(challenge).size(), 112u);
  EXPECT_EQ(BlowfishDecryptString(DecodeMsgText(challenge), keys.ChallengeKey), kToken);

  const std::optional<std::string> answer = TokenAnswerText(challenge, keys);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->size(), 128u);  // 32 units -> 64 -> 72 -> 96 base64 -> 128
  const std::optional<std::string> received = DecodeTokenAnswer(*answer, keys);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, ExpectedTokenAnswer(kToken));
  EXPECT_TRUE(TokenAnswerMatches(*received, ExpectedTokenAnswer(kToken)));
}

TEST(TokenHandshakeTest, WrongKeysOrTokenFail) {
  const TDeploymentKeys keys = DevKeys();
  TDeploymentKeys other = keys;
  other.AnswerKey = "another answer key";
  const std::string challenge = ChallengeText(kToken, keys);
  const std::optional<std::string> forged = TokenAnswerText(challenge, other);
  ASSERT_TRUE(forged.has_value());
  const auto received = DecodeTokenAnswer(*forged, keys);
  EXPECT_FALSE(received && TokenAnswerMatches(*received, ExpectedTokenAnswer(kToken)));

  const auto honest = DecodeTokenAnswer(*TokenAnswerText(challenge, keys), keys);
  ASSERT_TRUE(honest.has_value());
  EXPECT_FALSE(
      TokenAnswerMatches(*honest, ExpectedTokenAnswer("{00000000-0000-0000-0000-000000000000}")));
}

TEST(TokenHandshakeTest, AnswerComparisonIgnoresAsciiCaseOnly) {
  struct Case {
    const char* received;
    const char* expected;
    bool match;
  };
  const Case cases[] = {
      {"81c1841612ca890e593f2cbd4423422b", "81C1841612CA890E593F2CBD4423422B", true},
      {"81C1841612CA890E593F2CBD4423422B", "81C1841612CA890E593F2CBD4423422B", true},
      {"81C1841612CA890E593F2CBD4423422", "81C1841612CA890E593F2CBD4423422B", false},
      {"81C1841612CA890E593F2CBD4423422C", "81C1841612CA890E593F2CBD4423422B", false},
      {"", "", true},
      {"\xC3\xA9", "\xC3\x89", false},
  };
  for (const Case& c : cases) EXPECT_EQ(TokenAnswerMatches(c.received, c.expected), c.match);
}

TEST(TokenHandshakeTest, HostileAnswerTextsAreRefused) {
  const TDeploymentKeys keys = DevKeys();
  const std::string valid = *TokenAnswerText(ChallengeText(kToken, keys), keys);
  const std::string refused[] = {
      "",
      std::string(kMaxTokenText + 4, '<'),
      valid + std::string(kMaxTokenText, '<'),
      "!!!!!!!!",                        // decodes to bytes that are not base64
      EncodeMsgText("not base64 text"),  // base64 alphabet violated
      EncodeMsgText("AAAA"),             // valid base64, but nothing after the IV
      std::string("\x80\x81\x82\x83\xFF\xFE\xFD\xFC", 8),
      valid.substr(0, 3),  // an incomplete group only
  };
  for (const std::string& text : refused) {
    EXPECT_FALSE(DecodeTokenAnswer(text, keys).has_value()) << text.substr(0, 40);
    EXPECT_FALSE(TokenAnswerText(text, keys).has_value()) << text.substr(0, 40);
  }
  // Keys without text cannot seal anything.
  EXPECT_EQ(ChallengeText(kToken, TDeploymentKeys{}), "");
  EXPECT_FALSE(DecodeTokenAnswer(valid, TDeploymentKeys{}).has_value());
}

}  // namespace
}  // namespace gw
