// What a logic packet means, read without a link or a worker: the header's checks and the
// route of every ident by named reasons, the payload fields the worker reads (kick reason,
// sync data, speed time, client data), and a server stream split at every byte read into the
// same meanings.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "gate/GateWayDefine.h"
#include "protocol/LogicPacketFramer.h"
#include "protocol/LogicPayloadReader.h"
#include "support/LogicPacketBytes.h"
#include "support/SplitFeed.h"

namespace gw {
namespace {

using test::LogicPacket;
using test_support::ForEachSplit;
using test_support::TSplit;

std::span<const uint8_t> View(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string ShortText(uint8_t length, const std::string& text, size_t field) {
  std::string out(1, static_cast<char>(length));
  out += text;
  out.resize(field + 1, '\0');
  return out;
}

// One line per packet: what the link and the worker would do with it.
std::string Describe(std::span<const uint8_t> bytes) {
  const TLogicRead<TLogicPacket> packet = ReadLogicPacket(bytes);
  if (!packet) return std::string(LogicReasonName(packet.Reason()));
  const TLogicRead<TLogicRoute> route = LogicPacketRoute(packet->Header.nIdent);
  if (!route) return std::string(LogicReasonName(route.Reason()));
  const std::span<const uint8_t> payload = packet->Payload;
  std::string out = std::to_string(packet->Header.nIdent) + " " + std::to_string(payload.size());
  switch (packet->Header.nIdent) {
    case GM_LOGIC_GATE_DATA: {
      const TLogicClientData data = ReadLogicClientData(*packet);
      out += " type " + std::to_string(data.Type);
      if (data.Crc) out += " crc " + std::to_string(*data.Crc);
      if (data.Stamp) out += " stamp";
      break;
    }
    case GM_LOGIC_GATE_SPEEDTIME: {
      const TLogicRead<TDefaultMessage> times = ReadSpeedTime(payload);
      out += times ? " recog " + std::to_string(times->Recog)
                   : " " + std::string(LogicReasonName(times.Reason()));
      break;
    }
    case GM_LOGIC_GATE_KICK:
      if (const auto reason = ReadKickReason(payload)) {
        out += " reason '" + std::string(reason->Text) + "'" + (reason->Clamped ? " clamped" : "");
      }
      break;
    case GM_LOGIC_GATE_SYNCDATA: {
      const TLogicRead<TLogicSyncData> sync = ReadSyncData(payload);
      if (!sync) {
        out += " " + std::string(LogicReasonName(sync.Reason()));
      } else {
        out += " '" + std::string(sync->Account.Text) + "' '" + std::string(sync->PlayerName.Text) +
               "'" + (sync->Account.Clamped || sync->PlayerName.Clamped ? " clamped" : "");
      }
      break;
    }
    default:
      break;
  }
  return out;
}

struct TPacketCase {
  std::string Packet;
  std::string Reading;
};

std::vector<TPacketCase> PacketCases() {
  TDefaultMessage speed;
  speed.Recog = 250;
  std::string speedBytes(kDefaultMessageSize, '\0');
  WriteDefaultMessage(speed, reinterpret_cast<uint8_t*>(speedBytes.data()));
  TDefaultMessage shown;
  shown.Ident = 4660;
  std::string shownBytes(kDefaultMessageSize, '\0');
  WriteDefaultMessage(shown, reinterpret_cast<uint8_t*>(shownBytes.data()));
  const std::string sync = ShortText(4, "acct", 12) + ShortText(6, "player", 64);
  return {
      {LogicPacket(GM_LOGIC_GATE_DATA, 1, shownBytes, mtDefault), "5 32 type 0 crc 4660"},
      {LogicPacket(GM_LOGIC_GATE_DATA, 1, shownBytes.substr(0, 31), mtDefault), "5 31 type 0"},
      {LogicPacket(GM_LOGIC_GATE_DATA, 1, std::string(19, 's'), mtStamp), "5 19 type 3 stamp"},
      {LogicPacket(GM_LOGIC_GATE_DATA, 1, std::string(18, 's'), mtStamp), "5 18 type 3"},
      {LogicPacket(GM_LOGIC_GATE_DATA, 1, "hi", mtPass), "5 2 type 5"},
      {LogicPacket(GM_LOGIC_GATE_USERINDEX, 1, "", 0, 77), "6 0"},
      {LogicPacket(GM_LOGIC_GATE_SPEEDTIME, 1, speedBytes + "x"), "8 33 recog 250"},
      {LogicPacket(GM_LOGIC_GATE_SPEEDTIME, 1, speedBytes.substr(0, 31)), "8 31 payload_too_short"},
      {LogicPacket(GM_LOGIC_GATE_KICK, 1, ShortText(3, "bye", 128)), "21 129 reason 'bye'"},
      {LogicPacket(GM_LOGIC_GATE_KICK, 1, ShortText(200, "long", 128)),
       "21 129 reason '" + std::string("long") + std::string(124, '\0') + "' clamped"},
      {LogicPacket(GM_LOGIC_GATE_KICK, 1), "21 0"},
      {LogicPacket(GM_LOGIC_GATE_SYNCDATA, 1, sync), "27 78 'acct' 'player'"},
      {LogicPacket(GM_LOGIC_GATE_SYNCDATA, 1, sync.substr(0, 77)), "27 77 wrong_length"},
      {LogicPacket(GM_LOGIC_GATE_SYNCDATA, 1, ShortText(13, "a", 12) + ShortText(1, "p", 64)),
       "27 78 'a" + std::string(11, '\0') + "' 'p' clamped"},
      {LogicPacket(GM_LOGIC_GATE_CHECKSERVER, 0, "x"), "3 1"},
      {LogicPacket(7, 0), "7 0"},
      {LogicPacket(22, 6, "table"), "22 5"},
      {LogicPacket(23, 0, "z"), "23 1"},
      {LogicPacket(24, 0), "24 0"},
      {LogicPacket(9, 0, "q"), "unknown_ident"},
      {LogicPacket(0, 0), "unknown_ident"},
  };
}

TEST(LogicPayloadReader, EveryPacketHasOneMeaningOrANamedReason) {
  for (const TPacketCase& c : PacketCases()) {
    EXPECT_EQ(Describe(View(c.Packet)), c.Reading) << c.Reading;
  }
}

TEST(LogicPayloadReader, HeaderChecksNameTheirReasons) {
  std::string bad = LogicPacket(GM_LOGIC_GATE_DATA, 1, "abcd");
  bad[0] = 0;
  const std::string good = LogicPacket(GM_LOGIC_GATE_DATA, 1, "abcd");
  struct {
    std::string Bytes;
    std::string Reading;
  } cases[] = {
      {"", "too_short"},
      {good.substr(0, 20), "too_short"},
      {bad, "bad_signature"},
      {good.substr(0, good.size() - 1), "bad_length"},
      {LogicPacket(GM_LOGIC_GATE_DATA, 1, "", 0, 0, -1), "bad_length"},
      {good + "trailing", "5 4 type 0"},  // the payload is what the header announces
  };
  for (const auto& c : cases) EXPECT_EQ(Describe(View(c.Bytes)), c.Reading) << c.Reading;
  EXPECT_FALSE(ReadLogicPacket({}).Ok());
}

// Every prefix of a packet is read within its bytes (the sanitizer builds watch): a prefix
// shorter than the announced length is refused, never read past.
TEST(LogicPayloadReader, EveryPrefixIsReadWithinItsBytes) {
  for (const TPacketCase& c : PacketCases()) {
    for (size_t n = 0; n < c.Packet.size(); ++n) {
      const TLogicRead<TLogicPacket> read = ReadLogicPacket(View(c.Packet.substr(0, n)));
      ASSERT_FALSE(read.Ok()) << c.Reading << " cut at " << n;
      EXPECT_EQ(read.Reason(), n < 21 ? TLogicReason::lrTooShort : TLogicReason::lrBadLength);
    }
  }
}

TEST(LogicPayloadReader, ReasonsHaveDistinctNames) {
  std::set<std::string_view> names;
  for (size_t i = 0; i < static_cast<size_t>(TLogicReason::Count); ++i) {
    const std::string_view name = LogicReasonName(static_cast<TLogicReason>(i));
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, "unknown");
    names.insert(name);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(TLogicReason::Count));
}

// The server's packets as the link receives them, split at every byte, cut by the framer:
// each whole packet reads as it does on its own.
TEST(LogicPayloadReader, SameReadingsWhereverTheServerStreamIsSplit) {
  std::string stream;
  std::vector<std::string> expected;
  for (size_t i : {0, 2, 5, 6, 8, 12, 16, 19}) {
    stream += PacketCases()[i].Packet;
    expected.push_back(PacketCases()[i].Reading);
  }
  ForEachSplit(stream, [&](const TSplit& split) {
    std::string buffer;
    std::vector<std::string> readings;
    for (std::string_view piece : split.Pieces) {
      buffer += piece;
      for (;;) {
        const TLogicPacketCut cut = CutLogicPacket(reinterpret_cast<const uint8_t*>(buffer.data()),
                                                   static_cast<int64_t>(buffer.size()));
        if (cut.Status != TLogicCut::lcPacket) break;
        readings.push_back(Describe(View(buffer.substr(0, static_cast<size_t>(cut.Size)))));
        buffer.erase(0, static_cast<size_t>(cut.Size));
      }
    }
    EXPECT_EQ(readings, expected) << split.Label;
    EXPECT_TRUE(buffer.empty()) << split.Label;
    return !::testing::Test::HasFailure();
  });
}

}  // namespace
}  // namespace gw
