// Strict reading of a settings document (GateWay.xml): every value is read as the lenient
// reader of TuSerialObject does, and everything an operator should hear about comes back as a
// list of problems with the file and line they sit on. Errors make the document unusable (it
// does not parse, a number is not a number, a port is no port); warnings leave the value as
// written (outside the range its settings dialog offers, an unknown or repeated element).
// The start, the reload and `gateway --check` share this one reading.
//
// Pure functions over their arguments; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/SerialObject.h"

namespace gw {

enum class TSettingsSeverity { Error, Warning };

struct TSettingsProblem {
  TSettingsSeverity Severity = TSettingsSeverity::Error;
  std::string File;
  int Line = 0;  // from 1; 0 when the problem belongs to the whole file
  std::string Text;

  bool operator==(const TSettingsProblem&) const = default;
};

using TSettingsProblems = std::vector<TSettingsProblem>;

// "FILE:LINE: error: TEXT" ("FILE: warning: TEXT" without a line), as compilers and nginx -t
// print them, so editors and grep find the place.
std::string FormatSettingsProblem(const TSettingsProblem& Problem);
bool HasSettingsErrors(const TSettingsProblems& Problems);
size_t CountSettingsProblems(const TSettingsProblems& Problems, TSettingsSeverity Severity);

// The line (from 1) that holds the byte at Offset of the document.
int SettingsLineAt(std::string_view Document, ptrdiff_t Offset);

// Reads the document into Object and returns its problems, each naming File. After an error
// the object may hold part of the document: read into a copy and keep it only when
// HasSettingsErrors is false. A document that does not parse sets nothing.
TSettingsProblems ReadSettingsDocument(TuSerialObject& Object, std::string_view Document,
                                       const std::string& File);

}  // namespace gw
