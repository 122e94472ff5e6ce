#include "common/InputEndWatch.h"

#include <windows.h>

#include <mutex>
#include <thread>

namespace gw {

struct TInputEndWatch::TShared {
  std::mutex Lock;  // guards Stop
  std::function<void()> Stop;
};

TInputEndWatch::TInputEndWatch(std::function<void()> Stop) {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE || ::GetFileType(input) != FILE_TYPE_PIPE) {
    return;
  }
  FShared = std::make_shared<TShared>();
  FShared->Stop = std::move(Stop);
  std::thread([input, shared = FShared] {
    char buffer[256];
    DWORD got = 0;
    while (::ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    std::lock_guard<std::mutex> guard(shared->Lock);
    if (shared->Stop) shared->Stop();
  }).detach();
}

TInputEndWatch::~TInputEndWatch() {
  if (!FShared) return;
  std::lock_guard<std::mutex> guard(FShared->Lock);
  FShared->Stop = nullptr;
}

}  // namespace gw
