// What the simulated servers and the bots agree on beyond the gateway's own wire formats: the
// login dialogue, the idents of the simulated game and the layout of the bots' echo probes.
// Plain constants and pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gw {

// Login dialogue. The login server greets a session with a message whose first word is
// kSimGreetIdent; a client message starting with kSimLoginPrefix logs in and is answered with
// the hand-over (first word kSimHandOverIdent, which the gateway acts on); one starting with
// kSimLoginKickPrefix makes the login server close the session with a control frame; anything
// else is answered with kSimLoginReplyIdent followed by the message.
inline constexpr uint16_t kSimGreetIdent = 1;
inline constexpr uint16_t kSimLoginReplyIdent = 2;
inline constexpr uint16_t kSimHandOverIdent = 530;
inline constexpr char kSimLoginPrefix[] = "LOGIN ";
inline constexpr char kSimLoginKickPrefix[] = "KICKME";

// Game. Default-message idents a client sends to the logic server simulator: kSimKickIdent asks
// to be kicked (Recog 0: no reason; otherwise with a reason text); kSimEchoIdent marks a bot's
// echo probe. The logic server's own speed-time message carries kSimSpeedTimeIdent.
inline constexpr uint16_t kSimKickIdent = 9001;
inline constexpr uint16_t kSimEchoIdent = 3000;
inline constexpr uint16_t kSimSpeedTimeIdent = 9010;

// Speed times the logic server hands every session (run, walk, hit, spell in milliseconds).
inline constexpr int32_t kSimRunTime = 600;
inline constexpr int32_t kSimWalkTime = 500;
inline constexpr int32_t kSimHitTime = 900;
inline constexpr int32_t kSimSpellTime = 1200;

// Echo probes. Every probe carries a sequence number and its send time in microseconds of the
// monotonic clock, so that its echo can be matched and timed:
//  - move (type 2, 10 bytes): 'M', seq (4), time (low 32 bits, 4);
//  - attack (type 4, 19 bytes): 'A', seq (4), time (8), 5 pattern bytes;
//  - default (type 0, 65 bytes): a default message with Ident kSimEchoIdent and Recog = seq,
//    then time (8) and 24 pattern bytes. The gateway writes the ident into dwCRC on the way back.
enum class TProbeKind : uint8_t { pkMove = 0, pkAttack = 1, pkDefault = 2 };
inline constexpr size_t kProbeKinds = 3;

std::string BuildProbe(TProbeKind Kind, uint32_t Seq, uint64_t SentMicros);

struct TProbeEcho {
  TProbeKind Kind;
  uint32_t Seq;
  // The send time as far as the probe carries it (32 bits for a move).
  uint64_t SentMicros;
};

// Reads an echoed probe (as it comes back to the client). Nothing when the message is not a
// probe or is damaged (wrong size, pattern or, for default messages, dwCRC).
std::optional<TProbeEcho> ParseProbeEcho(std::string_view Message);

// Microseconds between a probe's send time and Now, with the 32-bit wrap of move probes undone.
uint64_t ProbeRoundTrip(const TProbeEcho& Echo, uint64_t NowMicros);

// Microseconds of the monotonic clock.
uint64_t MonotonicMicros();

// Reads and writes little-endian values in byte strings.
uint16_t ReadLe16(const void* P);
uint32_t ReadLe32(const void* P);
uint64_t ReadLe64(const void* P);
void AppendLe16(std::string& Out, uint16_t V);
void AppendLe32(std::string& Out, uint32_t V);
void AppendLe64(std::string& Out, uint64_t V);

}  // namespace gw
