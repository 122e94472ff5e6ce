// TBlockListMatcher: answers "is this client address on the list" for every connection
// accepted, without walking the list: exact addresses in a hash table, "prefix*" entries in a
// hash table per prefix length (an address text has at most 45 characters), CIDR ranges in a
// hash table per prefix length and family. A lookup costs a few dozen hash probes whatever the
// list's size. Entries are counted, so the same entry added twice needs two removals.
//
// Thread safety: none; the IP manager holds the list's lock around every call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "config/BlockListEntry.h"

namespace gw {

class TBlockListMatcher {
 public:
  // Entries of kind bkAddress, bkPrefix and bkRange; others are ignored.
  void Add(const TBlockListEntry& Entry);
  void Remove(const TBlockListEntry& Entry);
  void Clear();

  // Whether the client address (its text as the transport reports it) is covered.
  bool Matches(const std::string& PeerAddr) const;
  // The same for an address already read.
  bool Matches(const TIPAddress& Address) const;

 private:
  using TCounts = std::unordered_map<std::string, uint32_t>;
  static void Put(TCounts& Map, const std::string& Key, int Delta, uint32_t& LengthCount);

  TCounts FExact;  // canonical text
  uint32_t FExactCount = 0;
  // Prefixes by length: FPrefixLengths[n] tells how many prefixes of n characters exist.
  TCounts FPrefixes;
  std::array<uint32_t, 64> FPrefixLengths{};
  // Ranges: key = family mark + masked bytes + prefix length.
  TCounts FRanges;
  std::array<uint32_t, 129> FV4RangeBits{}, FV6RangeBits{};
};

}  // namespace gw
