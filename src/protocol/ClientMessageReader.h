// What a game client's message means, read by pure functions: bytes in, a value or a named
// reason out (no session, no socket, no log). The core calls them where it acts on a client
// message; the links only carry what the core decided to send.
//
// A client message is one WebSocket message. Before the token check it is the token answer
// (two bytes, the answer, one byte); in the login step it goes to the login server as it came;
// in the game step its first byte is the message type (TClientMsgType) and the rest its body.
//
// Thread safety: pure functions over the caller's bytes; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gate/GateWayDefine.h"
#include "protocol/ReadResult.h"

namespace gw {

// Default-message idents of the configuration tables the gateway answers itself.
inline constexpr uint16_t GM_CLIENT_QUERYDBCONFIG = 4091;  // client asks for tables
inline constexpr uint16_t GM_GATE_DBCONFIG = 4208;         // gateway sends one table

// Every client message is at least this long (the token answer's wrapping and one byte of
// answer, or a type byte and a body): anything shorter is refused before its meaning is read.
inline constexpr size_t kMinClientMessageSize = 3;

// Why a client message is refused. One counter and one line per reason.
enum class TClientReason : uint8_t {
  crTooShort,     // fewer than kMinClientMessageSize bytes (an empty game message)
  crEmptyAnswer,  // a token answer with nothing between its wrapping
  crHoldsDollar,  // a login-step message holding "$", which would end its login frame early
  crMoveSize,     // a movement message (mtMove) other than kMoveMessageSize bytes
  crAttackSize,   // an attack message (mtAttack) other than kAttackMessageSize bytes
  crUnknownType,  // a game message type the logic server does not take
  crNoQueryText,  // a configuration query without its version text
  Count
};

// The reason's name, as counters and lines show it ("too_short", "holds_dollar", ...).
std::string_view ClientReasonName(TClientReason Reason);

template <typename TValue>
using TClientRead = TReadResult<TValue, TClientReason>;

// The size rule every client message meets first: the message itself, or crTooShort.
TClientRead<std::span<const uint8_t>> ReadClientMessage(std::span<const uint8_t> Message);

// The answer to the token challenge: the text between the first two bytes and the last one
// (a view into Message). crTooShort, crEmptyAnswer.
TClientRead<std::string_view> ReadTokenAnswer(std::span<const uint8_t> Message);

// A message of the login step, to be carried to the login server unchanged (the same bytes).
// crTooShort, crHoldsDollar.
TClientRead<std::span<const uint8_t>> ReadLoginMessage(std::span<const uint8_t> Message);

// One table a configuration query asks for, with the version the client holds of it.
struct TDBConfigAsk {
  int32_t ConfigType = 0;
  std::string Version;  // in the system's single-byte code page, as the tables' versions are
  bool operator==(const TDBConfigAsk&) const = default;
};

enum class TGameMessageKind : uint8_t {
  gmRelay,          // relay Body to the logic server under Type
  gmSoftClose,      // the player leaves the game and stays connected (GM_CLIENT_SOFTCLOSE)
  gmQueryDBConfig,  // answer Asks from the configuration cache; never relayed
};

struct TGameMessage {
  TGameMessageKind Kind = TGameMessageKind::gmRelay;
  uint8_t Type = 0;               // the type byte
  std::span<const uint8_t> Body;  // gmRelay: the bytes behind the type byte (a view)
  // gmQueryDBConfig: the tables asked for, in the order they are answered; empty when a list
  // query names too few versions to be answered.
  std::vector<TDBConfigAsk> Asks;
};

// A message of the game step (the size rule is the caller's: ReadClientMessage). Refusals:
// crTooShort (empty), crMoveSize, crAttackSize, crUnknownType, crNoQueryText.
TClientRead<TGameMessage> ReadGameMessage(std::span<const uint8_t> Message);

// The first 16-bit word of a message's body (the ident the size warnings name); the bytes the
// body lacks read as 0.
uint16_t ClientBodyIdent(std::span<const uint8_t> Message);

// Splits a client's version list: items end at "/" and at blanks outside double quotes, a
// quoted item loses its quotes and "" inside stands for one quote.
std::vector<std::string> SplitDBConfigVersions(const std::string& Text);

}  // namespace gw
