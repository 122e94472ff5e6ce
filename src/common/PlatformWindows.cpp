#include "common/Platform.h"

// windows.h first: bcrypt.h uses its types.
#include <windows.h>

#include <bcrypt.h>
#include <psapi.h>
#include <shellapi.h>

#include <cwchar>
#include <stdexcept>
#include <string>

#include "common/WideText.h"

namespace gw {

namespace {

// The full path of the running executable as UTF-8, or empty when Windows cannot tell.
std::string ExePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    // A path that filled the buffer may have been cut short: try again with more room.
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  return Utf8FromWide(path.data(), path.size());
}

size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

}  // namespace

uint32_t GetTickCount32() { return static_cast<uint32_t>(::GetTickCount64()); }

uint64_t QueryPerformanceCounter64() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  ::QueryPerformanceCounter(&c);
  const uint64_t counts = static_cast<uint64_t>(c.QuadPart);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return counts / frequency * 1000000000ull + counts % frequency * 1000000000ull / frequency;
}

void FillRandomBytes(unsigned char* data, size_t size) {
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, data, static_cast<ULONG>(size),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    throw std::runtime_error("BCryptGenRandom failed");
  }
}

std::string ProgramPath() { return ExePath(); }

std::string ProgramFolder() {
  const std::string path = ExePath();
  const size_t sep = LastSeparator(path);
  return sep == std::string::npos ? std::string(".") : path.substr(0, sep);
}

std::string ProgramName() {
  const std::string path = ExePath();
  if (path.empty()) return "gateway";
  std::string name = path.substr(LastSeparator(path) + 1);  // npos + 1 == 0
  // "gateway.exe" is "gateway", as on Linux: the log folder and diagnostic files are named
  // after it the same way on both systems.
  if (name.size() > 4) {
    std::string extension = name.substr(name.size() - 4);
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    if (extension == ".exe") name.resize(name.size() - 4);
  }
  return name;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i], std::wcslen(wide[i])));
  ::LocalFree(wide);
  return arguments;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

double ProcessCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto units = [](const FILETIME& t) {  // 100 ns units
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(units(kernel) + units(user)) / 1e7;
}

uint64_t ProcessResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
  return counters.WorkingSetSize;
}

double ProcessStartTimeSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  // 100 ns steps since 1601-01-01; the Unix epoch is 11644473600 s later.
  const uint64_t steps =
      (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return static_cast<double>(steps) / 1e7 - 11644473600.0;
}

// Windows has handles, not a bounded descriptor table: both counts are left out.
int64_t ProcessOpenDescriptors() { return -1; }
int64_t ProcessMaxDescriptors() { return -1; }

void SleepMs(uint32_t ms) { ::Sleep(ms); }

// Completion ports already wake only as many threads as there are processors.
void UseThroughputScheduling() {}

// SetThreadDescription came with Windows 10 1607: looked up, so older systems run unnamed.
void NameCurrentThread(const std::string& name) {
  using TSetThreadDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription =
      reinterpret_cast<TSetThreadDescription>(reinterpret_cast<void*>(
          ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (setDescription != nullptr) setDescription(::GetCurrentThread(), WideFromUtf8(name).c_str());
}

}  // namespace gw
