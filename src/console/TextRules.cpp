#include "console/TextRules.h"

#include <climits>
#include <regex>

namespace gw {

bool ParseWholeNumber(const std::string& text, long long& value) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return false;
  unsigned long long magnitude = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return false;
    if (magnitude > (static_cast<unsigned long long>(LLONG_MAX) - (c - '0')) / 10) return false;
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
  }
  value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  return true;
}

bool IsValidPortText(const std::string& text) {
  long long value = 0;
  return ParseWholeNumber(text, value) && value >= 0 && value <= 65535;
}

bool ContainsIPv4Address(const std::string& text) {
  static const std::regex pattern(
      R"(((25[0-5])|(2[0-4]\d)|(1\d\d)|([1-9]\d)|\d)(\.((25[0-5])|(2[0-4]\d)|(1\d\d)|([1-9]\d)|\d)){3})");
  return std::regex_search(text, pattern);
}

}  // namespace gw
