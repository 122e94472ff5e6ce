// The message coder: AES-128 (FIPS-197 known answer) on two independent halves, the 44- and
// 16-character text forms, re-keying rules, hostile text, and the process-wide coder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/EDcode.h"
#include "codec/MessageCoder.h"
#include "codec/StoredSecrets.h"

namespace gw {
namespace {

TDefaultMessage SampleMessage(int seed) {
  TDefaultMessage m;
  m.Ident = static_cast<uint16_t>(4297 + seed);
  m.Recog = -123456 * seed;
  m.Param = 7 + seed;
  m.Tag = 0x7FFFFFFF - seed;
  m.Series = seed;
  m.nSessionID = 1000 + seed;
  m.nToken = -1;
  m.dwCRC = 0xDEADBEEF;
  return m;
}

bool SameBytes(const TDefaultMessage& a, const TDefaultMessage& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

std::vector<uint8_t> SixBitBytes(const std::string& text) {
  TSixBitBuffer buf = DecodeSixBitAlloc(text);
  return {buf.Buffer.begin(), buf.Buffer.begin() + buf.Count};
}

TEST(MessageCoderTest, EncryptsEachHalfWithAes128) {
  // FIPS-197 appendix C.1: key 000102..0F, plaintext 00112233..FF.
  std::string key;
  for (int i = 0; i < 16; ++i) key += static_cast<char>(i);
  TMessageCoder coder;
  coder.SetPassWord(key);
  uint8_t plain[32];
  for (int i = 0; i < 16; ++i) plain[i] = plain[16 + i] = static_cast<uint8_t>(i * 0x11);
  TDefaultMessage m;
  std::memcpy(&m, plain, sizeof(m));
  const std::string text = coder.EncodeMessage(m);
  const auto sealed = SixBitBytes(text);
  ASSERT_EQ(sealed.size(), 32u);
  const uint8_t expected[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
  // Both halves alike: no chaining between them.
  EXPECT_EQ(std::memcmp(sealed.data(), expected, 16), 0);
  EXPECT_EQ(std::memcmp(sealed.data() + 16, expected, 16), 0);
  EXPECT_TRUE(SameBytes(coder.DecodeMessage(text), m));
}

TEST(MessageCoderTest, EncodesTo44CharactersAndBack) {
  TMessageCoder coder;
  coder.SetPassWord("a pass word of 23 chars");
  for (int seed = 0; seed < 20; ++seed) {
    const TDefaultMessage m = SampleMessage(seed);
    const std::string text = coder.EncodeMessage(m);
    ASSERT_EQ(text.size(), kEncodedMessageLength);
    EXPECT_EQ(text.back(), '=');
    EXPECT_TRUE(SameBytes(coder.DecodeMessage(text), m)) << seed;
  }
}

TEST(MessageCoderTest, OnlyTheFirst16BytesOfThePassWordCount) {
  TMessageCoder a;
  TMessageCoder b;
  TMessageCoder c;
  a.SetPassWord("0123456789abcdefXXXX");
  b.SetPassWord("0123456789abcdefYY");
  c.SetPassWord("0123456789abcdeZ");
  const TDefaultMessage m = SampleMessage(3);
  EXPECT_EQ(a.EncodeMessage(m), b.EncodeMessage(m));
  EXPECT_TRUE(SameBytes(b.DecodeMessage(a.EncodeMessage(m)), m));
  EXPECT_NE(a.EncodeMessage(m), c.EncodeMessage(m));
  // A short pass word is zero-filled: "abc" and "abc\0" key alike.
  TMessageCoder d;
  TMessageCoder e;
  d.SetPassWord("abc");
  e.SetPassWord(std::string("abc\0", 4));
  EXPECT_EQ(d.EncodeMessage(m), e.EncodeMessage(m));
}

TEST(MessageCoderTest, SamePassWordKeepsTheKeySchedules) {
  TMessageCoder coder;
  EXPECT_EQ(coder.KeyScheduleCount(), 1u);
  EXPECT_EQ(coder.PassWord(), "");
  coder.SetPassWord("");
  EXPECT_EQ(coder.KeyScheduleCount(), 1u);
  coder.SetPassWord("first");
  EXPECT_EQ(coder.KeyScheduleCount(), 2u);
  const std::string before = coder.EncodeMessage(SampleMessage(1));
  coder.SetPassWord("first");
  EXPECT_EQ(coder.KeyScheduleCount(), 2u);
  EXPECT_EQ(coder.PassWord(), "first");
  EXPECT_EQ(coder.EncodeMessage(SampleMessage(1)), before);
  coder.SetPassWord("second");
  EXPECT_EQ(coder.KeyScheduleCount(), 3u);
  EXPECT_NE(coder.EncodeMessage(SampleMessage(1)), before);
}

TEST(MessageCoderTest, Message2IsPlainSixBitText) {
  TMessageCoder coder;
  const TDefaultMessage2 m{-5, 0xFFFF, 1, 2, 0x8000};
  const std::string text = coder.EncodeMessage2(m);
  ASSERT_EQ(text.size(), kEncodedMessage2Length);
  EXPECT_EQ(text.find('='), std::string::npos);
  EXPECT_EQ(text, EncodeSixBit(&m, sizeof(m)));
  const TDefaultMessage2 back = coder.DecodeMessage2(text);
  EXPECT_EQ(std::memcmp(&back, &m, sizeof(m)), 0);
}

TEST(MessageCoderTest, HostileTextStaysInsideTheRecord) {
  TMessageCoder coder;
  coder.SetPassWord("hostile");
  const TDefaultMessage m = SampleMessage(9);
  const std::string text = coder.EncodeMessage(m);
  // A longer text is cut at the record's 32 bytes.
  EXPECT_TRUE(SameBytes(coder.DecodeMessage(text + text + "\r\n<<<<"), m));
  // Shorter, empty, foreign or high characters: decoded into a zero-filled record, no overrun.
  for (const std::string& bad : {std::string(), text.substr(0, 10), std::string(500, '\xFF'),
                                 std::string("\x80\x81\x82\x83", 4)}) {
    (void)coder.DecodeMessage(bad);
  }
  const TDefaultMessage2 m2{1, 2, 3, 4, 5};
  const std::string text2 = coder.EncodeMessage2(m2);
  const TDefaultMessage2 back = coder.DecodeMessage2(text2 + "WUHhWUHhWUHh");
  EXPECT_EQ(std::memcmp(&back, &m2, sizeof(m2)), 0);
  const TDefaultMessage2 part = coder.DecodeMessage2("WUHh");
  EXPECT_EQ(part.Recog, 'a' | ('b' << 8) | ('c' << 16));
  EXPECT_EQ(part.Ident, 0);
  EXPECT_EQ(part.Series, 0);
}

TEST(MessageCoderTest, ProcessWideCoderStartsWithTheDefaultPassWord) {
  EXPECT_EQ(MessageCoder().PassWord(), DefaultCoderPassWord());
  EXPECT_EQ(DefaultCoderPassWord().size(), 23u);

  // NetPassWord is stored enciphered; an empty or empty-deciphering value changes nothing.
  EXPECT_FALSE(ApplyNetPassWord(""));
  EXPECT_FALSE(ApplyNetPassWord("AAAA"));  // 3 bytes: no data after an IV
  EXPECT_EQ(MessageCoder().PassWord(), DefaultCoderPassWord());
  EXPECT_TRUE(ApplyNetPassWord(EncodeSource("网关口令")));
  EXPECT_EQ(MessageCoder().PassWord(), "\xCD\xF8\xB9\xD8\xBF\xDA\xC1\xEE");  // GBK bytes
  MessageCoder().SetPassWord(DefaultCoderPassWord());
}

}  // namespace
}  // namespace gw
