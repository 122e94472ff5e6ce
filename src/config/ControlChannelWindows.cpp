#include "config/ControlChannel.h"

#include <stdexcept>

#include <windows.h>

#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "common/Platform.h"

namespace gw {

namespace {

constexpr UINT kSendTimeoutMs = 1000;
constexpr wchar_t kWindowClass[] = L"GateWayControlChannel";
// Window messages the channel sends itself, handled on its window's thread.
constexpr UINT kWmDispatch = WM_APP + 1;    // run the handler over the queued messages
constexpr UINT kWmSetHandler = WM_APP + 2;  // lParam: the THandler* to use from now on, or null

std::wstring WideName(uint32_t AHandle) {
  const std::string name = ControlSocketName(AHandle);
  return std::wstring(name.begin(), name.end());  // ASCII only
}

LRESULT CALLBACK ControlWindowProc(HWND, UINT, WPARAM, LPARAM);

void RegisterWindowClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ControlWindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    if (::RegisterClassExW(&wc) == 0) {
      throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                              "control window class");
    }
  });
}

// The message-only window lives on a thread of its own for the channel's life: a window gets
// its messages only on the thread that made it, and WM_COPYDATA must be answered at once
// however busy the owner is. Received messages wait in a queue for Receive, or for the
// handler, which runs on the window's thread after the sender has been answered.
struct TWindowEndpoint {
  TLogProc Log;
  HANDLE NameLock = nullptr;  // a named mutex: who holds it owns the channel's name
  HWND Window = nullptr;
  std::thread Thread;
  TControlChannel::THandler Handler;  // used on the window's thread only

  std::mutex QueueLock;
  std::deque<TControlMessage> Queue;

  ~TWindowEndpoint() {
    if (Window != nullptr) ::PostMessageW(Window, WM_CLOSE, 0, 0);
    if (Thread.joinable()) Thread.join();
    if (NameLock != nullptr) ::CloseHandle(NameLock);
  }

  // On the window's thread: takes one WM_COPYDATA. FALSE tells the sender it was refused.
  LRESULT Take(HWND AWindow, WPARAM AWParam, const COPYDATASTRUCT* AData) {
    if (AData == nullptr || (AData->cbData > 0 && AData->lpData == nullptr)) return FALSE;
    if (AData->cbData > kMaxControlText + 1) {
      CountLimitBreach(TLimitBreach::lbControlTextTooLong);
      if (Log) Log("Control channel: dropped a message too long", llWarning);
      return FALSE;
    }
    TControlMessage message;
    message.WParam = static_cast<uint32_t>(AWParam);
    const std::string_view data(static_cast<const char*>(AData->lpData), AData->cbData);
    message.Text = data.substr(0, data.find('\0'));
    {
      std::lock_guard guard(QueueLock);
      Queue.push_back(std::move(message));
    }
    if (Handler) ::PostMessageW(AWindow, kWmDispatch, 0, 0);
    return TRUE;
  }

  std::optional<TControlMessage> Pop() {
    std::lock_guard guard(QueueLock);
    if (Queue.empty()) return std::nullopt;
    TControlMessage message = std::move(Queue.front());
    Queue.pop_front();
    return message;
  }

  void Dispatch() {
    while (Handler) {
      std::optional<TControlMessage> message = Pop();
      if (!message) return;
      // A copy: the handler may stop the channel, which replaces Handler while it runs.
      const TControlChannel::THandler handler = Handler;
      try {
        handler(*message);
      } catch (const std::exception& e) {
        if (Log) Log(std::string("Control channel: handler failed: ") + e.what(), llError);
      } catch (...) {
        if (Log) Log("Control channel: handler failed", llError);
      }
    }
  }
};

LRESULT CALLBACK ControlWindowProc(HWND AWindow, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
  if (AMessage == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(ALParam);
    ::SetWindowLongPtrW(AWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return ::DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
  }
  auto* endpoint = reinterpret_cast<TWindowEndpoint*>(::GetWindowLongPtrW(AWindow, GWLP_USERDATA));
  if (endpoint == nullptr) return ::DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
  switch (AMessage) {
    case WM_COPYDATA:
      return endpoint->Take(AWindow, AWParam, reinterpret_cast<const COPYDATASTRUCT*>(ALParam));
    case kWmSetHandler: {
      auto* handler = reinterpret_cast<TControlChannel::THandler*>(ALParam);
      if (handler != nullptr && endpoint->Handler) return FALSE;  // started already
      endpoint->Handler = handler != nullptr ? std::move(*handler) : nullptr;
      endpoint->Dispatch();
      return TRUE;
    }
    case kWmDispatch:
      endpoint->Dispatch();
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(AWindow, AMessage, AWParam, ALParam);
  }
}

}  // namespace

struct TControlChannel::TEndpoint : TWindowEndpoint {};

bool TControlChannel::Send(uint32_t AHandle, uint32_t AWParam, std::string_view AText) {
  if (AHandle == 0 || AText.size() > kMaxControlText) return false;
  // Window handles are 32-bit values on 64-bit Windows too, so they travel as text and back.
  HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(AHandle));
  if (!::IsWindow(window)) return false;
  std::string data(AText);
  data += '\0';
  COPYDATASTRUCT copy{};
  copy.cbData = static_cast<DWORD>(data.size());
  copy.lpData = data.data();
  DWORD_PTR result = 0;
  // Not SendMessage: a hung or stopped receiver must not hold the sender.
  const LRESULT sent =
      ::SendMessageTimeoutW(window, WM_COPYDATA, AWParam, reinterpret_cast<LPARAM>(&copy),
                            SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, kSendTimeoutMs, &result);
  return sent != 0 && result != 0;
}

TControlChannel::TControlChannel(uint32_t AHandle, TLogProc ALog)
    : FHandle(0), FLog(std::move(ALog)), FEndpoint(std::make_unique<TEndpoint>()) {
  TEndpoint& e = *FEndpoint;
  e.Log = FLog;
  const std::wstring name = WideName(AHandle);
  e.NameLock = ::CreateMutexW(nullptr, FALSE, (L"Local\\" + name).c_str());
  if (e.NameLock == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    const DWORD err = e.NameLock == nullptr ? ::GetLastError() : ERROR_ALREADY_EXISTS;
    throw std::system_error(static_cast<int>(err), std::system_category(),
                            "control window " + ControlSocketName(AHandle));
  }
  RegisterWindowClass();
  std::promise<DWORD> created;  // 0, or the error that kept the window from being made
  std::future<DWORD> result = created.get_future();
  TWindowEndpoint* state = &e;
  e.Thread = std::thread([&e, state, &name, &created] {
    NameCurrentThread("gw-control");
    e.Window = ::CreateWindowExW(0, kWindowClass, name.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, ::GetModuleHandleW(nullptr), state);
    created.set_value(e.Window == nullptr ? ::GetLastError() : 0);
    if (e.Window == nullptr) return;
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
  });
  if (const DWORD err = result.get(); err != 0) {
    throw std::system_error(static_cast<int>(err), std::system_category(),
                            "control window " + ControlSocketName(AHandle));
  }
  FHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.Window));
}

TControlChannel::~TControlChannel() { Stop(); }

int TControlChannel::Fd() const { return -1; }

std::optional<TControlMessage> TControlChannel::Receive() { return FEndpoint->Pop(); }

void TControlChannel::Start(THandler AHandler) {
  // Handed to the window's thread, which owns the handler from here on.
  ::SendMessageW(FEndpoint->Window, kWmSetHandler, 0, reinterpret_cast<LPARAM>(&AHandler));
}

void TControlChannel::Stop() {
  // Returns once a handler that runs has finished: the window's thread takes this message only
  // between two handler calls.
  ::SendMessageW(FEndpoint->Window, kWmSetHandler, 0, 0);
}

void TControlChannel::Execute() { FEndpoint->Dispatch(); }

std::string ControlFolder() { return {}; }

std::string ControlSocketPath(uint32_t, bool) {
  throw std::runtime_error(
      "the control channel has no socket path on Windows: it is a window (see ControlSocketName)");
}

std::string ControlFolderSocketPath(const std::string&, bool) {
  throw std::runtime_error("the control channel has no socket folder on Windows");
}

}  // namespace gw
