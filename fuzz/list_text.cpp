// The block list and word list readers: file bytes in any encoding (ANSI, UTF-8 and UTF-16
// either way round, with or without a byte-order mark, cut anywhere) become lines without
// reading outside them; no line holds a line break, and trimming keeps within the line.
#include <string>

#include "FuzzCheck.h"
#include "config/TextFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  gw::TTextLines text = gw::DecodeTextLines(bytes);
  for (const std::string& line : text.Lines) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    std::string trimmed = gw::TrimText(line);
    FUZZ_CHECK(trimmed.size() <= line.size());
    FUZZ_CHECK(line.find(trimmed) != std::string::npos);
  }
  return 0;
}
