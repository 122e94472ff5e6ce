// The status channel between the gateway and a controlling program. The controlling program
// listens on its own handle (from the launch block) and receives the start-up status messages;
// the gateway listens on a handle of its own, announces it in message 1000 and takes the
// controller's commands (2000: close without asking).
//
// Linux: datagrams on Unix sockets "gateway-control-<handle>" in a folder only this user can
// enter (ControlFolder: "$XDG_RUNTIME_DIR/pelvane-gateway", or "/tmp/pelvane-gateway-<uid>"
// when XDG_RUNTIME_DIR is unset or not this user's folder), the gateway's handle being its
// process ID. The folder is created
// 0700 and refused (start failure, nothing sent) when it is not a folder, belongs to another
// user or lets others in: a neighbour on the host can neither take a name first nor receive
// the controller's messages. A name whose socket has a listener is taken (the start fails); a
// socket file left by an ended process is replaced. A message is one datagram: wParam as 4
// bytes little-endian (ident × 65536 + gate number), then the text bytes and one 0 byte. Only
// datagrams from the same user (or root) are taken.
// Windows: WM_COPYDATA messages to a window, as controlling programs there expect. A handle is
// a window handle; a listener is a message-only window titled "gateway-control-<handle given>",
// whose own window handle is the channel's Handle(). The message's wParam is the wParam above,
// its data the text and one 0 byte.
//
// Thread safety: Send and the encoding functions are safe from any thread. A TControlChannel is
// used by one owner thread: Receive, or Start/Stop of its own listening thread, not both; the
// handler runs on that listening thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/PeerLimits.h"
#include "logging/LogLevel.h"

namespace gw {

// Idents of the status messages and of the controller's command.
inline constexpr uint16_t kCtlMainWindowHandle = 1000;  // text: the gateway's handle in decimal
inline constexpr uint16_t kCtlServiceStarting = 1001;   // text: "正在启动GateWay..." (GBK)
inline constexpr uint16_t kCtlServiceStarted = 1002;    // text: "游戏网关启动完成..." (GBK)
inline constexpr uint16_t kCtlCloseGateWay = 2000;      // from the controller: close without asking
// From the controller: drain (no new clients, live sessions served until they leave or the
// drain's time is over), then close. Text: who asks, for the log (may be empty).
inline constexpr uint16_t kCtlDrainGateWay = 2001;

// Largest text a message carries; longer texts are not sent, longer datagrams not taken.
inline constexpr size_t kMaxControlText = limits::kMaxControlText;

struct TControlMessage {
  uint32_t WParam = 0;
  std::string Text;  // the bytes before the first 0 byte, as sent (fixed texts are GBK)

  uint16_t Ident() const { return static_cast<uint16_t>(WParam >> 16); }
  uint16_t GateNumber() const { return static_cast<uint16_t>(WParam & 0xFFFF); }
};

inline uint32_t MakeControlWParam(uint16_t AIdent, uint16_t AGateNumber) {
  return static_cast<uint32_t>(AIdent) << 16 | AGateNumber;
}

// "gateway-control-<handle>": the socket's file name in ControlFolder (Linux), the listening
// window's title (Windows).
std::string ControlSocketName(uint32_t AHandle);

// Linux: the folder of the sockets (not checked). Windows: empty (the channel is a window).
std::string ControlFolder();
// Linux: the socket path of the listener of AHandle, after checking the folder (creating it
// 0700 when ACreateFolder); throws when the folder is unsafe or cannot be made. Windows:
// throws std::runtime_error (there is no path; the channel is a window).
std::string ControlSocketPath(uint32_t AHandle, bool ACreateFolder);
// "gateway-upgrade-<16 hex digits>": the name of the listener hand-over's socket of the
// gateway serving AWorkFolder (an absolute path), derived from that path alone, so that a new
// process started in the same folder finds it and gateways of two folders never meet.
std::string UpgradeSocketName(const std::string& AWorkFolder);
// Linux: the path of the socket named AName in the checked ControlFolder (see
// ControlSocketPath). Windows: throws std::runtime_error.
std::string ControlFolderSocketPath(const std::string& AName, bool ACreateFolder);

std::string EncodeControlMessage(uint32_t AWParam, std::string_view AText);
// nullopt for a datagram shorter than its wParam.
std::optional<TControlMessage> DecodeControlMessage(std::string_view ADatagram);

class TControlChannel {
 public:
  using THandler = std::function<void(const TControlMessage&)>;

  // Sends one message to the listener of AHandle without waiting for it to be read; a handle
  // of 0 sends nothing. Returns whether the message was delivered to a listener's queue: no
  // listener is not an error, and a full (Linux) or hung (Windows) one is given up after about
  // one second.
  static bool Send(uint32_t AHandle, uint32_t AWParam, std::string_view AText);

  // Listens on the name of AHandle. Throws (std::system_error, std::runtime_error) when the
  // name is taken (another listener has it), the folder is unsafe (Linux) or the system
  // refuses. ALog, when given, hears of refused messages.
  explicit TControlChannel(uint32_t AHandle, TLogProc ALog = {});
  ~TControlChannel();  // stops the listening thread
  TControlChannel(const TControlChannel&) = delete;
  TControlChannel& operator=(const TControlChannel&) = delete;

  // The handle senders address: AHandle on Linux, the listening window's handle on Windows.
  uint32_t Handle() const { return FHandle; }
  // The socket, for an event loop: readable when a datagram waits. -1 on Windows, where the
  // messages arrive on a thread of the channel's own: use Start there.
  int Fd() const;

  // The next waiting message, without blocking; nullopt when none waits. Refused messages
  // (another user's, malformed, oversized) are skipped.
  std::optional<TControlMessage> Receive();

  // Runs a thread that calls AHandler for every message until Stop.
  void Start(THandler AHandler);
  void Stop();

 private:
  struct TEndpoint;  // the system's listening end, one per platform

  void Execute();  // the listening thread

  uint32_t FHandle;
  const TLogProc FLog;
  std::unique_ptr<TEndpoint> FEndpoint;
};

}  // namespace gw
