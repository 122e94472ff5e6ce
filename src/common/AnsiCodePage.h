// Conversion between the gateway's internal UTF-8 text and the ANSI code page
// (GBK, code page 936) in which fixed texts go out to other programs and in
// which the text files are stored when they carry no byte-order mark.
// Safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

namespace gw {

// UTF-8 to GBK. Characters GBK cannot hold become '?'; invalid UTF-8 bytes too.
std::string Utf8ToAnsi(std::string_view utf8);

// GBK to UTF-8. Bytes that are not valid GBK become U+FFFD.
std::string AnsiToUtf8(std::string_view ansi);

// UTF-16LE bytes to UTF-8 and back (for files with a UTF-16 byte-order mark).
std::string Utf16LeToUtf8(std::string_view utf16le);
std::string Utf8ToUtf16Le(std::string_view utf8);

}  // namespace gw
