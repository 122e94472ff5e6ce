// The token answer check: a client's answer text of any content is opened or refused without
// reading outside it, and the comparison treats the received text as data only.
#include <string>

#include "FuzzCheck.h"
#include "codec/DeploymentKeys.h"
#include "codec/TokenHandshake.h"
#include "common/PeerLimits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const gw::TDeploymentKeys keys = gw::DecipherDeploymentKeys(gw::DevelopmentKeyTexts());
  static const std::string expected =
      gw::ExpectedTokenAnswer("{00000000-0000-0000-0000-000000000000}");
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> answer = gw::DecodeTokenAnswer(text, keys);
  if (size > gw::limits::kMaxTokenText) FUZZ_CHECK(!answer.has_value());
  if (answer) {
    bool match = gw::TokenAnswerMatches(*answer, expected);
    FUZZ_CHECK(!match || answer->size() == expected.size());
  }
  FUZZ_CHECK(gw::TokenAnswerMatches(text, text));
  return 0;
}
