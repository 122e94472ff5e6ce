#include "codec/TokenHandshake.h"

#include <openssl/evp.h>

#include <memory>

#include "codec/EDcode.h"

namespace gw {

namespace {

// Fetched once: an implicit fetch by name on every digest costs more than the digest.
const EVP_MD* Md5() {
  static const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(
      EVP_MD_fetch(nullptr, "MD5", nullptr), &EVP_MD_free);
  return md.get();
}

std::string Md5UpperHex(std::string_view Data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const EVP_MD* md5 = Md5();
  if (md5 == nullptr || EVP_Digest(Data.data(), Data.size(), digest, &len, md5, nullptr) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(len * 2);
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

// Six-bit text -> base64 text -> decrypted text. Nothing when a step does not give what the
// next one needs: the decoded bytes must be base64 text and the decryption must give a text.
// The prepared cipher when it was keyed from `Key`, otherwise one keyed now into `local`.
const TBlowfishCipher& CipherFor(const std::string& Key,
                                 const std::shared_ptr<const TPreparedCipher>& Prepared,
                                 std::optional<TBlowfishCipher>& local) {
  if (Prepared && Prepared->Key == Key) return Prepared->Cipher;
  return local.emplace(Key);
}

std::optional<std::string> OpenTokenText(std::string_view Text, const std::string& Key,
                                         const std::shared_ptr<const TPreparedCipher>& Prepared) {
  if (Text.size() > kMaxTokenText) return std::nullopt;  // the caller counts it
  if (Text.empty() || Key.empty()) return std::nullopt;
  const std::string base64 = DecodeMsgText(Text);
  if (!IsBase64Text(base64)) return std::nullopt;
  std::optional<TBlowfishCipher> local;
  std::string plain = BlowfishDecryptString(base64, CipherFor(Key, Prepared, local));
  if (plain.empty()) return std::nullopt;
  return plain;
}

std::string SealTokenText(std::string_view Text, const std::string& Key,
                          const std::shared_ptr<const TPreparedCipher>& Prepared) {
  if (Key.empty()) return {};
  try {
    std::optional<TBlowfishCipher> local;
    return EncodeMsgText(BlowfishEncryptString(Text, CipherFor(Key, Prepared, local)));
  } catch (const TCodecError&) {
    return {};  // the random generator failed
  }
}

}  // namespace

std::string ChallengeText(std::string_view Token, const TDeploymentKeys& Keys) {
  return SealTokenText(Token, Keys.ChallengeKey, Keys.ChallengeCipher);
}

std::optional<std::string> DecodeTokenAnswer(std::string_view AnswerText,
                                             const TDeploymentKeys& Keys) {
  return OpenTokenText(AnswerText, Keys.AnswerKey, Keys.AnswerCipher);
}

std::string ExpectedTokenAnswer(std::string_view Token) { return Md5UpperHex(Md5UpperHex(Token)); }

bool TokenAnswerMatches(std::string_view Received, std::string_view Expected) {
  if (Received.size() != Expected.size()) return false;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < Received.size(); ++i) {
    if (lower(Received[i]) != lower(Expected[i])) return false;
  }
  return true;
}

std::optional<std::string> TokenAnswerText(std::string_view ChallengeText,
                                           const TDeploymentKeys& Keys) {
  const std::optional<std::string> token =
      OpenTokenText(ChallengeText, Keys.ChallengeKey, Keys.ChallengeCipher);
  if (!token) return std::nullopt;
  std::string answer =
      SealTokenText(ExpectedTokenAnswer(*token), Keys.AnswerKey, Keys.AnswerCipher);
  if (answer.empty()) return std::nullopt;
  return answer;
}

}  // namespace gw
