// The vocabulary the whole client gateway core shares: session steps, session
// handles, queued session messages, client message types, the batch layout, the token challenge and
// the message idents the core acts on.
//
// Everything here is plain data and pure functions: safe to call from any thread.
// Multi-byte values on every wire are little-endian; this build assumes a
// little-endian host (checked below) and lays records out byte for byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/DefaultMessage.h"

namespace gw {

// ---------------------------------------------------------------------------
// Session step: where a client's traffic goes.
enum TSessionStep : uint8_t {
  ssNone = 0,   // no upstream server; client traffic is dropped
  ssLogin = 1,  // to the login server; the step of every new session
  ssGame = 2,   // to the logic server
};

// ---------------------------------------------------------------------------
// Session handle: bits 31..24 worker ID, 23..16 generation, 15..0 slot.
// 0 means "no handle" (a session never entered in a worker table).

inline constexpr uint32_t kNoSessionHandle = 0;
// The worker ID is one byte, so at most 256 workers can be addressed.
inline constexpr int32_t kMaxWorkerCount = 256;
// Slots run from 0 to 65534: a worker table holds at most 65535 sessions.
inline constexpr uint32_t kMaxSessionsPerWorker = 65535;

struct TSessionHandleParts {
  uint8_t WorkerID = 0;
  uint8_t Generation = 0;
  uint16_t Slot = 0;
};

constexpr uint32_t MakeSessionHandle(uint8_t workerID, uint8_t generation, uint16_t slot) {
  return (uint32_t{workerID} << 24) | (uint32_t{generation} << 16) | uint32_t{slot};
}

constexpr TSessionHandleParts SplitSessionHandle(uint32_t handle) {
  return {static_cast<uint8_t>(handle >> 24), static_cast<uint8_t>(handle >> 16),
          static_cast<uint16_t>(handle & 0xFFFF)};
}

constexpr uint8_t SessionWorkerID(uint32_t handle) { return static_cast<uint8_t>(handle >> 24); }
constexpr uint8_t SessionGeneration(uint32_t handle) { return static_cast<uint8_t>(handle >> 16); }
constexpr uint16_t SessionIndex(uint32_t handle) { return static_cast<uint16_t>(handle & 0xFFFF); }

// The generation that follows `generation`, skipping 0. Workers start their
// allocation counter (FOrdID) at 1 and advance it with this, and a regenerated
// handle takes NextGeneration(old generation). Skipping 0 guarantees that no
// handle is ever 0 (worker 0, slot 0 would otherwise produce the "no handle"
// value after 255 allocations), so 0 keeps its single meaning everywhere.
// Sequence: 1, 2, ..., 255, 1, 2, ...
constexpr uint8_t NextGeneration(uint8_t generation) {
  return generation == 255 ? uint8_t{1} : static_cast<uint8_t>(generation + 1);
}

// Checks a configured worker count before any worker is created. Returns an
// empty text when `count` can be used, otherwise the error to report: a count
// below 1 leaves no worker to take clients, and a count above 256 cannot be
// addressed by the one-byte worker ID of the handle.
std::string ValidateWorkerCount(int32_t count);

// ---------------------------------------------------------------------------
// Session message: one message on a worker's message queue or on a session's
// outgoing queue: whom it is for, what it is, and the bytes it owns. The bytes are a
// buffer with a read index and a write index; the readable bytes lie between them.
// Consume moves the read index forward, so the part of a message that is passed on
// (the client message inside a logic packet, behind the packet's header) needs neither
// a copy nor a pointer moved inside the block. Whoever holds the record
// (TSessionMessagePtr) owns it and its bytes; letting it go frees both.
class TSessionMessage {
 public:
  // `size` bytes to be written through MutableData (not initialised).
  TSessionMessage(uint32_t sessionHandle, int32_t ident, int32_t param, uint32_t size);
  TSessionMessage(const TSessionMessage&) = delete;
  TSessionMessage& operator=(const TSessionMessage&) = delete;

  uint32_t SessionHandle;  // the session it is for (0 for worker-wide messages)
  int32_t Ident;           // one of the session message idents below (worker queue only)
  int32_t Param;           // the step for GM_GATE_STEP; otherwise carried along (0)

  // The readable bytes (null when there are none).
  const uint8_t* Data() const {
    return FWriteIndex > FReadIndex ? FBytes.get() + FReadIndex : nullptr;
  }
  uint8_t* MutableData() { return FWriteIndex > FReadIndex ? FBytes.get() + FReadIndex : nullptr; }
  uint32_t DataLen() const { return FWriteIndex - FReadIndex; }
  // Drops `count` bytes (at most every readable one) from the front.
  void Consume(uint32_t count) { FReadIndex += count < DataLen() ? count : DataLen(); }

 private:
  std::unique_ptr<uint8_t[]> FBytes;
  uint32_t FReadIndex = 0;
  uint32_t FWriteIndex = 0;
};
using TSessionMessagePtr = std::unique_ptr<TSessionMessage>;

// A record of `size` bytes to be written through MutableData.
TSessionMessagePtr MakeSessionMessage(uint32_t sessionHandle, int32_t ident, int32_t param,
                                      uint32_t size);
// A record holding a copy of `size` bytes at `data` (the caller keeps its buffer; null
// data makes an empty record).
TSessionMessagePtr MakeSessionMessageCopy(uint32_t sessionHandle, int32_t ident, int32_t param,
                                          const void* data, uint32_t size);

// ---------------------------------------------------------------------------
// Client message type: the first byte of every message the gateway sends and of
// every message a client sends in step ssGame (also nMsgType of logic packets).
enum TClientMsgType : uint8_t {
  mtDefault = 0,   // a TDefaultMessage, then a body
  mtMove = 2,      // exactly 9 body bytes
  mtStamp = 3,     // at least 19 body bytes; bytes 11..18 take the gateway's counter
  mtAttack = 4,    // exactly 18 body bytes
  mtPass = 5,      // relayed unchecked; login server messages reach the client as this
  mtBatch = 0x80,  // gateway to client only: several messages in one
};

inline constexpr size_t kMoveMessageSize = 10;     // type byte + 9
inline constexpr size_t kAttackMessageSize = 19;   // type byte + 18
inline constexpr size_t kStampCounterOffset = 11;  // body offset of the 64-bit counter
inline constexpr size_t kStampMinBodySize = 19;

// ---------------------------------------------------------------------------
// Batch (mtBatch): the type byte 0x80, then for each packed message its length
// as 4 bytes and the message itself (with its own type byte). At most 32768
// bytes in all: the size of a session's batch buffer.
inline constexpr uint32_t kMergeClientBufferSize = 32768;
inline constexpr uint32_t kBatchTypeSize = 1;
inline constexpr uint32_t kBatchLengthSize = 4;

// Bytes a message of `dataLen` bytes adds to a batch that has `written` bytes so
// far (the type byte is counted when the batch is still empty).
constexpr uint64_t BatchBytesNeeded(uint32_t written, uint32_t dataLen) {
  return uint64_t{dataLen} + kBatchLengthSize + (written == 0 ? kBatchTypeSize : 0);
}

// Appends one message to the batch in `buffer` (`capacity` bytes, `written`
// used). Returns false and leaves everything unchanged when it does not fit.
bool AppendBatchEntry(uint8_t* buffer, uint32_t capacity, uint32_t& written, const uint8_t* data,
                      uint32_t dataLen);

// Splits a received batch into its messages (views into `batch`). Returns false
// for a message that is not a well-formed batch (wrong type byte, a length
// running past the end, no entry at all).
bool SplitBatch(std::span<const uint8_t> batch, std::vector<std::span<const uint8_t>>& entries);

// ---------------------------------------------------------------------------
// Session message idents (TSessionMessage.Ident on a worker's queue). The logic
// server's packet idents carry the whole logic packet, header included.
inline constexpr int32_t GM_LOGIC_GATE_DATA = 5;       // turn into a client message
inline constexpr int32_t GM_LOGIC_GATE_USERINDEX = 6;  // store the logic user index
inline constexpr int32_t GM_LOGIC_GATE_SPEEDTIME = 8;  // intervals; payload is a TDefaultMessage
inline constexpr int32_t GM_LOGIC_GATE_KICK = 21;      // remove and close; payload may be a reason
inline constexpr int32_t GM_LOGIC_GATE_SYNCDATA = 27;  // account and player name
inline constexpr int32_t GM_GATE_CLIENTMSG = 31;       // a client message to check and relay
inline constexpr int32_t GM_GATE_CLOSEALL = 32;        // close every session of the worker
// The gateway's own: a client's soft close (GM_CLIENT_SOFTCLOSE), queued behind the
// client's earlier messages so that they still leave under the handle it gives up.
inline constexpr int32_t GM_GATE_SOFTCLOSE = 33;
// The gateway's own, from other threads to the worker that owns the session (the worker
// alone changes a session's state):
inline constexpr int32_t GM_GATE_DIRECT = 34;  // the bytes go to the client unchanged
inline constexpr int32_t GM_GATE_STEP = 35;    // the session's step becomes Param
// From the login step to the game: the step, the login server's message (the bytes) for
// the client, and the logic server told of the session, in that order.
inline constexpr int32_t GM_GATE_HANDOVER = 36;

// Default-message idents the gateway itself knows.
inline constexpr uint16_t GM_GATE_TOKEN = 4297;        // gateway to client: token challenge
inline constexpr uint16_t GM_CLIENT_SOFTCLOSE = 1009;  // client leaves the game, stays connected

// ---------------------------------------------------------------------------
// Token challenge: type byte 0, a default message with Ident GM_GATE_TOKEN and
// every other field zero, then the challenge text one byte per character.
inline constexpr size_t kTokenChallengeHeaderSize = 1 + kDefaultMessageSize;  // 33

std::vector<uint8_t> BuildTokenChallenge(std::string_view challengeText);

// The same bytes as a session message (handle 0, ident 0, param 0) ready to be
// appended to a session's outgoing queue.
TSessionMessagePtr MakeTokenChallengeMessage(std::string_view challengeText);

}  // namespace gw
