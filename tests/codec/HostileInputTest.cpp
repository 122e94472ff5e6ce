// Every decoder fed random bytes of every length, with output buffers sized exactly so that the
// address sanitizer sees any write or read out of bounds. Results are checked against the limits
// each decoder promises.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/EDcode.h"
#include "codec/MessageCoder.h"
#include "codec/TokenHandshake.h"

namespace gw {
namespace {

std::string RandomText(std::mt19937& rng, size_t len) {
  // Mostly alphabet characters, so that decoding gets past the first group, mixed with line
  // breaks, padding, digits and high bytes.
  static const std::string kMix = std::string(kSixBitAlphabet) + "\r\n==0+/\x80\xFF";
  std::string text(len, '\0');
  for (auto& c : text) {
    c = rng() % 4 == 0 ? static_cast<char>(rng()) : kMix[rng() % kMix.size()];
  }
  return text;
}

TEST(HostileInputTest, DecodersStayWithinTheirBounds) {
  std::mt19937 rng(99);
  const TDeploymentKeys keys = LoadDeploymentKeys("/nonexistent-folder-for-tests");
  TMessageCoder coder;
  coder.SetPassWord("fuzz");
  const TBlowfishCipher cipher("fuzz");
  for (int round = 0; round < 3000; ++round) {
    const std::string text = RandomText(rng, rng() % 200);

    const int32_t cap = static_cast<int32_t>(rng() % 160);
    std::vector<uint8_t> exact(static_cast<size_t>(cap));
    const int32_t n = DecodeSixBitTo(text, exact.empty() ? nullptr : exact.data(), cap);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, cap);
    ASSERT_LE(static_cast<size_t>(n), SixBitDecodedMaxLength(text.size()));

    const TSixBitBuffer alloc = DecodeSixBitAlloc(text);
    ASSERT_EQ(alloc.Buffer.size(), SixBitDecodedMaxLength(text.size()) + 1);
    ASSERT_LT(static_cast<size_t>(alloc.Count), alloc.Buffer.size());
    ASSERT_EQ(alloc.Buffer[alloc.Count], 0);

    (void)DecodeMsgText(text);
    ASSERT_LE(Base64Decode(text).size(), text.size() / 4 * 3);
    (void)BlowfishDecryptString(text, "fuzz");
    const auto raw = Base64Decode(text);
    ASSERT_EQ(cipher.Decrypt(raw).size(), raw.size() > 8 ? raw.size() - 8 : 0);
    (void)coder.DecodeMessage(text);
    (void)coder.DecodeMessage2(text);
    (void)DecodeTokenAnswer(text, keys);
    (void)TokenAnswerText(text, keys);
  }
}

}  // namespace
}  // namespace gw
