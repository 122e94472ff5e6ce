// Whole-file reading and writing for the gateway's settings files, the line files beside
// GateWay.xml (block list, word list): encoding detection by byte-order mark, the ANSI code page
// (GBK) otherwise, any line end on reading, CR LF on writing.
// Pure functions over their arguments; safe from any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/PeerLimits.h"

namespace gw {

// A settings file that exists but cannot be read, or cannot be created or written.
class ESettingsFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Encodings of a text file, named by their byte-order mark; teAnsi has none.
enum TTextEncoding : uint8_t { teAnsi, teUtf8, teUtf16Le, teUtf16Be };

// Largest settings file read; anything bigger is refused with an error rather than loaded.
inline constexpr size_t kMaxSettingsFileSize = limits::kMaxSettingsFileSize;

bool FileExists(const std::string& FileName);

// Equal texts when ASCII letters are compared without regard to case (other bytes exactly).
bool SameTextIgnoringCase(std::string_view A, std::string_view B);

// The text without leading and trailing blanks and control characters (bytes up to ' ').
std::string TrimText(std::string_view Text);

// The file's bytes. Throws ESettingsFileError when it cannot be opened or read, is a folder or is
// larger than kMaxSettingsFileSize.
std::string ReadSettingsFile(const std::string& FileName);

// Creates or truncates the file and writes the bytes. Throws ESettingsFileError on failure.
void WriteSettingsFile(const std::string& FileName, std::string_view Bytes);

struct TTextLines {
  std::vector<std::string> Lines;  // UTF-8
  TTextEncoding Encoding = teAnsi;
};

// Splits the decoded text at CR LF, LF or CR. A line end after the last line adds no empty
// line; lines are not trimmed.
TTextLines DecodeTextLines(std::string_view Bytes);

// Every line followed by CR LF, in the encoding with its byte-order mark. Text the ANSI code
// page cannot hold would turn into '?' there, so such a list goes out as UTF-8 with its mark
// instead (Encoding tells the caller which one was used).
std::string EncodeTextLines(const std::vector<std::string>& Lines, TTextEncoding& Encoding);

}  // namespace gw
