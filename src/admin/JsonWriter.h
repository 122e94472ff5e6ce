// TJsonWriter: builds one JSON text (RFC 8259) piece by piece for the admin API's answers.
// Objects and arrays are opened and closed in order; commas are placed by the writer.
// Strings are written as UTF-8 with the characters JSON requires escaped (and "<", ">", "&"
// as \u escapes, so an answer can never be read as markup); bytes that are not valid UTF-8
// (a client's text in a legacy code page) become U+FFFD instead of breaking the document.
//
// Thread safety: none; one writer belongs to one answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gw {

class TJsonWriter {
 public:
  TJsonWriter& BeginObject();
  TJsonWriter& EndObject();
  TJsonWriter& BeginArray();
  TJsonWriter& EndArray();
  // The member name of the next value (inside an object).
  TJsonWriter& Key(std::string_view name);
  TJsonWriter& String(std::string_view text);
  TJsonWriter& Number(double value);  // NaN and infinities are written as null
  TJsonWriter& Integer(int64_t value);
  TJsonWriter& Unsigned(uint64_t value);
  TJsonWriter& Bool(bool value);
  TJsonWriter& Null();

  const std::string& Text() const { return FText; }

  // `text` as a JSON string literal, quotes included.
  static std::string Quote(std::string_view text);

 private:
  void BeforeValue();
  std::string FText;
  bool FNeedComma = false;
};

}  // namespace gw
