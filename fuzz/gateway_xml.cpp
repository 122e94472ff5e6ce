// The GateWay.xml reader: any document (damaged, truncated, in any encoding) loads without
// reading outside it, and what it loaded survives a save and a second load unchanged.
#include <string>

#include "FuzzCheck.h"
#include "config/GateWayConfigure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string document(reinterpret_cast<const char*>(data), size);
  gw::TGateWayConfigure config;
  config.LoadFromText(document);
  std::string saved = config.SaveToText();
  gw::TGateWayConfigure again;
  again.LoadFromText(saved);
  FUZZ_CHECK(again.SaveToText() == saved);
  return 0;
}
