// TAdminTokens: the bearer tokens of the admin listener, read from the token file given
// with --admin-token-file. One "name:token" line per operator or script; blank lines and
// lines starting with "#" are skipped. The name is what the log writes beside every action
// (never the token); a token has at least kMinTokenLength characters, no blanks, and
// appears once. The file must be readable by its owner alone (Linux: no group or other
// permission bits), since anyone who reads it can act as every name in it.
//
// Thread safety: Load is a pure function; a loaded set is only read afterwards (any thread).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace gw {

class TAdminTokens {
 public:
  // Guessing 16 random characters is out of reach, even without the slowing of refusals.
  static constexpr size_t kMinTokenLength = 16;

  // The tokens of `path`, or nullopt with `error` naming the file (and the line) and what
  // is wrong: unreadable, readable by others, empty, a malformed line.
  static std::optional<TAdminTokens> Load(const std::string& path, std::string& error);

  // The name of the token `presented` is, or null. Every token is compared in full and in
  // constant time, so the time taken tells nothing about how close a guess came.
  const std::string* Match(const std::string& presented) const;

  size_t Count() const { return FEntries.size(); }

  // Empty when only the file's owner may read it; otherwise why not (e.g. "mode 0640:
  // readable by its group"). Where there are no such permission bits (Windows: access
  // lists) it says nothing; the operator keeps the file in a private folder there.
  static std::string FileOpenness(const std::string& path);

 private:
  struct TEntry {
    std::string Name;
    std::string Token;
  };
  std::vector<TEntry> FEntries;
};

}  // namespace gw
