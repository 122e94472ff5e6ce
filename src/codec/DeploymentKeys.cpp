#include "codec/DeploymentKeys.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "codec/EDcode.h"
#include "codec/StoredSecrets.h"
#include "common/PeerLimits.h"
#include "common/Utf8Path.h"

namespace gw {

namespace {

// A key file holds two lines of about a hundred characters; anything far larger is not one.
constexpr std::streamsize kMaxKeyFileSize = limits::kMaxKeyFileSize;

std::string_view Trim(std::string_view Line) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!Line.empty() && blank(Line.front())) Line.remove_prefix(1);
  while (!Line.empty() && blank(Line.back())) Line.remove_suffix(1);
  return Line;
}

}  // namespace

TDeploymentKeyTexts DevelopmentKeyTexts() {
  return {std::string(DevelopmentChallengeKeySource()), std::string(DevelopmentAnswerKeySource()),
          "built-in development keys"};
}

TDeploymentKeyTexts ReadDeploymentKeyFile(const std::string& Path) {
  std::ifstream in(PathFromUtf8(Path), std::ios::binary);
  if (!in) throw TCodecError("key file " + Path + ": cannot be opened");
  std::string content(static_cast<size_t>(kMaxKeyFileSize) + 1, '\0');
  in.read(content.data(), kMaxKeyFileSize + 1);
  if (in.bad()) throw TCodecError("key file " + Path + ": cannot be read");
  if (in.gcount() > kMaxKeyFileSize) CountLimitBreach(TLimitBreach::lbKeyFileTooLarge);
  if (in.gcount() > kMaxKeyFileSize) throw TCodecError("key file " + Path + ": too large");
  content.resize(static_cast<size_t>(in.gcount()));

  std::vector<std::string> keys;
  std::istringstream lines(content);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() == '#') continue;
    if (!IsBase64Text(text)) {
      throw TCodecError("key file " + Path + ": line " + std::to_string(number) +
                        " is not an enciphered key (base64 text expected)");
    }
    keys.emplace_back(text);
  }
  if (keys.size() != 2) {
    throw TCodecError("key file " + Path +
                      ": expected 2 keys (challenge key, then answer key), found " +
                      std::to_string(keys.size()));
  }
  return {keys[0], keys[1], Path};
}

TDeploymentKeys DecipherDeploymentKeys(const TDeploymentKeyTexts& Texts) {
  TDeploymentKeys keys{DecodeSource(Texts.ChallengeKeyText), DecodeSource(Texts.AnswerKeyText),
                       Texts.Origin, nullptr, nullptr};
  if (keys.ChallengeKey.empty() || keys.AnswerKey.empty()) {
    throw TCodecError(Texts.Origin + ": a key deciphers to an empty text");
  }
  PrepareHandshakeCiphers(keys);
  return keys;
}

void PrepareHandshakeCiphers(TDeploymentKeys& Keys) {
  Keys.ChallengeCipher = std::make_shared<const TPreparedCipher>(
      TPreparedCipher{Keys.ChallengeKey, TBlowfishCipher(Keys.ChallengeKey)});
  Keys.AnswerCipher = std::make_shared<const TPreparedCipher>(
      TPreparedCipher{Keys.AnswerKey, TBlowfishCipher(Keys.AnswerKey)});
}

TDeploymentKeys LoadDeploymentKeys(const std::string& Folder) {
  const std::filesystem::path path = PathFromUtf8(Folder) / kDeploymentKeyFileName;
  std::error_code ec;
  const bool present = std::filesystem::exists(path, ec);
  // exists() reports "not there" without an error; any other failure (no permission on the
  // folder, a symbolic link loop) leaves open whether an operator's key file is there, and
  // falling back to the development keys would then hand out keys every client developer knows.
  if (ec) {
    throw TCodecError("key file " + Utf8FromPath(path) + ": cannot be checked: " + ec.message());
  }
  if (!present) return DecipherDeploymentKeys(DevelopmentKeyTexts());
  return DecipherDeploymentKeys(ReadDeploymentKeyFile(Utf8FromPath(path)));
}

}  // namespace gw
