// TWsFrameParser: turns the bytes a client sends after the upgrade into whole
// messages and control frames (RFC 6455 §5). Pure: bytes in, events out, no sockets.
// Fragments are joined; pings, pongs and closes may arrive between the fragments of
// a message (§5.4) without disturbing it; the three length forms and masking are
// handled (what a client may get away with is TWsClientFrames). A message longer than the
// configured maximum, a malformed control frame or a continuation out of place stop
// the parser with an error; after a close frame it ignores everything. The size is judged
// on the length a frame header announces, before any of its payload is taken, and the
// message buffer grows only with the bytes that have arrived: a client announcing a big
// frame and sending it slowly (or never) holds no more than what it sent.
//
// Thread safety: none; one parser belongs to one connection and is fed by one thread
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/IWebSocketServer.h"

namespace gw {

// Receives what the parser finds. Each handler returns false to stop parsing (the
// connection was closed); the parser then reports wprStopped.
class IWsFrameSink {
 public:
  virtual ~IWsFrameSink() = default;
  // A complete text or binary message; `data` is valid only during the call.
  virtual bool OnWsMessage(TWsRequestType type, const std::vector<uint8_t>& data) = 0;
  virtual bool OnWsPing(const uint8_t* payload, size_t size) = 0;
  // A close frame; the parser ignores all further input.
  virtual void OnWsClose() = 0;
};

enum TWsParseResult : uint8_t {
  wprOk,             // all bytes consumed, waiting for more
  wprClosed,         // a close frame was handled (now or earlier)
  wprStopped,        // a handler returned false
  wprTooBig,         // the message would exceed the maximum size
  wprProtocolError,  // malformed control frame or misplaced continuation
};

// What the parser forgives a client that breaks RFC 6455: unmasked frames (§5.1: a server
// must fail the connection), reserved bits set without a negotiated extension (§5.2) and
// frames of reserved opcodes (their payload is skipped). Game clients are not all browsers,
// and the gateway has always taken such frames from them; refusing them would cut off players
// whose clients work today, and none of it lets a client reach further than a conforming
// frame would (the bounds on sizes and the control frame rules hold either way).
enum class TWsClientFrames : uint8_t {
  wcfLenient,  // taken as described above: the gateway's choice
  wcfStrict,   // RFC 6455: each of them is a protocol error (the connection closes with 1002)
};
inline constexpr TWsClientFrames kDefaultClientFrames = TWsClientFrames::wcfLenient;

class TWsFrameParser {
 public:
  explicit TWsFrameParser(size_t maxMessageSize,
                          TWsClientFrames clientFrames = kDefaultClientFrames)
      : FMaxMessageSize(maxMessageSize), FClientFrames(clientFrames) {}

  // The bound for frames whose header is read from now on (the owner may lower or raise
  // it between reads, e.g. after a settings reload).
  void SetMaxMessageSize(size_t maxMessageSize) { FMaxMessageSize = maxMessageSize; }
  size_t MaxMessageSize() const { return FMaxMessageSize; }
  // After wprTooBig: the message size the refused frame would have made.
  uint64_t RefusedSize() const { return FRefusedSize; }

  TWsParseResult Feed(const uint8_t* data, size_t size, IWsFrameSink& sink);

  // Bytes buffered for the message in progress (across its fragments).
  size_t PendingMessageSize() const { return FMessage.size(); }
  size_t PendingMessageCapacity() const { return FMessage.capacity(); }

 private:
  enum TState : uint8_t { wsHeader, wsBody, wsDone };

  // Flags, opcode and full header size from the first two header bytes.
  void DecodeFirstTwo();
  TWsParseResult HeaderComplete();
  TWsParseResult FrameComplete(IWsFrameSink& sink);
  void ResetFrame();

  // Wide members first, then the bytes: an idle connection keeps one of these.
  size_t FMaxMessageSize;
  uint64_t FRefusedSize = 0;
  uint64_t FBodySize = 0;         // payload bytes of the current frame still to read
  std::vector<uint8_t> FMessage;  // payload of the message in progress
  // Payload of the current control frame (at most 125 bytes), made on the first one.
  std::unique_ptr<uint8_t[]> FControl;
  TState FState = wsHeader;
  uint8_t FHeader[14] = {};
  uint8_t FHeaderLen = 0;
  uint8_t FHeaderSize = 2;  // full header length of the current frame, 2 to 14
  bool FFin = false;
  bool FMask = false;
  uint8_t FOpCode = 0;         // the current frame's opcode
  uint8_t FMessageOpCode = 0;  // opcode of the message in progress, 0 when none
  uint8_t FMaskKey[4] = {};
  uint8_t FMaskKeyShift = 0;
  uint8_t FControlLen = 0;
  TWsClientFrames FClientFrames;
};

}  // namespace gw
