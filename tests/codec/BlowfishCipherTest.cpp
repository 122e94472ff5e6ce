// The password-based Blowfish format: the block function against Schneier's published vectors,
// the construction at every length, the tail-stealing and CFB-8 layouts, the key from the
// password, known-answer vectors produced by an independent model (blowfish_reference.py), base64
// and the string and buffer routines built on it.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/BlowfishCipher.h"
#include "codec/EDcode.h"

namespace gw {
namespace {

std::vector<uint8_t> Hex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

TBlowfishBlock Block(std::string_view hex) {
  TBlowfishBlock b{};
  const auto bytes = Hex(hex);
  std::copy(bytes.begin(), bytes.end(), b.begin());
  return b;
}

std::vector<uint8_t> RandomBytes(size_t n, std::mt19937& rng) {
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

TEST(BlowfishBlockTest, ReproducesPublishedVectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Case cases[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
      // Variable key length, plaintext FEDCBA9876543210.
      {"F0", "FEDCBA9876543210", "F9AD597C49DB005E"},
      {"F0E1", "FEDCBA9876543210", "E91D21C1D961A6D6"},
      {"F0E1D2", "FEDCBA9876543210", "E9C2B70A1BC65CF3"},
      {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
  };
  for (const Case& c : cases) {
    const auto key = Hex(c.key);
    const TBlowfishCipher cipher = TBlowfishCipher::FromKeyBytes(key);
    const TBlowfishBlock plain = Block(c.plain);
    TBlowfishBlock out{};
    cipher.EncryptBlock(plain.data(), out.data());
    EXPECT_EQ(out, Block(c.cipher)) << c.key;
    TBlowfishBlock back{};
    cipher.DecryptBlock(out.data(), back.data());
    EXPECT_EQ(back, plain) << c.key;
  }
  EXPECT_THROW(TBlowfishCipher::FromKeyBytes({}), TCodecError);
  EXPECT_THROW(TBlowfishCipher::FromKeyBytes(std::vector<uint8_t>(57)), TCodecError);
}

TEST(BlowfishKeyTest, KeyBytesComeFromUtf16Units) {
  EXPECT_EQ(BlowfishKeyFromPassword("ab"), (std::vector<uint8_t>{'a', 0, 'b', 0}));
  EXPECT_EQ(BlowfishKeyFromPassword("密"), (std::vector<uint8_t>{0xC6, 0x5B}));
  // 28 code units are used raw (56 bytes); 29 are hashed with SHA-1.
  const auto raw = BlowfishKeyFromPassword(std::string(28, 'y'));
  ASSERT_EQ(raw.size(), 56u);
  EXPECT_EQ(raw[54], 'y');
  EXPECT_EQ(raw[55], 0);
  EXPECT_EQ(BlowfishKeyFromPassword(std::string(29, 'y')),
            Hex("ae259cf7ac5c44b931d2362cf3ed439ed83ecd03"));
  // A character outside the BMP is two code units: 27 'y' + one such character = 29 units.
  EXPECT_EQ(BlowfishKeyFromPassword(std::string(27, 'y') + "\xF0\x9F\x98\x80").size(), 20u);
  try {
    BlowfishKeyFromPassword("");
    FAIL() << "an empty password must be refused";
  } catch (const TCodecError& e) {
    EXPECT_STREQ(e.what(), "Codec.Init - No password.");
  }
}

TEST(BlowfishCipherTest, RoundTripsEveryLengthUpTo40) {
  std::mt19937 rng(1);
  for (const char* password :
       {"a", "Pelvane", "口令口令口令口令口令口令口令口令口令口令口令口令口令口令口令"}) {
    const TBlowfishCipher cipher(password);
    for (size_t n = 0; n <= 40; ++n) {
      const auto plain = RandomBytes(n, rng);
      const auto sealed = cipher.Encrypt(plain);
      ASSERT_EQ(sealed.size(), n == 0 ? 0 : n + 8) << n;
      EXPECT_EQ(cipher.Decrypt(sealed), plain) << password << " " << n;
      if (n >= 8) {
        // The data is actually enciphered (no byte-for-byte copy of the plaintext). The IV
        // is random, so a short ciphertext can match its plaintext by chance (1 in 256 for
        // one byte): only lengths where that chance is negligible are compared.
        EXPECT_NE(std::vector<uint8_t>(sealed.begin() + 8, sealed.end()), plain) << n;
      }
    }
  }
}

TEST(BlowfishCipherTest, TailStealingLayoutFor76Bytes) {
  std::mt19937 rng(2);
  const TBlowfishCipher cipher("tail stealing");
  const auto plain = RandomBytes(76, rng);
  const TBlowfishBlock iv = Block("0102030405060708");
  const auto sealed = cipher.EncryptWithIV(plain, iv);
  ASSERT_EQ(sealed.size(), 84u);
  EXPECT_TRUE(std::equal(iv.begin(), iv.end(), sealed.begin()));

  // Rebuild the blocks one at a time: C1..C8 by CBC, E9 from P9, Y from the tail and E9.
  uint8_t chain[8];
  std::memcpy(chain, iv.data(), 8);
  uint8_t x[8];
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) x[j] = plain[8 * i + j] ^ chain[j];
    cipher.EncryptBlock(x, chain);
    ASSERT_EQ(std::memcmp(chain, &sealed[8 + 8 * i], 8), 0) << "block " << i + 1;
  }
  uint8_t e9[8];
  for (int j = 0; j < 8; ++j) x[j] = plain[64 + j] ^ chain[j];
  cipher.EncryptBlock(x, e9);
  uint8_t y[8];
  for (int j = 0; j < 8; ++j) x[j] = (j < 4 ? plain[72 + j] : e9[j]) ^ chain[j];
  cipher.EncryptBlock(x, y);
  EXPECT_EQ(std::memcmp(y, &sealed[8 + 64], 8), 0) << "the ninth data block is Y";
  EXPECT_EQ(std::memcmp(e9, &sealed[8 + 72], 4), 0) << "the last 4 bytes are E9's first 4";
  EXPECT_EQ(cipher.Decrypt(sealed), plain);
}

TEST(BlowfishCipherTest, ShortMessagesUseCfb8) {
  const TBlowfishCipher cipher("cfb");
  const std::vector<uint8_t> plain = {'x', 'y', 'z'};
  const auto sealed = cipher.Encrypt(plain);
  ASSERT_EQ(sealed.size(), 11u);
  for (size_t j = 0; j < 3; ++j) {
    auto damaged = sealed;
    damaged[8 + j] ^= 0x10;
    const auto back = cipher.Decrypt(damaged);
    ASSERT_EQ(back.size(), 3u);
    for (size_t i = 0; i < j; ++i) EXPECT_EQ(back[i], plain[i]) << "byte before the flip";
    EXPECT_EQ(back[j], plain[j] ^ 0x10) << "the matching byte flips the same bit";
  }
  // The first byte is the plaintext XOR the first byte of E(IV).
  uint8_t e[8];
  cipher.EncryptBlock(sealed.data(), e);
  EXPECT_EQ(sealed[8], plain[0] ^ e[0]);
}

TEST(BlowfishCipherTest, FreshIvPerEncryption) {
  const TBlowfishCipher cipher("same password");
  const std::vector<uint8_t> plain(20, 'q');
  const auto a = cipher.Encrypt(plain);
  const auto b = cipher.Encrypt(plain);
  EXPECT_NE(a, b);
  EXPECT_EQ(cipher.Decrypt(a), plain);
  EXPECT_EQ(cipher.Decrypt(b), plain);
  const std::string s1 = BlowfishEncryptString("token", "same password");
  const std::string s2 = BlowfishEncryptString("token", "same password");
  EXPECT_NE(s1, s2);
  EXPECT_EQ(BlowfishDecryptString(s1, "same password"), "token");
  EXPECT_EQ(BlowfishDecryptString(s2, "same password"), "token");
}

TEST(BlowfishCipherTest, ShortOrEmptyCipherTextDecryptsToNothing) {
  const TBlowfishCipher cipher("k");
  for (size_t n = 0; n <= 8; ++n) EXPECT_TRUE(cipher.Decrypt(std::vector<uint8_t>(n, 1)).empty());
}

// Vectors from the independent model; see blowfish_golden_vectors.txt.
TEST(BlowfishCipherTest, MatchesIndependentKnownAnswers) {
  std::ifstream file(std::string(GW_CODEC_TEST_DIR) + "/blowfish_golden_vectors.txt");
  ASSERT_TRUE(file) << "golden vector file missing";
  std::string line;
  int count = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string password, iv, plain, expected;
    ASSERT_TRUE(std::getline(fields, password, '\t') && std::getline(fields, iv, '\t') &&
                std::getline(fields, plain, '\t') && std::getline(fields, expected))
        << line;
    const TBlowfishCipher cipher(password);
    const auto sealed = cipher.EncryptWithIV(Hex(plain), Block(iv));
    EXPECT_EQ(Base64Encode(sealed), expected) << line;
    EXPECT_EQ(cipher.Decrypt(Base64Decode(expected)), Hex(plain)) << line;
    ++count;
  }
  EXPECT_GE(count, 20);
}

TEST(Base64Test, StandardAlphabetAndLenientDecoding) {
  const std::pair<std::string, std::string> rfc[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, text] : rfc) {
    const std::vector<uint8_t> bytes(plain.begin(), plain.end());
    EXPECT_EQ(Base64Encode(bytes), text);
    EXPECT_EQ(Base64Decode(text), bytes) << text;
  }
  const std::vector<uint8_t> all = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(Base64Encode(all), "+/+/");
  // A trailing incomplete group is ignored; "=" ends its group; foreign characters are zero bits.
  EXPECT_EQ(Base64Decode("Zm9vYg"), (std::vector<uint8_t>{'f', 'o', 'o'}));
  EXPECT_EQ(Base64Decode("Zm=vZm9v"), (std::vector<uint8_t>{'f', 'f', 'o', 'o'}));
  EXPECT_EQ(Base64Decode("A==="), std::vector<uint8_t>{});
  EXPECT_EQ(Base64Decode("!!!!\x80\xFF\r\n"), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0}));

  for (const char* good : {"Zg==", "Zm8=", "Zm9v", "+/+/"}) EXPECT_TRUE(IsBase64Text(good));
  for (const char* bad : {"", "Zg=", "Z===", "Zg=a", "Z=g=", "Zm9v\n", "Zm-v", "=AAA"}) {
    EXPECT_FALSE(IsBase64Text(bad)) << bad;
  }
}

TEST(BlowfishRoutinesTest, StringRoutines) {
  EXPECT_EQ(BlowfishEncryptString("", "pw"), "");
  EXPECT_EQ(BlowfishDecryptString("", "pw"), "");
  // A 38-code-unit token is 76 bytes: 84 enciphered, 112 base64 characters; 32 units give 96.
  const std::string token = "{3F2504E0-4F89-41D3-9A0C-0305E82C3301}";
  const std::string sealed = BlowfishEncryptString(token, "challenge");
  EXPECT_EQ(sealed.size(), 112u);
  EXPECT_EQ(BlowfishDecryptString(sealed, "challenge"), token);
  EXPECT_EQ(BlowfishEncryptString(std::string(32, 'A'), "answer").size(), 96u);
  const std::string chinese = "游戏网关 — 版本 2022.05.08";
  EXPECT_EQ(BlowfishDecryptString(BlowfishEncryptString(chinese, "密码"), "密码"), chinese);
  EXPECT_NE(BlowfishDecryptString(sealed, "challengE"), token);
  // Garbage never fails, it only gives other text.
  EXPECT_NO_THROW(BlowfishDecryptString("!!!!not base64 at all\x80", "pw"));
  // An odd number of decrypted bytes: the last one is dropped.
  const std::vector<uint8_t> odd = {'h', 0, 'i', 0, 'x'};
  EXPECT_EQ(BlowfishDecryptString(BlowfishEncryptBuffer(odd, "pw"), "pw"), "hi");

  for (auto call : {+[] { BlowfishEncryptString("x", ""); }, +[] { BlowfishDecryptString("", ""); },
                    +[] { BlowfishEncryptBuffer({}, ""); }}) {
    try {
      call();
      ADD_FAILURE() << "an empty password must be refused";
    } catch (const TCodecError& e) {
      EXPECT_STREQ(e.what(), kNoPasswordError);
    }
  }
}

TEST(BlowfishRoutinesTest, DecryptBufferCopiesExactlyCountBytes) {
  std::vector<uint8_t> data(400);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const std::string sealed = BlowfishEncryptBuffer(data, "launch");

  std::vector<uint8_t> out(410, 0xEE);
  BlowfishDecryptBuffer(sealed, out.data(), 400, "launch");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_EQ(out[400], 0xEE);

  std::vector<uint8_t> small(10, 0xEE);
  BlowfishDecryptBuffer(sealed, small.data(), 10, "launch");
  EXPECT_TRUE(std::equal(small.begin(), small.end(), data.begin()));

  // A plaintext shorter than Count raises the read error and leaves the buffer alone.
  const std::string short_sealed = BlowfishEncryptBuffer(std::vector<uint8_t>(399, 1), "launch");
  std::vector<uint8_t> untouched(400, 0xEE);
  for (const std::string& text : {short_sealed, std::string(), std::string("AAAA")}) {
    try {
      BlowfishDecryptBuffer(text, untouched.data(), 400, "launch");
      ADD_FAILURE() << "short plaintext must raise";
    } catch (const TCodecError& e) {
      EXPECT_STREQ(e.what(), kStreamReadError);
    }
  }
  EXPECT_EQ(untouched, std::vector<uint8_t>(400, 0xEE));
  EXPECT_THROW(BlowfishDecryptBuffer(sealed, out.data(), -1, "launch"), TCodecError);
  EXPECT_THROW(BlowfishDecryptBuffer(sealed, nullptr, 10, "launch"), TCodecError);
}

}  // namespace
}  // namespace gw
