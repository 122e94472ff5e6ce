// One entry of a block list (BlockIPList.txt, the temporary list, the console's and the login
// server's additions), read from its text:
//  - an address, IPv4 or IPv6 ("2001:DB8:0:0::5" is the entry 2001:db8::5);
//  - "prefix*": every address whose text (dotted IPv4, or IPv6 as RFC 5952 writes it, in
//    lower case) begins with the prefix; anything after the first "*" is ignored, as older
//    versions did. "11.0.0.1*" matches 11.0.0.1 and also 11.0.0.10-19 and 11.0.0.100-199:
//    such a prefix is taken with a warning;
//  - "address/bits": a CIDR range, IPv4 or IPv6 (bits past the prefix are cleared);
//  - "# ..." after an entry or on a line of its own: a comment.
// An entry that would match every client ("*", "0.0.0.0/0", "::/0") is refused, and so is any
// text that is none of the above.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/IPAddress.h"

namespace gw {

enum class TBlockEntryKind : uint8_t {
  bkNone,     // an empty line or a comment: nothing to add
  bkAddress,  // one address
  bkPrefix,   // "prefix*"
  bkRange,    // "address/bits"
  bkInvalid,  // refused: Problem says why
};

struct TBlockListEntry {
  TBlockEntryKind Kind = TBlockEntryKind::bkNone;
  // The entry as it is stored and shown: the canonical address, the lower-case prefix with
  // its "*", the canonical range "address/bits". Empty for bkNone and bkInvalid.
  std::string Text;
  TIPAddress Address;  // bkAddress, bkRange (masked)
  int PrefixBits = 0;  // bkRange
  std::string Prefix;  // bkPrefix: the text before the "*", lower case
  // bkInvalid: why it was refused; otherwise a warning worth showing (may be empty).
  std::string Problem;
};

// Reads one entry (or line of a file): blanks around it and a "#" comment are dropped.
TBlockListEntry ParseBlockListEntry(std::string_view Line);

struct TBlockListProblem {
  size_t Line = 0;  // from 1
  std::string
      Text;  // e.g. "'1.2.3' is not an address, a prefix* or an address/bits range; skipped"
  bool Error = false;  // the line was skipped (otherwise a warning: the entry was taken)
};

struct TBlockListText {
  std::vector<TBlockListEntry> Entries;  // in file order, bkAddress/bkPrefix/bkRange only
  std::vector<TBlockListProblem> Problems;
  size_t Addresses = 0, Prefixes = 0, Ranges = 0;
};

// Reads a whole list from its decoded lines.
TBlockListText ParseBlockListLines(const std::vector<std::string>& Lines);

}  // namespace gw
