#include <windows.h>

#include <cstdio>

#include "common/WideText.h"
#include "net/NetDiagLog.h"

namespace gw {

std::string TNetDiagLog::SystemErrorText(int code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring message = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
  if (buffer != nullptr) LocalFree(buffer);
  // The system's texts end with CR LF; the line has its own end.
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.pop_back();
  }
  char head[64];
  std::snprintf(head, sizeof(head), "System Error.  Code: %d(%.4X), ", code,
                static_cast<unsigned>(code));
  return std::string(head) + Utf8FromWide(message.data(), message.size());
}

void TNetDiagLog::LocalClock(tm& local, int& millis) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  local = {};
  local.tm_year = now.wYear - 1900;
  local.tm_mon = now.wMonth - 1;
  local.tm_mday = now.wDay;
  local.tm_hour = now.wHour;
  local.tm_min = now.wMinute;
  local.tm_sec = now.wSecond;
  millis = now.wMilliseconds;
}

uint64_t TNetDiagLog::CurrentThreadNumber() { return GetCurrentThreadId(); }

bool TNetDiagLog::AppendLines(const std::filesystem::path& file,
                              const std::vector<std::string>& lines) {
  std::FILE* out = _wfopen(file.c_str(), L"ab");
  if (out == nullptr) return false;
  bool written = true;
  for (const std::string& line : lines) {
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) written = false;
  }
  return std::fclose(out) == 0 && written;
}

}  // namespace gw
