#include "gate/GateWayDefine.h"

#include <cstring>

namespace gw {

std::string ValidateWorkerCount(int32_t count) {
  if (count < 1) {
    return "WokerCount " + std::to_string(count) + " is invalid: at least 1 worker is needed";
  }
  if (count > kMaxWorkerCount) {
    return "WokerCount " + std::to_string(count) + " is invalid: at most " +
           std::to_string(kMaxWorkerCount) +
           " workers can be addressed by the one-byte worker ID of a session handle";
  }
  return {};
}

TSessionMessage::TSessionMessage(uint32_t sessionHandle, int32_t ident, int32_t param,
                                 uint32_t size)
    : SessionHandle(sessionHandle),
      Ident(ident),
      Param(param),
      // Not zeroed: every byte is written by the maker before anyone reads it.
      FBytes(size > 0 ? new uint8_t[size] : nullptr),
      FWriteIndex(size) {}

TSessionMessagePtr MakeSessionMessage(uint32_t sessionHandle, int32_t ident, int32_t param,
                                      uint32_t size) {
  return std::make_unique<TSessionMessage>(sessionHandle, ident, param, size);
}

TSessionMessagePtr MakeSessionMessageCopy(uint32_t sessionHandle, int32_t ident, int32_t param,
                                          const void* data, uint32_t size) {
  if (data == nullptr) size = 0;
  TSessionMessagePtr msg = MakeSessionMessage(sessionHandle, ident, param, size);
  if (size > 0) std::memcpy(msg->MutableData(), data, size);
  return msg;
}

bool AppendBatchEntry(uint8_t* buffer, uint32_t capacity, uint32_t& written, const uint8_t* data,
                      uint32_t dataLen) {
  if (uint64_t{written} + BatchBytesNeeded(written, dataLen) > capacity) return false;
  if (written == 0) buffer[written++] = mtBatch;
  std::memcpy(buffer + written, &dataLen, kBatchLengthSize);
  written += kBatchLengthSize;
  if (dataLen > 0) std::memcpy(buffer + written, data, dataLen);
  written += dataLen;
  return true;
}

bool SplitBatch(std::span<const uint8_t> batch, std::vector<std::span<const uint8_t>>& entries) {
  entries.clear();
  if (batch.empty() || batch[0] != mtBatch) return false;
  size_t pos = kBatchTypeSize;
  while (pos < batch.size()) {
    if (batch.size() - pos < kBatchLengthSize) return false;
    uint32_t len;
    std::memcpy(&len, batch.data() + pos, kBatchLengthSize);
    pos += kBatchLengthSize;
    if (batch.size() - pos < len) return false;
    entries.push_back(batch.subspan(pos, len));
    pos += len;
  }
  return !entries.empty();
}

std::vector<uint8_t> BuildTokenChallenge(std::string_view challengeText) {
  std::vector<uint8_t> out(kTokenChallengeHeaderSize + challengeText.size(), 0);
  out[0] = mtDefault;
  TDefaultMessage header;
  header.Ident = GM_GATE_TOKEN;
  WriteDefaultMessage(header, out.data() + 1);
  std::memcpy(out.data() + kTokenChallengeHeaderSize, challengeText.data(), challengeText.size());
  return out;
}

TSessionMessagePtr MakeTokenChallengeMessage(std::string_view challengeText) {
  std::vector<uint8_t> bytes = BuildTokenChallenge(challengeText);
  return MakeSessionMessageCopy(0, 0, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

}  // namespace gw
