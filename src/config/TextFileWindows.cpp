#include "config/TextFile.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <system_error>

#include "common/WideText.h"

namespace gw {

namespace {

std::string FileError(const char* what, const std::string& file, DWORD err) {
  return std::string(what) + " \"" + file +
         "\": " + std::system_category().message(static_cast<int>(err));
}

// Closes the handle when the scope ends.
class THandleGuard {
 public:
  explicit THandleGuard(HANDLE h) : FHandle(h) {}
  ~THandleGuard() {
    if (FHandle != INVALID_HANDLE_VALUE) ::CloseHandle(FHandle);
  }
  THandleGuard(const THandleGuard&) = delete;
  THandleGuard& operator=(const THandleGuard&) = delete;
  HANDLE Get() const { return FHandle; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    HANDLE h = FHandle;
    FHandle = INVALID_HANDLE_VALUE;
    return ::CloseHandle(h) != 0;
  }

 private:
  HANDLE FHandle;
};

}  // namespace

bool FileExists(const std::string& FileName) {
  return ::GetFileAttributesW(WideFromUtf8(FileName).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadSettingsFile(const std::string& FileName) {
  const std::wstring path = WideFromUtf8(FileName);
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw ESettingsFileError(FileError("Cannot read file", FileName, ERROR_DIRECTORY));
  }
  // Others may go on reading and writing it: the writer below replaces the file whole.
  THandleGuard file(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    throw ESettingsFileError(FileError("Cannot open file", FileName, ::GetLastError()));
  }
  auto tooLarge = [&](uint64_t size) {
    CountLimitBreach(TLimitBreach::lbSettingsFileTooLarge);
    return ESettingsFileError("Cannot read file \"" + FileName + "\": it holds " +
                              std::to_string(size) + " bytes, more than the " +
                              std::to_string(kMaxSettingsFileSize) +
                              " bytes a settings or list file may hold");
  };
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size)) {
    throw ESettingsFileError(FileError("Cannot read file", FileName, ::GetLastError()));
  }
  // Refused before reading a byte; a file that grows while it is read is caught below.
  if (static_cast<uint64_t>(size.QuadPart) > kMaxSettingsFileSize) {
    throw tooLarge(static_cast<uint64_t>(size.QuadPart));
  }
  std::string bytes;
  char chunk[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.Get(), chunk, sizeof chunk, &n, nullptr)) {
      throw ESettingsFileError(FileError("Cannot read file", FileName, ::GetLastError()));
    }
    if (n == 0) break;
    if (bytes.size() + n > kMaxSettingsFileSize) throw tooLarge(bytes.size() + n);
    bytes.append(chunk, n);
  }
  return bytes;
}

void WriteSettingsFile(const std::string& FileName, std::string_view Bytes) {
  const size_t slash = FileName.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : FileName.substr(0, slash);
  const std::string base = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
  // A hidden name in the same folder, so the replacing move stays within one volume. The
  // process ID and a counter keep concurrent writers apart; CREATE_NEW refuses a name in use.
  static std::atomic<uint32_t> counter{0};
  std::wstring temp;
  HANDLE created = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
    temp = WideFromUtf8(folder + "\\." + base + "." + std::to_string(::GetCurrentProcessId()) +
                        "." + std::to_string(counter++));
    created = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (created == INVALID_HANDLE_VALUE) {
    throw ESettingsFileError(FileError("Cannot create file", FileName, ::GetLastError()));
  }
  THandleGuard file(created);
  // Until the move succeeds the new bytes live only in the temporary file: any failure
  // removes it and leaves the old file as it was.
  auto fail = [&](DWORD err) {
    if (file.Get() != INVALID_HANDLE_VALUE) file.Close();
    ::DeleteFileW(temp.c_str());
    throw ESettingsFileError(FileError("Cannot write file", FileName, err));
  };
  while (!Bytes.empty()) {
    const DWORD chunk = Bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(Bytes.size());
    DWORD n = 0;
    if (!::WriteFile(file.Get(), Bytes.data(), chunk, &n, nullptr)) fail(::GetLastError());
    Bytes.remove_prefix(n);
  }
  if (!::FlushFileBuffers(file.Get())) fail(::GetLastError());
  if (!file.Close()) fail(::GetLastError());
  if (!::MoveFileExW(temp.c_str(), WideFromUtf8(FileName).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    fail(::GetLastError());
  }
}

}  // namespace gw
