// The control channel's datagrams (from the local controller): any datagram decodes or is
// refused without reading outside it, and an encoded message decodes to itself.
#include <string>

#include "FuzzCheck.h"
#include "config/ControlChannel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string datagram(reinterpret_cast<const char*>(data), size);
  std::optional<gw::TControlMessage> message = gw::DecodeControlMessage(datagram);
  FUZZ_CHECK(message.has_value() == (size >= 4));
  if (!message) return 0;
  FUZZ_CHECK(message->Text.size() <= size - 4);
  FUZZ_CHECK(message->Text.find('\0') == std::string::npos);
  std::optional<gw::TControlMessage> back =
      gw::DecodeControlMessage(gw::EncodeControlMessage(message->WParam, message->Text));
  FUZZ_CHECK(back && back->WParam == message->WParam && back->Text == message->Text);
  return 0;
}
