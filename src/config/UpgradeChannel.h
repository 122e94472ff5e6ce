// TUpgradeChannel: one connection of the listener hand-over between two gateway processes
// serving the same work folder (`gateway --take-over`). The running gateway listens on the
// Unix socket UpgradeSocketName(work folder) in the control channel's folder (only this user
// can enter it), one connection at a time; the new process connects. Each message is one
// packet (SOCK_SEQPACKET) of text, up to limits::kMaxControlText bytes, which may carry up to
// limits::kMaxHandedOverSockets descriptors (SCM_RIGHTS): the receiver owns those. Only a peer
// of the same user (or root) is talked to.
//
// Windows: a socket cannot be handed to another process this way (WSADuplicateSocket would
// need the target's process ID and a protocol of its own); Connect fails saying that the
// hand-over is not supported there, and no listener is opened.
//
// Thread safety: a channel belongs to one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

struct TUpgradeMessage {
  std::string Text;
  std::vector<int> Sockets;  // received descriptors, owned by the receiver
};

class TUpgradeChannel {
 public:
  // Whether the platform can hand listening sockets over (Linux); else why not.
  static bool Supported(std::string* AWhyNot = nullptr);
  // Connects to the listener of the gateway serving AWorkFolder; nullptr with AError saying why
  // (no such gateway, the folder refused, not supported on this platform).
  static std::unique_ptr<TUpgradeChannel> Connect(const std::string& AWorkFolder,
                                                  std::string& AError);
  // Takes a connected socket; AWakeFd (optional, -1) ends a Receive when readable.
  explicit TUpgradeChannel(int ASocket, int AWakeFd = -1);
  ~TUpgradeChannel();
  TUpgradeChannel(const TUpgradeChannel&) = delete;
  TUpgradeChannel& operator=(const TUpgradeChannel&) = delete;

  // Sends one message with copies of ASockets (the caller keeps its own). False on failure.
  bool Send(std::string_view AText, const std::vector<int>& ASockets = {});
  // The next message within ATimeoutMs; nullopt on time-out (ATimedOut set), at the peer's
  // end, on the wake-up descriptor or on an error.
  std::optional<TUpgradeMessage> Receive(int ATimeoutMs, bool* ATimedOut = nullptr);
  // Whether the peer is this user (or root).
  bool PeerIsTrusted() const;
  // Closes descriptors received and not taken.
  static void CloseSockets(std::vector<int>& ASockets);

 private:
  int FSocket;
  int FWakeFd;
};

}  // namespace gw
