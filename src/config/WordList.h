// The chat word list: an ordered list of filter words or phrases with its lock, read from and
// written to a line file (WordFilter.txt). Entries are kept whole, duplicates allowed, never
// sorted. The list remembers the encoding its file was read in and writes it back the same way.
//
// Thread safety: every operation is safe from any thread; each takes the word list lock for
// the whole read or replacement of the list. Saving writes the file after releasing it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "config/TextFile.h"

namespace gw {

class TWordList {
 public:
  // A copy of the entries, taken under the lock.
  std::vector<std::string> Items() const;
  // Replaces every entry under the lock.
  void Assign(std::vector<std::string> AItems);
  // Replaces every entry and the remembered encoding under the lock (lines read elsewhere,
  // e.g. checked before a reload applies them).
  void Assign(std::vector<std::string> AItems, TTextEncoding AEncoding);

  // Replaces the list by the file's lines and remembers its encoding. Throws
  // ESettingsFileError when the file cannot be read; the list is unchanged then.
  void LoadFromFile(const std::string& AFileName);
  // Writes every entry followed by CR LF in the remembered encoding (GBK without a byte-order
  // mark for a list never read from a file). Throws ESettingsFileError on failure.
  void SaveToFile(const std::string& AFileName);

  TTextEncoding Encoding() const;

 private:
  mutable std::mutex FWordListLock;  // guards FWords and FEncoding
  std::vector<std::string> FWords;
  TTextEncoding FEncoding = teAnsi;
};

}  // namespace gw
