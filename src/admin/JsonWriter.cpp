#include "admin/JsonWriter.h"

#include <cmath>
#include <cstdio>

namespace gw {

namespace {

// The length of the valid UTF-8 sequence at `at`, 0 when there is none.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint32_t least = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    least = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string TJsonWriter::Quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '<':
      case '>':
      case '&':
      case 0x7F: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
        break;
      }
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else if (c >= 0x80) {
          const size_t length = Utf8SequenceLength(text, i);
          if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
          } else {
            out.append(text.substr(i, length));
            i += length;
          }
          continue;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

void TJsonWriter::BeforeValue() {
  if (FNeedComma) FText += ',';
  FNeedComma = true;
}

TJsonWriter& TJsonWriter::BeginObject() {
  BeforeValue();
  FText += '{';
  FNeedComma = false;
  return *this;
}

TJsonWriter& TJsonWriter::EndObject() {
  FText += '}';
  FNeedComma = true;
  return *this;
}

TJsonWriter& TJsonWriter::BeginArray() {
  BeforeValue();
  FText += '[';
  FNeedComma = false;
  return *this;
}

TJsonWriter& TJsonWriter::EndArray() {
  FText += ']';
  FNeedComma = true;
  return *this;
}

TJsonWriter& TJsonWriter::Key(std::string_view name) {
  BeforeValue();
  FText += Quote(name);
  FText += ':';
  FNeedComma = false;
  return *this;
}

TJsonWriter& TJsonWriter::String(std::string_view text) {
  BeforeValue();
  FText += Quote(text);
  return *this;
}

TJsonWriter& TJsonWriter::Number(double value) {
  BeforeValue();
  if (!std::isfinite(value)) {
    FText += "null";
    return *this;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  FText += text;
  return *this;
}

TJsonWriter& TJsonWriter::Integer(int64_t value) {
  BeforeValue();
  FText += std::to_string(value);
  return *this;
}

TJsonWriter& TJsonWriter::Unsigned(uint64_t value) {
  BeforeValue();
  FText += std::to_string(value);
  return *this;
}

TJsonWriter& TJsonWriter::Bool(bool value) {
  BeforeValue();
  FText += value ? "true" : "false";
  return *this;
}

TJsonWriter& TJsonWriter::Null() {
  BeforeValue();
  FText += "null";
  return *this;
}

}  // namespace gw
