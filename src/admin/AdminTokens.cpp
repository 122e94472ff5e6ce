#include "admin/AdminTokens.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <array>
#include <fstream>
#include <sstream>

#include "common/PeerLimits.h"
#include "common/Utf8Path.h"

namespace gw {

namespace {

using TDigest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

// Tokens are compared as digests: equal lengths whatever was presented, so the compare
// itself takes the same time for any guess.
TDigest Digest(const std::string& text) {
  TDigest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
  return digest;
}

bool HasBlank(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

std::optional<TAdminTokens> TAdminTokens::Load(const std::string& path, std::string& error) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) {
    error = "--admin-token-file " + path + ": cannot be read";
    return std::nullopt;
  }
  if (const std::string open = FileOpenness(path); !open.empty()) {
    error = "--admin-token-file " + path + ": " + open +
            "; the file must be readable by its owner only (chmod 600)";
    return std::nullopt;
  }
  TAdminTokens tokens;
  std::string line;
  size_t number = 0;
  const auto fail = [&](const std::string& why) {
    error = path + ":" + std::to_string(number) + ": " + why;
    return std::nullopt;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return fail("expected name:token");
    TEntry entry{line.substr(0, colon), line.substr(colon + 1)};
    if (entry.Name.empty() || HasBlank(entry.Name) ||
        entry.Name.size() > limits::kMaxAdminTokenText) {
      return fail("the name must be 1 to " + std::to_string(limits::kMaxAdminTokenText) +
                  " characters without blanks");
    }
    if (entry.Token.size() < kMinTokenLength || HasBlank(entry.Token) ||
        entry.Token.size() > limits::kMaxAdminTokenText) {
      return fail("the token of " + entry.Name + " must be " + std::to_string(kMinTokenLength) +
                  " to " + std::to_string(limits::kMaxAdminTokenText) +
                  " characters without blanks");
    }
    for (const TEntry& other : tokens.FEntries) {
      if (other.Token == entry.Token)
        return fail("the token of " + entry.Name + " repeats " + other.Name + "'s");
    }
    if (tokens.FEntries.size() >= limits::kMaxAdminTokens) {
      return fail("more than " + std::to_string(limits::kMaxAdminTokens) + " tokens");
    }
    tokens.FEntries.push_back(std::move(entry));
  }
  if (tokens.FEntries.empty()) {
    error = "--admin-token-file " + path + ": no name:token line";
    return std::nullopt;
  }
  return tokens;
}

const std::string* TAdminTokens::Match(const std::string& presented) const {
  const TDigest guess = Digest(presented);
  const std::string* found = nullptr;
  for (const TEntry& entry : FEntries) {
    const TDigest digest = Digest(entry.Token);
    // Every entry is compared: which one matched (or none) does not change the time.
    const bool equal = CRYPTO_memcmp(guess.data(), digest.data(), digest.size()) == 0;
    if (equal) found = &entry.Name;
  }
  return found;
}

}  // namespace gw
