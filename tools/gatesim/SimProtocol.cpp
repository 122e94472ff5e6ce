#include "SimProtocol.h"

#include <time.h>

#include <cstring>

namespace gw {

namespace {

constexpr size_t kMoveSize = 10;
constexpr size_t kAttackSize = 19;
constexpr size_t kDefaultHeaderSize = 32;
constexpr size_t kDefaultProbeSize = 1 + kDefaultHeaderSize + 8 + 24;

uint8_t PatternByte(uint32_t Seq, size_t I) { return static_cast<uint8_t>((Seq * 31u + I) ^ 0x5A); }

void AppendPattern(std::string& Out, uint32_t Seq, size_t Count) {
  for (size_t i = 0; i < Count; ++i) Out.push_back(static_cast<char>(PatternByte(Seq, i)));
}

bool PatternMatches(std::string_view Bytes, uint32_t Seq) {
  for (size_t i = 0; i < Bytes.size(); ++i) {
    if (static_cast<uint8_t>(Bytes[i]) != PatternByte(Seq, i)) return false;
  }
  return true;
}

}  // namespace

uint16_t ReadLe16(const void* P) {
  uint16_t v;
  std::memcpy(&v, P, sizeof(v));
  return v;
}
uint32_t ReadLe32(const void* P) {
  uint32_t v;
  std::memcpy(&v, P, sizeof(v));
  return v;
}
uint64_t ReadLe64(const void* P) {
  uint64_t v;
  std::memcpy(&v, P, sizeof(v));
  return v;
}
void AppendLe16(std::string& Out, uint16_t V) { Out.append(reinterpret_cast<const char*>(&V), 2); }
void AppendLe32(std::string& Out, uint32_t V) { Out.append(reinterpret_cast<const char*>(&V), 4); }
void AppendLe64(std::string& Out, uint64_t V) { Out.append(reinterpret_cast<const char*>(&V), 8); }

uint64_t MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::string BuildProbe(TProbeKind Kind, uint32_t Seq, uint64_t SentMicros) {
  std::string out;
  switch (Kind) {
    case TProbeKind::pkMove:
      out.push_back(2);
      out.push_back('M');
      AppendLe32(out, Seq);
      AppendLe32(out, static_cast<uint32_t>(SentMicros));
      break;
    case TProbeKind::pkAttack:
      out.push_back(4);
      out.push_back('A');
      AppendLe32(out, Seq);
      AppendLe64(out, SentMicros);
      AppendPattern(out, Seq, kAttackSize - out.size());
      break;
    case TProbeKind::pkDefault:
      out.push_back(0);
      AppendLe16(out, kSimEchoIdent);
      AppendLe16(out, 0);    // padding
      AppendLe32(out, Seq);  // Recog
      out.append(kDefaultHeaderSize - 8, '\0');
      AppendLe64(out, SentMicros);
      AppendPattern(out, Seq, kDefaultProbeSize - out.size());
      break;
  }
  return out;
}

std::optional<TProbeEcho> ParseProbeEcho(std::string_view M) {
  if (M.empty()) return std::nullopt;
  const char* p = M.data();
  switch (static_cast<uint8_t>(M[0])) {
    case 2:
      if (M.size() != kMoveSize || p[1] != 'M') return std::nullopt;
      return TProbeEcho{TProbeKind::pkMove, ReadLe32(p + 2), ReadLe32(p + 6)};
    case 4: {
      if (M.size() != kAttackSize || p[1] != 'A') return std::nullopt;
      uint32_t seq = ReadLe32(p + 2);
      if (!PatternMatches(M.substr(14), seq)) return std::nullopt;
      return TProbeEcho{TProbeKind::pkAttack, seq, ReadLe64(p + 6)};
    }
    case 0: {
      if (M.size() != kDefaultProbeSize || ReadLe16(p + 1) != kSimEchoIdent) return std::nullopt;
      // The gateway stamps the ident into dwCRC (header offset 28) on its way to the client.
      if (ReadLe32(p + 1 + 28) != kSimEchoIdent) return std::nullopt;
      uint32_t seq = ReadLe32(p + 1 + 4);
      if (!PatternMatches(M.substr(1 + kDefaultHeaderSize + 8), seq)) return std::nullopt;
      return TProbeEcho{TProbeKind::pkDefault, seq, ReadLe64(p + 1 + kDefaultHeaderSize)};
    }
    default:
      return std::nullopt;
  }
}

uint64_t ProbeRoundTrip(const TProbeEcho& Echo, uint64_t NowMicros) {
  if (Echo.Kind == TProbeKind::pkMove) {
    return static_cast<uint32_t>(static_cast<uint32_t>(NowMicros) -
                                 static_cast<uint32_t>(Echo.SentMicros));
  }
  return NowMicros >= Echo.SentMicros ? NowMicros - Echo.SentMicros : 0;
}

}  // namespace gw
