#include "net/WsFrameParser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "net/WsFrame.h"

namespace gw {

namespace {

constexpr size_t kMaxControlPayload = 125;
// A buffer grown past this by one big message is given back once the message is delivered.
constexpr size_t kKeepCapacity = 64 * 1024;

// RSV1 to RSV3 of a frame's first byte: no extension is ever negotiated.
constexpr uint8_t kReservedBits = 0x70;

bool IsControl(uint8_t opCode) { return (opCode & 0x08) != 0; }
bool IsData(uint8_t opCode) { return opCode == wsoText || opCode == wsoBinary; }

// XORs `size` bytes with the key starting at key index `shift`; returns the next index.
uint8_t Unmask(uint8_t* p, size_t size, const uint8_t key[4], uint8_t shift) {
  size_t i = 0;
  for (; i < size && shift != 0; ++i) {
    p[i] ^= key[shift];
    shift = (shift + 1) & 3;
  }
  uint64_t wide;
  uint8_t rep[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
  std::memcpy(&wide, rep, 8);
  for (; i + 8 <= size; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    v ^= wide;
    std::memcpy(p + i, &v, 8);
  }
  for (; i < size; ++i) {
    p[i] ^= key[shift];
    shift = (shift + 1) & 3;
  }
  return shift;
}

}  // namespace

void TWsFrameParser::DecodeFirstTwo() {
  FFin = (FHeader[0] & 0x80) != 0;
  FOpCode = FHeader[0] & 0x0F;
  FMask = (FHeader[1] & 0x80) != 0;
  uint8_t len7 = FHeader[1] & 0x7F;
  FHeaderSize =
      static_cast<uint8_t>(2 + (len7 == 126 ? 2 : 0) + (len7 == 127 ? 8 : 0) + (FMask ? 4 : 0));
}

void TWsFrameParser::ResetFrame() {
  FState = wsHeader;
  FHeaderLen = 0;
  FHeaderSize = 2;
  FMaskKeyShift = 0;
  FBodySize = 0;
}

TWsParseResult TWsFrameParser::HeaderComplete() {
  uint8_t len7 = FHeader[1] & 0x7F;
  uint64_t payload = len7;
  if (len7 == 126) {
    payload = (static_cast<uint64_t>(FHeader[2]) << 8) | FHeader[3];
  } else if (len7 == 127) {
    payload = 0;
    for (int i = 0; i < 8; ++i) payload = (payload << 8) | FHeader[2 + i];
  }
  if (FClientFrames == TWsClientFrames::wcfStrict) {
    const bool known =
        IsControl(FOpCode) ? FOpCode <= wsoPong : FOpCode == wsoContinuation || IsData(FOpCode);
    if (!FMask || (FHeader[0] & kReservedBits) != 0 || !known) return wprProtocolError;
  }
  if (FMask) std::memcpy(FMaskKey, FHeader + FHeaderSize - 4, 4);
  FBodySize = payload;
  if (IsControl(FOpCode)) {
    if (!FFin || payload > kMaxControlPayload) return wprProtocolError;
    FControlLen = 0;
    if (!FControl) FControl = std::make_unique<uint8_t[]>(kMaxControlPayload);
  } else if (FOpCode == wsoContinuation) {
    if (FMessageOpCode == 0) return wprProtocolError;
  } else if (IsData(FOpCode)) {
    if (FMessageOpCode != 0) return wprProtocolError;  // a new message inside a fragmented one
    FMessageOpCode = FOpCode;
  }
  // Reserved opcodes 3 to 7 carry nothing we keep; their payload is skipped.
  if (!IsControl(FOpCode) && (FOpCode == wsoContinuation || IsData(FOpCode))) {
    // Refused on the announced length alone, before a byte of the payload is kept.
    if (payload > FMaxMessageSize || FMessage.size() > FMaxMessageSize - payload) {
      FRefusedSize =
          payload > UINT64_MAX - FMessage.size() ? UINT64_MAX : FMessage.size() + payload;
      return wprTooBig;
    }
  }
  FState = wsBody;
  return wprOk;
}

TWsParseResult TWsFrameParser::FrameComplete(IWsFrameSink& sink) {
  uint8_t opCode = FOpCode;
  bool fin = FFin;
  ResetFrame();
  switch (opCode) {
    case wsoClose:
      FState = wsDone;
      sink.OnWsClose();
      return wprClosed;
    case wsoPing:
      if (!sink.OnWsPing(FControl.get(), FControlLen)) return wprStopped;
      return wprOk;
    case wsoPong:
      return wprOk;
    case wsoContinuation:
    case wsoText:
    case wsoBinary: {
      if (!fin) return wprOk;  // more fragments follow
      TWsRequestType type = FMessageOpCode == wsoText ? wsrtText : wsrtBinary;
      FMessageOpCode = 0;
      bool goOn = sink.OnWsMessage(type, FMessage);
      FMessage.clear();
      if (FMessage.capacity() > kKeepCapacity) FMessage.shrink_to_fit();
      return goOn ? wprOk : wprStopped;
    }
    default:
      return wprOk;  // reserved opcode: dropped
  }
}

TWsParseResult TWsFrameParser::Feed(const uint8_t* data, size_t size, IWsFrameSink& sink) {
  size_t pos = 0;
  while (pos < size || (FState == wsBody && FBodySize == 0)) {
    if (FState == wsDone) return wprClosed;
    if (FState == wsHeader) {
      if (FHeaderLen == 0 && size - pos >= sizeof(FHeader)) {
        // A whole header is at hand (the common case): take it in one step.
        FHeader[0] = data[pos];
        FHeader[1] = data[pos + 1];
        DecodeFirstTwo();
        std::memcpy(FHeader, data + pos, FHeaderSize);
        FHeaderLen = FHeaderSize;
        pos += FHeaderSize;
      } else {
        FHeader[FHeaderLen++] = data[pos++];
        if (FHeaderLen == 2) DecodeFirstTwo();
      }
      if (FHeaderLen >= 2 && FHeaderLen == FHeaderSize) {
        TWsParseResult r = HeaderComplete();
        if (r != wprOk) return r;
      }
      continue;
    }
    // wsBody
    size_t take = static_cast<size_t>(std::min<uint64_t>(FBodySize, size - pos));
    if (take > 0) {
      uint8_t* at = nullptr;
      if (IsControl(FOpCode)) {
        // HeaderComplete bounded the whole control payload by kMaxControlPayload.
        at = FControl.get() + FControlLen;
        std::memcpy(at, data + pos, take);
        FControlLen = static_cast<uint8_t>(FControlLen + take);
      } else if (FOpCode == wsoContinuation || IsData(FOpCode)) {
        size_t old = FMessage.size();
        // Grown with what arrived, never by the announced length, and geometrically: a
        // message sent in thousands of tiny fragments is not copied once per fragment.
        if (old + take > FMessage.capacity()) {
          FMessage.reserve(std::max(old + take, std::min(FMessage.capacity() * 2,
                                                         std::max(FMaxMessageSize, old + take))));
        }
        FMessage.insert(FMessage.end(), data + pos, data + pos + take);
        at = FMessage.data() + old;
      }
      if (at != nullptr && FMask) FMaskKeyShift = Unmask(at, take, FMaskKey, FMaskKeyShift);
      pos += take;
      FBodySize -= take;
    }
    if (FBodySize == 0) {
      TWsParseResult r = FrameComplete(sink);
      if (r != wprOk) return r;
    }
  }
  if (FState == wsDone) return wprClosed;
  // Between frames with no message in progress, an idle connection keeps no payload
  // buffer: most connections sit idle most of the time, and a busy one pays one
  // allocation per read, not per message.
  if (FState == wsHeader && FHeaderLen == 0) {
    if (FMessage.empty()) std::vector<uint8_t>().swap(FMessage);
    FControl.reset();
  }
  return wprOk;
}

}  // namespace gw
