// The block list entry parser and its matcher: any line (and any file of lines) is read
// without reading outside it; an entry that is taken reads back as itself from its stored
// text, never matches every client, and is matched by the matcher once added and not once
// removed; IP address texts read back canonically.
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "config/BlockListEntry.h"
#include "config/BlockListMatcher.h"
#include "config/IPAddress.h"

namespace {

bool Taken(const gw::TBlockListEntry& e) {
  return e.Kind == gw::TBlockEntryKind::bkAddress || e.Kind == gw::TBlockEntryKind::bkPrefix ||
         e.Kind == gw::TBlockEntryKind::bkRange;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // One line: an entry, a comment, or refused with a reason.
  const gw::TBlockListEntry entry = gw::ParseBlockListEntry(text);
  if (Taken(entry)) {
    FUZZ_CHECK(!entry.Text.empty());
    const gw::TBlockListEntry again = gw::ParseBlockListEntry(entry.Text);
    FUZZ_CHECK(again.Kind == entry.Kind && again.Text == entry.Text);
    gw::TBlockListMatcher matcher;
    matcher.Add(entry);
    // Never every client: one of these two opposite addresses stays free.
    FUZZ_CHECK(!(matcher.Matches(std::string("0.0.0.0")) &&
                 matcher.Matches(std::string("255.255.255.255")) &&
                 matcher.Matches(std::string("::")) &&
                 matcher.Matches(std::string("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"))));
    if (entry.Kind == gw::TBlockEntryKind::bkAddress) {
      FUZZ_CHECK(matcher.Matches(entry.Address));
    } else if (entry.Kind == gw::TBlockEntryKind::bkRange) {
      FUZZ_CHECK(matcher.Matches(entry.Address));
    }
    matcher.Remove(entry);
    FUZZ_CHECK(!matcher.Matches(entry.Address));
  } else if (entry.Kind == gw::TBlockEntryKind::bkInvalid) {
    FUZZ_CHECK(!entry.Problem.empty() && entry.Text.empty());
  }

  // An address text: canonical once read.
  if (const auto address = gw::TIPAddress::Parse(text)) {
    const auto again = gw::TIPAddress::Parse(address->Text());
    FUZZ_CHECK(again && *again == *address && again->Text() == address->Text());
    (void)gw::AddressGroupKey(text);
  }

  // A whole file: every taken line counted once, every problem on a line that exists.
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  const gw::TBlockListText list = gw::ParseBlockListLines(lines);
  FUZZ_CHECK(list.Entries.size() == list.Addresses + list.Prefixes + list.Ranges);
  for (const gw::TBlockListProblem& problem : list.Problems) {
    FUZZ_CHECK(problem.Line >= 1 && problem.Line <= lines.size());
  }
  return 0;
}
