#include "config/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/AnsiCodePage.h"

namespace gw {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

std::string FileError(const char* what, const std::string& file, int err) {
  return std::string(what) + " \"" + file + "\": " + std::strerror(err);
}

// Closes the descriptor when the scope ends.
class TFileDescriptor {
 public:
  explicit TFileDescriptor(int fd) : FFd(fd) {}
  ~TFileDescriptor() {
    if (FFd >= 0) ::close(FFd);
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  int Get() const { return FFd; }
  // Closes now and reports whether the close succeeded (a late write error shows up here).
  bool Close() {
    int fd = FFd;
    FFd = -1;
    return ::close(fd) == 0;
  }

 private:
  int FFd;
};

std::string SwapByteOrder16(std::string_view bytes) {
  std::string out(bytes);
  for (size_t i = 0; i + 1 < out.size(); i += 2) std::swap(out[i], out[i + 1]);
  return out;
}

}  // namespace

bool FileExists(const std::string& FileName) {
  struct stat st {};
  return ::stat(FileName.c_str(), &st) == 0;
}

std::string TrimText(std::string_view Text) {
  while (!Text.empty() && static_cast<unsigned char>(Text.front()) <= ' ') Text.remove_prefix(1);
  while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ') Text.remove_suffix(1);
  return std::string(Text);
}

bool SameTextIgnoringCase(std::string_view A, std::string_view B) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    if (lower(A[i]) != lower(B[i])) return false;
  }
  return true;
}

std::string ReadSettingsFile(const std::string& FileName) {
  TFileDescriptor fd(::open(FileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw ESettingsFileError(FileError("Cannot open file", FileName, errno));
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0)
    throw ESettingsFileError(FileError("Cannot read file", FileName, errno));
  if (S_ISDIR(st.st_mode))
    throw ESettingsFileError(FileError("Cannot read file", FileName, EISDIR));
  auto tooLarge = [&](uint64_t size) {
    CountLimitBreach(TLimitBreach::lbSettingsFileTooLarge);
    return ESettingsFileError("Cannot read file \"" + FileName + "\": it holds " +
                              std::to_string(size) + " bytes, more than the " +
                              std::to_string(kMaxSettingsFileSize) +
                              " bytes a settings or list file may hold");
  };
  // Refused before reading a byte; a file that grows while it is read is caught below.
  if (static_cast<uint64_t>(st.st_size) > kMaxSettingsFileSize)
    throw tooLarge(static_cast<uint64_t>(st.st_size));
  std::string bytes;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ESettingsFileError(FileError("Cannot read file", FileName, errno));
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > kMaxSettingsFileSize)
      throw tooLarge(bytes.size() + static_cast<size_t>(n));
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

void WriteSettingsFile(const std::string& FileName, std::string_view Bytes) {
  const size_t slash = FileName.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : FileName.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
  // A hidden name in the same folder, so the rename stays within one file system.
  std::string temp = folder + (folder.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
  TFileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.Get() < 0) throw ESettingsFileError(FileError("Cannot create file", FileName, errno));
  // Until the rename succeeds the new bytes live only in the temporary file: any failure
  // removes it and leaves the old file as it was.
  auto fail = [&](int err) {
    ::unlink(temp.c_str());
    throw ESettingsFileError(FileError("Cannot write file", FileName, err));
  };
  struct stat old {};
  const mode_t mode = ::stat(FileName.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  if (::fchmod(fd.Get(), mode) != 0) fail(errno);
  while (!Bytes.empty()) {
    ssize_t n = ::write(fd.Get(), Bytes.data(), Bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    Bytes.remove_prefix(static_cast<size_t>(n));
  }
  if (::fsync(fd.Get()) != 0) fail(errno);
  if (!fd.Close()) fail(errno);
  if (::rename(temp.c_str(), FileName.c_str()) != 0) fail(errno);
  // The rename itself reaches the disk with the folder's entry.
  TFileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) ::fsync(dir.Get());
}

bool IsNonAsciiUtf8(std::string_view Bytes) {
  bool nonAscii = false;
  size_t i = 0;
  while (i < Bytes.size()) {
    const auto c = static_cast<unsigned char>(Bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    nonAscii = true;
    size_t more = 0;
    uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= Bytes.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      const auto t = static_cast<unsigned char>(Bytes[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      code = (code << 6) | (t & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((more == 2 && code < 0x800) || (more == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += more + 1;
  }
  return nonAscii;
}

TTextLines DecodeTextLines(std::string_view Bytes) {
  TTextLines result;
  std::string text;
  if (Bytes.starts_with(kUtf8Bom)) {
    result.Encoding = teUtf8;
    text = Bytes.substr(kUtf8Bom.size());
  } else if (Bytes.starts_with(kUtf16LeBom)) {
    result.Encoding = teUtf16Le;
    text = Utf16LeToUtf8(Bytes.substr(kUtf16LeBom.size()));
  } else if (Bytes.starts_with(kUtf16BeBom)) {
    result.Encoding = teUtf16Be;
    text = Utf16LeToUtf8(SwapByteOrder16(Bytes.substr(kUtf16BeBom.size())));
  } else if (IsNonAsciiUtf8(Bytes)) {
    result.Encoding = teUtf8Plain;
    text = Bytes;
  } else {
    result.Encoding = teAnsi;
    text = AnsiToUtf8(Bytes);
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      result.Lines.push_back(text.substr(start));
      break;
    }
    result.Lines.push_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return result;
}

std::string EncodeTextLines(const std::vector<std::string>& Lines, TTextEncoding& Encoding) {
  std::string text;
  for (const std::string& line : Lines) {
    text += line;
    text += "\r\n";
  }
  if (Encoding == teAnsi) {
    std::string ansi = Utf8ToAnsi(text);
    if (AnsiToUtf8(ansi) == text) return ansi;
    Encoding = teUtf8;
  }
  switch (Encoding) {
    case teUtf8Plain:
      return text;
    case teUtf16Le:
      return std::string(kUtf16LeBom) + Utf8ToUtf16Le(text);
    case teUtf16Be:
      return std::string(kUtf16BeBom) + SwapByteOrder16(Utf8ToUtf16Le(text));
    default:
      return std::string(kUtf8Bom) + text;
  }
}

}  // namespace gw
