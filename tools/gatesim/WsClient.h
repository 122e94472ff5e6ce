// The client side of RFC 6455 as bytes in, bytes and events out, without a socket: the upgrade
// request, the check of the server's 101 answer (status and Sec-WebSocket-Accept), masked frames
// to send, and the server's frames joined into whole messages (continuations joined, ping, pong
// and close reported as their own events). One object per connection; not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/WsFrame.h"

namespace gw {

struct TWsEvent {
  TWsOpCode OpCode;
  std::string Payload;
};

class TWsClient {
 public:
  // Largest message accepted from the server; a larger one is a protocol error.
  static constexpr size_t kMaxMessage = 16u << 20;
  // Largest 101 answer accepted.
  static constexpr size_t kMaxHandshake = 16384;

  enum class TStatus { wsNeedMore, wsOk, wsError };

  // The upgrade request for ws://Host:Port/Path with a fresh random key.
  std::string UpgradeRequest(const std::string& Host, uint16_t Port, const std::string& Path = "/");

  // Reads the server's answer from the front of In; on wsOk the answer is removed from In
  // (frame bytes that followed it stay). On wsError, Error() says why.
  TStatus FeedHandshake(std::string& In);

  // Reads frames from the front of In (consumed bytes are removed) and appends every complete
  // message or control frame to Events. wsError on a protocol fault (Error() says which).
  TStatus FeedFrames(std::string& In, std::vector<TWsEvent>& Events);

  // One frame with FIN set, masked with MaskKey, appended to Out.
  static void AppendFrame(std::string& Out, TWsOpCode OpCode, std::string_view Payload,
                          uint32_t MaskKey);

  const std::string& Error() const { return FError; }

 private:
  std::string FExpectedAccept;
  std::string FError;
  std::string FMessage;        // payload of the message being joined
  uint8_t FMessageOpCode = 0;  // its opcode (0: none in progress)
};

}  // namespace gw
