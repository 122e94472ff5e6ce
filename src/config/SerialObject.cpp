#include "config/SerialObject.h"

#include <pugixml.hpp>

#include <charconv>
#include <istream>
#include <iterator>
#include <ostream>

namespace gw {

namespace {

constexpr char kLineEnd[] = "\r\n";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Exactly the five predefined entities; every other character goes out as it is.
void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
}

// The first element child of the root whose name matches, without regard to letter case.
pugi::xml_node FindElement(const pugi::xml_node& root, std::string_view name) {
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && SameTextIgnoringCase(child.name(), name)) {
      return child;
    }
  }
  return {};
}

// Whether the element's end tag starts before the parse error. Offsets are only comparable in
// a UTF-8 document (pugixml parsed the bytes as they are).
bool EndTagBefore(const pugi::xml_node& element, std::string_view document,
                  const pugi::xml_parse_result& result) {
  if (element.type() != pugi::node_element || result.encoding != pugi::encoding_utf8) return false;
  const ptrdiff_t start = element.offset_debug();
  if (start < 0 || result.offset < start || static_cast<size_t>(result.offset) > document.size()) {
    return false;
  }
  const std::string endTag = std::string("</") + element.name();
  const std::string_view parsed =
      document.substr(static_cast<size_t>(start), static_cast<size_t>(result.offset - start));
  return parsed.find(endTag) != std::string_view::npos;
}

}  // namespace

std::string SerialIntegerText(int32_t Value) { return std::to_string(Value); }

int32_t SerialIntegerValue(std::string_view Text) {
  Text = TrimBlanks(Text);
  // One sign at most: "+7" is 7, "+-7" is no number.
  if (!Text.empty() && Text.front() == '+') {
    Text.remove_prefix(1);
    if (!Text.empty() && Text.front() == '-') return 0;
  }
  int32_t value = 0;
  const char* last = Text.data() + Text.size();
  auto [end, ec] = std::from_chars(Text.data(), last, value);
  if (Text.empty() || ec != std::errc() || end != last) return 0;
  return value;
}

TSerialPropertyList ExtendProperties(const TSerialPropertyList& Base,
                                     std::initializer_list<TSerialProperty> Own) {
  TSerialPropertyList list = Base;
  list.insert(list.end(), Own.begin(), Own.end());
  return list;
}

void TuSerialObject::LoadDefault() { LoadDefaults(Properties()); }

const TSerialProperty* TuSerialObject::FindProperty(std::string_view Name) const {
  for (const TSerialProperty& p : Properties()) {
    if (SameTextIgnoringCase(p.Name, Name)) return &p;
  }
  return nullptr;
}

void TuSerialObject::LoadDefaults(std::span<const TSerialProperty> Own) {
  for (const TSerialProperty& p : Own) {
    if (p.SetDefault) p.SetDefault(*this);
  }
}

std::string TuSerialObject::SaveToText() const {
  std::string out;
  out += '<';
  out += ClassName();
  out += '>';
  out += kLineEnd;
  for (const TSerialProperty& p : Properties()) {
    const std::string value = p.GetText(*this);
    out += "\t<";
    out += p.Name;
    if (value.empty()) {
      out += "/>";
    } else {
      out += '>';
      AppendEscaped(out, value);
      out += "</";
      out += p.Name;
      out += '>';
    }
    out += kLineEnd;
  }
  out += "</";
  out += ClassName();
  out += '>';
  out += kLineEnd;
  return out;
}

void TuSerialObject::LoadFromText(std::string_view Document) {
  pugi::xml_document doc;
  // Line ends inside values are kept as written, so a value holding CR LF reads back the same;
  // a value of blanks only (an element's only text) is kept too instead of reading as empty.
  const unsigned options = (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_ws_pcdata_single;
  const pugi::xml_parse_result result =
      doc.load_buffer(Document.data(), Document.size(), options, pugi::encoding_auto);
  const pugi::xml_node root = doc.document_element();
  if (!root) return;
  // In a damaged document the last element of the root may have been cut off inside its text
  // (a file truncated while it was written); its value counts only when its end tag was reached
  // before the error. Every element before it ended where its next sibling began.
  pugi::xml_node untrusted;
  if (!result && !EndTagBefore(root.last_child(), Document, result)) untrusted = root.last_child();
  for (const TSerialProperty& p : Properties()) {
    const pugi::xml_node element = FindElement(root, p.Name);
    if (!element || element == untrusted) continue;
    // An unmatched boolean or enumeration name keeps the current value; the read goes on.
    p.SetText(*this, element.text().get());
  }
}

void TuSerialObject::SaveToStream(std::ostream& AStream) const {
  const std::string text = SaveToText();
  AStream.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!AStream) throw ESettingsFileError("Stream write error");
}

void TuSerialObject::LoadFromStream(std::istream& AStream) {
  const std::string text{std::istreambuf_iterator<char>(AStream), std::istreambuf_iterator<char>()};
  LoadFromText(text);
}

void TuSerialObject::SaveToXMLFile(const std::string& AXMLFile) const {
  WriteSettingsFile(AXMLFile, SaveToText());
}

void TuSerialObject::LoadFromXMLFile(const std::string& AXMLFile) {
  if (!FileExists(AXMLFile)) SaveToXMLFile(AXMLFile);
  LoadFromText(ReadSettingsFile(AXMLFile));
}

}  // namespace gw
