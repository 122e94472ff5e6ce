// Both sides of the token handshake that proves a game client:
//  - gateway: ChallengeText(token) is what goes behind the GM_GATE_TOKEN header; the client's
//    answer text is opened with DecodeTokenAnswer and compared with ExpectedTokenAnswer(token)
//    by TokenAnswerMatches;
//  - client (gatekit token-answer, simulated clients): TokenAnswerText(challenge text).
//
// Challenge text = six-bit text of the base64 of BlowfishEncryptString(token, challenge key);
// answer text = six-bit text of the base64 of BlowfishEncryptString(MD5hex(MD5hex(token)),
// answer key), MD5hex being 32 upper-case hexadecimal digits. A client sends its answer text
// with two bytes in front and one byte behind, which the gateway ignores.
//
// Pure functions, safe to call from any thread at once. None of them throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "codec/DeploymentKeys.h"
#include "common/PeerLimits.h"

namespace gw {

// Longest answer or challenge text that is opened at all; longer peer input is refused unread.
inline constexpr size_t kMaxTokenText = limits::kMaxTokenText;

// The challenge text for a session token (the 38-character GUID text); empty only when the keys
// are empty or the random generator failed.
std::string ChallengeText(std::string_view Token, const TDeploymentKeys& Keys);

// The plain answer carried by a client's answer text, or nothing when the text is empty, longer
// than kMaxTokenText, or cannot be decrypted. A wrong key just gives another text.
std::optional<std::string> DecodeTokenAnswer(std::string_view AnswerText,
                                             const TDeploymentKeys& Keys);

// MD5 of the token's bytes as 32 upper-case hexadecimal digits, then the MD5 of those digits,
// written the same way.
std::string ExpectedTokenAnswer(std::string_view Token);

// Equality ignoring the case of ASCII letters.
bool TokenAnswerMatches(std::string_view Received, std::string_view Expected);

// Client side: the answer text for a challenge text, or nothing when the challenge cannot be
// opened (empty, too long, or not decrypting to any text).
std::optional<std::string> TokenAnswerText(std::string_view ChallengeText,
                                           const TDeploymentKeys& Keys);

}  // namespace gw
