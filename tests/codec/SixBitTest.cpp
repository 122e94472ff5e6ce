// Six-bit text and message text: the wire examples, round trips at every length, and decoding of
// hostile text without reading or writing out of bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/EDcode.h"

namespace gw {
namespace {

std::vector<uint8_t> B(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> DecodeAll(std::string_view text) {
  TSixBitBuffer buf = DecodeSixBitAlloc(text);
  return {buf.Buffer.begin(), buf.Buffer.begin() + buf.Count};
}

TEST(SixBitTest, EncodesTheWireExamples) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const Case cases[] = {
      {B("abc"), "WUHh"},           {B("ab"), "WUG="},   {{0xFF}, "}u=="},
      {{0xFF, 0xFF}, "}}?="},       {{0, 0, 0}, "<<<<"}, {{}, ""},
      {{0xFF, 0xFF, 0xFF}, "}}}}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeSixBit(c.bytes), c.text);
    EXPECT_EQ(EncodeSixBit(c.bytes.data(), static_cast<int32_t>(c.bytes.size())), c.text);
    EXPECT_EQ(DecodeAll(c.text), c.bytes) << c.text;
  }
  EXPECT_EQ(EncodeSixBit(nullptr, 5), "");
  EXPECT_EQ(EncodeSixBit("abc", -1), "");
}

TEST(SixBitTest, AlphabetAndReverseTable) {
  for (int v = 0; v < 64; ++v) EXPECT_EQ(SixBitValue(kSixBitAlphabet[v]), v);
  EXPECT_EQ(SixBitValue('='), kSixBitPadding);
  for (char c : std::string("0123456789+/ \r\n")) EXPECT_EQ(SixBitValue(c), kSixBitNoValue) << c;
  for (int code = 128; code < 256; ++code) EXPECT_EQ(SixBitValue(code), kSixBitNoValue);
}

TEST(SixBitTest, RoundTripsEveryLengthAndByteValue) {
  std::mt19937 rng(7);
  for (size_t len = 0; len <= 100; ++len) {
    std::vector<uint8_t> bytes(len);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    const std::string text = EncodeSixBit(bytes);
    ASSERT_EQ(text.size(), SixBitEncodedLength(len));
    EXPECT_EQ(DecodeAll(text), bytes) << len;
    std::vector<uint8_t> out(SixBitDecodedMaxLength(text.size()) + 1, 0xAA);
    ASSERT_EQ(DecodeSixBitTo(text, out.data(), static_cast<int32_t>(out.size())),
              static_cast<int32_t>(len));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin()));
  }
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(DecodeAll(EncodeSixBit(all)), all);
}

TEST(SixBitTest, SkipsLineBreaksAtGroupStarts) {
  for (const char* text : {"WUHh", "\r\nWUHh", "WUHh\r\n", "\n\n\rWUHh\r", "WUG=\r\nWUHh"}) {
    std::vector<uint8_t> expected = B("abc");
    if (std::string_view(text).starts_with("WUG=")) expected = B("ababc");
    EXPECT_EQ(DecodeAll(text), expected) << text;
  }
}

TEST(SixBitTest, DecodesHostileTextWithinBounds) {
  struct Case {
    std::string text;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      // An incomplete final group is ignored.
      {"WUHhW", B("abc")},
      {"WUHhWU", B("abc")},
      {"WUHhWUH", B("abc")},
      {"W", {}},
      // Characters outside the alphabet decode as 255 (all six bits set).
      {"0000", {0xFF, 0xFF, 0xFF}},
      {"\x80\xFF\xC3\xA9", {0xFF, 0xFF, 0xFF}},
      // "=" first or second counts as 64: its low six bits are zero.
      {"====", {0x00}},
      {"=u==", {0x03}},
      // A CR inside a group is not skipped; it decodes as 255.
      {"WU\rh", {0x61, 0x6F, 0xE3}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeAll(c.text), c.bytes) << c.text;
  }
}

TEST(SixBitTest, DecodeToNeverWritesBeyondTheBuffer) {
  const std::string text = EncodeSixBit(B("0123456789abcdef"));  // 16 bytes
  for (int32_t size = 0; size <= 20; ++size) {
    std::vector<uint8_t> guard(size + 8, 0xEE);
    const int32_t n = DecodeSixBitTo(text, guard.data(), size);
    EXPECT_EQ(n, std::min(size, 16));
    EXPECT_EQ(std::memcmp(guard.data(), "0123456789abcdef", n), 0);
    for (size_t i = size; i < guard.size(); ++i) ASSERT_EQ(guard[i], 0xEE) << size;
  }
  uint8_t one = 0;
  EXPECT_EQ(DecodeSixBitTo(text, nullptr, 10), 0);
  EXPECT_EQ(DecodeSixBitTo(text, &one, -4), 0);
}

TEST(SixBitTest, AllocSizesItsBufferAndTerminates) {
  const TSixBitBuffer buf = DecodeSixBitAlloc("WUG=\r\n");
  EXPECT_EQ(buf.Buffer.size(), 6u / 4 * 3 + 1);
  EXPECT_EQ(buf.Count, 2);
  EXPECT_EQ(buf.View(), "ab");
  EXPECT_EQ(buf.Buffer[buf.Count], 0);
  const TSixBitBuffer empty = DecodeSixBitAlloc("");
  EXPECT_EQ(empty.Buffer.size(), 1u);
  EXPECT_EQ(empty.Count, 0);
}

TEST(MsgTextTest, EncodesUtf8BytesAndBack) {
  EXPECT_EQ(EncodeMsgText(""), "");
  EXPECT_EQ(DecodeMsgText(""), "");
  EXPECT_EQ(EncodeMsgText("abc"), "WUHh");
  for (const char* text : {"a", "hello world", "游戏网关 GateWay", "{01234567-89AB-CDEF-0123}"}) {
    EXPECT_EQ(DecodeMsgText(EncodeMsgText(text)), text);
  }
  // Bytes that are not well-formed UTF-8 become U+FFFD, one per byte.
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xFF\xFE", r + r},
      {"a\xC3", "a" + r},                   // truncated sequence
      {"\xC0\xAF", r + r},                  // overlong "/"
      {"\xED\xA0\x80", r + r + r},          // a UTF-16 surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF0\x9F\x98\x80\x80\xE7\xBD\x91", "\xF0\x9F\x98\x80" + r + "\xE7\xBD\x91"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(DecodeMsgText(EncodeSixBit(B(bytes))), text) << bytes;
  }
}

}  // namespace
}  // namespace gw
