#include "config/BlockListEntry.h"

#include <cctype>

#include "common/LogText.h"

namespace gw {

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

TBlockListEntry Invalid(std::string_view text, const std::string& why) {
  TBlockListEntry e;
  e.Kind = TBlockEntryKind::bkInvalid;
  e.Problem = "'" + LogText(text) + "' " + why;
  return e;
}

constexpr char kNotAnEntry[] = "is not an address, a prefix* or an address/bits range";
constexpr char kEveryClient[] = "would block every client";

TBlockListEntry ParseRange(std::string_view text) {
  const size_t slash = text.find('/');
  std::optional<TIPAddress> address = TIPAddress::Parse(text.substr(0, slash));
  const std::string_view bitsText = text.substr(slash + 1);
  int bits = 0;
  bool digits = !bitsText.empty() && bitsText.size() <= 3;
  // At most three digits are read, so the count can never overflow whatever follows.
  for (size_t i = 0; digits && i < bitsText.size(); ++i) {
    const char c = bitsText[i];
    if (c < '0' || c > '9')
      digits = false;
    else
      bits = bits * 10 + (c - '0');
  }
  const bool writtenAsV6 = text.substr(0, slash).find(':') != std::string_view::npos;
  if (!address || !digits || bits > (writtenAsV6 ? 128 : 32)) return Invalid(text, kNotAnEntry);
  // A mapped IPv6 range (::ffff:1.2.3.0/120) is the IPv4 range it names.
  if (!address->V6 && writtenAsV6) bits -= 96;
  if (bits < 0) return Invalid(text, kNotAnEntry);
  if (bits == 0) return Invalid(text, kEveryClient);
  TBlockListEntry e;
  e.Kind = TBlockEntryKind::bkRange;
  e.Address = address->Masked(bits);
  e.PrefixBits = bits;
  e.Text = e.Address.Text() + "/" + std::to_string(bits);
  if (!(e.Address == *address)) {
    e.Problem = "'" + LogText(text) + "' has bits set past its prefix; read as " + e.Text;
  }
  return e;
}

TBlockListEntry ParsePrefix(std::string_view text) {
  const size_t star = text.find('*');
  const std::string prefix = Lower(text.substr(0, star));
  if (prefix.empty()) return Invalid(text, kEveryClient);
  for (char c : prefix) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '.' && c != ':') {
      return Invalid(text, kNotAnEntry);
    }
  }
  TBlockListEntry e;
  e.Kind = TBlockEntryKind::bkPrefix;
  e.Prefix = prefix;
  e.Text = prefix + "*";
  const char last = prefix.back();
  if (star + 1 != text.size()) {
    e.Problem =
        "'" + LogText(text) + "' is read as " + e.Text + ": what follows the first '*' is ignored";
  } else if (last != '.' && last != ':') {
    e.Problem = "'" + e.Text + "' matches every address whose text begins with '" + prefix +
                "' (for example " + prefix + "0 and " + prefix +
                "00): end the prefix at a '.' or ':', or use an address/bits range";
  }
  return e;
}

}  // namespace

TBlockListEntry ParseBlockListEntry(std::string_view Line) {
  const std::string_view text = Trimmed(Line.substr(0, Line.find('#')));
  if (text.empty()) return {};
  if (text.find('*') != std::string_view::npos) return ParsePrefix(text);
  if (text.find('/') != std::string_view::npos) return ParseRange(text);
  std::optional<TIPAddress> address = TIPAddress::Parse(text);
  if (!address) return Invalid(text, kNotAnEntry);
  TBlockListEntry e;
  e.Kind = TBlockEntryKind::bkAddress;
  e.Address = *address;
  e.Text = address->Text();
  return e;
}

TBlockListText ParseBlockListLines(const std::vector<std::string>& Lines) {
  TBlockListText out;
  for (size_t i = 0; i < Lines.size(); ++i) {
    TBlockListEntry entry = ParseBlockListEntry(Lines[i]);
    switch (entry.Kind) {
      case TBlockEntryKind::bkNone:
        continue;
      case TBlockEntryKind::bkInvalid:
        out.Problems.push_back({i + 1, entry.Problem + "; skipped", true});
        continue;
      case TBlockEntryKind::bkAddress:
        ++out.Addresses;
        break;
      case TBlockEntryKind::bkPrefix:
        ++out.Prefixes;
        break;
      case TBlockEntryKind::bkRange:
        ++out.Ranges;
        break;
    }
    if (!entry.Problem.empty()) out.Problems.push_back({i + 1, entry.Problem, false});
    out.Entries.push_back(std::move(entry));
  }
  return out;
}

}  // namespace gw
