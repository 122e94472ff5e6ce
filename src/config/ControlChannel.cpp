#include "config/ControlChannel.h"

namespace gw {

std::string ControlSocketName(uint32_t AHandle) {
  return "gateway-control-" + std::to_string(AHandle);
}

std::string UpgradeSocketName(const std::string& AWorkFolder) {
  // FNV-1a (64 bits): stable across builds and processes, and a socket path stays short.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : AWorkFolder) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "gateway-upgrade-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 0xF];
  return name;
}

std::string EncodeControlMessage(uint32_t AWParam, std::string_view AText) {
  std::string out;
  out.reserve(4 + AText.size() + 1);
  for (int i = 0; i < 4; ++i) out += static_cast<char>(AWParam >> (8 * i) & 0xFF);
  out += AText;
  out += '\0';
  return out;
}

std::optional<TControlMessage> DecodeControlMessage(std::string_view ADatagram) {
  if (ADatagram.size() < 4) return std::nullopt;
  TControlMessage message;
  for (int i = 0; i < 4; ++i) {
    message.WParam |= static_cast<uint32_t>(static_cast<uint8_t>(ADatagram[i])) << (8 * i);
  }
  std::string_view text = ADatagram.substr(4);
  message.Text = text.substr(0, text.find('\0'));
  return message;
}

}  // namespace gw
