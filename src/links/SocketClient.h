// TSocketClient: one non-blocking TCP connection to an upstream server with a send
// buffer and a receive buffer. The owning link's thread drives it (ProcessSocketLogic,
// or RecvData and SendData when its wait reports the socket ready); it frames nothing
// and starts no thread. No call ever waits for the peer: a full socket leaves the rest
// of the send buffer for the next step. A broken connection is reported through the
// virtual Disconnect.
//
// Thread safety: IsConnected and SocketHandle may be read from any thread. Everything
// else belongs to the owning link's thread (other threads reach the send side only
// through the link's own send cache, TServerLinkClient).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/BufferMemoryStream.h"
#include "links/LinkSocket.h"
#include "logging/LogLevel.h"

namespace gw {

class TSocketClient {
 public:
  // Socket buffer size asked for at every connect.
  static constexpr uint32_t kSocketBufferRequest = 2097152;
  // Creation size of both stream buffers.
  static constexpr int64_t kStreamCapacity = 8192;
  // Longest a link's Stop spends delivering what is still waiting to be sent.
  static constexpr uint32_t kStopFlushTimeLimit = 1500;

  TSocketClient();
  virtual ~TSocketClient();
  TSocketClient(const TSocketClient&) = delete;
  TSocketClient& operator=(const TSocketClient&) = delete;

  // Opens the TCP connection (host name or dotted IPv4 address) and reads back the
  // granted socket buffer sizes. Waits until connected or failed; on failure returns
  // false with the system's message in ErrorText and stays unconnected. While it waits,
  // a signalled Wake (drained here) makes it consult the abort check (SetAbortCheck) and
  // give up when that answers true. The socket is non-blocking.
  bool Connect(const std::string& Host, int32_t Port, std::string& ErrorText,
               TLinkWake* Wake = nullptr);

  // One polling step: RecvData then SendData, when a socket is open.
  void ProcessSocketLogic();

  // The connected socket's local IPv4 address, dotted; empty when unknown.
  std::string GetLocalAddress() const;

  // Must be called before the owning link starts.
  void SetLogger(TLogProc Proc) { FLogger = std::move(Proc); }
  // Replaces kStopFlushTimeLimit (tests). Call before the owning link starts.
  void SetStopFlushTimeLimit(uint32_t Ms) { FStopFlushTimeLimit = Ms; }

  // Moves the bytes waiting in the socket into RecvStream; returns how many.
  int64_t RecvData();
  // Sends up to SendSize bytes of SendStream, as much as the socket takes without
  // waiting; the rest stays for the next step. Returns how many bytes went out.
  int64_t SendData();
  // For a socket reported readable while RecvData found nothing waiting: the peer has
  // closed its side (Disconnect with 0 and "RecvData Close") or the connection failed
  // (Disconnect with the error and "RecvData Close 2"). Returns whether it is gone.
  bool CheckPeerClosed();
  // Sends everything SendStream holds and waits until the peer has acknowledged it, for
  // at most TimeLimitMs. For the owning link's last act when it stops: frames appended
  // just before the stop must not be lost, and a stalled or vanished peer costs no more
  // than the time limit. Returns true when every byte reached the peer (where the system
  // does not count unacknowledged bytes: when the socket took every byte); never calls
  // Disconnect (what was not sent stays in SendStream).
  bool FlushSendStream(uint32_t TimeLimitMs);

  // Empties both buffers and closes the socket. Links override it to log and reset
  // their state; every override calls this first. ErrorCode is the platform's socket
  // error (LastSocketError).
  virtual void Disconnect(int32_t ErrorCode, const std::string& Desc);

  TBufferMemoryStream& SendStream() { return FSendStream; }
  TBufferMemoryStream& RecvStream() { return FRecvStream; }
  bool IsConnected() const { return FSocket.load(std::memory_order_acquire) != links::kNoSocket; }
  links::TSocketHandle SocketHandle() const { return FSocket.load(std::memory_order_acquire); }
  // Usable socket send/receive buffer sizes granted at the last connect; the send
  // size is also the largest slice one SendData hands to the socket.
  uint32_t SendSize() const { return FSendSize; }
  uint32_t RecvSize() const { return FRecvSize; }

 protected:
  void Log(const std::string& Text, TLogLevel Level) const {
    if (FLogger) FLogger(Text, Level);
  }
  // A check that a connect in progress consults whenever its wake-up fires,
  // to give up early, so the link's Stop is prompt.
  void SetAbortCheck(std::function<bool()> Check) { FAbortCheck = std::move(Check); }
  uint32_t StopFlushTimeLimit() const { return FStopFlushTimeLimit; }
  // Counters that every byte received from / sent to the socket is added to (relaxed);
  // null counts nothing. Set before the owning link starts; the counters outlive it.
  void SetByteCounters(std::atomic<uint64_t>* BytesIn, std::atomic<uint64_t>* BytesOut) {
    FBytesIn = BytesIn;
    FBytesOut = BytesOut;
  }

 private:
  void CloseSocket();
  static void Count(std::atomic<uint64_t>* Counter, int64_t Bytes) {
    if (Counter != nullptr && Bytes > 0) {
      Counter->fetch_add(static_cast<uint64_t>(Bytes), std::memory_order_relaxed);
    }
  }

  std::atomic<links::TSocketHandle> FSocket{links::kNoSocket};
  TBufferMemoryStream FSendStream;
  TBufferMemoryStream FRecvStream;
  uint32_t FSendSize = kSocketBufferRequest;
  uint32_t FRecvSize = kSocketBufferRequest;
  TLogProc FLogger;
  std::function<bool()> FAbortCheck;
  uint32_t FStopFlushTimeLimit = kStopFlushTimeLimit;
  std::atomic<uint64_t>* FBytesIn = nullptr;   // not owned
  std::atomic<uint64_t>* FBytesOut = nullptr;  // not owned
};

}  // namespace gw
