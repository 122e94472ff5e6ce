#include "admin/JsonValue.h"

#include <cstdlib>

namespace gw {

// The reader behind TJsonValue::Parse: a recursive descent over the text.
class TJsonReader {
 public:
  explicit TJsonReader(std::string_view text) : FText(text) {}

  bool ReadDocument(TJsonValue& value) {
    if (!ReadValue(value, 0)) return false;
    SkipBlanks();
    if (FAt != FText.size()) return Fail("unexpected text after the value");
    return true;
  }
  const std::string& Error() const { return FError; }

 private:
  bool Fail(const std::string& why) {
    if (FError.empty()) FError = "offset " + std::to_string(FAt) + ": " + why;
    return false;
  }
  void SkipBlanks() {
    while (FAt < FText.size() &&
           (FText[FAt] == ' ' || FText[FAt] == '\t' || FText[FAt] == '\n' || FText[FAt] == '\r'))
      ++FAt;
  }
  bool Literal(std::string_view word) {
    if (FText.substr(FAt, word.size()) != word) return Fail("unknown literal");
    FAt += word.size();
    return true;
  }

  bool ReadValue(TJsonValue& value, int depth) {
    if (depth > TJsonValue::kMaxDepth) return Fail("nested too deeply");
    SkipBlanks();
    if (FAt >= FText.size()) return Fail("a value expected");
    const char c = FText[FAt];
    if (c == '{') return ReadObject(value, depth);
    if (c == '[') return ReadArray(value, depth);
    if (c == '"') {
      value.FKind = TJsonValue::TKind::jkString;
      return ReadString(value.FString);
    }
    if (c == 't' || c == 'f') {
      value.FKind = TJsonValue::TKind::jkBool;
      value.FBool = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      value.FKind = TJsonValue::TKind::jkNull;
      return Literal("null");
    }
    return ReadNumber(value);
  }

  bool ReadObject(TJsonValue& value, int depth) {
    value.FKind = TJsonValue::TKind::jkObject;
    ++FAt;
    SkipBlanks();
    if (FAt < FText.size() && FText[FAt] == '}') {
      ++FAt;
      return true;
    }
    for (;;) {
      SkipBlanks();
      if (FAt >= FText.size() || FText[FAt] != '"') return Fail("a member name expected");
      std::string name;
      if (!ReadString(name)) return false;
      SkipBlanks();
      if (FAt >= FText.size() || FText[FAt] != ':') return Fail("expected ':'");
      ++FAt;
      TJsonValue member;
      if (!ReadValue(member, depth + 1)) return false;
      if (!value.FMembers.emplace(std::move(name), std::move(member)).second)
        return Fail("a member name repeated");
      SkipBlanks();
      if (FAt < FText.size() && FText[FAt] == ',') {
        ++FAt;
        continue;
      }
      if (FAt < FText.size() && FText[FAt] == '}') {
        ++FAt;
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  bool ReadArray(TJsonValue& value, int depth) {
    value.FKind = TJsonValue::TKind::jkArray;
    ++FAt;
    SkipBlanks();
    if (FAt < FText.size() && FText[FAt] == ']') {
      ++FAt;
      return true;
    }
    for (;;) {
      TJsonValue item;
      if (!ReadValue(item, depth + 1)) return false;
      value.FItems.push_back(std::move(item));
      SkipBlanks();
      if (FAt < FText.size() && FText[FAt] == ',') {
        ++FAt;
        continue;
      }
      if (FAt < FText.size() && FText[FAt] == ']') {
        ++FAt;
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  bool ReadHex4(uint32_t& code) {
    if (FAt + 4 > FText.size()) return Fail("a short \\u escape");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = FText[FAt++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return Fail("a bad \\u escape");
      }
    }
    return true;
  }

  static void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool ReadString(std::string& out) {
    ++FAt;  // the opening quote
    for (;;) {
      if (FAt >= FText.size()) return Fail("an unterminated string");
      const auto c = static_cast<uint8_t>(FText[FAt]);
      if (c == '"') {
        ++FAt;
        return true;
      }
      if (c < 0x20) return Fail("a control character in a string");
      if (c == '\\') {
        if (++FAt >= FText.size()) return Fail("an unterminated string");
        const char e = FText[FAt++];
        switch (e) {
          case '"':
          case '\\':
          case '/':
            out += e;
            break;
          case 'b':
            out += '\b';
            break;
          case 'f':
            out += '\f';
            break;
          case 'n':
            out += '\n';
            break;
          case 'r':
            out += '\r';
            break;
          case 't':
            out += '\t';
            break;
          case 'u': {
            uint32_t code = 0;
            if (!ReadHex4(code)) return false;
            if (code >= 0xDC00 && code <= 0xDFFF) return Fail("a lone low surrogate");
            if (code >= 0xD800 && code <= 0xDBFF) {
              uint32_t low = 0;
              if (FText.substr(FAt, 2) != "\\u") return Fail("a lone high surrogate");
              FAt += 2;
              if (!ReadHex4(low)) return false;
              if (low < 0xDC00 || low > 0xDFFF) return Fail("a lone high surrogate");
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(out, code);
            break;
          }
          default:
            return Fail("an unknown escape");
        }
        continue;
      }
      // Raw bytes must form valid UTF-8.
      size_t length = 1;
      if (c >= 0x80) {
        length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (length == 0 || c > 0xF4 || FAt + length > FText.size()) return Fail("invalid UTF-8");
        for (size_t i = 1; i < length; ++i) {
          if ((static_cast<uint8_t>(FText[FAt + i]) & 0xC0) != 0x80) return Fail("invalid UTF-8");
        }
      }
      out.append(FText.substr(FAt, length));
      FAt += length;
    }
  }

  bool ReadNumber(TJsonValue& value) {
    const size_t start = FAt;
    if (FAt < FText.size() && FText[FAt] == '-') ++FAt;
    const auto digits = [&] {
      const size_t from = FAt;
      while (FAt < FText.size() && FText[FAt] >= '0' && FText[FAt] <= '9') ++FAt;
      return FAt - from;
    };
    const size_t intStart = FAt;
    if (digits() == 0) return Fail("a value expected");
    if (FAt - intStart > 1 && FText[intStart] == '0') return Fail("a leading zero");
    if (FAt < FText.size() && FText[FAt] == '.') {
      ++FAt;
      if (digits() == 0) return Fail("digits expected after '.'");
    }
    if (FAt < FText.size() && (FText[FAt] == 'e' || FText[FAt] == 'E')) {
      ++FAt;
      if (FAt < FText.size() && (FText[FAt] == '+' || FText[FAt] == '-')) ++FAt;
      if (digits() == 0) return Fail("digits expected in the exponent");
    }
    value.FKind = TJsonValue::TKind::jkNumber;
    value.FNumber = std::strtod(std::string(FText.substr(start, FAt - start)).c_str(), nullptr);
    return true;
  }

  std::string_view FText;
  size_t FAt = 0;
  std::string FError;
};

std::optional<TJsonValue> TJsonValue::Parse(std::string_view text, std::string& error) {
  TJsonReader reader(text);
  TJsonValue value;
  if (!reader.ReadDocument(value)) {
    error = reader.Error();
    return std::nullopt;
  }
  return value;
}

const TJsonValue* TJsonValue::Find(const std::string& name) const {
  const auto found = FMembers.find(name);
  return found == FMembers.end() ? nullptr : &found->second;
}

}  // namespace gw
