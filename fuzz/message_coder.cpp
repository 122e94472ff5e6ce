// The message coder's decoding of client and server records: any text decodes to a record
// without reading outside it, and encoding a record then decoding it gives the record back.
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "codec/MessageCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const gw::TMessageCoder& coder = gw::MessageCoder();
  std::string text(reinterpret_cast<const char*>(data), size);
  (void)coder.DecodeMessage(text);
  (void)coder.DecodeMessage2(text);

  if (size >= sizeof(gw::TDefaultMessage)) {
    gw::TDefaultMessage record;
    std::memcpy(&record, data, sizeof(record));
    std::string encoded = coder.EncodeMessage(record);
    FUZZ_CHECK(encoded.size() == gw::kEncodedMessageLength);
    gw::TDefaultMessage back = coder.DecodeMessage(encoded);
    FUZZ_CHECK(std::memcmp(&back, &record, sizeof(record)) == 0);
  }
  if (size >= sizeof(gw::TDefaultMessage2)) {
    gw::TDefaultMessage2 record;
    std::memcpy(&record, data, sizeof(record));
    std::string encoded = coder.EncodeMessage2(record);
    FUZZ_CHECK(encoded.size() == gw::kEncodedMessage2Length);
    gw::TDefaultMessage2 back = coder.DecodeMessage2(encoded);
    FUZZ_CHECK(std::memcmp(&back, &record, sizeof(record)) == 0);
  }
  return 0;
}
