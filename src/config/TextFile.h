// Whole-file reading and writing for the gateway's settings files, the line files beside
// GateWay.xml (block list, word list): encoding detection by byte-order mark; without one, UTF-8
// when the bytes are valid UTF-8 holding non-ASCII text (the normal text file on Linux), the
// ANSI code page (GBK) otherwise; any line end on reading, CR LF on writing. A file is replaced
// whole or not at all: it is written beside the old one, flushed to disk and renamed over it.
// Pure functions over their arguments; safe from any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/PeerLimits.h"
#include "logging/TracedError.h"

namespace gw {

// A settings file that exists but cannot be read, or cannot be created or written.
// It carries the stack where it was raised, for the error handler's lines.
class ESettingsFileError : public ETracedError {
 public:
  using ETracedError::ETracedError;
};

// Encodings of a text file: teAnsi (GBK) and teUtf8Plain have no byte-order mark, the others
// are named by theirs.
enum TTextEncoding : uint8_t { teAnsi, teUtf8, teUtf16Le, teUtf16Be, teUtf8Plain };

// Largest settings file read; anything bigger is refused with an error rather than loaded.
inline constexpr size_t kMaxSettingsFileSize = limits::kMaxSettingsFileSize;

bool FileExists(const std::string& FileName);

// Equal texts when ASCII letters are compared without regard to case (other bytes exactly).
bool SameTextIgnoringCase(std::string_view A, std::string_view B);

// The text without leading and trailing blanks and control characters (bytes up to ' ').
std::string TrimText(std::string_view Text);

// The file's bytes. Throws ESettingsFileError when it cannot be opened or read, is a folder or is
// larger than kMaxSettingsFileSize (the error then names the file and both sizes).
std::string ReadSettingsFile(const std::string& FileName);

// Replaces the file with the bytes: writes them to a new file in the same folder, flushes it to
// disk and renames it over the old one, so a crash, a full disk or a write error leaves either
// the old file or the new one, never a part. A new file gets mode 0644, a replaced one keeps
// its mode. Throws ESettingsFileError on failure, with the old file untouched.
void WriteSettingsFile(const std::string& FileName, std::string_view Bytes);

// Whether the bytes hold well-formed UTF-8 with at least one non-ASCII character.
bool IsNonAsciiUtf8(std::string_view Bytes);

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
