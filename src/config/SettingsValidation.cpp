#include "config/SettingsValidation.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <regex>
#include <set>

#include "codec/EDcode.h"
#include "gate/GateWayDefine.h"

namespace gw {

namespace {

using TProblems = TSettingsProblems;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A whole decimal number of the text (blanks around it allowed, one "+" or "-" in front).
std::optional<int64_t> WholeNumber(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  int64_t value = 0;
  const char* last = text.data() + text.size();
  auto [end, ec] = std::from_chars(text.data(), last, value);
  if (text.empty() || ec != std::errc() || end != last) return std::nullopt;
  return value;
}

std::string Quoted(std::string_view text) {
  constexpr size_t kShown = 60;  // a pasted blob is named, not repeated
  std::string out = "\"";
  out += text.substr(0, kShown);
  if (text.size() > kShown) out += "…";
  out += '"';
  return out;
}

// How a setting's value is checked beyond its type. The ranges are those of the settings
// dialogs; a value outside them is kept (operators set some of them beyond the dialog by hand,
// e.g. MaxConnOfIPaddr for many players behind one address) and only warned about. The values
// the program itself writes (its defaults, the special 0 values the gateway documents) are
// never warned about.
enum TRuleKind { rkRange, rkPortText, rkPort, rkWorkers, rkIPv4, rkNotEmpty, rkPassWord };

struct TRule {
  const char* Name;
  TRuleKind Kind;
  int64_t Min = 0;
  int64_t Max = 0;
  std::vector<int64_t> AlsoFine{};  // defaults and documented special values
  bool Error = false;               // a value that breaks the gateway, not only the dialog's range
  const char* Where = "";           // the dialog that offers the range
};

const std::vector<TRule>& Rules() {
  static const std::vector<TRule> rules = {
      {"Title", rkNotEmpty, 0, 0, {}, false, "the general settings"},
      {"NetPassWord", rkPassWord},
      {"ServerAddr", rkIPv4, 0, 0, {}, false, "the general settings"},
      {"ServerPort", rkPortText, 0, 65535, {}, true},
      {"GateAddr", rkIPv4, 0, 0, {}, false, "the general settings"},
      {"GatePort", rkPortText, 0, 65535, {}, true},
      {"MaxConnOfIPaddr", rkRange, 1, 100, {0}, false, "the IP filter settings (0: no limit)"},
      {"MaxClientPacketSize", rkRange, 1, 10000, {}, false, "the IP filter settings"},
      {"NomClientPacketSize", rkRange, 1, 1000, {}, false, "the IP filter settings"},
      {"MaxClientMsgCount", rkRange, 1, 100, {}, false, "the IP filter settings"},
      {"CheckServerTimeOutTime",
       rkRange,
       0,
       std::numeric_limits<int32_t>::max(),
       {},
       false,
       "the performance settings (0: no check)"},
      {"ClientSendBlockSize", rkRange, 100, 12000, {}, false, "the performance settings"},
      {"ClientTimeOut", rkRange, 100, 60000, {0}, false, "the IP filter settings (0: none)"},
      {"ClearTempBlockListTime", rkRange, 1, 10000, {12000}, false, "the IP filter settings"},
      {"PacketWarningSize", rkRange, 0, 1000000000, {}, false, "the performance settings"},
      {"IncErrorCount", rkRange, 1, 500, {}, false, "the speed-hack settings"},
      {"DecErrorCount", rkRange, 1, 500, {}, false, "the speed-hack settings"},
      {"ConnectionATKSec", rkRange, 0, 1000, {}, false, "the IP filter settings"},
      {"ConnectionATKCount", rkRange, 0, 1000, {}, false, "the IP filter settings"},
      {"LoginSrvPort", rkPort, 0, 65535, {}, true},
      {"DBSrvPort", rkPort, 0, 65535, {}, false},
      {"WokerCount", rkWorkers, 0, 0, {}, true},
  };
  return rules;
}

const TRule* FindRule(std::string_view name) {
  for (const TRule& rule : Rules()) {
    if (name == rule.Name) return &rule;
  }
  return nullptr;
}

bool ContainsIPv4(const std::string& text) {
  // The general settings dialog's own test: four numbers 0 to 255 somewhere in the text.
  static const std::regex pattern(
      R"(((25[0-5])|(2[0-4]\d)|(1\d\d)|([1-9]\d)|\d)(\.((25[0-5])|(2[0-4]\d)|(1\d\d)|([1-9]\d)|\d)){3})");
  return std::regex_search(text, pattern);
}

// The rule's verdict on a value read without a type error; nothing when it is fine.
std::optional<std::pair<bool, std::string>> CheckRule(const TRule& rule, std::string_view text) {
  const std::string name = rule.Name;
  switch (rule.Kind) {
    case rkRange:
    case rkPort:
    case rkPortText: {
      const std::optional<int64_t> value = WholeNumber(text);
      if (!value) {
        // Only a port kept as text gets here without a number (integers fail earlier).
        return std::pair(true, name + ": " + Quoted(text) + " is not a port number (0 to 65535)");
      }
      if (*value >= rule.Min && *value <= rule.Max) return std::nullopt;
      if (std::find(rule.AlsoFine.begin(), rule.AlsoFine.end(), *value) != rule.AlsoFine.end()) {
        return std::nullopt;
      }
      if (rule.Kind != rkRange) {
        return std::pair(rule.Error, name + ": " + std::to_string(*value) +
                                         " is not a port number (0 to 65535)");
      }
      return std::pair(false, name + ": " + std::to_string(*value) + " is outside " +
                                  std::to_string(rule.Min) + " to " + std::to_string(rule.Max) +
                                  ", the range of " + rule.Where + "; kept as written");
    }
    case rkWorkers: {
      const std::string error = ValidateWorkerCount(SerialIntegerValue(text));
      if (error.empty()) return std::nullopt;
      return std::pair(true, error);
    }
    case rkIPv4:
      if (ContainsIPv4(std::string(text))) return std::nullopt;
      return std::pair(false, name + ": " + Quoted(text) + " is not an IPv4 address, which " +
                                  rule.Where + " require; kept as written");
    case rkNotEmpty:
      if (!TrimBlanks(text).empty()) return std::nullopt;
      return std::pair(false, name + " is empty, which " + std::string(rule.Where) +
                                  " do not allow; kept as written");
    case rkPassWord: {
      if (text.empty()) return std::nullopt;
      std::string plain;
      try {
        plain = DecodeSource(text);
      } catch (const std::exception&) {
        plain.clear();
      }
      if (!plain.empty()) return std::nullopt;
      return std::pair(false, name +
                                  " does not decipher (make it with gatekit encipher); the "
                                  "message coder keeps its pass word");
    }
  }
  return std::nullopt;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The published name closest to a misspelt one, when it is close enough to be meant.
std::string Suggestion(const TuSerialObject& object, std::string_view name) {
  std::string best;
  size_t bestDistance = 3;
  for (const TSerialProperty& p : object.Properties()) {
    const size_t d = EditDistance(name, p.Name);
    if (d < bestDistance) {
      bestDistance = d;
      best = p.Name;
    }
  }
  return best;
}

std::string ParseErrorText(const pugi::xml_parse_result& result, std::string_view document) {
  if (result.status == pugi::status_no_document_element) {
    return TrimBlanks(document).empty() ? "the file is empty: it holds no settings element"
                                        : "the file holds no settings element";
  }
  return std::string("not well-formed XML: ") + result.description();
}

}  // namespace

std::string FormatSettingsProblem(const TSettingsProblem& Problem) {
  std::string out = Problem.File;
  if (Problem.Line > 0) out += ":" + std::to_string(Problem.Line);
  out += Problem.Severity == TSettingsSeverity::Error ? ": error: " : ": warning: ";
  out += Problem.Text;
  return out;
}

bool HasSettingsErrors(const TSettingsProblems& Problems) {
  return CountSettingsProblems(Problems, TSettingsSeverity::Error) > 0;
}

size_t CountSettingsProblems(const TSettingsProblems& Problems, TSettingsSeverity Severity) {
  return static_cast<size_t>(std::count_if(Problems.begin(), Problems.end(),
                                           [&](const auto& p) { return p.Severity == Severity; }));
}

int SettingsLineAt(std::string_view Document, ptrdiff_t Offset) {
  if (Offset < 0) return 0;
  const size_t end = std::min(Document.size(), static_cast<size_t>(Offset));
  return 1 + static_cast<int>(std::count(Document.begin(), Document.begin() + end, '\n'));
}

TSettingsProblems ReadSettingsDocument(TuSerialObject& Object, std::string_view Document,
                                       const std::string& File) {
  TProblems problems;
  auto add = [&](TSettingsSeverity severity, int line, std::string text) {
    problems.push_back({severity, File, line, std::move(text)});
  };
  pugi::xml_document doc;
  // As the lenient reader: line ends and blank-only values are kept as written.
  const unsigned options = (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single;
  const pugi::xml_parse_result result =
      doc.load_buffer(Document.data(), Document.size(), options, pugi::encoding_auto);
  // Offsets count bytes of the document only when pugixml read it as UTF-8 (the file's own
  // encoding); in another encoding no line is given rather than a wrong one.
  const bool byteOffsets = result.encoding == pugi::encoding_utf8;
  auto lineOf = [&](ptrdiff_t offset) {
    return byteOffsets ? SettingsLineAt(Document, offset) : 0;
  };
  if (!result) {
    add(TSettingsSeverity::Error,
        result.status == pugi::status_no_document_element ? 0 : lineOf(result.offset),
        ParseErrorText(result, Document));
    return problems;
  }
  const pugi::xml_node root = doc.document_element();
  std::set<std::string> seen;  // property names already taken from the file
  std::vector<int> firstLine(Object.Properties().size(), 0);
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
    const int line = lineOf(child.offset_debug());
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      if (!TrimBlanks(child.value()).empty()) {
        add(TSettingsSeverity::Warning, line,
            "text outside any setting is ignored: " + Quoted(TrimBlanks(child.value())));
      }
      continue;
    }
    if (child.type() != pugi::node_element) continue;
    const TSerialProperty* property = Object.FindProperty(child.name());
    if (property == nullptr) {
      std::string text = std::string("unknown element <") + child.name() + "> is ignored";
      const std::string suggestion = Suggestion(Object, child.name());
      if (!suggestion.empty()) text += " (did you mean <" + suggestion + ">?)";
      add(TSettingsSeverity::Warning, line, std::move(text));
      continue;
    }
    const size_t index = static_cast<size_t>(property - Object.Properties().data());
    if (!seen.insert(property->Name).second) {
      add(TSettingsSeverity::Warning, line,
          "<" + std::string(child.name()) + "> given again; only the first (line " +
              std::to_string(firstLine[index]) + ") counts");
      continue;
    }
    firstLine[index] = line;
    if (child.first_child() && child.first_child().type() == pugi::node_element) {
      add(TSettingsSeverity::Error, line, property->Name + " holds markup instead of a value");
      continue;
    }
    const std::string_view raw = child.text().get();
    const std::string name = property->Name;
    switch (property->Kind) {
      case skInteger: {
        const std::optional<int64_t> value = WholeNumber(raw);
        if (!value || *value < std::numeric_limits<int32_t>::min() ||
            *value > std::numeric_limits<int32_t>::max()) {
          add(TSettingsSeverity::Error, line,
              name + ": " + Quoted(raw) + " is not a whole number" +
                  (value ? " within -2147483648 to 2147483647" : ""));
          continue;
        }
        property->SetText(Object, raw);
        break;
      }
      case skBoolean:
      case skEnumeration: {
        const std::string_view text = TrimBlanks(raw);
        if (!property->SetText(Object, text)) {
          std::string names;
          if (property->Kind == skBoolean) {
            names = "True or False";
          } else {
            for (size_t i = 0; i < property->ValueNames.size(); ++i) {
              names += (i == 0 ? "" : i + 1 == property->ValueNames.size() ? " or " : ", ");
              names += property->ValueNames[i];
            }
          }
          add(TSettingsSeverity::Error, line, name + ": " + Quoted(raw) + " is not " + names);
          continue;
        }
        break;
      }
      case skString: {
        const TRule* rule = FindRule(name);
        // A port kept as text is a number like the others: blanks around it do not count.
        property->SetText(Object, rule && rule->Kind == rkPortText ? TrimBlanks(raw) : raw);
        break;
      }
    }
    if (const TRule* rule = FindRule(name)) {
      if (auto verdict = CheckRule(*rule, raw)) {
        add(verdict->first ? TSettingsSeverity::Error : TSettingsSeverity::Warning, line,
            std::move(verdict->second));
      }
    }
  }
  return problems;
}

}  // namespace gw
