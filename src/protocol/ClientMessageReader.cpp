#include "protocol/ClientMessageReader.h"

#include <array>
#include <cstring>

#include "codec/EDcode.h"
#include "common/AnsiCodePage.h"

namespace gw {

namespace {

constexpr std::array<std::string_view, static_cast<size_t>(TClientReason::Count)> kReasonNames = {
    "too_short",   "empty_answer", "holds_dollar",  "move_size",
    "attack_size", "unknown_type", "no_query_text",
};

// The token answer is wrapped in two bytes before it and one after it.
constexpr size_t kAnswerLead = 2;
constexpr size_t kAnswerTrail = 1;
// A game message of type mtDefault: the type byte, then the default message.
constexpr size_t kDefaultMessageOffset = 1;
constexpr size_t kClientIdentOffset = kDefaultMessageOffset + offsetof(TDefaultMessage, Ident);
constexpr size_t kClientRecogOffset = kDefaultMessageOffset + offsetof(TDefaultMessage, Recog);
// A configuration query's version text follows the type byte and the default message.
constexpr size_t kQueryTextOffset = kDefaultMessageOffset + kDefaultMessageSize;

// Configuration types answered for a list query (type 0), and the list item holding the
// version the client has of each (types 1 and 2 share item 0, 7 and 8 item 5).
struct TListQueryEntry {
  int32_t ConfigType;
  size_t Item;
};
constexpr TListQueryEntry kListQueryTable[] = {{1, 0},  {2, 0},  {3, 2},  {4, 3},  {5, 1},
                                               {6, 4},  {7, 5},  {8, 5},  {10, 6}, {11, 7},
                                               {12, 8}, {13, 9}, {14, 10}};
// A list query must hold more items than this to be answered.
constexpr size_t kListQueryMinItems = 10;

std::string FinishVersionItem(std::string item) {
  if (item.size() >= 2 && item.front() == '"' && item.back() == '"') {
    item = item.substr(1, item.size() - 2);
  }
  std::string out;
  out.reserve(item.size());
  for (size_t i = 0; i < item.size(); ++i) {
    out.push_back(item[i]);
    if (item[i] == '"' && i + 1 < item.size() && item[i + 1] == '"') ++i;
  }
  return out;
}

TClientRead<TGameMessage> ReadQuery(std::span<const uint8_t> Message) {
  if (Message.size() <= kQueryTextOffset) return TClientReason::crNoQueryText;
  TGameMessage msg;
  msg.Kind = TGameMessageKind::gmQueryDBConfig;
  msg.Type = mtDefault;
  const std::string text = Utf8ToAnsi(DecodeMsgText(
      std::string_view(reinterpret_cast<const char*>(Message.data()) + kQueryTextOffset,
                       Message.size() - kQueryTextOffset)));
  int32_t configType;
  std::memcpy(&configType, Message.data() + kClientRecogOffset, sizeof(configType));
  if (configType != 0) {
    msg.Asks.push_back({configType, text});
    return msg;
  }
  const std::vector<std::string> items = SplitDBConfigVersions(text);
  if (items.size() <= kListQueryMinItems) return msg;  // too few to answer: asks nothing
  for (const TListQueryEntry& e : kListQueryTable)
    msg.Asks.push_back({e.ConfigType, items[e.Item]});
  return msg;
}

}  // namespace

std::string_view ClientReasonName(TClientReason Reason) {
  const auto i = static_cast<size_t>(Reason);
  return i < kReasonNames.size() ? kReasonNames[i] : std::string_view("unknown");
}

TClientRead<std::span<const uint8_t>> ReadClientMessage(std::span<const uint8_t> Message) {
  if (Message.size() < kMinClientMessageSize) return TClientReason::crTooShort;
  return Message;
}

TClientRead<std::string_view> ReadTokenAnswer(std::span<const uint8_t> Message) {
  if (Message.size() < kMinClientMessageSize) return TClientReason::crTooShort;
  if (Message.size() == kAnswerLead + kAnswerTrail) return TClientReason::crEmptyAnswer;
  return std::string_view(reinterpret_cast<const char*>(Message.data()) + kAnswerLead,
                          Message.size() - kAnswerLead - kAnswerTrail);
}

TClientRead<std::span<const uint8_t>> ReadLoginMessage(std::span<const uint8_t> Message) {
  if (Message.size() < kMinClientMessageSize) return TClientReason::crTooShort;
  if (std::memchr(Message.data(), '$', Message.size()) != nullptr) {
    return TClientReason::crHoldsDollar;
  }
  return Message;
}

TClientRead<TGameMessage> ReadGameMessage(std::span<const uint8_t> Message) {
  if (Message.empty()) return TClientReason::crTooShort;
  const uint8_t type = Message[0];
  switch (type) {
    case mtDefault:
      // Only a default message long enough for its ident can be one the gateway answers.
      if (Message.size() >= kClientIdentOffset + sizeof(uint16_t)) {
        const uint16_t ident = ClientBodyIdent(Message);
        if (ident == GM_CLIENT_SOFTCLOSE) {
          TGameMessage msg;
          msg.Kind = TGameMessageKind::gmSoftClose;
          return msg;
        }
        if (ident == GM_CLIENT_QUERYDBCONFIG) return ReadQuery(Message);
      }
      break;
    case mtPass:
      break;
    case mtMove:
      if (Message.size() != kMoveMessageSize) return TClientReason::crMoveSize;
      break;
    case mtAttack:
      if (Message.size() != kAttackMessageSize) return TClientReason::crAttackSize;
      break;
    default:
      return TClientReason::crUnknownType;
  }
  TGameMessage msg;
  msg.Type = type;
  msg.Body = Message.subspan(1);
  return msg;
}

uint16_t ClientBodyIdent(std::span<const uint8_t> Message) {
  uint8_t bytes[2] = {};
  for (size_t i = 0; i < 2 && i + 1 < Message.size(); ++i) bytes[i] = Message[i + 1];
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::vector<std::string> SplitDBConfigVersions(const std::string& Text) {
  std::vector<std::string> items;
  std::string text = Text + "/";
  std::string current;
  size_t quotes = 0;
  for (char c : text) {
    if ((c == '/' || c == ' ') && quotes % 2 == 0) {
      items.push_back(FinishVersionItem(std::move(current)));
      current.clear();
      quotes = 0;
    } else {
      if (c == '"') ++quotes;
      current.push_back(c);
    }
  }
  if (!current.empty()) items.push_back(FinishVersionItem(std::move(current)));  // open quote
  return items;
}

}  // namespace gw
