#include "codec/MessageCoder.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

#include "codec/EDcode.h"
#include "codec/StoredSecrets.h"

namespace gw {

static_assert(sizeof(TDefaultMessage) == 32);
static_assert(std::is_trivially_copyable_v<TDefaultMessage>);
static_assert(kEncodedMessageLength == SixBitEncodedLength(sizeof(TDefaultMessage)));
static_assert(kEncodedMessage2Length == SixBitEncodedLength(sizeof(TDefaultMessage2)));

namespace {

constexpr size_t kAesKeySize = 16;

struct TCipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* Ctx) const { EVP_CIPHER_CTX_free(Ctx); }
};
using TCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, TCipherCtxDeleter>;

}  // namespace

// A keyed AES-128-ECB context without padding: the expanded key schedule lives inside it (and
// uses AES-NI where the processor has it). It is only read after keying; every block operation
// works on a private copy, so several threads may encode and decode at once.
struct TMessageCoder::TAESExpandedKey128 {
  TCipherCtxPtr Ctx{EVP_CIPHER_CTX_new()};

  void Init(const uint8_t* Key, bool Encrypt) {
    if (!Ctx || EVP_CipherInit_ex(Ctx.get(), EVP_aes_128_ecb(), nullptr, Key, nullptr,
                                  Encrypt ? 1 : 0) != 1) {
      throw TCodecError("Codec - AES-128 unavailable");
    }
    EVP_CIPHER_CTX_set_padding(Ctx.get(), 0);
  }

  // ECB over 32 bytes: the two 16-byte halves are transformed independently.
  void Apply(const uint8_t* In, uint8_t* Out, size_t Len) const {
    TCipherCtxPtr work(EVP_CIPHER_CTX_new());
    int outLen = 0;
    if (!work || EVP_CIPHER_CTX_copy(work.get(), Ctx.get()) != 1 ||
        EVP_CipherUpdate(work.get(), Out, &outLen, In, static_cast<int>(Len)) != 1 ||
        static_cast<size_t>(outLen) != Len) {
      // Only an allocation failure inside libcrypto lands here; leave no plaintext behind.
      std::memset(Out, 0, Len);
    }
  }
};

TMessageCoder::TMessageCoder()
    : FECKey128(std::make_unique<TAESExpandedKey128>()),
      FDCKey128(std::make_unique<TAESExpandedKey128>()) {
  ComputeKeySchedules();
}

TMessageCoder::~TMessageCoder() = default;

void TMessageCoder::SetPassWord(std::string_view Value) {
  if (Value == FPassWord) return;
  FPassWord.assign(Value);
  ComputeKeySchedules();
}

void TMessageCoder::ComputeKeySchedules() {
  std::array<uint8_t, kAesKeySize> key{};
  std::memcpy(key.data(), FPassWord.data(), std::min(FPassWord.size(), kAesKeySize));
  FECKey128->Init(key.data(), true);
  FDCKey128->Init(key.data(), false);
  ++FKeyScheduleCount;
}

std::string TMessageCoder::EncodeMessage(const TDefaultMessage& AMessage) const {
  uint8_t plain[sizeof(TDefaultMessage)];
  uint8_t sealed[sizeof(TDefaultMessage)];
  std::memcpy(plain, &AMessage, sizeof(plain));
  FECKey128->Apply(plain, sealed, sizeof(sealed));
  return EncodeSixBit(std::span<const uint8_t>(sealed, sizeof(sealed)));
}

TDefaultMessage TMessageCoder::DecodeMessage(std::string_view Value) const {
  uint8_t sealed[sizeof(TDefaultMessage)] = {};
  DecodeSixBitTo(Value, sealed, sizeof(sealed));
  uint8_t plain[sizeof(TDefaultMessage)];
  FDCKey128->Apply(sealed, plain, sizeof(plain));
  TDefaultMessage result;
  std::memcpy(&result, plain, sizeof(result));
  return result;
}

std::string TMessageCoder::EncodeMessage2(const TDefaultMessage2& AMessage) const {
  return EncodeSixBit(&AMessage, sizeof(AMessage));
}

TDefaultMessage2 TMessageCoder::DecodeMessage2(std::string_view Value) const {
  uint8_t bytes[sizeof(TDefaultMessage2)] = {};
  DecodeSixBitTo(Value, bytes, sizeof(bytes));
  TDefaultMessage2 result;
  std::memcpy(&result, bytes, sizeof(result));
  return result;
}

TMessageCoder& MessageCoder() {
  static TMessageCoder coder;
  static const bool keyed = (coder.SetPassWord(DefaultCoderPassWord()), true);
  (void)keyed;
  return coder;
}

}  // namespace gw
