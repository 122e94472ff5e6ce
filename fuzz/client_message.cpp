// The client message readers over any bytes: every view a reader returns lies inside the
// message, a value and a refusal never come together, a relayed body is the message without
// its type byte, a login message carried on holds no "$", and the size rules hold.
#include <cstring>
#include <span>

#include "FuzzCheck.h"
#include "protocol/ClientMessageReader.h"

namespace {

bool Inside(const uint8_t* p, size_t n, std::span<const uint8_t> whole) {
  return n == 0 || (p >= whole.data() && p + n <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> message(data, size);
  FUZZ_CHECK(gw::ReadClientMessage(message).Ok() == (size >= gw::kMinClientMessageSize));

  const auto answer = gw::ReadTokenAnswer(message);
  if (answer) {
    FUZZ_CHECK(answer->size() + 3 == size && !answer->empty());
    FUZZ_CHECK(Inside(reinterpret_cast<const uint8_t*>(answer->data()), answer->size(), message));
  } else {
    FUZZ_CHECK(!gw::ClientReasonName(answer.Reason()).empty());
  }

  const auto login = gw::ReadLoginMessage(message);
  if (login) {
    FUZZ_CHECK(login->data() == data && login->size() == size);
    FUZZ_CHECK(std::memchr(data, '$', size) == nullptr);
  } else if (size >= gw::kMinClientMessageSize) {
    FUZZ_CHECK(login.Reason() == gw::TClientReason::crHoldsDollar);
  }

  const auto game = gw::ReadGameMessage(message);
  if (!game) {
    FUZZ_CHECK(!gw::ClientReasonName(game.Reason()).empty());
    return 0;
  }
  FUZZ_CHECK(size >= 1 && game->Type == data[0]);
  switch (game->Kind) {
    case gw::TGameMessageKind::gmRelay:
      FUZZ_CHECK(game->Body.data() == data + 1 && game->Body.size() == size - 1);
      if (data[0] == gw::mtMove) FUZZ_CHECK(size == gw::kMoveMessageSize);
      if (data[0] == gw::mtAttack) FUZZ_CHECK(size == gw::kAttackMessageSize);
      FUZZ_CHECK(data[0] == gw::mtDefault || data[0] == gw::mtPass || data[0] == gw::mtMove ||
                 data[0] == gw::mtAttack);
      break;
    case gw::TGameMessageKind::gmSoftClose:
      FUZZ_CHECK(data[0] == gw::mtDefault &&
                 gw::ClientBodyIdent(message) == gw::GM_CLIENT_SOFTCLOSE);
      break;
    case gw::TGameMessageKind::gmQueryDBConfig:
      FUZZ_CHECK(data[0] == gw::mtDefault && size > 1 + gw::kDefaultMessageSize);
      FUZZ_CHECK(game->Asks.size() <= 13);
      break;
  }
  return 0;
}
