#include "config/BlockListMatcher.h"

namespace gw {

namespace {

std::string RangeKey(const TIPAddress& Masked, int Bits) {
  std::string key(1, Masked.V6 ? '6' : '4');
  key.append(reinterpret_cast<const char*>(Masked.Bytes.data()), Masked.V6 ? 16 : 4);
  key += static_cast<char>(Bits);
  return key;
}

}  // namespace

void TBlockListMatcher::Put(TCounts& Map, const std::string& Key, int Delta,
                            uint32_t& LengthCount) {
  if (Delta > 0) {
    ++Map[Key];
    ++LengthCount;
    return;
  }
  auto it = Map.find(Key);
  if (it == Map.end()) return;
  if (--it->second == 0) Map.erase(it);
  if (LengthCount > 0) --LengthCount;
}

void TBlockListMatcher::Add(const TBlockListEntry& Entry) {
  switch (Entry.Kind) {
    case TBlockEntryKind::bkAddress:
      Put(FExact, Entry.Text, 1, FExactCount);
      break;
    case TBlockEntryKind::bkPrefix:
      if (Entry.Prefix.size() < FPrefixLengths.size()) {
        Put(FPrefixes, Entry.Prefix, 1, FPrefixLengths[Entry.Prefix.size()]);
      }
      break;
    case TBlockEntryKind::bkRange: {
      auto& bits = Entry.Address.V6 ? FV6RangeBits : FV4RangeBits;
      Put(FRanges, RangeKey(Entry.Address, Entry.PrefixBits), 1, bits[Entry.PrefixBits]);
      break;
    }
    default:
      break;
  }
}

void TBlockListMatcher::Remove(const TBlockListEntry& Entry) {
  switch (Entry.Kind) {
    case TBlockEntryKind::bkAddress:
      if (FExact.count(Entry.Text)) Put(FExact, Entry.Text, -1, FExactCount);
      break;
    case TBlockEntryKind::bkPrefix:
      if (Entry.Prefix.size() < FPrefixLengths.size() && FPrefixes.count(Entry.Prefix)) {
        Put(FPrefixes, Entry.Prefix, -1, FPrefixLengths[Entry.Prefix.size()]);
      }
      break;
    case TBlockEntryKind::bkRange: {
      auto& bits = Entry.Address.V6 ? FV6RangeBits : FV4RangeBits;
      const std::string key = RangeKey(Entry.Address, Entry.PrefixBits);
      if (FRanges.count(key)) Put(FRanges, key, -1, bits[Entry.PrefixBits]);
      break;
    }
    default:
      break;
  }
}

void TBlockListMatcher::Clear() { *this = TBlockListMatcher(); }

bool TBlockListMatcher::Matches(const std::string& PeerAddr) const {
  const std::optional<TIPAddress> address = TIPAddress::Parse(PeerAddr);
  return address && Matches(*address);
}

bool TBlockListMatcher::Matches(const TIPAddress& Address) const {
  const std::string text = Address.Text();
  if (FExactCount > 0 && FExact.count(text)) return true;
  for (size_t n = 1; n <= text.size() && n < FPrefixLengths.size(); ++n) {
    if (FPrefixLengths[n] > 0 && FPrefixes.count(text.substr(0, n))) return true;
  }
  const auto& bits = Address.V6 ? FV6RangeBits : FV4RangeBits;
  for (int b = 1; b <= Address.Bits(); ++b) {
    if (bits[b] > 0 && FRanges.count(RangeKey(Address.Masked(b), b))) return true;
  }
  return false;
}

}  // namespace gw
