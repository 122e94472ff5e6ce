// What every fuzz target shares: a failed invariant aborts (so libFuzzer records the input as
// a crash), and a small reader that splits one fuzz input into the pieces a target needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace gw::fuzz {

class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

  size_t Left() const { return FSize - FPos; }
  uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
  // The next `n` bytes (fewer at the end).
  std::string_view Take(size_t n) {
    n = n < Left() ? n : Left();
    std::string_view out(reinterpret_cast<const char*>(FData + FPos), n);
    FPos += n;
    return out;
  }
  std::string_view Rest() { return Take(Left()); }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

}  // namespace gw::fuzz
