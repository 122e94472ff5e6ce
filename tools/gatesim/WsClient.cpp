#include "WsClient.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "codec/BlowfishCipher.h"
#include "net/WsFrame.h"

namespace gw {

namespace {

std::string Lower(std::string_view S) {
  std::string out(S);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t' || S.back() == '\r'))
    S.remove_suffix(1);
  return S;
}

}  // namespace

std::string TWsClient::UpgradeRequest(const std::string& Host, uint16_t Port,
                                      const std::string& Path) {
  uint8_t nonce[16];
  if (RAND_bytes(nonce, sizeof(nonce)) != 1) {
    for (size_t i = 0; i < sizeof(nonce); ++i) nonce[i] = static_cast<uint8_t>(std::rand());
  }
  std::string key = Base64Encode(std::span<const uint8_t>(nonce, sizeof(nonce)));
  FExpectedAccept = WsAcceptKey(key);
  return "GET " + Path + " HTTP/1.1\r\nHost: " + Host + ":" + std::to_string(Port) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
         "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

TWsClient::TStatus TWsClient::FeedHandshake(std::string& In) {
  size_t end = In.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (In.size() > kMaxHandshake) {
      FError = "upgrade answer too long";
      return TStatus::wsError;
    }
    return TStatus::wsNeedMore;
  }
  std::string_view head(In.data(), end);
  size_t lineEnd = head.find("\r\n");
  std::string_view status = head.substr(0, lineEnd);
  if (!status.starts_with("HTTP/1.1 101")) {
    FError = "upgrade refused: " + std::string(status);
    return TStatus::wsError;
  }
  bool acceptOk = false;
  bool upgradeOk = false;
  while (lineEnd != std::string_view::npos) {
    head.remove_prefix(lineEnd + 2);
    lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name = Lower(Trim(line.substr(0, colon)));
    std::string_view value = Trim(line.substr(colon + 1));
    if (name == "sec-websocket-accept") acceptOk = value == FExpectedAccept;
    if (name == "upgrade") upgradeOk = Lower(value) == "websocket";
  }
  if (!acceptOk || !upgradeOk) {
    FError = acceptOk ? "upgrade answer without Upgrade: websocket" : "wrong Sec-WebSocket-Accept";
    return TStatus::wsError;
  }
  In.erase(0, end + 4);
  return TStatus::wsOk;
}

void TWsClient::AppendFrame(std::string& Out, TWsOpCode OpCode, std::string_view Payload,
                            uint32_t MaskKey) {
  // The server's header with the mask bit set, then the masking key.
  uint8_t header[kWsMaxServerHeader];
  size_t headerSize = MakeFrameHeader(header, OpCode, true, Payload.size());
  header[1] |= 0x80;
  Out.append(reinterpret_cast<const char*>(header), headerSize);
  const size_t n = Payload.size();
  uint8_t key[4] = {static_cast<uint8_t>(MaskKey >> 24), static_cast<uint8_t>(MaskKey >> 16),
                    static_cast<uint8_t>(MaskKey >> 8), static_cast<uint8_t>(MaskKey)};
  Out.append(reinterpret_cast<const char*>(key), 4);
  size_t base = Out.size();
  Out.append(Payload);
  for (size_t i = 0; i < n; ++i) Out[base + i] = static_cast<char>(Out[base + i] ^ key[i & 3]);
}

TWsClient::TStatus TWsClient::FeedFrames(std::string& In, std::vector<TWsEvent>& Events) {
  size_t pos = 0;
  TStatus result = TStatus::wsNeedMore;
  while (In.size() - pos >= 2) {
    const auto* p = reinterpret_cast<const uint8_t*>(In.data() + pos);
    size_t avail = In.size() - pos;
    bool fin = (p[0] & 0x80) != 0;
    uint8_t op = p[0] & 0x0F;
    bool masked = (p[1] & 0x80) != 0;
    uint64_t len = p[1] & 0x7F;
    size_t header = 2;
    if (len == 126) {
      header = 4;
      if (avail < header) break;
      len = (uint64_t{p[2]} << 8) | p[3];
    } else if (len == 127) {
      header = 10;
      if (avail < header) break;
      len = 0;
      for (int i = 0; i < 8; ++i) len = (len << 8) | p[2 + i];
    }
    if (masked) header += 4;
    if (len > kMaxMessage) {
      FError = "frame of " + std::to_string(len) + " bytes";
      return TStatus::wsError;
    }
    if (avail < header || avail - header < len) break;
    std::string payload(In.data() + pos + header, static_cast<size_t>(len));
    if (masked) {
      const uint8_t* key = p + header - 4;
      for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(payload[i] ^ key[i & 3]);
      }
    }
    pos += header + static_cast<size_t>(len);
    result = TStatus::wsOk;
    if (op >= 8) {
      // Control frames may come between the fragments of a message.
      if (!fin) {
        FError = "fragmented control frame";
        return TStatus::wsError;
      }
      Events.push_back({static_cast<TWsOpCode>(op), std::move(payload)});
      continue;
    }
    if (op == wsoContinuation) {
      if (FMessageOpCode == 0) {
        FError = "continuation without a message";
        return TStatus::wsError;
      }
    } else if (op == wsoText || op == wsoBinary) {
      if (FMessageOpCode != 0) {
        FError = "new message inside a fragmented one";
        return TStatus::wsError;
      }
      FMessageOpCode = op;
    } else {
      FError = "reserved opcode " + std::to_string(op);
      return TStatus::wsError;
    }
    if (FMessage.size() + payload.size() > kMaxMessage) {
      FError = "message too long";
      return TStatus::wsError;
    }
    FMessage += payload;
    if (fin) {
      Events.push_back({static_cast<TWsOpCode>(FMessageOpCode), std::move(FMessage)});
      FMessage.clear();
      FMessageOpCode = 0;
    }
  }
  In.erase(0, pos);
  return result;
}

}  // namespace gw
