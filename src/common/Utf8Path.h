// File names are UTF-8 text throughout the gateway. A std::filesystem::path made from a plain
// char string reads it in the system's narrow encoding, which on Windows is the ANSI code page
// (a folder named in Chinese on an English system is then lost); these two convert through
// char8_t instead, the same on every platform.
//
// Thread safety: pure functions.
#pragma once

#include <filesystem>
#include <string>

namespace gw {

inline std::filesystem::path PathFromUtf8(const std::string& Text) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(Text.data()), Text.size()));
}

inline std::string Utf8FromPath(const std::filesystem::path& Path) {
  const std::u8string text = Path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace gw
